// LanguageReader: every text the program shows comes from "Zorcam.ini" in the
// program folder, a UTF-16LE file with one section per language ("English",
// "German", ...). The reader picks the section from the user's language and
// looks keys up with a fallback to "English".
//
// Construction also makes the program folder the process's current directory
// (relative names such as the help file and the picture folders resolve
// against it) and switches the C runtime locale to the user's. Readers are
// used on the user-interface thread only.
//
// The environment variable ZORCAM_LANGUAGE_FILE, when set, names the language
// file to read instead (for translators trying a file, and for tests).
#pragma once

#include <string>

#include "win32/config/locale.h"
#include "win32/types.h"

// Every lookup uses a buffer of this many characters: texts hold at most 259.
constexpr DWORD kLanguageTextChars = 260;

struct LanguageReader {
  wchar_t section[64];   // name of the chosen language section
  wchar_t path[260];     // the program folder + "/Zorcam.ini" (see above)

  LanguageReader();

  // Reads `key` from the chosen section, then, when that yields nothing (a
  // missing key or an empty text), from "English". `buffer` holds
  // kLanguageTextChars characters. Returns the number of characters copied;
  // 0 means not found (the buffer then holds an empty string).
  DWORD Lookup(LPCWSTR key, LPWSTR buffer) const;

  // The same, as a string ("" when not found).
  std::wstring Text(LPCWSTR key) const;

  // The section of a language identifier: the primary language (low byte)
  // selects it, Chinese and Croatian/Serbian also look at the sublanguage.
  static const wchar_t* SectionFor(LANGID language);
};
