// Conversions between the program's wide text (wchar_t, UTF-32 on Linux) and
// the encodings of the outside world: UTF-8 for file names, terminals and Qt,
// UTF-16LE for files whose format is defined in UTF-16.
#pragma once

#include <string>
#include <string_view>

namespace win32 {

// Invalid code points become U+FFFD; nothing throws.
std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view text);

// Decodes UTF-16LE bytes (no byte-order mark expected; strip it first).
// Unpaired surrogates become U+FFFD; a trailing odd byte is ignored.
std::wstring FromUtf16LE(std::string_view bytes);
std::string ToUtf16LE(std::wstring_view text);

}  // namespace win32
