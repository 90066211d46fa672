// OutputDebugStringW and the process-wide sink it writes to.
//
// The sink is silent by default, copies every line to standard error (as
// UTF-8) when the environment has ZORCAM_DEBUG=1, and can be captured by tests
// with DebugCapture. Lines are kept exactly as written, "\r\n" included.
#pragma once

#include <string>
#include <vector>

#include "win32/types.h"

void OutputDebugStringW(LPCWSTR text);

namespace win32 {

// While alive, every OutputDebugStringW call (from any thread) is also
// appended to this capture. Captures nest: the newest one receives the lines.
class DebugCapture {
 public:
  DebugCapture();
  ~DebugCapture();
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;

  std::vector<std::wstring> Lines() const;
  // Number of lines equal to `line`.
  size_t Count(const std::wstring& line) const;
  bool Contains(const std::wstring& line) const { return Count(line) > 0; }
  void Clear();

 private:
  friend void Append(const wchar_t* text);
  DebugCapture* previous_;
  std::vector<std::wstring> lines_;
};

}  // namespace win32
