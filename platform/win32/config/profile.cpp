#include "win32/config/profile.h"

#include <sys/stat.h>

#include <ctime>
#include <cwctype>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <unordered_map>

#include "win32/text.h"

namespace {

using Section = std::unordered_map<std::wstring, std::wstring>;  // folded key -> value

struct ParsedFile {
  // stat identity the parse belongs to
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{};
  std::unordered_map<std::wstring, Section> sections;  // folded section name
};

std::mutex g_cacheLock;  // guards g_cache
std::map<std::string, std::shared_ptr<const ParsedFile>> g_cache;

std::wstring Fold(std::wstring_view s) {
  std::wstring out(s);
  for (wchar_t& c : out) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return out;
}

std::wstring_view Trim(std::wstring_view s) {
  auto space = [](wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r'; };
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
}

std::wstring Decode(const std::string& bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE)
    return win32::FromUtf16LE(std::string_view(bytes).substr(2));
  if (bytes.starts_with("\xEF\xBB\xBF")) return win32::FromUtf8(std::string_view(bytes).substr(3));
  return win32::FromUtf8(bytes);
}

void Parse(const std::wstring& text, ParsedFile& out) {
  Section* current = nullptr;
  bool currentIsDuplicate = false;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t nl = text.find(L'\n', pos);
    if (nl == std::wstring::npos) nl = text.size();
    std::wstring_view line = Trim(std::wstring_view(text).substr(pos, nl - pos));
    pos = nl + 1;
    if (line.empty() || line.front() == L';') continue;
    if (line.front() == L'[') {
      size_t close = line.find(L']');
      std::wstring name = Fold(Trim(line.substr(1, close == std::wstring_view::npos ? line.size() - 1 : close - 1)));
      auto [it, inserted] = out.sections.try_emplace(name);
      current = &it->second;
      currentIsDuplicate = !inserted;  // the first occurrence of a section wins
      continue;
    }
    size_t eq = line.find(L'=');
    if (!current || currentIsDuplicate || eq == std::wstring_view::npos) continue;
    std::wstring key = Fold(Trim(line.substr(0, eq)));
    std::wstring_view value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    current->try_emplace(key, value);
  }
}

// The parsed file, from the cache when the file is unchanged; null when the
// file cannot be read.
std::shared_ptr<const ParsedFile> Load(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  // File times are coarse (a few milliseconds on ext4): a file changed within
  // the last seconds could change again without a visible difference, so it
  // is parsed afresh and not cached until it has settled.
  bool settled = std::time(nullptr) - st.st_mtim.tv_sec > 2;
  if (settled) {
    std::lock_guard<std::mutex> guard(g_cacheLock);
    auto it = g_cache.find(path);
    if (it != g_cache.end()) {
      const ParsedFile& f = *it->second;
      if (f.dev == st.st_dev && f.ino == st.st_ino && f.size == st.st_size &&
          f.mtime.tv_sec == st.st_mtim.tv_sec && f.mtime.tv_nsec == st.st_mtim.tv_nsec)
        return it->second;
    }
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return nullptr;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  auto parsed = std::make_shared<ParsedFile>();
  parsed->dev = st.st_dev;
  parsed->ino = st.st_ino;
  parsed->size = st.st_size;
  parsed->mtime = st.st_mtim;
  Parse(Decode(bytes.str()), *parsed);
  std::lock_guard<std::mutex> guard(g_cacheLock);
  if (settled) {
    g_cache[path] = parsed;
  } else {
    g_cache.erase(path);
  }
  return parsed;
}

DWORD CopyOut(std::wstring_view text, LPWSTR out, DWORD size) {
  if (!out || size == 0) return 0;
  size_t n = std::min<size_t>(text.size(), size - 1);
  text.copy(out, n);
  out[n] = L'\0';
  return static_cast<DWORD>(n);
}

}  // namespace

DWORD GetPrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpDefault,
                               LPWSTR lpReturnedString, DWORD nSize, LPCWSTR lpFileName) {
  std::wstring_view fallback = lpDefault ? Trim(lpDefault) : std::wstring_view();
  if (!lpAppName || !lpKeyName || !lpFileName) return CopyOut(fallback, lpReturnedString, nSize);
  auto file = Load(win32::ToUtf8(lpFileName));
  if (!file) return CopyOut(fallback, lpReturnedString, nSize);
  auto section = file->sections.find(Fold(Trim(lpAppName)));
  if (section == file->sections.end()) return CopyOut(fallback, lpReturnedString, nSize);
  auto value = section->second.find(Fold(Trim(lpKeyName)));
  if (value == section->second.end()) return CopyOut(fallback, lpReturnedString, nSize);
  return CopyOut(value->second, lpReturnedString, nSize);
}
