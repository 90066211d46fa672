#include "win32/config/shell.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "win32/debug.h"
#include "win32/handles.h"
#include "win32/text.h"

namespace fs = std::filesystem;

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// XDG_<NAME>_DIR from user-dirs.dirs: a line NAME="$HOME/sub" or NAME="/abs".
std::optional<std::string> UserDir(const std::string& name) {
  std::string config = Env("XDG_CONFIG_HOME");
  std::string home = Env("HOME");
  if (config.empty() && !home.empty()) config = home + "/.config";
  if (config.empty()) return std::nullopt;
  std::ifstream in(config + "/user-dirs.dirs");
  std::string line, key = "XDG_" + name + "_DIR=";
  while (std::getline(in, line)) {
    if (!line.starts_with(key)) continue;
    std::string value = line.substr(key.size());
    if (value.size() < 2 || value.front() != '"' || value.back() != '"') continue;
    value = value.substr(1, value.size() - 2);
    if (value.starts_with("$HOME")) {
      if (home.empty()) return std::nullopt;
      value = home + value.substr(5);
    }
    if (value.empty() || value.front() != '/') continue;
    return value;
  }
  return std::nullopt;
}

std::optional<std::string> FolderOf(int csidl) {
  std::string home = Env("HOME");
  auto under = [&](const char* sub) -> std::optional<std::string> {
    if (home.empty()) return std::nullopt;
    return home + "/" + sub;
  };
  switch (csidl & 0xff) {
    case CSIDL_APPDATA: {
      std::string data = Env("XDG_DATA_HOME");
      if (!data.empty()) return data;
      return under(".local/share");
    }
    case CSIDL_MYPICTURES:
      if (auto dir = UserDir("PICTURES")) return dir;
      return under("Pictures");
    case CSIDL_MYVIDEO:
      if (auto dir = UserDir("VIDEOS")) return dir;
      return under("Videos");
    case CSIDL_PROGRAM_FILES: {
      std::string dir = Env("ZORCAM_PROGRAM_FILES_DIR");
      return dir.empty() ? std::string("/opt") : dir;
    }
    default:
      return std::nullopt;
  }
}

// Resolves, optionally creates, and copies into a MAX_PATH buffer.
bool ResolveFolder(int csidl, bool create, LPWSTR out) {
  auto folder = FolderOf(csidl);
  if (!folder) return false;
  while (folder->size() > 1 && folder->back() == '/') folder->pop_back();
  std::wstring wide = win32::FromUtf8(*folder);
  if (wide.size() >= MAX_PATH) return false;
  if (create) {
    std::error_code ec;
    fs::create_directories(*folder, ec);
    if (!fs::is_directory(*folder, ec)) return false;
  }
  wide.copy(out, wide.size());
  out[wide.size()] = L'\0';
  return true;
}

HINSTANCE Result(int value) { return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(value)); }

std::vector<std::string> SplitArgs(LPCWSTR params) {
  std::vector<std::string> out;
  if (!params) return out;
  std::string all = win32::ToUtf8(params), word;
  for (char c : all) {
    if (c == ' ' || c == '\t') {
      if (!word.empty()) out.push_back(std::move(word));
      word.clear();
    } else {
      word.push_back(c);
    }
  }
  if (!word.empty()) out.push_back(std::move(word));
  return out;
}

// Starts argv[0] (searched in PATH when it has no '/') detached from this
// process: a child starts a new session, forks the program and exits at once,
// so the program is never our child and never a zombie of ours. A close-on-
// exec pipe reports a failed exec back. Returns 0 or the errno of the exec.
int SpawnDetached(const std::vector<std::string>& args, const std::string& directory) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int pipefd[2];
  if (::pipe2(pipefd, O_CLOEXEC) != 0) return errno;
  pid_t child = ::fork();
  if (child < 0) {
    int err = errno;
    ::close(pipefd[0]);
    ::close(pipefd[1]);
    return err;
  }
  if (child == 0) {
    // Only async-signal-safe calls from here on.
    ::close(pipefd[0]);
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild == 0) {
      int err = 0;
      if (!directory.empty() && ::chdir(directory.c_str()) != 0) err = errno;
      if (err == 0) {
        ::execvp(argv[0], argv.data());
        err = errno;
      }
      ssize_t ignored = ::write(pipefd[1], &err, sizeof err);
      (void)ignored;
      ::_exit(127);
    }
    ::_exit(grandchild < 0 ? 1 : 0);
  }
  ::close(pipefd[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int err = 0;
  ssize_t n;
  do {
    n = ::read(pipefd[0], &err, sizeof err);  // EOF once the program has exec'd
  } while (n < 0 && errno == EINTR);
  ::close(pipefd[0]);
  if (n == static_cast<ssize_t>(sizeof err)) return err != 0 ? err : ECHILD;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return EAGAIN;
  return 0;
}

int SpawnErrorToShell(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return SE_ERR_FNF;
    case EACCES:
    case EPERM:
      return SE_ERR_ACCESSDENIED;
    case ENOMEM:
      return SE_ERR_OOM;
    default:
      return SE_ERR_NOASSOC;
  }
}

}  // namespace

BOOL SHGetSpecialFolderPathW(HWND, LPWSTR pszPath, int csidl, BOOL fCreate) {
  if (!pszPath) return FALSE;
  return ResolveFolder(csidl, fCreate != FALSE, pszPath) ? TRUE : FALSE;
}

HRESULT SHGetFolderPathW(HWND, int csidl, HANDLE, DWORD, LPWSTR pszPath) {
  if (!pszPath) return E_INVALIDARG;
  if (!FolderOf(csidl)) return E_FAIL;
  return ResolveFolder(csidl, (csidl & CSIDL_FLAG_CREATE) != 0, pszPath) ? S_OK : E_FAIL;
}

HINSTANCE ShellExecuteW(HWND, LPCWSTR lpOperation, LPCWSTR lpFile, LPCWSTR lpParameters,
                        LPCWSTR lpDirectory, int) {
  if (lpOperation && std::wstring_view(lpOperation) != L"open") return Result(SE_ERR_NOASSOC);
  if (!lpFile || !*lpFile) return Result(SE_ERR_FNF);
  std::string file = win32::ToUtf8(lpFile);
  std::string directory = lpDirectory ? win32::ToUtf8(lpDirectory) : std::string();
  std::vector<std::string> args;
  bool url = file.find("://") != std::string::npos;
  struct stat st {};
  if (!url) {
    if (::stat(file.c_str(), &st) != 0) return Result(SE_ERR_FNF);
    // A relative name is resolved here, before the program changes directory.
    file = fs::absolute(file).string();
  }
  if (!url && S_ISREG(st.st_mode) && ::access(file.c_str(), X_OK) == 0) {
    args.push_back(file);
    for (std::string& a : SplitArgs(lpParameters)) args.push_back(std::move(a));
  } else {
    args = {"xdg-open", file};
  }
  int err = SpawnDetached(args, directory);
  if (err != 0) {
    OutputDebugStringW((L"[Shell] cannot start " + win32::FromUtf8(args[0]) + L"\n").c_str());
    return Result(SpawnErrorToShell(err));
  }
  return Result(42);
}

BOOL GetDiskFreeSpaceExW(LPCWSTR lpDirectoryName, ULONGLONG* lpFreeBytesAvailableToCaller,
                         ULONGLONG* lpTotalNumberOfBytes, ULONGLONG* lpTotalNumberOfFreeBytes) {
  std::string path = lpDirectoryName ? win32::ToUtf8(lpDirectoryName) : std::string(".");
  struct statvfs vfs {};
  if (::statvfs(path.c_str(), &vfs) != 0) {
    SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
    return FALSE;
  }
  ULONGLONG unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
  if (lpFreeBytesAvailableToCaller) *lpFreeBytesAvailableToCaller = unit * vfs.f_bavail;
  if (lpTotalNumberOfBytes) *lpTotalNumberOfBytes = unit * vfs.f_blocks;
  if (lpTotalNumberOfFreeBytes) *lpTotalNumberOfFreeBytes = unit * vfs.f_bfree;
  return TRUE;
}

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  if (hModule || !lpFilename || nSize == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) {
    SetLastError(ERROR_GEN_FAILURE);
    return 0;
  }
  std::wstring wide = win32::FromUtf8(exe.string());
  size_t n = std::min<size_t>(wide.size(), nSize - 1);
  wide.copy(lpFilename, n);
  lpFilename[n] = L'\0';
  if (n < wide.size()) SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return static_cast<DWORD>(n);
}

BOOL SetCurrentDirectoryW(LPCWSTR lpPathName) {
  if (!lpPathName) return FALSE;
  if (::chdir(win32::ToUtf8(lpPathName).c_str()) != 0) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

DWORD GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer) {
  std::error_code ec;
  fs::path cwd = fs::current_path(ec);
  if (ec) return 0;
  std::wstring wide = win32::FromUtf8(cwd.string());
  if (!lpBuffer || nBufferLength <= wide.size()) return static_cast<DWORD>(wide.size() + 1);
  wide.copy(lpBuffer, wide.size());
  lpBuffer[wide.size()] = L'\0';
  return static_cast<DWORD>(wide.size());
}
