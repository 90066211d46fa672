// A process saving in a loop is killed with SIGKILL at random moments: the
// hive file must always parse and hold one complete version.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "support/test_home.h"
#include "win32/config/hive_file.h"
#include "win32/config/registry.h"

namespace fs = std::filesystem;

namespace {

// Each save stores one 16 KB block whose bytes all equal the round number: a
// torn file would mix rounds or cut the block.
constexpr DWORD kBlock = 16 * 1024;

[[noreturn]] void SaveForever() {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Kill", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    _exit(2);
  std::vector<BYTE> block(kBlock);
  for (unsigned round = 1;; ++round) {
    std::fill(block.begin(), block.end(), static_cast<BYTE>(round));
    RegSetValueExW(key, L"Block", 0, REG_BINARY, block.data(), kBlock);
  }
}

TEST(RegistryKill, EveryKillLeavesACompleteVersion) {
  fs::path hive = fs::path(std::getenv("XDG_CONFIG_HOME")) / "zorcam/registry.reg";
  std::mt19937 random(12345);
  int checkedVersions = 0;
  for (int i = 0; i < 60; ++i) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) SaveForever();
    std::this_thread::sleep_for(std::chrono::microseconds(2000 + random() % 15000));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the saver stopped on its own: " << status;
    if (!fs::exists(hive)) continue;  // killed before its first save
    std::string error;
    auto parsed = win32::reg::ParseHive(zorcam::testing::ReadFile(hive), &error);
    ASSERT_TRUE(parsed) << "round " << i << ": " << error;
    win32::reg::Key* key = parsed->Find(L"Software\\Kill");
    ASSERT_NE(key, nullptr);
    if (win32::reg::Value* block = key->Find(L"Block")) {
      ASSERT_EQ(block->data.size(), kBlock);
      for (BYTE b : block->data) ASSERT_EQ(b, block->data[0]);
      ++checkedVersions;
    }
  }
  EXPECT_GT(checkedVersions, 30);
  // Nothing was ever judged corrupt.
  for (const auto& entry : fs::directory_iterator(hive.parent_path()))
    EXPECT_FALSE(entry.path().filename().string().starts_with("registry.reg.corrupt-")) << entry.path();
}

}  // namespace
