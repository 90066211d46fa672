// The registry calls the program makes, on text files.
//
// Two hives:
//   HKEY_CURRENT_USER   $XDG_CONFIG_HOME/zorcam/registry.reg ($HOME/.config
//                       when XDG_CONFIG_HOME is unset)
//   HKEY_LOCAL_MACHINE  $ZORCAM_MACHINE_CONFIG_DIR/registry.reg
//                       (/etc/xdg/zorcam/registry.reg when unset)
// The locations are read at every call, so a test can point them elsewhere.
// The file format is described in hive_file.h.
//
// Views of HKEY_LOCAL_MACHINE: with KEY_WOW64_32KEY, paths under "SOFTWARE\"
// are redirected to "SOFTWARE\WOW6432Node\" as a 64-bit system does for
// 32-bit programs; KEY_WOW64_64KEY or neither flag means the native view.
//
// Durability: every change re-reads the hive file under an exclusive lock
// (flock on "registry.reg.lock"), applies itself, writes "registry.reg.tmp",
// flushes it and renames it over the hive. A crash or a kill at any moment
// leaves the old or the new file, and two processes changing the same hive
// never lose each other's changes. Readers take no lock (rename is atomic).
//
// A hive file that does not parse is renamed aside to
// "registry.reg.corrupt-<UTC time>[-n]" (never over an existing file) and the
// call fails with ERROR_BADDB; the next change starts an empty hive.
//
// Handles are valid until RegCloseKey; a key deleted while a handle to it is
// open makes value calls on that handle fail with ERROR_KEY_DELETED.
#pragma once

#include "win32/types.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LSTATUS = LONG;

inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000001u));
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002u));

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

constexpr DWORD ERROR_BAD_PATHNAME = 161;
constexpr DWORD ERROR_BADDB = 1009;
constexpr DWORD ERROR_KEY_DELETED = 1018;

// Opens the current user's hive root. ERROR_BADDB when its file is corrupt
// (the file has then been kept aside).
LSTATUS RegOpenCurrentUser(REGSAM samDesired, PHKEY phkResult);

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, void* lpSecurityAttributes, PHKEY phkResult,
                        DWORD* lpdwDisposition);

// ERROR_FILE_NOT_FOUND when the key does not exist.
LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);

// With lpData null, reports the size in *lpcbData. A value larger than
// *lpcbData fails with ERROR_MORE_DATA and reports its size; nothing is
// copied then. A missing value is ERROR_FILE_NOT_FOUND.
LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD* lpReserved, DWORD* lpType, BYTE* lpData,
                         DWORD* lpcbData);

// Stores exactly cbData bytes of lpData with the given type.
LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                       DWORD cbData);

LSTATUS RegCloseKey(HKEY hKey);

// Deletes the key and all its subkeys. ERROR_FILE_NOT_FOUND when missing.
LSTATUS SHDeleteKeyW(HKEY hKey, LPCWSTR pszSubKey);
