// GetPrivateProfileStringW: reading one key of an initialisation file.
//
// The file is UTF-16LE with a byte-order mark (UTF-8, with or without its
// mark, is accepted too). Sections are "[name]" lines; entries "key=value".
// Section and key names compare case-insensitively, spaces around names and
// values are dropped, and one pair of matching quotes around a value is
// removed. The first occurrence of a section or key wins. Lines starting
// with ';' are comments.
//
// Parsed files are cached per path and re-read when the file's size, time or
// identity changes; a file changed in the last seconds is not cached at all
// (file times are too coarse to see a second change). The cache is safe to
// use from several threads.
#pragma once

#include "win32/types.h"

// Copies the value of lpKeyName in section lpAppName (or lpDefault when the
// file, section or key is missing) into lpReturnedString, cut to nSize - 1
// characters and zero-terminated. Returns the number of characters copied,
// without the terminator. A null section or key name is not supported: the
// default is copied then.
DWORD GetPrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpDefault,
                               LPWSTR lpReturnedString, DWORD nSize, LPCWSTR lpFileName);
