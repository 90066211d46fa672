// Data folders and file naming on Linux folders. Paths are wide strings in
// the program and UTF-8 on the file system.
#include "capture/data_folders.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "config/settings.h"
#include "win32/text.h"

namespace fs = std::filesystem;

namespace {

void AppendSeparator(std::wstring& path) {
  if (path.empty() || path.back() != L'/') path += L'/';
}

fs::path ToFsPath(const std::wstring& path) { return fs::path(win32::ToUtf8(path)); }

// One level of directory creation; an existing folder is success.
bool MakeOneFolder(const std::wstring& path) {
  if (::mkdir(win32::ToUtf8(path).c_str(), 0777) == 0) return true;
  return errno == EEXIST;
}

// Reads the decimal number at the start of `text` (at most `limit`
// characters); no digits read as 0.
int ReadNumber(const std::wstring& text, size_t limit) {
  long long value = 0;
  for (size_t i = 0; i < text.size() && i < limit; ++i) {
    if (text[i] < L'0' || text[i] > L'9') break;
    value = value * 10 + (text[i] - L'0');
  }
  return static_cast<int>(value);
}

bool NameTaken(const std::wstring& path) {
  std::error_code ec;
  return fs::symlink_status(ToFsPath(path), ec).type() != fs::file_type::not_found;
}

}  // namespace

void GetDataFolder(std::wstring& path) {
  std::wstring appData;
  GetAppDataFolder(appData);
  if (appData.empty()) {
    path.clear();
    return;
  }
  AppendSeparator(appData);
  path = appData + L"corvane/Zorcam/";
}

HRESULT CreateDataFolders() {
  std::wstring base;
  GetAppDataFolder(base);
  if (base.empty()) return E_FAIL;
  AppendSeparator(base);
  const std::wstring maker = base + L"corvane/";
  const std::wstring data = maker + L"Zorcam/";
  for (const std::wstring& folder : {maker, data, data + L"Thumbnail", data + L"Thumbnail/ScreenCover",
                                     data + L"Effect", data + L"Effect/ScreenCover"}) {
    if (!MakeOneFolder(folder)) return E_FAIL;
  }
  return S_OK;
}

void MakeTimeName(std::wstring& name) {
  const long long seconds = static_cast<long long>(std::time(nullptr));
  name = L"USERSC" + std::to_wstring(seconds);
}

HRESULT EnsureFolder(const std::wstring& path) {
  const std::string native = win32::ToUtf8(path);
  struct stat info{};
  bool known = ::stat(native.c_str(), &info) == 0;
  if (!known && errno == ENOENT) {
    std::error_code ec;
    fs::create_directories(fs::path(native), ec);
    if (ec) return E_FAIL;
    known = ::stat(native.c_str(), &info) == 0;
  }
  // Read-only (no write permission for the owner), or attributes unknown:
  // make it writable for the owner.
  if (!known || (info.st_mode & S_IWUSR) == 0) {
    const mode_t mode = known ? (info.st_mode & 07777) | S_IWUSR : 0755;
    if (::chmod(native.c_str(), mode) != 0) return E_FAIL;
  }
  return S_OK;
}

HRESULT MakeNextFileName(int isVideo) {
  AppSettings& settings = GetAppSettings();
  std::wstring folder;
  std::wstring previous;
  std::wstring prefix;
  std::wstring extension;
  if (isVideo != 0) {
    folder = settings.CaptureWndBasic.VideoFolder;
    EnsureFolder(folder);  // a failure shows later, when the file is written
    settings.GetCurrentRecordingPath(previous);
    prefix = L"Video_";
    extension = L".wmv";
  } else {
    folder = settings.CaptureWndBasic.PhotoFolder;
    EnsureFolder(folder);
    previous = settings.GetCurrentPhotoPath();
    prefix = L"Photo_";
    extension = settings.CaptureWndBasic.PhotoFormat == 1 ? L".bmp" : L".jpg";
  }

  // Go on from the number after the first occurrence of the prefix in the
  // previous name (a previous name without the prefix counts as 0).
  int number = 1;
  if (!previous.empty()) {
    const size_t at = previous.find(prefix);
    const int last = at == std::wstring::npos ? 0 : ReadNumber(previous.substr(at + prefix.size()), 7);
    number = last + 1;
  }

  if (folder.empty()) return E_FAIL;
  AppendSeparator(folder);
  std::wstring name;
  do {
    wchar_t digits[32];
    std::swprintf(digits, sizeof(digits) / sizeof(digits[0]), L"%05d", number);
    name = folder + prefix + digits + extension;
    ++number;
  } while (NameTaken(name));

  if (isVideo != 0) {
    settings.SetCurrentRecordingPath(name);
  } else {
    settings.SetCurrentPhotoPath(name);
  }
  return S_OK;
}
