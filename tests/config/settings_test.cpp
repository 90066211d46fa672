// The settings store: first run, the read checks, failing loads and the
// start-up reset, what a save writes, resets, session values and folders.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>

#include "config/result_codes.h"
#include "config/settings.h"
#include "support/test_home.h"
#include "win32/config/hive_file.h"
#include "win32/config/registry.h"
#include "win32/text.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<BYTE>;

fs::path UserHive() { return fs::path(std::getenv("XDG_CONFIG_HOME")) / "zorcam/registry.reg"; }

std::wstring GroupPath(const wchar_t* group) { return std::wstring(kSettingsRootKey) + group; }

Bytes Four(const void* value) {
  Bytes b(4);
  std::memcpy(b.data(), value, 4);
  return b;
}
Bytes IntBytes(int v) { return Four(&v); }
Bytes FloatBytes(float v) { return Four(&v); }

void SetValue(const wchar_t* group, const wchar_t* name, DWORD type, const Bytes& data) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, GroupPath(group).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size())), ERROR_SUCCESS);
  RegCloseKey(key);
}

// The stored values of one group, in the order they were created.
std::vector<std::pair<std::wstring, Bytes>> GroupValues(const wchar_t* group) {
  auto hive = win32::reg::ParseHive(zorcam::testing::ReadFile(UserHive()));
  std::vector<std::pair<std::wstring, Bytes>> out;
  if (!hive) return out;
  if (win32::reg::Key* key = hive->Find(GroupPath(group)))
    for (const auto& v : key->values) out.emplace_back(v.name, v.data);
  return out;
}

Bytes Stored(const wchar_t* group, const wchar_t* name) {
  for (auto& [n, data] : GroupValues(group))
    if (n == name) return data;
  return {};
}

std::vector<std::wstring> Names(const wchar_t* group) {
  std::vector<std::wstring> names;
  for (auto& [n, data] : GroupValues(group)) names.push_back(n);
  return names;
}

std::wstring Folder(const Bytes& data) {
  std::wstring text = win32::FromUtf16LE(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
  return text.substr(0, text.find(L'\0'));
}

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(LoadSettingsAtStartup(settings)); }
  AppSettings settings;
};

TEST_F(SettingsTest, FirstRunCreatesEveryKeyWithTheDefaults) {
  std::wstring home = win32::FromUtf8(std::getenv("HOME"));
  // The tool bar at x 0, y 100, auto-hide and auto-start on.
  EXPECT_EQ(Names(L"ToolBar"), (std::vector<std::wstring>{L"PositionX", L"PositionY", L"AutoHide", L"AutoRun"}));
  EXPECT_EQ(Stored(L"ToolBar", L"PositionY"), IntBytes(100));
  EXPECT_EQ(Stored(L"ToolBar", L"AutoHide"), IntBytes(1));
  EXPECT_EQ(Stored(L"ToolBar", L"AutoRun"), IntBytes(1));
  EXPECT_EQ(settings.ToolBar.PositionY, 100);

  EXPECT_EQ(Names(L"CaptureWndBasic"), (std::vector<std::wstring>{L"CaptureFolder", L"PhotoFolder", L"VideoFolder",
                                                                   L"PhotoFormat", L"IsCaptureAudio",
                                                                   L"VideoQuality"}));
  Bytes photo = Stored(L"CaptureWndBasic", L"PhotoFolder");
  EXPECT_EQ(photo.size(), 520u);
  EXPECT_EQ(Folder(photo), home + L"/Pictures");
  EXPECT_EQ(Folder(Stored(L"CaptureWndBasic", L"VideoFolder")), home + L"/Videos");
  EXPECT_EQ(settings.CaptureWndBasic.PhotoFolder, home + L"/Pictures");
  EXPECT_EQ(settings.CaptureWndBasicDefaults.VideoFolder, home + L"/Videos");

  EXPECT_EQ(Names(L"FilterBasic"), (std::vector<std::wstring>{L"DefaultScene", L"Brightness", L"Contrast", L"Gamma",
                                                               L"Hue", L"Saturation", L"Sharpness"}));
  EXPECT_EQ(Stored(L"FilterBasic", L"Contrast"), IntBytes(45));
  EXPECT_EQ(Stored(L"FilterBasic", L"Gamma"), IntBytes(99));

  EXPECT_EQ(Names(L"FilterAdvanced").size(), 9u);
  EXPECT_EQ(Stored(L"FilterAdvanced", L"ZoomPercentage"), IntBytes(100));
  EXPECT_EQ(Stored(L"FilterAdvanced", L"ZoomOriginX"), FloatBytes(0.0f));
  EXPECT_EQ(Stored(L"FilterAdvanced", L"PowerLineFrequence"), IntBytes(1));

  // Contrast enhancement off, no frame and no screen cover active.
  EXPECT_EQ(Names(L"Effect"), (std::vector<std::wstring>{L"DeepTone", L"Frame", L"LastFrame", L"ScreenCover",
                                                          L"LastScreenCover", L"UserConfirm", L"ScreenCoverNotify"}));
  EXPECT_EQ(Stored(L"Effect", L"DeepTone"), IntBytes(1));
  EXPECT_EQ(Stored(L"Effect", L"Frame"), IntBytes(-1));
  EXPECT_EQ(Stored(L"Effect", L"ScreenCover"), IntBytes(-1));
  EXPECT_EQ(settings.Effect.ScreenCoverNotify, 1);
}

TEST_F(SettingsTest, ReadChecksReplaceOutOfRangeValuesByTheDefault) {
  float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const wchar_t* group;
    const wchar_t* name;
    DWORD type;
    Bytes stored;
    std::function<double(const AppSettings&)> field;
    double expected;
  } cases[] = {
      {L"FilterAdvanced", L"ZoomPercentage", REG_DWORD, IntBytes(99), [](auto& s) { return s.FilterAdvanced.ZoomPercentage; }, 100},
      {L"FilterAdvanced", L"ZoomPercentage", REG_DWORD, IntBytes(401), [](auto& s) { return s.FilterAdvanced.ZoomPercentage; }, 100},
      {L"FilterAdvanced", L"ZoomPercentage", REG_DWORD, IntBytes(400), [](auto& s) { return s.FilterAdvanced.ZoomPercentage; }, 400},
      {L"FilterAdvanced", L"ZoomPercentage", REG_DWORD, IntBytes(-200), [](auto& s) { return s.FilterAdvanced.ZoomPercentage; }, 100},
      {L"FilterAdvanced", L"ZoomOriginX", REG_BINARY, FloatBytes(1.5f), [](auto& s) { return s.FilterAdvanced.ZoomOriginX; }, 0.0},
      {L"FilterAdvanced", L"ZoomOriginX", REG_BINARY, FloatBytes(-0.25f), [](auto& s) { return s.FilterAdvanced.ZoomOriginX; }, 0.0},
      {L"FilterAdvanced", L"ZoomOriginX", REG_BINARY, FloatBytes(nan), [](auto& s) { return s.FilterAdvanced.ZoomOriginX; }, 0.0},
      {L"FilterAdvanced", L"ZoomOriginY", REG_BINARY, FloatBytes(0.75f), [](auto& s) { return s.FilterAdvanced.ZoomOriginY; }, 0.75},
      {L"FilterAdvanced", L"ZoomOriginY", REG_BINARY, FloatBytes(1.0f), [](auto& s) { return s.FilterAdvanced.ZoomOriginY; }, 1.0},
      {L"FilterAdvanced", L"PowerLineFrequence", REG_DWORD, IntBytes(0), [](auto& s) { return s.FilterAdvanced.PowerLineFrequence; }, 1},
      {L"FilterAdvanced", L"PowerLineFrequence", REG_DWORD, IntBytes(3), [](auto& s) { return s.FilterAdvanced.PowerLineFrequence; }, 1},
      {L"FilterAdvanced", L"PowerLineFrequence", REG_DWORD, IntBytes(2), [](auto& s) { return s.FilterAdvanced.PowerLineFrequence; }, 2},
      {L"FilterAdvanced", L"FocusMode", REG_DWORD, IntBytes(3), [](auto& s) { return s.FilterAdvanced.FocusMode; }, 0},
      {L"FilterAdvanced", L"FocusMode", REG_DWORD, IntBytes(-1), [](auto& s) { return s.FilterAdvanced.FocusMode; }, 0},
      {L"FilterAdvanced", L"FocusMode", REG_DWORD, IntBytes(2), [](auto& s) { return s.FilterAdvanced.FocusMode; }, 2},
      {L"CaptureWndBasic", L"PhotoFormat", REG_DWORD, IntBytes(2), [](auto& s) { return s.CaptureWndBasic.PhotoFormat; }, 0},
      {L"CaptureWndBasic", L"PhotoFormat", REG_DWORD, IntBytes(1), [](auto& s) { return s.CaptureWndBasic.PhotoFormat; }, 1},
      {L"CaptureWndBasic", L"VideoQuality", REG_DWORD, IntBytes(3), [](auto& s) { return s.CaptureWndBasic.VideoQuality; }, 1},
      {L"CaptureWndBasic", L"VideoQuality", REG_DWORD, IntBytes(-1), [](auto& s) { return s.CaptureWndBasic.VideoQuality; }, 1},
      {L"CaptureWndBasic", L"VideoQuality", REG_DWORD, IntBytes(0), [](auto& s) { return s.CaptureWndBasic.VideoQuality; }, 0},
      // The effect group passes its indexes on unchecked.
      {L"Effect", L"Frame", REG_DWORD, IntBytes(999), [](auto& s) { return s.Effect.Frame; }, 999},
      {L"Effect", L"DeepTone", REG_DWORD, IntBytes(7), [](auto& s) { return s.Effect.DeepTone; }, 7},
      // The stored type is not checked.
      {L"ToolBar", L"PositionX", REG_DWORD, IntBytes(-40), [](auto& s) { return s.ToolBar.PositionX; }, -40},
  };
  const std::map<std::wstring, HRESULT (AppSettings::*)()> loaders = {
      {L"FilterAdvanced", &AppSettings::LoadFilterAdvancedSettings},
      {L"CaptureWndBasic", &AppSettings::LoadCaptureWndBasicSettings},
      {L"Effect", &AppSettings::LoadEffectSettings},
      {L"ToolBar", &AppSettings::LoadToolBarSettings},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(win32::ToUtf8(c.name));
    Bytes original = Stored(c.group, c.name);
    ASSERT_NO_FATAL_FAILURE(SetValue(c.group, c.name, c.type, c.stored));
    AppSettings fresh;
    ASSERT_EQ((fresh.*loaders.at(c.group))(), 0);
    EXPECT_EQ(c.field(fresh), c.expected);
    // The next case starts from the defaults again.
    ASSERT_NO_FATAL_FAILURE(SetValue(c.group, c.name, c.type, original));
  }
}

TEST_F(SettingsTest, UnknownSceneResetsTheWholeFilterBasicGroup) {
  SetValue(L"FilterBasic", L"Brightness", REG_BINARY, IntBytes(-12));
  SetValue(L"FilterBasic", L"Sharpness", REG_BINARY, IntBytes(7));
  SetValue(L"FilterBasic", L"DefaultScene", REG_DWORD, IntBytes(11));
  ASSERT_EQ(settings.LoadFilterBasicSettings(), 0);
  EXPECT_EQ(settings.FilterBasic.DefaultScene, 11);
  EXPECT_EQ(settings.FilterBasic.Brightness, -12);
  EXPECT_EQ(settings.FilterBasic.Sharpness, 7);
  SetValue(L"FilterBasic", L"DefaultScene", REG_DWORD, IntBytes(12));
  ASSERT_EQ(settings.LoadFilterBasicSettings(), 0);
  EXPECT_EQ(settings.FilterBasic.DefaultScene, 0);
  EXPECT_EQ(settings.FilterBasic.Brightness, 0);
  EXPECT_EQ(settings.FilterBasic.Sharpness, 2);
}

TEST_F(SettingsTest, AValueOfTheWrongSizeFailsTheLoadAndStartUpResetsEverything) {
  SetValue(L"ToolBar", L"PositionX", REG_BINARY, IntBytes(55));
  SetValue(L"ToolBar", L"AutoHide", REG_DWORD, Bytes(8, 0));
  SetValue(L"ToolBar", L"AutoRun", REG_DWORD, IntBytes(0));
  SetValue(L"Effect", L"Frame", REG_DWORD, IntBytes(3));
  // Values read before the failing one keep what was read; later ones the defaults.
  EXPECT_EQ(settings.LoadToolBarSettings(), NB_E_REG_VALUE);
  EXPECT_EQ(settings.ToolBar.PositionX, 55);
  EXPECT_EQ(settings.ToolBar.AutoRun, 1);

  AppSettings fresh;
  EXPECT_TRUE(LoadSettingsAtStartup(fresh));
  EXPECT_EQ(fresh.ToolBar.PositionX, 0);
  EXPECT_EQ(fresh.Effect.Frame, -1);
  EXPECT_EQ(Stored(L"ToolBar", L"AutoHide"), IntBytes(1));
  EXPECT_EQ(Stored(L"ToolBar", L"AutoRun"), IntBytes(1));
  EXPECT_EQ(Stored(L"Effect", L"Frame"), IntBytes(-1));
}

TEST_F(SettingsTest, MissingOrShortValuesFailTheLoad) {
  SetValue(L"FilterAdvanced", L"NightMode", REG_DWORD, Bytes{1, 0});
  EXPECT_EQ(settings.LoadFilterAdvancedSettings(), NB_E_REG_VALUE);
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, GroupPath(L"Effect").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  SHDeleteKeyW(HKEY_CURRENT_USER, GroupPath(L"Effect").c_str());
  // Recreated on the next load, then one value removed by hand.
  ASSERT_EQ(settings.LoadEffectSettings(), 0);
  auto hive = win32::reg::ParseHive(zorcam::testing::ReadFile(UserHive()));
  ASSERT_TRUE(hive);
  auto& values = hive->Find(GroupPath(L"Effect"))->values;
  values.erase(values.begin() + 3);  // ScreenCover
  zorcam::testing::WriteFile(UserHive(), win32::reg::FormatHive(*hive));
  EXPECT_EQ(settings.LoadEffectSettings(), NB_E_REG_VALUE);
}

TEST_F(SettingsTest, CorruptSettingsFileIsKeptAsideAndStartUpRecreatesTheDefaults) {
  const std::string damaged = "[Software\\Corvane\\Zorcam\\ToolBar]\n\"PositionX\"=hex:00,0";
  zorcam::testing::WriteFile(UserHive(), damaged);
  AppSettings fresh;
  EXPECT_TRUE(LoadSettingsAtStartup(fresh));
  EXPECT_EQ(fresh.ToolBar.PositionY, 100);
  EXPECT_EQ(Stored(L"ToolBar", L"PositionY"), IntBytes(100));
  int aside = 0;
  for (const auto& entry : fs::directory_iterator(UserHive().parent_path())) {
    if (!entry.path().filename().string().starts_with("registry.reg.corrupt-")) continue;
    ++aside;
    EXPECT_EQ(zorcam::testing::ReadFile(entry.path()), damaged);
  }
  EXPECT_EQ(aside, 1);
}

TEST_F(SettingsTest, SavesWriteOnlyChangedValuesAndAlwaysThePosition) {
  // Values changed behind the program's back show which ones a save rewrites.
  auto external = [](const wchar_t* group, const wchar_t* name) {
    SetValue(group, name, REG_DWORD, IntBytes(77));
  };
  external(L"ToolBar", L"AutoHide");
  external(L"ToolBar", L"AutoRun");
  external(L"ToolBar", L"PositionX");
  settings.ToolBar.PositionX = 5;
  settings.ToolBar.AutoHide = 0;  // no flag: not written
  settings.ToolBar.AutoRun = 0;
  settings.ToolBar.AutoRunChanged = 1;
  ASSERT_EQ(settings.SaveToolBarSettings(), 0);
  EXPECT_EQ(Stored(L"ToolBar", L"PositionX"), IntBytes(5));
  EXPECT_EQ(Stored(L"ToolBar", L"AutoHide"), IntBytes(77));
  EXPECT_EQ(Stored(L"ToolBar", L"AutoRun"), IntBytes(0));
  EXPECT_EQ(settings.ToolBar.AutoRunChanged, 0);
  // No flags at all: the position is still written.
  settings.ToolBar.PositionY = 333;
  ASSERT_EQ(settings.SaveToolBarSettings(), 0);
  EXPECT_EQ(Stored(L"ToolBar", L"PositionY"), IntBytes(333));

  external(L"CaptureWndBasic", L"VideoQuality");
  settings.CaptureWndBasic.VideoQuality = 2;
  settings.CaptureWndBasic.PhotoFolder = L"/data/fotos";
  settings.CaptureWndBasic.PhotoFolderChanged = 1;
  ASSERT_EQ(settings.SaveCaptureWndBasicSettings(), 0);
  EXPECT_EQ(Stored(L"CaptureWndBasic", L"VideoQuality"), IntBytes(77));
  Bytes folder = Stored(L"CaptureWndBasic", L"PhotoFolder");
  EXPECT_EQ(folder.size(), 520u);
  EXPECT_EQ(Folder(folder), L"/data/fotos");

  // One flag covers all six tuning values; the scene has its own.
  external(L"FilterBasic", L"DefaultScene");
  settings.FilterBasic.DefaultScene = 11;
  settings.FilterBasic.Gamma = 150;
  settings.FilterBasic.Hue = -3;
  settings.FilterBasic.TuningChanged = 1;
  ASSERT_EQ(settings.SaveFilterBasicSettings(), 0);
  EXPECT_EQ(Stored(L"FilterBasic", L"DefaultScene"), IntBytes(77));
  EXPECT_EQ(Stored(L"FilterBasic", L"Gamma"), IntBytes(150));
  EXPECT_EQ(Stored(L"FilterBasic", L"Hue"), IntBytes(-3));

  external(L"FilterAdvanced", L"NightMode");
  settings.FilterAdvanced.NightMode = 1;
  settings.FilterAdvanced.ZoomOriginX = 0.5f;
  settings.FilterAdvanced.ZoomOriginXChanged = 1;
  ASSERT_EQ(settings.SaveFilterAdvancedSettings(), 0);
  EXPECT_EQ(Stored(L"FilterAdvanced", L"NightMode"), IntBytes(77));
  EXPECT_EQ(Stored(L"FilterAdvanced", L"ZoomOriginX"), FloatBytes(0.5f));

  // Effect: DeepTone only with its flag, the rest always.
  external(L"Effect", L"DeepTone");
  external(L"Effect", L"UserConfirm");
  settings.Effect.DeepTone = 2;
  settings.Effect.UserConfirm = 1;
  settings.Effect.Frame = 4;
  ASSERT_EQ(settings.SaveEffectSettings(), 0);
  EXPECT_EQ(Stored(L"Effect", L"DeepTone"), IntBytes(77));
  EXPECT_EQ(Stored(L"Effect", L"UserConfirm"), IntBytes(1));
  EXPECT_EQ(Stored(L"Effect", L"Frame"), IntBytes(4));

  // What was saved comes back on the next start.
  AppSettings next;
  ASSERT_FALSE(LoadSettingsAtStartup(next));
  EXPECT_EQ(next.CaptureWndBasic.PhotoFolder, L"/data/fotos");
  EXPECT_EQ(next.FilterAdvanced.ZoomOriginX, 0.5f);
  EXPECT_EQ(next.ToolBar.PositionY, 333);
}

TEST_F(SettingsTest, FolderPathsKeepAtMost259Characters) {
  std::wstring longPath = L"/" + std::wstring(300, L'a');
  std::wstring withAccents = L"/home/j\u00f6rg/Bilder/\U0001F4F7";
  settings.CaptureWndBasic.CaptureFolder = longPath;
  settings.CaptureWndBasic.CaptureFolderChanged = 1;
  settings.CaptureWndBasic.VideoFolder = withAccents;
  settings.CaptureWndBasic.VideoFolderChanged = 1;
  ASSERT_EQ(settings.SaveCaptureWndBasicSettings(), 0);
  ASSERT_EQ(settings.LoadCaptureWndBasicSettings(), 0);
  EXPECT_EQ(settings.CaptureWndBasic.CaptureFolder, longPath.substr(0, 259));
  EXPECT_EQ(settings.CaptureWndBasic.VideoFolder, withAccents);
}

TEST_F(SettingsTest, ResetCopiesTheDefaultsOfTheSelectedGroups) {
  settings.FilterBasic.Contrast = 1;
  settings.FilterAdvanced.ZoomPercentage = 300;
  settings.Effect.Frame = 2;
  FilterBasicSettings page;
  page.Contrast = -5;
  EXPECT_EQ(settings.ResetSettingsGroups(SETTINGS_GROUP_FILTERBASIC, &page), 0);
  EXPECT_EQ(settings.FilterBasic.Contrast, 45);
  EXPECT_EQ(page.Contrast, 45);
  EXPECT_EQ(settings.FilterAdvanced.ZoomPercentage, 300);
  EXPECT_EQ(settings.Effect.Frame, 2);
  // Several groups at once: no single record can take them.
  FilterAdvancedSettings other;
  other.ZoomPercentage = 123;
  settings.FilterBasic.Contrast = 1;
  EXPECT_EQ(settings.ResetSettingsGroups(SETTINGS_GROUP_FILTERBASIC | SETTINGS_GROUP_FILTERADVANCED, &other), 0);
  EXPECT_EQ(settings.FilterBasic.Contrast, 45);
  EXPECT_EQ(settings.FilterAdvanced.ZoomPercentage, 100);
  EXPECT_EQ(other.ZoomPercentage, 123);
}

TEST(SessionValues, RecordingPathFailsUntilSetAudioDeviceIsEmpty) {
  AppSettings settings;
  std::wstring path = L"unchanged";
  EXPECT_EQ(settings.GetCurrentRecordingPath(path), NIMBO_E_FAIL);
  EXPECT_EQ(path, L"unchanged");
  EXPECT_TRUE(settings.GetCurrentAudioDevice().empty());
  settings.SetCurrentRecordingPath(L"/v/Video_00001.wmv");
  EXPECT_EQ(settings.GetCurrentRecordingPath(path), 0);
  EXPECT_EQ(path, L"/v/Video_00001.wmv");
  EXPECT_EQ(&GetAppSettings(), &GetAppSettings());
}

TEST(Folders, DiskFreeProgramFilesAndAppData) {
  ULONGLONG kb = 0;
  ASSERT_TRUE(GetDiskFreeKB(L"/", &kb));
  struct statvfs vfs {};
  ASSERT_EQ(::statvfs("/", &vfs), 0);
  // All free blocks of the volume, also those reserved from ordinary users.
  ULONGLONG expected = static_cast<ULONGLONG>(vfs.f_frsize) * vfs.f_bfree / 1024;
  EXPECT_NEAR(static_cast<double>(kb), static_cast<double>(expected), 1024.0 * 64);
  EXPECT_FALSE(GetDiskFreeKB(L"/no/such/folder", &kb));

  std::wstring folder;
  ::setenv("ZORCAM_PROGRAM_FILES_DIR", "/srv/programs", 1);
  GetProgramFilesFolder(folder);
  EXPECT_EQ(folder, L"/srv/programs/Corvane");
  ::unsetenv("ZORCAM_PROGRAM_FILES_DIR");
  GetProgramFilesFolder(folder);
  EXPECT_EQ(folder, L"/opt/Corvane");

  fs::path data = fs::path(std::getenv("XDG_DATA_HOME")) / "sub";
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);
  folder = L"before";
  GetAppDataFolder(folder);
  EXPECT_EQ(folder, win32::FromUtf8(data.string()));
  EXPECT_TRUE(fs::is_directory(data));
  ::unsetenv("XDG_DATA_HOME");
  ::unsetenv("HOME");
  folder = L"before";
  GetAppDataFolder(folder);
  EXPECT_EQ(folder, L"before");
}

}  // namespace
