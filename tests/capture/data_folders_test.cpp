// Data folders and file naming: the per-user data tree, the folder check and
// the numbering of photos and recordings.
#include "capture/data_folders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <ostream>
#include <vector>

#include "config/settings.h"
#include "support/test_home.h"
#include "win32/text.h"

namespace {

namespace fs = std::filesystem;
using zorcam::testing::MakeTempDir;
using zorcam::testing::WriteFile;

std::wstring W(const fs::path& p) { return win32::FromUtf8(p.string()); }

class DataFoldersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AppSettings& s = GetAppSettings();
    s.CaptureWndBasic.PhotoFolder.clear();
    s.CaptureWndBasic.VideoFolder.clear();
    s.CaptureWndBasic.PhotoFormat = 0;
    s.SetCurrentPhotoPath(L"");
    s.SetCurrentRecordingPath(L"");
  }
};

TEST_F(DataFoldersTest, DataFolderLiesUnderTheApplicationDataFolder) {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  ASSERT_NE(dataHome, nullptr);
  std::wstring folder;
  GetDataFolder(folder);
  EXPECT_EQ(folder, W(fs::path(dataHome)) + L"/corvane/Zorcam/");
}

TEST_F(DataFoldersTest, CreateDataFoldersMakesTheTreeAndToleratesAnExistingOne) {
  std::wstring folder;
  GetDataFolder(folder);
  ASSERT_EQ(S_OK, CreateDataFolders());
  for (const wchar_t* sub : {L"Thumbnail", L"Thumbnail/ScreenCover", L"Effect", L"Effect/ScreenCover"}) {
    EXPECT_TRUE(fs::is_directory(win32::ToUtf8(folder + sub))) << win32::ToUtf8(sub);
  }
  EXPECT_EQ(S_OK, CreateDataFolders());
}

TEST_F(DataFoldersTest, CreateDataFoldersFailsWhenALevelIsTakenByAFile) {
  std::wstring folder;
  GetDataFolder(folder);
  // "corvane/Zorcam/Effect" is a file: Effect/ScreenCover cannot be made.
  WriteFile(win32::ToUtf8(folder + L"Effect"), "not a folder");
  EXPECT_EQ(E_FAIL, CreateDataFolders());
}

TEST_F(DataFoldersTest, WithoutAnApplicationDataFolderThereIsNoDataFolder) {
  // Neither XDG_DATA_HOME nor HOME: the folder cannot be resolved. (The test
  // home sets both again for the next test.)
  ::unsetenv("XDG_DATA_HOME");
  ::unsetenv("HOME");
  std::wstring folder = L"stale";
  GetDataFolder(folder);
  EXPECT_TRUE(folder.empty());
  EXPECT_EQ(E_FAIL, CreateDataFolders());
}

TEST_F(DataFoldersTest, TimeNameIsUserscAndTheCurrentSeconds) {
  const long long before = std::time(nullptr);
  std::wstring name;
  MakeTimeName(name);
  const long long after = std::time(nullptr);
  ASSERT_EQ(name.rfind(L"USERSC", 0), 0u);
  const long long seconds = std::stoll(name.substr(6));
  EXPECT_GE(seconds, before);
  EXPECT_LE(seconds, after);
}

TEST_F(DataFoldersTest, EnsureFolderCreatesMissingLevelsAndClearsReadOnly) {
  const fs::path root = MakeTempDir("ensure");
  const fs::path nested = root / "a" / "b" / "c";
  EXPECT_EQ(S_OK, EnsureFolder(W(nested)));
  EXPECT_TRUE(fs::is_directory(nested));

  const fs::path readOnly = root / "ro";
  fs::create_directory(readOnly);
  ::chmod(readOnly.c_str(), 0555);
  EXPECT_EQ(S_OK, EnsureFolder(W(readOnly)));
  struct stat info{};
  ASSERT_EQ(0, ::stat(readOnly.c_str(), &info));
  EXPECT_NE(0u, info.st_mode & S_IWUSR);

  WriteFile(root / "file", "x");
  EXPECT_EQ(E_FAIL, EnsureFolder(W(root / "file" / "below")));
}

struct NamingCase {
  const char* what;
  int isVideo;
  int photoFormat;
  const char* folder;        // relative to the case's root; trailing '/' as given
  const char* previous;      // relative to the root, "" for none, "!" + text for a literal
  std::vector<const char*> existing;  // relative to the root; a trailing '/' makes a folder
  const char* expected;      // relative to the root
};

void PrintTo(const NamingCase& c, std::ostream* os) { *os << c.what; }

class NamingTest : public DataFoldersTest, public ::testing::WithParamInterface<NamingCase> {};

TEST_P(NamingTest, NextNameGoesOnFromThePreviousOneAndSkipsTakenNames) {
  const NamingCase& c = GetParam();
  const fs::path root = MakeTempDir("naming");
  const std::wstring r = W(root) + L"/";
  for (const char* e : c.existing) {
    const std::string entry = e;
    if (entry.back() == '/') {
      fs::create_directories(root / entry);
    } else {
      WriteFile(root / entry, "taken");
    }
  }
  AppSettings& s = GetAppSettings();
  s.CaptureWndBasic.PhotoFormat = c.photoFormat;
  const std::wstring folder = r + win32::FromUtf8(c.folder);
  std::wstring previous;
  if (c.previous[0] == '!') {
    previous = win32::FromUtf8(c.previous + 1);
  } else if (c.previous[0] != '\0') {
    previous = r + win32::FromUtf8(c.previous);
  }
  if (c.isVideo) {
    s.CaptureWndBasic.VideoFolder = folder;
    s.SetCurrentRecordingPath(previous);
  } else {
    s.CaptureWndBasic.PhotoFolder = folder;
    s.SetCurrentPhotoPath(previous);
  }

  ASSERT_EQ(S_OK, MakeNextFileName(c.isVideo));
  std::wstring name;
  if (c.isVideo) {
    ASSERT_EQ(S_OK, s.GetCurrentRecordingPath(name));
  } else {
    name = s.GetCurrentPhotoPath();
  }
  EXPECT_EQ(win32::ToUtf8(name), win32::ToUtf8(r) + c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NamingTest,
    ::testing::Values(
        NamingCase{"first photo", 0, 0, "pics/", "", {}, "pics/Photo_00001.jpg"},
        NamingCase{"first photo skips taken names", 0, 0, "pics", "", {"pics/Photo_00001.jpg", "pics/Photo_00002.jpg/"},
                   "pics/Photo_00003.jpg"},
        NamingCase{"goes on from the previous photo", 0, 0, "pics/", "pics/Photo_00012.jpg", {},
                   "pics/Photo_00013.jpg"},
        NamingCase{"skips existing files and folders", 0, 0, "pics/", "pics/Photo_00012.jpg",
                   {"pics/Photo_00013.jpg", "pics/Photo_00014.jpg/"}, "pics/Photo_00015.jpg"},
        NamingCase{"six digits read back", 0, 0, "pics/", "pics/Photo_100000.jpg", {}, "pics/Photo_100001.jpg"},
        NamingCase{"BMP format", 0, 1, "pics/", "", {}, "pics/Photo_00001.bmp"},
        NamingCase{"folder without trailing separator", 1, 0, "vids", "", {}, "vids/Video_00001.wmv"},
        NamingCase{"prefix inside the folder name reads as 0", 1, 0, "Video_clips", "Video_clips/Video_00007.wmv",
                   {"Video_clips/Video_00001.wmv"}, "Video_clips/Video_00002.wmv"},
        NamingCase{"previous name without the prefix", 0, 0, "pics/", "!/elsewhere/snapshot.jpg", {},
                   "pics/Photo_00001.jpg"},
        NamingCase{"missing folder is created", 0, 0, "new/deeper/", "", {}, "new/deeper/Photo_00001.jpg"}),
    [](const ::testing::TestParamInfo<NamingCase>& info) {
      std::string name;
      for (const char* p = info.param.what; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      return name;
    });

TEST_F(DataFoldersTest, EmptyFolderSettingFailsAndKeepsTheCurrentPath) {
  AppSettings& s = GetAppSettings();
  s.SetCurrentPhotoPath(L"/x/Photo_00004.jpg");
  EXPECT_EQ(E_FAIL, MakeNextFileName(0));
  EXPECT_EQ(s.GetCurrentPhotoPath(), L"/x/Photo_00004.jpg");
  std::wstring unchanged = L"untouched";
  EXPECT_EQ(E_FAIL, MakeNextFileName(1));
  EXPECT_NE(S_OK, s.GetCurrentRecordingPath(unchanged));
}

}  // namespace
