#include <gtest/gtest.h>

#include <thread>

#include "win32/debug.h"

namespace {

TEST(DebugOutput, CaptureKeepsLinesExactlyFromEveryThread) {
  win32::DebugCapture capture;
  OutputDebugStringW(L"[NBEffectMgr] Open device control object OK\r\n");
  std::thread([] { OutputDebugStringW(L"[Camera] from a worker\r\n"); }).join();
  OutputDebugStringW(nullptr);  // ignored, as on Windows
  auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], L"[NBEffectMgr] Open device control object OK\r\n");
  EXPECT_EQ(lines[1], L"[Camera] from a worker\r\n");
}

TEST(DebugOutput, NestedCapturesSeeOnlyTheirOwnLines) {
  win32::DebugCapture outer;
  OutputDebugStringW(L"one");
  {
    win32::DebugCapture inner;
    OutputDebugStringW(L"two");
    EXPECT_EQ(inner.Lines(), std::vector<std::wstring>{L"two"});
  }
  OutputDebugStringW(L"three");
  EXPECT_EQ(outer.Lines(), (std::vector<std::wstring>{L"one", L"three"}));
  EXPECT_EQ(outer.Count(L"one"), 1u);
}

}  // namespace
