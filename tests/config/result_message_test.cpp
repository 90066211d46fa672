// ShowResultMessage through a recording user interface.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <vector>

#include "config/result_codes.h"
#include "config/result_message.h"
#include "support/test_home.h"
#include "win32/text.h"

namespace {

HWND FakeWindow(uintptr_t n) { return reinterpret_cast<HWND>(n); }

// Records what ShowResultMessage does with the windows and the boxes.
class RecordingUi : public ResultMessageUi {
 public:
  struct Shown {
    HWND owner;
    std::wstring text;
    std::map<AppWindow, bool> enabledWhileShown;
  };

  HWND toolBar = nullptr;
  std::map<AppWindow, bool> exists;   // windows that exist (with a window)
  std::map<AppWindow, bool> enabled;  // their enabled state
  std::vector<Shown> shown;
  std::vector<HWND> boxOwners;        // every box created, shown or not
  // Runs inside the modal loop of the n-th shown box (re-entrant reports).
  std::map<size_t, std::function<void()>> duringBox;

  HWND ToolBarWindow() override { return toolBar; }
  bool HasWindow(AppWindow w) override { return exists[w]; }
  void EnableAppWindow(AppWindow w, bool enable) override {
    EXPECT_TRUE(exists[w]) << "a window that does not exist was touched";
    enabled[w] = enable;
  }
  std::unique_ptr<IResultMessageBox> CreateMessageBox(HWND owner) override {
    boxOwners.push_back(owner);
    return std::make_unique<Box>(*this, owner);
  }

 private:
  struct Box : IResultMessageBox {
    Box(RecordingUi& ui, HWND owner) : ui(ui), owner(owner) {}
    void RunModal(const std::wstring& text) override {
      size_t index = ui.shown.size();
      ui.shown.push_back({owner, text, ui.enabled});
      if (auto it = ui.duringBox.find(index); it != ui.duringBox.end()) it->second();
    }
    RecordingUi& ui;
    HWND owner;
  };
};

class ResultMessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = std::filesystem::current_path();
    file_ = zorcam::testing::TestHome() / "Zorcam.ini";
    std::wstring text =
        L"[English]\r\nNB_PLAYER_E_PREVIEW=Preview failed\r\nNB_PLAYER_E_DUMPDEVICE=No camera\r\n"
        L"NB_SERVICE_EFFECT_OFF=Effects off\r\nNB_SERVICE_DEEP_TONE_OFF=DeepTone off\r\n"
        L"NIMBO_E_FAIL=Failed\r\nNBEM_E_BAD_PARAMS=\r\n"
        L"[German]\r\nNB_PLAYER_E_DUMPDEVICE=Keine Kamera\r\nNIMBO_E_FAIL=Fehlgeschlagen\r\n";
    zorcam::testing::WriteFile(file_, "\xFF\xFE" + win32::ToUtf16LE(text));
    ::setenv("ZORCAM_LANGUAGE_FILE", file_.c_str(), 1);
    ::setenv("LANG", "de_DE.UTF-8", 1);
    ui_.toolBar = FakeWindow(0x100);
    for (AppWindow w : {AppWindow::kToolBar, AppWindow::kCameraSettingsSheet, AppWindow::kCaptureWindow}) {
      ui_.exists[w] = true;
      ui_.enabled[w] = true;
    }
    SetResultMessageUi(&ui_);
  }
  void TearDown() override {
    SetResultMessageUi(nullptr);
    ::unsetenv("ZORCAM_LANGUAGE_FILE");
    ::unsetenv("LANG");
    std::filesystem::current_path(saved_);
  }
  void ExpectAllEnabled() {
    for (auto [w, on] : ui_.enabled) EXPECT_TRUE(on) << static_cast<int>(w);
  }

  RecordingUi ui_;
  std::filesystem::path file_;
  std::filesystem::path saved_;
};

TEST_F(ResultMessageTest, ShowsTheUsersTextWithTheOtherWindowsDisabled) {
  ShowResultMessage(FakeWindow(0x200), NB_PLAYER_E_DUMPDEVICE);
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text, L"Keine Kamera");
  EXPECT_EQ(ui_.shown[0].owner, FakeWindow(0x100)) << "the tool bar owns the box when it exists";
  for (auto [w, on] : ui_.shown[0].enabledWhileShown) EXPECT_FALSE(on) << static_cast<int>(w);
  EXPECT_FALSE(ui_.shown[0].enabledWhileShown.count(AppWindow::kEffectSheet));
  ExpectAllEnabled();
}

TEST_F(ResultMessageTest, FallsBackToEnglish) {
  ShowResultMessage(nullptr, NB_PLAYER_E_PREVIEW);
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text, L"Preview failed");
}

TEST_F(ResultMessageTest, CodesWithoutTextShowNothingButReenableEveryWindow) {
  // One window was disabled before the call: it comes back enabled.
  ui_.enabled[AppWindow::kCaptureWindow] = false;
  for (HRESULT code : {NB_PLAYER_E_SET_PROPERTY, NB_E_REG_VALUE, NBEM_E_BAD_PARAMS, NBEM_E_START_HOOK, E_FAIL,
                       HRESULT{0}}) {
    ShowResultMessage(FakeWindow(0x200), code);
    EXPECT_TRUE(ui_.shown.empty()) << std::hex << code;
    ExpectAllEnabled();
  }
}

TEST_F(ResultMessageTest, WithoutToolBarTheCallersWindowOwnsTheBox) {
  ui_.toolBar = nullptr;
  ui_.exists[AppWindow::kToolBar] = false;
  ui_.enabled.erase(AppWindow::kToolBar);
  ShowResultMessage(FakeWindow(0x200), NB_PLAYER_E_DUMPDEVICE);
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].owner, FakeWindow(0x200));
}

TEST_F(ResultMessageTest, RepeatedEffectOffReportShowsOneBoxButOtherReportsStack) {
  ui_.duringBox[0] = [] {
    ShowResultMessage(nullptr, NB_SERVICE_EFFECT_OFF);     // dropped: already on screen
    ShowResultMessage(nullptr, NB_SERVICE_DEEP_TONE_OFF);  // a second box on top
  };
  ShowResultMessage(nullptr, NB_SERVICE_EFFECT_OFF);
  ASSERT_EQ(ui_.shown.size(), 2u);
  EXPECT_EQ(ui_.shown[0].text, L"Effects off");
  EXPECT_EQ(ui_.shown[1].text, L"DeepTone off");
  ExpectAllEnabled();
  // Once the box is closed the condition can be reported again.
  ShowResultMessage(nullptr, NB_SERVICE_EFFECT_OFF);
  EXPECT_EQ(ui_.shown.size(), 3u);
}

TEST_F(ResultMessageTest, MissingLanguageFileShowsNothing) {
  ::setenv("ZORCAM_LANGUAGE_FILE", (zorcam::testing::TestHome() / "none.ini").c_str(), 1);
  ShowResultMessage(nullptr, NIMBO_E_FAIL);
  EXPECT_TRUE(ui_.shown.empty());
  ExpectAllEnabled();
}

}  // namespace
