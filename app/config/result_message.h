// ShowResultMessage: turns a failure code into the user's message, shown in
// the application's message box while the application's other windows are
// disabled.
//
// The windows and the message box belong to the user interface, which
// provides them through ResultMessageUi; tests install a recorder. Runs on the
// user-interface thread only; worker threads post their codes to the tool bar
// window instead.
#pragma once

#include <memory>
#include <string>

#include "win32/config/shell.h"
#include "win32/types.h"

// The windows disabled while a message is up, in the order they are disabled.
enum class AppWindow {
  kToolBar,
  kCameraSettingsSheet,
  kEffectSheet,
  kCaptureWindow,
  kCaptureSettingsSheet,
};

// One message box (the application's own), created for one message.
class IResultMessageBox {
 public:
  virtual ~IResultMessageBox() = default;
  // Shows `text` modally and returns when the user has closed the box. The
  // modal loop keeps dispatching messages, so ShowResultMessage may be
  // re-entered from here.
  virtual void RunModal(const std::wstring& text) = 0;
};

class ResultMessageUi {
 public:
  virtual ~ResultMessageUi() = default;
  // The tool bar window, or null while it does not exist.
  virtual HWND ToolBarWindow() = 0;
  // Whether the window object exists and has a window.
  virtual bool HasWindow(AppWindow which) = 0;
  virtual void EnableAppWindow(AppWindow which, bool enable) = 0;
  virtual std::unique_ptr<IResultMessageBox> CreateMessageBox(HWND owner) = 0;
};

// Installs the user interface (not owned; null removes it). Without one,
// ShowResultMessage shows nothing.
void SetResultMessageUi(ResultMessageUi* ui);

// `window` is the caller's window, the box's owner only while the tool bar
// does not exist. Codes without a message key, and keys with no text in the
// user's language nor in English, show nothing; the windows are disabled and
// enabled again all the same. A second NB_SERVICE_EFFECT_OFF report while
// its message is on screen is dropped.
void ShowResultMessage(HWND window, HRESULT code);
