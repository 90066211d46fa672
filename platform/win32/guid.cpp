#include "win32/guid.h"

#include <cstdio>

namespace win32 {
namespace {

int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// Reads `digits` hex digits at text[pos]; false on any non-hex character.
bool ReadHex(std::wstring_view text, size_t pos, int digits, std::uint64_t* value) {
  std::uint64_t v = 0;
  for (int i = 0; i < digits; ++i) {
    int h = HexValue(text[pos + i]);
    if (h < 0) return false;
    v = (v << 4) | static_cast<unsigned>(h);
  }
  *value = v;
  return true;
}

}  // namespace

bool ParseGuid(std::wstring_view text, GUID* out) {
  // {8-4-4-4-12}: 38 characters.
  if (text.size() != 38 || text[0] != L'{' || text[37] != L'}' || text[9] != L'-' || text[14] != L'-' ||
      text[19] != L'-' || text[24] != L'-')
    return false;
  GUID g{};
  std::uint64_t v = 0;
  if (!ReadHex(text, 1, 8, &v)) return false;
  g.Data1 = static_cast<DWORD>(v);
  if (!ReadHex(text, 10, 4, &v)) return false;
  g.Data2 = static_cast<WORD>(v);
  if (!ReadHex(text, 15, 4, &v)) return false;
  g.Data3 = static_cast<WORD>(v);
  static constexpr size_t kByteAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!ReadHex(text, kByteAt[i], 2, &v)) return false;
    g.Data4[i] = static_cast<BYTE>(v);
  }
  *out = g;
  return true;
}

std::wstring FormatGuid(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return std::wstring(buf, buf + 38);
}

}  // namespace win32
