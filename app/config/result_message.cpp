#include "config/result_message.h"

#include "config/language_reader.h"
#include "config/result_codes.h"

namespace {

ResultMessageUi* g_ui = nullptr;
// Set while the effect-off message is on screen (user-interface thread only).
bool g_effectOffShown = false;

constexpr AppWindow kDisabledWindows[] = {AppWindow::kToolBar, AppWindow::kCameraSettingsSheet,
                                          AppWindow::kEffectSheet, AppWindow::kCaptureWindow,
                                          AppWindow::kCaptureSettingsSheet};

void EnableAll(ResultMessageUi& ui, bool enable) {
  for (AppWindow w : kDisabledWindows)
    if (ui.HasWindow(w)) ui.EnableAppWindow(w, enable);
}

// Clears the effect-off flag when the box closes, also by an exception.
struct EffectOffShown {
  EffectOffShown() { g_effectOffShown = true; }
  ~EffectOffShown() { g_effectOffShown = false; }
};

}  // namespace

void SetResultMessageUi(ResultMessageUi* ui) { g_ui = ui; }

void ShowResultMessage(HWND window, HRESULT code) {
  if (code == NB_SERVICE_EFFECT_OFF && g_effectOffShown) return;
  ResultMessageUi* ui = g_ui;
  if (!ui) return;
  LanguageReader reader;
  HWND toolBar = ui->ToolBarWindow();
  std::unique_ptr<IResultMessageBox> box = ui->CreateMessageBox(toolBar ? toolBar : window);
  EnableAll(*ui, false);
  // The three message tables in turn: general, effect manager, player.
  for (ResultTable table : {ResultTable::kGeneral, ResultTable::kEffect, ResultTable::kPlayer}) {
    const ResultCodeInfo* info = FindResultCode(code);
    if (!info || info->table != table || !info->messageKey) continue;
    std::wstring text = reader.Text(info->messageKey);
    if (text.empty()) continue;
    if (box) {
      if (code == NB_SERVICE_EFFECT_OFF) {
        EffectOffShown shown;
        box->RunModal(text);
      } else {
        box->RunModal(text);
      }
    }
    break;
  }
  EnableAll(*ui, true);
}
