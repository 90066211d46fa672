#include "support/test_home.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <system_error>

namespace zorcam::testing {
namespace {

std::filesystem::path g_home;

class TestHomeListener : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo&) override {
    char pattern[] = "/tmp/zorcam-test-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (dir == nullptr) {
      ADD_FAILURE() << "cannot create a temporary home folder";
      return;
    }
    g_home = dir;
    const std::pair<const char*, const char*> vars[] = {
        {"HOME", ""},
        {"XDG_CONFIG_HOME", ".config"},
        {"XDG_DATA_HOME", ".local/share"},
        {"XDG_CACHE_HOME", ".cache"},
        {"XDG_STATE_HOME", ".local/state"},
        {"XDG_RUNTIME_DIR", ".run"},
        // The machine-wide registry hive, kept inside the test home too.
        {"ZORCAM_MACHINE_CONFIG_DIR", "machine"},
    };
    for (auto [name, sub] : vars) {
      std::filesystem::path p = *sub ? g_home / sub : g_home;
      std::error_code ec;
      std::filesystem::create_directories(p, ec);
      ::setenv(name, p.c_str(), 1);
    }
    std::filesystem::permissions(g_home / ".run", std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    // xdg-user-dir reads this file; Pictures and Videos live in the test home.
    WriteFile(g_home / ".config/user-dirs.dirs",
              "XDG_PICTURES_DIR=\"$HOME/Pictures\"\nXDG_VIDEOS_DIR=\"$HOME/Videos\"\n");
  }

  void OnTestEnd(const ::testing::TestInfo& info) override {
    if (g_home.empty()) return;
    // Keep the folder of a failed test for inspection when asked to.
    const char* keep = std::getenv("ZORCAM_KEEP_TEST_HOME");
    if (!(keep && info.result()->Failed())) {
      std::error_code ec;
      std::filesystem::remove_all(g_home, ec);
    }
    g_home.clear();
  }
};

}  // namespace

std::filesystem::path TestHome() { return g_home; }

std::filesystem::path MakeTempDir(const std::string& name) {
  std::filesystem::path base = g_home.empty() ? std::filesystem::temp_directory_path() : g_home;
  std::filesystem::path p = base / "tmp" / name;
  std::filesystem::remove_all(p);
  std::filesystem::create_directories(p);
  return p;
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void InstallTestHomeListener() {
  ::testing::UnitTest::GetInstance()->listeners().Append(new TestHomeListener);
}

}  // namespace zorcam::testing
