// The notice window registration point (see notice_window.h for the rules).
#include "effects/notice_window.h"

#include <mutex>

namespace {

std::mutex g_noticeLock;                 // guards g_noticeWindow and each post
INoticeWindow* g_noticeWindow = nullptr;  // not owned

}  // namespace

void SetNoticeWindow(INoticeWindow* window) {
  std::lock_guard<std::mutex> hold(g_noticeLock);
  g_noticeWindow = window;
}

void PostNoticeMessage(HRESULT code) {
  std::lock_guard<std::mutex> hold(g_noticeLock);
  if (g_noticeWindow == nullptr || !g_noticeWindow->HasWindowHandle()) return;
  g_noticeWindow->PostMessage(WM_USER_NOTICE, static_cast<WPARAM>(static_cast<DWORD>(code)), 0);
}
