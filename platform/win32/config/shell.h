// Shell folders, file execution, free disk space and the program's own path.
//
// Folder mapping (paths use '/'):
//   CSIDL_APPDATA        $XDG_DATA_HOME, else $HOME/.local/share
//   CSIDL_MYPICTURES     XDG_PICTURES_DIR of $XDG_CONFIG_HOME/user-dirs.dirs
//                        (as xdg-user-dir reads it), else $HOME/Pictures
//   CSIDL_MYVIDEO        XDG_VIDEOS_DIR of the same file, else $HOME/Videos
//   CSIDL_PROGRAM_FILES  $ZORCAM_PROGRAM_FILES_DIR, else /opt
// A folder "cannot be resolved" when the variables it needs are unset or the
// path does not fit MAX_PATH; whether it exists does not matter unless the
// caller asks for it to be created.
#pragma once

#include "win32/types.h"

struct HWND__;
using HWND = HWND__*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;

constexpr DWORD MAX_PATH = 260;

constexpr int CSIDL_MYVIDEO = 0x000e;
constexpr int CSIDL_APPDATA = 0x001a;
constexpr int CSIDL_PROGRAM_FILES = 0x0026;
constexpr int CSIDL_MYPICTURES = 0x0027;
constexpr int CSIDL_FLAG_CREATE = 0x8000;
constexpr DWORD SHGFP_TYPE_CURRENT = 0;
constexpr DWORD SHGFP_TYPE_DEFAULT = 1;

constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;

// ShellExecuteW results at or below 32 are errors.
constexpr int SE_ERR_FNF = 2;
constexpr int SE_ERR_ACCESSDENIED = 5;
constexpr int SE_ERR_OOM = 8;
constexpr int SE_ERR_NOASSOC = 31;

// Fills `path` (MAX_PATH characters) with the folder; creates it (and its
// parents) when `fCreate` is set. FALSE when it cannot be resolved or created.
BOOL SHGetSpecialFolderPathW(HWND hwnd, LPWSTR pszPath, int csidl, BOOL fCreate);

// The same folders; CSIDL_FLAG_CREATE in `csidl` creates the folder. S_OK,
// or E_FAIL / E_INVALIDARG.
HRESULT SHGetFolderPathW(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPWSTR pszPath);

// Verb "open" (or null). An executable file (a regular file with execute
// permission) is started detached from this process, in lpDirectory when
// given, with lpParameters split at spaces; any other existing file, or a
// URL, is handed to xdg-open. Relative names resolve against the current
// directory. Never blocks on the started program. Returns a value above 32 on
// success, else one of the SE_ERR_* values.
HINSTANCE ShellExecuteW(HWND hwnd, LPCWSTR lpOperation, LPCWSTR lpFile, LPCWSTR lpParameters,
                        LPCWSTR lpDirectory, int nShowCmd);

// statvfs of the volume holding the path: bytes available to this user,
// total bytes, and all free bytes of the volume. Null outputs are skipped.
BOOL GetDiskFreeSpaceExW(LPCWSTR lpDirectoryName, ULONGLONG* lpFreeBytesAvailableToCaller,
                         ULONGLONG* lpTotalNumberOfBytes, ULONGLONG* lpTotalNumberOfFreeBytes);

// The running executable's full path (hModule must be null), cut to nSize - 1
// characters. Returns the number of characters copied, 0 on failure.
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);

BOOL SetCurrentDirectoryW(LPCWSTR lpPathName);
// Returns the length copied, or the size needed (with terminator) when the
// buffer is too small, or 0 on failure.
DWORD GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer);
