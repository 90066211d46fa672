// The text form of one registry hive: the keys and values of one file.
//
// A hive file is UTF-8 text that a person can read and edit:
//
//   ; Zorcam registry hive
//   [Software\Corvane\Zorcam\ToolBar]
//   "AutoRun"=dword:00000001
//   "PositionX"=hex:00,00,00,00
//   "PhotoFolder"=sz(520):"/home/ann/Pictures"
//
// One section per key (full path from the hive's root, backslash-separated);
// value lines below it. Value data forms, all of them exact about the stored
// bytes and type:
//   dword:XXXXXXXX     REG_DWORD of 4 bytes
//   hex:..,..          REG_BINARY, the bytes
//   sz:"text"          REG_SZ, UTF-16LE text and one terminating zero unit
//   sz(N):"text"       REG_SZ of exactly N bytes: the text, then zero bytes
//   hex(T):..,..       any other type T (decimal) or data, the bytes
// Strings escape \\ \" and control characters as \xHH;. The name "@" (bare)
// is the key's default value. Lines starting with ';' and blank lines are
// ignored. Anything else is a parse error: the whole file is rejected.
//
// Keys and value names compare case-insensitively and keep the case they
// were created with.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "win32/types.h"

namespace win32::reg {

struct Value {
  std::wstring name;
  DWORD type = 0;
  std::vector<BYTE> data;
};

struct Key {
  std::wstring path;            // as created; "" is never stored (the root)
  std::vector<Value> values;    // in order of creation
  Value* Find(std::wstring_view name);
};

// Lower-cased form used to compare key paths and value names.
std::wstring FoldCase(std::wstring_view text);

class Hive {
 public:
  // Keys by folded path; std::map keeps a parent before its children.
  std::map<std::wstring, Key> keys;

  Key* Find(std::wstring_view path);
  // Creates the key and any missing parents; returns the key and whether it
  // was new.
  std::pair<Key*, bool> Create(std::wstring_view path);
  // Removes the key and everything below it; false when it did not exist.
  bool Delete(std::wstring_view path);
};

// Checks and normalises a relative key path: no leading backslash, no empty
// component, at most one trailing backslash (dropped). std::nullopt when bad.
std::optional<std::wstring> NormalizeKeyPath(std::wstring_view path);

// Joins a key's path and a relative subkey path.
std::wstring JoinKeyPath(std::wstring_view base, std::wstring_view sub);

std::string FormatHive(const Hive& hive);

// std::nullopt on any syntax error; `error` then says which line and why.
std::optional<Hive> ParseHive(std::string_view text, std::string* error = nullptr);

}  // namespace win32::reg
