// Profile strings, the user's language identifier, shell folders, file
// execution and free disk space.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "support/test_home.h"
#include "win32/config/locale.h"
#include "win32/config/profile.h"
#include "win32/config/shell.h"
#include "win32/text.h"

namespace fs = std::filesystem;
using zorcam::testing::TestHome;
using zorcam::testing::WriteFile;

namespace {

std::wstring Wide(const fs::path& p) { return win32::FromUtf8(p.string()); }

std::wstring Read(const fs::path& file, const wchar_t* section, const wchar_t* key, DWORD size = 260,
                  const wchar_t* fallback = L"") {
  std::vector<wchar_t> buffer(size + 1, L'#');
  DWORD n = GetPrivateProfileStringW(section, key, fallback, buffer.data(), size, Wide(file).c_str());
  EXPECT_EQ(buffer[n], L'\0') << "terminator after the copied text";
  return std::wstring(buffer.data(), n);
}

TEST(ProfileString, ReadsUtf16SectionsAndKeysAsWindowsDoes) {
  fs::path file = TestHome() / "test.ini";
  std::wstring text = L"; comment\r\n[English]\r\nCAPTION=Camera\r\n  Spaced  =  padded value  \r\n"
                      L"QUOTED=\"  kept spaces \"\r\nEMPTY=\r\nTWICE=first\r\nTWICE=second\r\n"
                      L"EQUALS=a=b\r\n;HIDDEN=x\r\n[Japanese]\r\nCAPTION=カメラ\r\n"
                      L"[English]\r\nLATE=ignored: the first section wins\r\n";
  WriteFile(file, "\xFF\xFE" + win32::ToUtf16LE(text));
  struct Case {
    const wchar_t* section;
    const wchar_t* key;
    const wchar_t* expected;
  } cases[] = {
      {L"English", L"CAPTION", L"Camera"},
      {L"english", L"caption", L"Camera"},
      {L"English", L"Spaced", L"padded value"},
      {L"English", L"QUOTED", L"  kept spaces "},
      {L"English", L"EMPTY", L""},
      {L"English", L"TWICE", L"first"},
      {L"English", L"EQUALS", L"a=b"},
      {L"English", L"HIDDEN", L""},
      {L"English", L"LATE", L""},
      {L"Japanese", L"CAPTION", L"カメラ"},
      {L"German", L"CAPTION", L""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Read(file, c.section, c.key), c.expected) << win32::ToUtf8(c.section) << "/" << win32::ToUtf8(c.key);

  // Cut to the buffer, the count says how much was copied.
  EXPECT_EQ(Read(file, L"English", L"CAPTION", 4), L"Cam");
  EXPECT_EQ(Read(file, L"English", L"MISSING", 260, L"default"), L"default");
  EXPECT_EQ(Read(TestHome() / "missing.ini", L"English", L"CAPTION"), L"");

  // A changed file is read again.
  WriteFile(file, "\xFF\xFE" + win32::ToUtf16LE(L"[English]\r\nCAPTION=Webcam picture\r\n"));
  EXPECT_EQ(Read(file, L"English", L"CAPTION"), L"Webcam picture");
  // Also when the new text has the same size and the file time did not move.
  WriteFile(file, "\xFF\xFE" + win32::ToUtf16LE(L"[English]\r\nCAPTION=Webcam PICTURE\r\n"));
  EXPECT_EQ(Read(file, L"English", L"CAPTION"), L"Webcam PICTURE");
  // UTF-8 files are accepted too.
  WriteFile(file, "[English]\nCAPTION=Caméra\n");
  EXPECT_EQ(Read(file, L"English", L"CAPTION"), L"Caméra");
}

// Damaged language files (random edits of a valid one, odd byte counts,
// stray surrogates) never make a lookup overrun its buffer or crash.
TEST(ProfileString, DamagedFilesAreReadSafely) {
  fs::path file = TestHome() / "damaged.ini";
  std::string valid = "\xFF\xFE" + win32::ToUtf16LE(L"[English]\r\nCAPTION=Camera\r\n[German]\r\nCAPTION=Kamera\r\n");
  std::mt19937 random(3);
  for (int round = 0; round < 300; ++round) {
    std::string bytes = valid;
    for (int edits = 1 + static_cast<int>(random() % 6); edits > 0; --edits) {
      size_t at = random() % bytes.size();
      if (random() % 4 == 0) {
        bytes.erase(at, 1);
      } else {
        bytes[at] = static_cast<char>(random() % 256);
      }
    }
    WriteFile(file, bytes);
    for (const wchar_t* section : {L"English", L"German"}) {
      wchar_t buffer[8];
      std::fill(std::begin(buffer), std::end(buffer), L'#');
      DWORD n = GetPrivateProfileStringW(section, L"CAPTION", L"", buffer, 7, Wide(file).c_str());
      ASSERT_LE(n, 6u);
      ASSERT_EQ(buffer[n], L'\0');
      ASSERT_EQ(buffer[7], L'#') << "written past the buffer";
    }
  }
}

TEST(UserLanguage, LocaleNamesMapToLanguageIdentifiers) {
  const std::pair<const char*, LANGID> cases[] = {
      {"de_DE.UTF-8", 0x0407}, {"de", 0x0407},          {"zh_CN.UTF-8", 0x0804}, {"zh_SG.UTF-8", 0x1004},
      {"zh_TW.UTF-8", 0x0404}, {"zh_HK.UTF-8", 0x0c04}, {"hr_HR.UTF-8", 0x041a}, {"sr_RS.UTF-8", 0x0c1a},
      {"sr_RS@latin", 0x081a}, {"pt_BR.UTF-8", 0x0416}, {"pt_PT.UTF-8", 0x0816}, {"es_ES.UTF-8", 0x0c0a},
      {"es_MX.UTF-8", 0x080a}, {"en_GB.UTF-8", 0x0809}, {"fr_FR.UTF-8", 0x040c}, {"ja_JP.UTF-8", 0x0411},
      {"ko_KR.UTF-8", 0x0412}, {"ru_RU.UTF-8", 0x0419}, {"nb_NO.UTF-8", 0x0414}, {"he_IL.UTF-8", 0x040d},
      {"ar_EG.UTF-8", 0x0401}, {"sl_SI.UTF-8", 0x0424}, {"xx_YY", 0x0409},       {"C", 0x0409},
      {"POSIX", 0x0409},       {"", 0x0409},
  };
  for (auto [name, id] : cases) EXPECT_EQ(LangIdFromLocaleName(name), id) << name;
}

TEST(UserLanguage, EnvironmentPrecedence) {
  ::setenv("LANG", "fr_FR.UTF-8", 1);
  ::setenv("LC_MESSAGES", "", 1);  // empty values are skipped
  ::unsetenv("LC_ALL");
  EXPECT_EQ(GetUserDefaultLangID(), 0x040c);
  ::setenv("LC_MESSAGES", "it_IT.UTF-8", 1);
  EXPECT_EQ(GetUserDefaultLangID(), 0x0410);
  ::setenv("LC_ALL", "ja_JP.UTF-8", 1);
  EXPECT_EQ(GetUserDefaultLangID(), 0x0411);
  ::unsetenv("LC_ALL");
  ::unsetenv("LC_MESSAGES");
  ::unsetenv("LANG");
  EXPECT_EQ(GetUserDefaultLangID(), 0x0409);
}

TEST(ShellFolders, UserDirectoriesAndFallbacks) {
  wchar_t path[MAX_PATH];
  std::string home = TestHome().string();
  ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_MYPICTURES, FALSE));
  EXPECT_EQ(std::wstring(path), win32::FromUtf8(home + "/Pictures"));
  EXPECT_FALSE(fs::exists(home + "/Pictures")) << "resolving does not create";

  // A user-dirs.dirs entry wins; "created" makes the folder.
  WriteFile(TestHome() / ".config/user-dirs.dirs",
            "# comment\nXDG_VIDEOS_DIR=\"$HOME/Filme\"\nXDG_PICTURES_DIR=\"/srv/none\"\n");
  ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_MYVIDEO, TRUE));
  EXPECT_EQ(std::wstring(path), win32::FromUtf8(home + "/Filme"));
  EXPECT_TRUE(fs::is_directory(home + "/Filme"));
  ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_MYPICTURES, FALSE));
  EXPECT_EQ(std::wstring(path), L"/srv/none");

  fs::remove(TestHome() / ".config/user-dirs.dirs");
  ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_MYVIDEO, FALSE));
  EXPECT_EQ(std::wstring(path), win32::FromUtf8(home + "/Videos"));

  EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path), S_OK);
  EXPECT_EQ(std::wstring(path), win32::FromUtf8(std::getenv("XDG_DATA_HOME")));
  EXPECT_EQ(SHGetFolderPathW(nullptr, 0x7f, nullptr, SHGFP_TYPE_CURRENT, path), E_FAIL);

  // A path that does not fit MAX_PATH cannot be resolved.
  std::string deep = "/" + std::string(300, 'd');
  ::setenv("XDG_DATA_HOME", deep.c_str(), 1);
  EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_APPDATA, FALSE));
}

TEST(ShellExecute, FailuresAreReportedAndNothingBlocks) {
  auto code = [](HINSTANCE h) { return reinterpret_cast<INT_PTR>(h); };
  EXPECT_EQ(code(ShellExecuteW(nullptr, L"open", L"/no/such/file", nullptr, nullptr, SW_SHOWNORMAL)), SE_ERR_FNF);
  EXPECT_EQ(code(ShellExecuteW(nullptr, L"print", L"/bin/sh", nullptr, nullptr, SW_SHOWNORMAL)), SE_ERR_NOASSOC);

  // A long-running program is started without waiting for it.
  fs::path sleeper = TestHome() / "sleeper";
  // It lets go of the test's output at once, so the test run need not wait for it.
  WriteFile(sleeper, "#!/bin/sh\nexec >/dev/null 2>&1\nsleep 5\n");
  fs::permissions(sleeper, fs::perms::owner_all);
  auto start = std::chrono::steady_clock::now();
  EXPECT_GT(code(ShellExecuteW(nullptr, L"open", Wide(sleeper).c_str(), nullptr, nullptr, SW_SHOWNORMAL)), 32);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

  // A document without a desktop viewer on PATH: reported, not fatal.
  fs::path doc = TestHome() / "doc.chm";
  WriteFile(doc, "x");
  std::string savedPath = std::getenv("PATH");
  ::setenv("PATH", (TestHome() / "empty-bin").c_str(), 1);
  EXPECT_LE(code(ShellExecuteW(nullptr, L"open", Wide(doc).c_str(), nullptr, nullptr, SW_SHOWNORMAL)), 32);
  ::setenv("PATH", savedPath.c_str(), 1);
}

TEST(DiskSpace, ReportsTheVolumesNumbers) {
  ULONGLONG available = 0, total = 0, free = 0;
  ASSERT_TRUE(GetDiskFreeSpaceExW(Wide(TestHome()).c_str(), &available, &total, &free));
  EXPECT_GT(total, 0u);
  EXPECT_LE(available, free);
  EXPECT_LE(free, total);
  EXPECT_FALSE(GetDiskFreeSpaceExW(L"/no/such/dir", &available, nullptr, nullptr));
}

TEST(ProgramPath, ModuleFileNameAndCurrentDirectory) {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(std::wstring(path, n), Wide(fs::read_symlink("/proc/self/exe")));
  EXPECT_EQ(GetModuleFileNameW(nullptr, path, 5), 4u);
  fs::path saved = fs::current_path();
  ASSERT_TRUE(SetCurrentDirectoryW(Wide(TestHome()).c_str()));
  EXPECT_EQ(GetCurrentDirectoryW(MAX_PATH, path), TestHome().string().size());
  EXPECT_EQ(std::wstring(path), Wide(TestHome()));
  EXPECT_FALSE(SetCurrentDirectoryW(L"/no/such/dir"));
  fs::current_path(saved);
}

}  // namespace
