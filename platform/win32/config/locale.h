// The user's language as a Windows language identifier, from the POSIX
// locale, and the C runtime locale switch the language reader makes.
#pragma once

#include <string_view>

#include "win32/types.h"

using LANGID = WORD;

constexpr WORD PRIMARYLANGID(LANGID id) { return static_cast<WORD>(id & 0x3ff); }
constexpr WORD SUBLANGID(LANGID id) { return static_cast<WORD>(id >> 10); }
constexpr LANGID MAKELANGID(WORD primary, WORD sub) { return static_cast<LANGID>((sub << 10) | primary); }

// The first non-empty of LC_ALL, LC_MESSAGES and LANG, mapped by
// LangIdFromLocaleName. "C", "POSIX", an unset locale and unknown languages
// give English (United States), 0x0409.
LANGID GetUserDefaultLangID();

// Maps a POSIX locale name ("de_DE.UTF-8", "sr_RS@latin", "zh_TW") to a
// language identifier: the language and territory select the sublanguage,
// a language alone gets its main country; unknown names give 0x0409.
LANGID LangIdFromLocaleName(std::string_view name);

// setlocale for the categories the program cares about. The locale name
// ".ACP" means "the user's locale from the environment". For LC_ALL every
// category follows the user except LC_NUMERIC, which stays "C" so that
// numbers the program writes into files never depend on the user's locale.
// Returns the new locale name, or null on failure.
const wchar_t* _wsetlocale(int category, const wchar_t* locale);
