// Effect layers and user screen covers: the pair scan and its order, ids
// across program and user covers, selection, reload and delete, and making a
// cover from a picture file.
#include <gtest/gtest.h>

#include <QImage>
#include <filesystem>

#include "capture/data_folders.h"
#include "config/result_codes.h"
#include "effects/effect_layers.h"
#include "effects/effect_mgr.h"
#include "manager_fixture.h"
#include "support/test_home.h"
#include "win32/text.h"

namespace zorcam::testing {
namespace {

namespace fs = std::filesystem;

std::wstring W(const fs::path& p) { return win32::FromUtf8(p.string()); }

std::vector<std::string> Names(const std::vector<PicturePair>& pairs) {
  std::vector<std::string> names;
  for (const PicturePair& p : pairs) names.push_back(fs::path(win32::ToUtf8(p.picture)).filename().string());
  return names;
}

TEST_F(ManagerTest, PairScanMatchesBaseNamesExactlyInCaseInsensitiveOrder) {
  const fs::path root = programFolder;
  WriteFile(root / "Effect/Frame/Wood.png", "p");
  WriteFile(root / "Thumbnail/Frame/Wood.bmp", "b");
  WriteFile(root / "Effect/Frame/Stone.png", "p");
  WriteFile(root / "Thumbnail/Frame/stone.bmp", "b");  // differs in case: no pair
  WriteFile(root / "Effect/Frame/lonely.png", "p");    // no preview
  WriteFile(root / "Thumbnail/Frame/orphan.bmp", "b"); // no picture
  WriteFile(root / "Effect/Frame/apple.PNG", "p");     // extensions match in any case
  WriteFile(root / "Thumbnail/Frame/apple.bmp", "b");
  WriteFile(root / "Effect/Frame/Banana.png", "p");
  WriteFile(root / "Thumbnail/Frame/Banana.bmp", "b");
  WriteFile(root / "Effect/Frame/notes.txt", "x");
  fs::create_directories(root / "Effect/Frame/folder.png");
  std::vector<PicturePair> pairs;
  PairScan(W(root) + L"/", L"Effect/Frame", L"Thumbnail/Frame", pairs);
  EXPECT_EQ((std::vector<std::string>{"apple.PNG", "Banana.png", "Wood.png"}), Names(pairs));
  ASSERT_EQ(3u, pairs.size());
  EXPECT_EQ(W(root / "Thumbnail/Frame/Wood.bmp"), pairs[2].preview);
}

TEST_F(ManagerTest, FolderSearchReportsMissingAndEmptyFolders) {
  std::vector<std::wstring> paths{L"stale"};
  EXPECT_EQ(NBEM_E_DLL_PATH, FindFiles(W(programFolder / "missing"), L"png", paths));
  EXPECT_TRUE(paths.empty());
  fs::create_directories(programFolder / "empty");
  EXPECT_EQ(NBEM_E_DLL_PATH, FindFiles(W(programFolder / "empty"), L"png", paths));
  std::vector<PicturePair> pairs;
  PairScan(W(programFolder) + L"/", L"missing", L"also-missing", pairs);
  EXPECT_TRUE(pairs.empty());
}

TEST_F(ManagerTest, UserCoversFollowProgramCoversAndCountOn) {
  for (const char* n : {"One", "Two", "Three"}) AddPair(programFolder, "ScreenCover", n, 0x101010);
  for (const char* n : {"USERSC100", "USERSC200"}) AddPair(UserDataFolder(), "ScreenCover", n, 0x202020);
  CNBScreenCoverLayer covers;
  ASSERT_EQ(S_OK, covers.Load());
  ASSERT_EQ(5u, covers.Count());
  EXPECT_EQ(0x40003, covers.EffectAt(3)->GetId());
  EXPECT_EQ(0x40004, covers.EffectAt(4)->GetId());
  EXPECT_EQ(W(UserDataFolder() / "Effect/ScreenCover/USERSC200.png"), covers.EffectAt(4)->GetImagePath());
  EXPECT_EQ(NBEM_E_REINITED, covers.Load());
  EXPECT_EQ(5u, covers.Count());
  // A new user cover appears after a reload.
  AddPair(UserDataFolder(), "ScreenCover", "USERSC300", 0x303030);
  EXPECT_EQ(S_OK, covers.Reload());
  EXPECT_EQ(6u, covers.Count());
}

TEST_F(ManagerTest, SelectPastTheEndSelectsNone) {
  for (const char* n : {"A", "B", "C"}) AddPair(programFolder, "Frame", n, 0x445566, 8);
  CNBFrameLayer frames;
  ASSERT_EQ(S_OK, frames.Load());
  EXPECT_EQ(0, frames.Select(0x20001));
  EXPECT_EQ(1, frames.Current());
  EXPECT_EQ(1, frames.IsActive());
  EXPECT_EQ(0, frames.Select(0x20005));
  EXPECT_EQ(0xFFFF, frames.Current());
  EXPECT_EQ(0, frames.IsActive());
  EXPECT_EQ(1, frames.IsInPlace());
}

TEST_F(ManagerTest, DeletingACoverRemovesItsFilesAndKeepsTheCurrentNumber) {
  for (const char* n : {"A", "B", "C"}) AddPair(UserDataFolder(), "ScreenCover", n, 0x808080);
  CNBScreenCoverLayer covers;
  ASSERT_EQ(S_OK, covers.Load());
  covers.Select(0x40002);
  EXPECT_EQ(E_INVALIDARG, covers.Delete(3));
  EXPECT_EQ(E_INVALIDARG, covers.Delete(-1));
  EXPECT_EQ(3u, covers.Count());

  EXPECT_EQ(S_OK, covers.Delete(1));
  EXPECT_FALSE(fs::exists(UserDataFolder() / "Effect/ScreenCover/B.png"));
  EXPECT_FALSE(fs::exists(UserDataFolder() / "Thumbnail/ScreenCover/B.bmp"));
  ASSERT_EQ(2u, covers.Count());
  EXPECT_EQ(W(UserDataFolder() / "Effect/ScreenCover/C.png"), covers.EffectAt(1)->GetImagePath());
  EXPECT_EQ(0x40001, covers.EffectAt(1)->GetId());
  // Current is still 2, now past the end: the next Apply draws nothing and
  // clears it.
  EXPECT_EQ(2, covers.Current());
  Yuy2Frame frame(64, 48);
  const std::vector<BYTE> before = frame.bytes;
  covers.Apply(nullptr, 128, frame.bytes.data(), 128, 64, 48);
  EXPECT_EQ(before, frame.bytes);
  EXPECT_EQ(0xFFFF, covers.Current());
}

TEST_F(ManagerTest, DeleteScreenCoverOfTheManagerAlwaysSucceeds) {
  AddPair(UserDataFolder(), "ScreenCover", "Only", 0x808080);
  NBEffectMgr mgr;
  ASSERT_EQ(S_OK, mgr.Start());
  EXPECT_EQ(S_OK, mgr.DeleteScreenCover(7));
  EXPECT_EQ(1u, mgr.Covers().Count());
  EXPECT_EQ(S_OK, mgr.DeleteScreenCover(0));
  EXPECT_EQ(0u, mgr.Covers().Count());
}

TEST_F(ManagerTest, AddScreenCoverMakesAPreviewAndA640By480Picture) {
  AddPair(programFolder, "ScreenCover", "Program", 0x111111);
  const fs::path source = MakeTempDir("mine") / "holiday.jpg";
  QImage photo(1000, 300, QImage::Format_RGB32);
  photo.fill(QColor(200, 40, 40));
  ASSERT_TRUE(photo.save(QString::fromStdString(source.string()), "JPG"));

  NBEffectMgr mgr;
  ASSERT_EQ(S_OK, mgr.Start());
  ASSERT_EQ(S_OK, mgr.AddScreenCover(W(source)));
  ASSERT_EQ(S_OK, mgr.AddScreenCover(W(source)));  // same second: a second cover, not a replacement
  ASSERT_EQ(3u, mgr.Covers().Count());
  std::vector<EffectListEntry> list;
  ASSERT_EQ(S_OK, mgr.GetEffectList(L"Thumbnail\\ScreenCover", list));
  ASSERT_EQ(3u, list.size());
  EXPECT_NE(list[1].thumbnailPath, list[2].thumbnailPath);
  for (int i : {1, 2}) {
    const std::string preview = win32::ToUtf8(list[i].thumbnailPath);
    EXPECT_EQ(0u, fs::path(preview).filename().string().rfind("USERSC", 0));
    EXPECT_EQ(".bmp", fs::path(preview).extension().string());
    const QImage small(QString::fromStdString(preview));
    EXPECT_EQ(QSize(80, 60), small.size());
    const std::string picture = win32::ToUtf8(mgr.Covers().EffectAt(i)->GetImagePath());
    EXPECT_EQ(".png", fs::path(picture).extension().string());
    const QImage big(QString::fromStdString(picture));
    EXPECT_EQ(QSize(640, 480), big.size());
    EXPECT_NEAR(qRed(big.pixel(320, 240)), 200, 8);
  }
}

TEST_F(ManagerTest, AddScreenCoverOfAnUnreadableFileFailsAndAddsNothing) {
  NBEffectMgr mgr;
  ASSERT_EQ(S_OK, mgr.Start());
  const fs::path junk = MakeTempDir("junk") / "broken.jpg";
  WriteFile(junk, "this is not a picture");
  EXPECT_EQ(NBEM_E_FAIL, mgr.AddScreenCover(W(junk)));
  EXPECT_EQ(NBEM_E_FAIL, mgr.AddScreenCover(L"/no/such/file.png"));
  EXPECT_EQ(0u, mgr.Covers().Count());
  EXPECT_FALSE(fs::exists(UserDataFolder() / "Effect/ScreenCover") &&
               !fs::is_empty(UserDataFolder() / "Effect/ScreenCover"));
}

}  // namespace
}  // namespace zorcam::testing
