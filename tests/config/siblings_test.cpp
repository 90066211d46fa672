// Sibling programs: detection in both registry views and through the older
// Facetrak key, the launchers and the help file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "config/siblings.h"
#include "support/test_home.h"
#include "win32/config/registry.h"
#include "win32/text.h"

namespace fs = std::filesystem;
using zorcam::testing::ReadFile;
using zorcam::testing::WriteFile;

namespace {

enum View { k32 = KEY_WOW64_32KEY, k64 = KEY_WOW64_64KEY };

void MachineKey(const wchar_t* path, View view, const wchar_t* installDir = nullptr) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  if (installDir) {
    std::string bytes = win32::ToUtf16LE(installDir);
    bytes.append(2, '\0');
    ASSERT_EQ(RegSetValueExW(key, L"InstallDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
  }
  RegCloseKey(key);
}

struct Expected {
  int installed;
  const wchar_t* path;
};

void ExpectProgram(const SiblingProgram& program, Expected expected, const char* name) {
  EXPECT_EQ(program.installed, expected.installed) << name;
  EXPECT_EQ(program.path, expected.path) << name;
}

TEST(SiblingPrograms, DetectionInBothViewsAndTheOlderFacetrakKey) {
  struct Case {
    const char* what;
    std::function<void()> setup;
    Expected cardwise, facetrak, motionpad;
  } cases[] = {
      {"nothing installed", [] {}, {0, L""}, {0, L""}, {0, L""}},
      {"all in the 32-bit view",
       [] {
         MachineKey(L"SOFTWARE\\CORVANE\\Motionpad", k32);
         MachineKey(L"SOFTWARE\\CORVANE\\Cardwise", k32, L"/opt/cw");
         MachineKey(L"SOFTWARE\\CORVANE\\Facetrak", k32, L"/opt/ft");
       },
       {1, L"/opt/cw/CwRead.exe"}, {1, L"/opt/ft/FacetrakSetting.exe"}, {1, L"D:/Programs/Corvane/Motionpad/Motionpad.exe"}},
      {"all only in the 64-bit view",
       [] {
         MachineKey(L"SOFTWARE\\CORVANE\\Motionpad", k64);
         MachineKey(L"SOFTWARE\\CORVANE\\Cardwise", k64, L"/x/Card wise");
         MachineKey(L"SOFTWARE\\CORVANE\\Facetrak", k64, L"/x/ft");
       },
       {1, L"/x/Card wise/CwRead.exe"}, {1, L"/x/ft/FacetrakSetting.exe"}, {1, L"D:/Programs/Corvane/Motionpad/Motionpad.exe"}},
      {"only the older Facetrak key",
       [] { MachineKey(L"SOFTWARE\\CORVANE\\CORVANE Facetrak Console", k64); },
       {0, L""}, {1, L"D:/Program Files/Corvane/Facetrak/FacetrakSetting.exe"}, {0, L""}},
      {"keys without InstallDir count as not installed",
       [] {
         MachineKey(L"SOFTWARE\\CORVANE\\Cardwise", k32);
         MachineKey(L"SOFTWARE\\CORVANE\\Facetrak", k32);
         MachineKey(L"SOFTWARE\\CORVANE\\CORVANE Facetrak Console", k32);
       },
       {0, L""}, {0, L""}, {0, L""}},
      {"an unreadable InstallDir in one view, a good one in the other",
       [] {
         MachineKey(L"SOFTWARE\\CORVANE\\Cardwise", k32);
         MachineKey(L"SOFTWARE\\CORVANE\\Cardwise", k64, L"/good");
       },
       {1, L"/good/CwRead.exe"}, {0, L""}, {0, L""}},
  };
  ::setenv("ZORCAM_PROGRAM_FILES_DIR", "D:/Programs", 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SHDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE");
    c.setup();
    ToolBarSettings record;
    record.PositionX = 17;
    record.Cardwise = {1, L"stale"};
    DetectSiblingPrograms(record);
    ExpectProgram(record.Cardwise, c.cardwise, "Cardwise");
    ExpectProgram(record.Facetrak, c.facetrak, "Facetrak");
    ExpectProgram(record.Motionpad, c.motionpad, "Motionpad");
    EXPECT_EQ(record.PositionX, 17);
  }
  ::unsetenv("ZORCAM_PROGRAM_FILES_DIR");
}

TEST(SiblingPrograms, LoadingTheToolBarGroupFillsThemInBothCopies) {
  MachineKey(L"SOFTWARE\\CORVANE\\Cardwise", k64, L"/opt/cw");
  AppSettings settings;
  ASSERT_EQ(settings.LoadToolBarSettings(), 0);
  EXPECT_EQ(settings.ToolBar.Cardwise.installed, 1);
  EXPECT_EQ(settings.ToolBarDefaults.Cardwise.path, L"/opt/cw/CwRead.exe");
  ToolBarSettings page;
  settings.ResetSettingsGroups(SETTINGS_GROUP_TOOLBAR, &page);
  EXPECT_EQ(page.Cardwise.installed, 1);
}

// Waits up to two seconds for a file written by a started program.
bool WaitForFile(const fs::path& path) {
  for (int i = 0; i < 200; ++i) {
    if (fs::exists(path) && !ReadFile(path).empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

fs::path Script(const fs::path& path, const std::string& body) {
  WriteFile(path, "#!/bin/sh\n" + body + "\n");
  fs::permissions(path, fs::perms::owner_all);
  return path;
}

TEST(SiblingPrograms, LaunchersStartInstalledProgramsOnly) {
  fs::path home = zorcam::testing::TestHome();
  fs::path marker = home / "marker";
  fs::path exe = Script(home / "Corvane/Motionpad/Motionpad.exe", "pwd > " + marker.string() + ".tmp && mv " +
                                                                      marker.string() + ".tmp " + marker.string());
  ToolBarSettings record;
  record.Motionpad = {0, win32::FromUtf8(exe.string())};
  LaunchMotionpad(record);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(fs::exists(marker)) << "a program that is not installed was started";

  record.Motionpad.installed = 1;
  LaunchMotionpad(record);
  ASSERT_TRUE(WaitForFile(marker));
  // Motionpad runs in its own folder.
  EXPECT_EQ(ReadFile(marker), exe.parent_path().string() + "\n");

  // A program removed since start-up is silently not started.
  record.Cardwise = {1, L"/no/such/CwRead.exe"};
  LaunchCardwise(record);
}

TEST(SiblingPrograms, HelpFileIsHandedToTheDesktopViewer) {
  fs::path home = zorcam::testing::TestHome();
  fs::path bin = home / "bin";
  fs::path record = home / "opened";
  Script(bin / "xdg-open", "printf '%s' \"$1\" > " + record.string() + ".tmp && mv " + record.string() + ".tmp " +
                               record.string());
  std::string path = bin.string() + ":" + std::getenv("PATH");
  ::setenv("PATH", path.c_str(), 1);
  fs::path program = home / "program";
  WriteFile(program / "Zorcam Application help.chm", "help");
  fs::path before = fs::current_path();
  fs::current_path(program);
  OpenHelpFile();
  fs::current_path(before);
  ASSERT_TRUE(WaitForFile(record));
  EXPECT_EQ(ReadFile(record), (program / "Zorcam Application help.chm").string());
}

}  // namespace
