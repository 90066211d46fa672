#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/test_home.h"
#include "win32/windows.h"

namespace {

TEST(Handles, CloseHandleTwiceFailsTheSecondTime) {
  HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(e, nullptr);
  ASSERT_NE(e, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(e));
  win32::DebugCapture capture;
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(e));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(capture.Lines().empty()) << "a bad handle is reported, never silent";
  EXPECT_FALSE(SetEvent(e));
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_FAILED);
}

TEST(Handles, NamedObjectsAreRefusedClearly) {
  win32::DebugCapture capture;
  EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, L"Global\\Shared"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(capture.Lines().size(), 1u);
}

TEST(Handles, EveryTestRunsInItsOwnHome) {
  const char* home = std::getenv("HOME");
  ASSERT_NE(home, nullptr);
  EXPECT_EQ(std::string(home), zorcam::testing::TestHome().string());
  EXPECT_EQ(std::string(std::getenv("XDG_CONFIG_HOME")), (zorcam::testing::TestHome() / ".config").string());
}

TEST(Clock, TickCountWrapsAt32Bits) {
  DWORD now = GetTickCount();
  win32::testing::SetTickCountBias(0xFFFFFFFFu - now - 5);  // 5 ms before the wrap
  DWORD before = GetTickCount();
  Sleep(20);
  DWORD after = GetTickCount();
  win32::testing::SetTickCountBias(0);
  EXPECT_LT(after, before) << "the counter must have wrapped";
  DWORD elapsed = after - before;  // unsigned subtraction, as callers compute it
  EXPECT_GE(elapsed, 20u);
  EXPECT_LT(elapsed, 2000u);
}

TEST(SystemInfo, ReportsAtLeastOneProcessor) {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  EXPECT_GE(info.dwNumberOfProcessors, 1u);
}

}  // namespace
