#include "config/language_reader.h"

#include <clocale>
#include <cstdlib>
#include <cwchar>

#include "win32/config/profile.h"
#include "win32/config/shell.h"
#include "win32/text.h"

namespace {

struct LanguageRow {
  WORD primary;
  const wchar_t* section;
};

constexpr LanguageRow kLanguages[] = {
    {0x02, L"Bulgarian"}, {0x05, L"Czech"},     {0x06, L"Danish"},    {0x07, L"German"},
    {0x08, L"Greek"},     {0x09, L"English"},   {0x0a, L"Spanish"},   {0x0b, L"Finnish"},
    {0x0c, L"French"},    {0x0d, L"Hebrew"},    {0x0e, L"Hungarian"}, {0x10, L"Italian"},
    {0x11, L"Japanese"},  {0x12, L"Korean"},    {0x13, L"Dutch"},     {0x14, L"Norwegian"},
    {0x15, L"Polish"},    {0x16, L"Portuguese"}, {0x19, L"Russian"},  {0x1b, L"Slovak"},
    {0x1d, L"Swedish"},   {0x1f, L"Turkish"},
};

void CopyText(wchar_t* dst, size_t capacity, const wchar_t* src) {
  std::wcsncpy(dst, src, capacity - 1);
  dst[capacity - 1] = L'\0';
}

}  // namespace

const wchar_t* LanguageReader::SectionFor(LANGID language) {
  WORD primary = language & 0xff;
  if (primary == 0x04)
    return language == 0x0804 || language == 0x1004 ? L"Chinese_Simplified" : L"Chinese_Traditional";
  if (primary == 0x1a) return language == 0x041a ? L"Croatian" : L"Serbian";
  for (const LanguageRow& row : kLanguages)
    if (row.primary == primary) return row.section;
  return L"English";
}

LanguageReader::LanguageReader() {
  std::wmemset(section, 0, std::size(section));
  std::wmemset(path, 0, std::size(path));
  GetModuleFileNameW(nullptr, path, std::size(path));
  if (wchar_t* slash = std::wcsrchr(path, L'/')) *slash = L'\0';
  SetCurrentDirectoryW(path);
  std::wstring file = std::wstring(path) + L"/Zorcam.ini";
  // Translators and tests can point the program at another language file.
  if (const char* other = std::getenv("ZORCAM_LANGUAGE_FILE"); other && *other) file = win32::FromUtf8(other);
  CopyText(path, std::size(path), file.c_str());
  CopyText(section, std::size(section), SectionFor(GetUserDefaultLangID()));
  _wsetlocale(LC_ALL, L".ACP");
}

DWORD LanguageReader::Lookup(LPCWSTR key, LPWSTR buffer) const {
  DWORD n = GetPrivateProfileStringW(section, key, L"", buffer, kLanguageTextChars, path);
  if (n == 0) n = GetPrivateProfileStringW(L"English", key, L"", buffer, kLanguageTextChars, path);
  return n;
}

std::wstring LanguageReader::Text(LPCWSTR key) const {
  wchar_t buffer[kLanguageTextChars];
  DWORD n = Lookup(key, buffer);
  return std::wstring(buffer, n);
}
