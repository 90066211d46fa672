// The registration point of the notice window: the window that receives the
// effect-enable rules' notices (message WM_USER+7, wParam = result code,
// lParam = 0). The tool bar registers itself here when it obtains the player
// manager; tests register a recorder.
//
// Threads: notices are posted from the effect thread. PostNoticeMessage never
// waits for the receiving thread; the registration lock is held only while
// the message is handed over, so unregistering waits for a post in progress
// and no post reaches a window after it has been unregistered.
#pragma once

#include "win32/types.h"

constexpr UINT WM_USER_NOTICE = 0x400 + 7;  // WM_USER+7

class INoticeWindow {
 public:
  virtual ~INoticeWindow() = default;
  // False while the window has no handle (not created yet, or destroyed).
  virtual bool HasWindowHandle() const = 0;
  // Queues the message for the window's thread and returns at once.
  virtual void PostMessage(UINT message, WPARAM wParam, LPARAM lParam) = 0;
};

// Registers `window` (not owned); nullptr unregisters. The window must stay
// valid until it is unregistered.
void SetNoticeWindow(INoticeWindow* window);

// Posts WM_USER+7 with `code` and 0 to the registered window; does nothing
// when none is registered or its handle is null.
void PostNoticeMessage(HRESULT code);
