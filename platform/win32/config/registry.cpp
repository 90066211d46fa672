#include "win32/config/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "win32/config/hive_file.h"
#include "win32/debug.h"
#include "win32/text.h"

namespace fs = std::filesystem;

namespace {

using win32::reg::Hive;

enum class HiveId { kUser, kMachine };

// What an HKEY handed out by the open and create calls points to.
struct KeyObject {
  HiveId hive;
  std::wstring path;  // folded-case comparison; "" is the hive's root
  REGSAM access;
};

// Live handles, so that a stale or foreign HKEY fails instead of crashing.
std::mutex g_handlesLock;  // guards g_handles
std::set<KeyObject*> g_handles;

fs::path HiveFolder(HiveId id) {
  if (id == HiveId::kMachine) {
    const char* dir = std::getenv("ZORCAM_MACHINE_CONFIG_DIR");
    return dir && *dir ? fs::path(dir) : fs::path("/etc/xdg/zorcam");
  }
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && *config) return fs::path(config) / "zorcam";
  const char* home = std::getenv("HOME");
  return fs::path(home && *home ? home : "/") / ".config" / "zorcam";
}

void Debug(const std::string& line) { OutputDebugStringW((L"[Registry] " + win32::FromUtf8(line) + L"\n").c_str()); }

DWORD ErrnoToWin32(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_GEN_FAILURE;
  }
}

// Reads the whole file; a missing file reads as empty.
DWORD ReadWhole(const fs::path& path, std::string& out) {
  out.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? ERROR_SUCCESS : ErrnoToWin32(errno);
  char buf[8192];
  while (true) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      ::close(fd);
      return ErrnoToWin32(err);
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return ERROR_SUCCESS;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Moves an unparsable hive file aside under a name that does not exist yet.
void KeepAside(const fs::path& file, const std::string& why) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::gmtime_r(&now, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
  std::string base = file.string() + ".corrupt-" + stamp;
  for (int n = 0; n < 1000; ++n) {
    std::string target = n == 0 ? base : base + "-" + std::to_string(n);
    // link() fails instead of replacing an existing file.
    if (::link(file.c_str(), target.c_str()) == 0) {
      ::unlink(file.c_str());
      Debug("corrupt hive " + file.string() + " (" + why + ") kept as " + target);
      return;
    }
    if (errno != EEXIST) break;
  }
  Debug("corrupt hive " + file.string() + " (" + why + ") could not be kept aside");
}

// Loads a hive without locking. ERROR_BADDB when the file does not parse.
DWORD LoadHive(HiveId id, Hive& hive, std::string* why = nullptr) {
  std::string text;
  DWORD err = ReadWhole(HiveFolder(id) / "registry.reg", text);
  if (err != ERROR_SUCCESS) return err;
  auto parsed = win32::reg::ParseHive(text, why);
  if (!parsed) return ERROR_BADDB;
  hive = std::move(*parsed);
  return ERROR_SUCCESS;
}

// Holds the hive's write lock for its lifetime.
class HiveLock {
 public:
  explicit HiveLock(HiveId id) : folder_(HiveFolder(id)) {
    std::error_code ec;
    fs::create_directories(folder_, ec);
    fd_ = ::open((folder_ / "registry.reg.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      error_ = ErrnoToWin32(errno);
      return;
    }
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        error_ = ErrnoToWin32(errno);
        break;
      }
    }
  }
  ~HiveLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the flock
  }
  HiveLock(const HiveLock&) = delete;
  HiveLock& operator=(const HiveLock&) = delete;
  DWORD error() const { return error_; }
  const fs::path& folder() const { return folder_; }

 private:
  fs::path folder_;
  int fd_ = -1;
  DWORD error_ = ERROR_SUCCESS;
};

// Loads a hive under its held lock; a corrupt file is kept aside and reported.
DWORD LoadLocked(HiveId id, const HiveLock& lock, Hive& hive) {
  std::string why;
  DWORD err = LoadHive(id, hive, &why);
  if (err == ERROR_BADDB) KeepAside(lock.folder() / "registry.reg", why);
  return err;
}

// Writes the hive through a temporary file and an atomic rename; called with
// the lock held.
DWORD StoreLocked(const HiveLock& lock, const Hive& hive) {
  fs::path file = lock.folder() / "registry.reg";
  fs::path tmp = lock.folder() / "registry.reg.tmp";
  std::string text = win32::reg::FormatHive(hive);
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return ErrnoToWin32(errno);
  bool ok = WriteAll(fd, text) && ::fsync(fd) == 0;
  int err = errno;
  ::close(fd);
  if (!ok || ::rename(tmp.c_str(), file.c_str()) != 0) {
    if (ok) err = errno;
    ::unlink(tmp.c_str());
    return ErrnoToWin32(err);
  }
  // The folder is not flushed: after a power loss the rename may be lost,
  // which leaves the previous complete version, and saving stays cheap.
  return ERROR_SUCCESS;
}

// Resolves a handle: predefined roots or a live KeyObject.
bool Resolve(HKEY key, KeyObject& out) {
  if (key == HKEY_CURRENT_USER) {
    out = {HiveId::kUser, L"", KEY_ALL_ACCESS};
    return true;
  }
  if (key == HKEY_LOCAL_MACHINE) {
    out = {HiveId::kMachine, L"", KEY_ALL_ACCESS};
    return true;
  }
  std::lock_guard<std::mutex> guard(g_handlesLock);
  auto* object = reinterpret_cast<KeyObject*>(key);
  if (!g_handles.count(object)) return false;
  out = *object;
  return true;
}

HKEY NewHandle(HiveId hive, std::wstring path, REGSAM access) {
  auto* object = new KeyObject{hive, std::move(path), access};
  std::lock_guard<std::mutex> guard(g_handlesLock);
  g_handles.insert(object);
  return reinterpret_cast<HKEY>(object);
}

// The full path of `sub` below `base` in the view chosen by `sam`.
bool TargetPath(const KeyObject& base, LPCWSTR sub, REGSAM sam, std::wstring& out) {
  auto normal = win32::reg::NormalizeKeyPath(sub ? sub : L"");
  if (!normal) return false;
  out = win32::reg::JoinKeyPath(base.path, *normal);
  if (base.hive == HiveId::kMachine && (sam & KEY_WOW64_32KEY)) {
    std::wstring folded = win32::reg::FoldCase(out);
    bool software = folded == L"software" || folded.starts_with(L"software\\");
    if (software && !folded.starts_with(L"software\\wow6432node")) {
      out = L"SOFTWARE\\WOW6432Node" + out.substr(8);
    }
  }
  return true;
}

}  // namespace

LSTATUS RegOpenCurrentUser(REGSAM samDesired, PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  Hive hive;
  std::string why;
  DWORD err = LoadHive(HiveId::kUser, hive, &why);
  if (err == ERROR_BADDB) {
    HiveLock lock(HiveId::kUser);
    if (lock.error() != ERROR_SUCCESS) return static_cast<LSTATUS>(lock.error());
    err = LoadLocked(HiveId::kUser, lock, hive);  // keeps the file aside if still bad
  }
  if (err != ERROR_SUCCESS) return static_cast<LSTATUS>(err);
  *phkResult = NewHandle(HiveId::kUser, L"", samDesired);
  return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM samDesired, void*,
                        PHKEY phkResult, DWORD* lpdwDisposition) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  KeyObject base;
  if (!Resolve(hKey, base)) return ERROR_INVALID_HANDLE;
  std::wstring path;
  if (!TargetPath(base, lpSubKey, samDesired, path)) return ERROR_BAD_PATHNAME;
  HiveLock lock(base.hive);
  if (lock.error() != ERROR_SUCCESS) return static_cast<LSTATUS>(lock.error());
  Hive hive;
  DWORD err = LoadLocked(base.hive, lock, hive);
  if (err != ERROR_SUCCESS) return static_cast<LSTATUS>(err);
  if (!base.path.empty() && !hive.Find(base.path)) return ERROR_KEY_DELETED;
  bool created = false;
  if (!path.empty()) {
    created = hive.Create(path).second;
    if (created) {
      err = StoreLocked(lock, hive);
      if (err != ERROR_SUCCESS) return static_cast<LSTATUS>(err);
    }
  }
  *phkResult = NewHandle(base.hive, path, samDesired);
  if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  KeyObject base;
  if (!Resolve(hKey, base)) return ERROR_INVALID_HANDLE;
  std::wstring path;
  if (!TargetPath(base, lpSubKey, samDesired, path)) return ERROR_BAD_PATHNAME;
  Hive hive;
  DWORD err = LoadHive(base.hive, hive);
  if (err != ERROR_SUCCESS) return static_cast<LSTATUS>(err);
  if (!path.empty() && !hive.Find(path)) return ERROR_FILE_NOT_FOUND;
  *phkResult = NewHandle(base.hive, path, samDesired);
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD* lpReserved, DWORD* lpType, BYTE* lpData,
                         DWORD* lpcbData) {
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  KeyObject key;
  if (!Resolve(hKey, key)) return ERROR_INVALID_HANDLE;
  if (!(key.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  Hive hive;
  DWORD err = LoadHive(key.hive, hive);
  if (err != ERROR_SUCCESS) return static_cast<LSTATUS>(err);
  win32::reg::Key* k = hive.Find(key.path);
  if (!k) return key.path.empty() ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
  win32::reg::Value* v = k->Find(lpValueName ? lpValueName : L"");
  if (!v) return ERROR_FILE_NOT_FOUND;
  if (lpType) *lpType = v->type;
  DWORD size = static_cast<DWORD>(v->data.size());
  if (lpData && *lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  if (lpData) std::copy(v->data.begin(), v->data.end(), lpData);
  if (lpcbData) *lpcbData = size;
  return ERROR_SUCCESS;
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
  if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
  KeyObject key;
  if (!Resolve(hKey, key)) return ERROR_INVALID_HANDLE;
  if (!(key.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  HiveLock lock(key.hive);
  if (lock.error() != ERROR_SUCCESS) return static_cast<LSTATUS>(lock.error());
  Hive hive;
  DWORD err = LoadLocked(key.hive, lock, hive);
  if (err != ERROR_SUCCESS) return static_cast<LSTATUS>(err);
  // Values directly in a hive's root are not supported (nothing stores any).
  win32::reg::Key* k = key.path.empty() ? nullptr : hive.Find(key.path);
  if (!k) return key.path.empty() ? ERROR_ACCESS_DENIED : ERROR_KEY_DELETED;
  std::wstring name = lpValueName ? lpValueName : L"";
  win32::reg::Value* v = k->Find(name);
  // Rewriting the file for a value that is already stored exactly so would
  // only cost a flush.
  if (v && v->type == dwType && v->data.size() == cbData && std::equal(v->data.begin(), v->data.end(), lpData))
    return ERROR_SUCCESS;
  if (!v) {
    k->values.push_back({name, 0, {}});
    v = &k->values.back();
  }
  v->type = dwType;
  v->data.assign(lpData, lpData + cbData);
  return static_cast<LSTATUS>(StoreLocked(lock, hive));
}

LSTATUS RegCloseKey(HKEY hKey) {
  if (hKey == HKEY_CURRENT_USER || hKey == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  auto* object = reinterpret_cast<KeyObject*>(hKey);
  {
    std::lock_guard<std::mutex> guard(g_handlesLock);
    if (!g_handles.erase(object)) return ERROR_INVALID_HANDLE;
  }
  delete object;
  return ERROR_SUCCESS;
}

LSTATUS SHDeleteKeyW(HKEY hKey, LPCWSTR pszSubKey) {
  KeyObject base;
  if (!Resolve(hKey, base)) return ERROR_INVALID_HANDLE;
  std::wstring path;
  if (!TargetPath(base, pszSubKey, 0, path) || path.empty()) return ERROR_BAD_PATHNAME;
  HiveLock lock(base.hive);
  if (lock.error() != ERROR_SUCCESS) return static_cast<LSTATUS>(lock.error());
  Hive hive;
  DWORD err = LoadLocked(base.hive, lock, hive);
  if (err != ERROR_SUCCESS) return static_cast<LSTATUS>(err);
  if (!hive.Delete(path)) return ERROR_FILE_NOT_FOUND;
  return static_cast<LSTATUS>(StoreLocked(lock, hive));
}
