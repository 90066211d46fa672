// Fuzzes the parsers of the configuration files the program reads from disk:
// the registry hive text (first input byte even) and the language file read
// through GetPrivateProfileStringW (first byte odd). An accepted hive must
// format back into text that parses again; a profile lookup must stay inside
// its buffer.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "win32/config/hive_file.h"
#include "win32/config/profile.h"
#include "win32/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 2 == 0) {
    auto hive = win32::reg::ParseHive(bytes);
    if (hive && !win32::reg::ParseHive(win32::reg::FormatHive(*hive))) std::abort();
    return 0;
  }
  static const std::string path = "/tmp/zorcam-config-fuzz-" + std::to_string(::getpid()) + ".ini";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  std::wstring wide = win32::FromUtf8(path);
  wchar_t buffer[17];
  buffer[16] = L'#';
  for (const wchar_t* section : {L"English", L"German"}) {
    DWORD n = GetPrivateProfileStringW(section, L"CAPTION", L"", buffer, 16, wide.c_str());
    if (n > 15 || buffer[n] != L'\0' || buffer[16] != L'#') std::abort();
  }
  return 0;
}
