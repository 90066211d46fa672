#include "win32/debug.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "win32/text.h"

namespace win32 {
namespace {

std::mutex& SinkLock() {
  static std::mutex lock;
  return lock;
}
DebugCapture* g_capture = nullptr;  // guarded by SinkLock()

bool ToStderr() {
  static const bool enabled = [] {
    const char* v = std::getenv("ZORCAM_DEBUG");
    return v != nullptr && std::strcmp(v, "1") == 0;
  }();
  return enabled;
}

}  // namespace

void Append(const wchar_t* text) {
  std::lock_guard<std::mutex> guard(SinkLock());
  if (g_capture) g_capture->lines_.emplace_back(text);
  if (ToStderr()) {
    std::string utf8 = ToUtf8(text);
    std::fwrite(utf8.data(), 1, utf8.size(), stderr);
  }
}

DebugCapture::DebugCapture() {
  std::lock_guard<std::mutex> guard(SinkLock());
  previous_ = g_capture;
  g_capture = this;
}

DebugCapture::~DebugCapture() {
  std::lock_guard<std::mutex> guard(SinkLock());
  // Captures nest like scopes; unlink this one wherever it sits.
  if (g_capture == this) {
    g_capture = previous_;
    return;
  }
  for (DebugCapture* c = g_capture; c; c = c->previous_) {
    if (c->previous_ == this) {
      c->previous_ = previous_;
      break;
    }
  }
}

std::vector<std::wstring> DebugCapture::Lines() const {
  std::lock_guard<std::mutex> guard(SinkLock());
  return lines_;
}

size_t DebugCapture::Count(const std::wstring& line) const {
  std::lock_guard<std::mutex> guard(SinkLock());
  return static_cast<size_t>(std::count(lines_.begin(), lines_.end(), line));
}

void DebugCapture::Clear() {
  std::lock_guard<std::mutex> guard(SinkLock());
  lines_.clear();
}

}  // namespace win32

void OutputDebugStringW(LPCWSTR text) {
  if (text == nullptr) return;
  win32::Append(text);
}
