#include "win32/config/locale.h"

#include <clocale>
#include <cstdlib>
#include <string>

#include "win32/text.h"

namespace {

struct LocaleRow {
  const char* language;   // ISO 639 code as POSIX locales spell it
  const char* territory;  // ISO 3166 code, or "" for the language's default
  const char* modifier;   // "@" modifier, or "" for any
  LANGID id;
};

// Rows are searched in order: the first row whose language matches and whose
// territory and modifier match (or are "") wins, so specific rows come first.
constexpr LocaleRow kLocales[] = {
    {"bg", "", "", 0x0402},
    {"zh", "CN", "", 0x0804},
    {"zh", "SG", "", 0x1004},
    {"zh", "TW", "", 0x0404},
    {"zh", "HK", "", 0x0c04},
    {"zh", "MO", "", 0x1404},
    {"zh", "", "", 0x0804},
    {"cs", "", "", 0x0405},
    {"da", "", "", 0x0406},
    {"de", "CH", "", 0x0807},
    {"de", "AT", "", 0x0c07},
    {"de", "LU", "", 0x1007},
    {"de", "LI", "", 0x1407},
    {"de", "", "", 0x0407},
    {"el", "", "", 0x0408},
    {"en", "GB", "", 0x0809},
    {"en", "AU", "", 0x0c09},
    {"en", "CA", "", 0x1009},
    {"en", "NZ", "", 0x1409},
    {"en", "IE", "", 0x1809},
    {"en", "", "", 0x0409},
    {"es", "MX", "", 0x080a},
    {"es", "", "", 0x0c0a},  // Spain, modern sort
    {"fi", "", "", 0x040b},
    {"fr", "BE", "", 0x080c},
    {"fr", "CA", "", 0x0c0c},
    {"fr", "CH", "", 0x100c},
    {"fr", "LU", "", 0x140c},
    {"fr", "", "", 0x040c},
    {"he", "", "", 0x040d},
    {"iw", "", "", 0x040d},
    {"hu", "", "", 0x040e},
    {"it", "CH", "", 0x0810},
    {"it", "", "", 0x0410},
    {"ja", "", "", 0x0411},
    {"ko", "", "", 0x0412},
    {"nl", "BE", "", 0x0813},
    {"nl", "", "", 0x0413},
    {"nb", "", "", 0x0414},
    {"no", "", "", 0x0414},
    {"nn", "", "", 0x0814},
    {"pl", "", "", 0x0415},
    {"pt", "BR", "", 0x0416},
    {"pt", "", "", 0x0816},
    {"ru", "", "", 0x0419},
    {"hr", "BA", "", 0x101a},
    {"hr", "", "", 0x041a},
    {"sr", "", "latin", 0x081a},
    {"sr", "", "", 0x0c1a},   // Cyrillic, the glibc default for sr_RS
    {"sk", "", "", 0x041b},
    {"sv", "FI", "", 0x081d},
    {"sv", "", "", 0x041d},
    {"tr", "", "", 0x041f},
    {"ar", "", "", 0x0401},
    {"sl", "", "", 0x0424},
};

constexpr LANGID kEnglishUs = 0x0409;

}  // namespace

LANGID LangIdFromLocaleName(std::string_view name) {
  // language[_territory][.codeset][@modifier]
  std::string_view modifier;
  if (size_t at = name.find('@'); at != std::string_view::npos) {
    modifier = name.substr(at + 1);
    name = name.substr(0, at);
  }
  if (size_t dot = name.find('.'); dot != std::string_view::npos) name = name.substr(0, dot);
  std::string_view language = name, territory;
  if (size_t us = name.find('_'); us != std::string_view::npos) {
    language = name.substr(0, us);
    territory = name.substr(us + 1);
  }
  for (const LocaleRow& row : kLocales) {
    if (language != row.language) continue;
    if (*row.territory && territory != row.territory) continue;
    if (*row.modifier && modifier != row.modifier) continue;
    return row.id;
  }
  return kEnglishUs;
}

LANGID GetUserDefaultLangID() {
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(var);
    if (value && *value) return LangIdFromLocaleName(value);
  }
  return kEnglishUs;
}

const wchar_t* _wsetlocale(int category, const wchar_t* locale) {
  static thread_local std::wstring result;
  std::string name = locale ? win32::ToUtf8(locale) : std::string();
  if (name == ".ACP") name.clear();  // "" makes setlocale read the environment
  const char* set = std::setlocale(category, locale ? name.c_str() : nullptr);
  if (!set) return nullptr;
  if (category == LC_ALL && locale) std::setlocale(LC_NUMERIC, "C");
  result = win32::FromUtf8(std::setlocale(category, nullptr));
  return result.c_str();
}
