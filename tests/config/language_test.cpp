// The language reader: section choice, the English fallback, the current
// directory, and the shipped language file's completeness.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

#include "config/language_reader.h"
#include "support/test_home.h"
#include "win32/config/locale.h"
#include "win32/config/profile.h"
#include "win32/text.h"

namespace fs = std::filesystem;

namespace {

// Restores the current directory a reader construction changes.
class LanguageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = fs::current_path();
    ::unsetenv("LC_ALL");
    ::unsetenv("LC_MESSAGES");
    ::unsetenv("ZORCAM_LANGUAGE_FILE");
  }
  void TearDown() override {
    fs::current_path(saved_);
    ::unsetenv("LANG");
    ::unsetenv("ZORCAM_LANGUAGE_FILE");
  }
  fs::path saved_;
};

std::string Utf16File(const std::wstring& text) { return "\xFF\xFE" + win32::ToUtf16LE(text); }

TEST_F(LanguageTest, LanguageIdentifiersSelectTheirSection) {
  const std::pair<LANGID, const wchar_t*> cases[] = {
      {0x0c0a, L"Spanish"},  {0x040a, L"Spanish"},
      {0x0804, L"Chinese_Simplified"}, {0x1004, L"Chinese_Simplified"},
      {0x0404, L"Chinese_Traditional"}, {0x0c04, L"Chinese_Traditional"}, {0x1404, L"Chinese_Traditional"},
      {0x041a, L"Croatian"}, {0x101a, L"Serbian"}, {0x081a, L"Serbian"}, {0x0c1a, L"Serbian"},
      {0x0416, L"Portuguese"}, {0x0816, L"Portuguese"},
      {0x0401, L"English"}, {0x0424, L"English"}, {0x0409, L"English"}, {0x0000, L"English"},
      {0x0407, L"German"}, {0x040c, L"French"}, {0x0410, L"Italian"}, {0x0411, L"Japanese"},
      {0x0412, L"Korean"}, {0x0419, L"Russian"}, {0x041d, L"Swedish"}, {0x041f, L"Turkish"},
      {0x0414, L"Norwegian"}, {0x0402, L"Bulgarian"}, {0x040d, L"Hebrew"},
  };
  for (auto [id, section] : cases) EXPECT_STREQ(LanguageReader::SectionFor(id), section) << std::hex << id;
}

TEST_F(LanguageTest, TheUsersLocaleChoosesTheSection) {
  const std::pair<const char*, const wchar_t*> cases[] = {
      {"de_DE.UTF-8", L"German"},
      {"de_AT.UTF-8", L"German"},
      {"zh_CN.UTF-8", L"Chinese_Simplified"},
      {"zh_SG", L"Chinese_Simplified"},
      {"zh_TW.UTF-8", L"Chinese_Traditional"},
      {"zh_HK.UTF-8", L"Chinese_Traditional"},
      {"hr_HR.UTF-8", L"Croatian"},
      {"sr_RS.UTF-8", L"Serbian"},
      {"sr_RS@latin", L"Serbian"},
      {"pt_BR.UTF-8", L"Portuguese"},
      {"pt_PT.UTF-8", L"Portuguese"},
      {"es_ES.UTF-8", L"Spanish"},
      {"ja_JP.UTF-8", L"Japanese"},
      {"sl_SI.UTF-8", L"English"},
      {"C", L"English"},
      {"C.UTF-8", L"English"},
  };
  for (auto [locale, section] : cases) {
    ::setenv("LANG", locale, 1);
    LanguageReader reader;
    EXPECT_STREQ(reader.section, section) << locale;
  }
  // LC_ALL wins over LANG.
  ::setenv("LC_ALL", "ko_KR.UTF-8", 1);
  LanguageReader reader;
  EXPECT_STREQ(reader.section, L"Korean");
  ::unsetenv("LC_ALL");
}

TEST_F(LanguageTest, ConstructionMakesTheProgramFolderCurrent) {
  fs::current_path("/");
  LanguageReader reader;
  fs::path exe = fs::read_symlink("/proc/self/exe");
  EXPECT_EQ(fs::current_path(), exe.parent_path());
  EXPECT_EQ(std::wstring(reader.path), win32::FromUtf8((exe.parent_path() / "Zorcam.ini").string()));
}

TEST_F(LanguageTest, LookupFallsBackToEnglishForMissingAndEmptyTexts) {
  fs::path file = zorcam::testing::TestHome() / "lang.ini";
  std::wstring longText(300, L'x');
  zorcam::testing::WriteFile(file, Utf16File(L"[English]\r\nCAPTION=Camera\r\nEMPTY=Empty in German\r\n"
                                             L"ONLY_ENGLISH=English only\r\nLONG=" + longText + L"\r\n"
                                             L"[German]\r\nCAPTION=Kamera\r\nEMPTY=\r\n"));
  ::setenv("ZORCAM_LANGUAGE_FILE", file.c_str(), 1);
  ::setenv("LANG", "de_DE.UTF-8", 1);
  LanguageReader reader;
  EXPECT_EQ(std::wstring(reader.path), win32::FromUtf8(file.string()));
  wchar_t buffer[kLanguageTextChars];
  struct Case {
    const wchar_t* key;
    const wchar_t* expected;
  } cases[] = {
      {L"CAPTION", L"Kamera"},
      {L"EMPTY", L"Empty in German"},
      {L"ONLY_ENGLISH", L"English only"},
      {L"NOWHERE", L""},
  };
  for (const Case& c : cases) {
    DWORD n = reader.Lookup(c.key, buffer);
    EXPECT_EQ(std::wstring(buffer), c.expected) << win32::ToUtf8(c.key);
    EXPECT_EQ(n, std::wcslen(c.expected));
  }
  // A text longer than 259 characters is cut to 259.
  EXPECT_EQ(reader.Lookup(L"LONG", buffer), 259u);
  EXPECT_EQ(std::wstring(buffer), longText.substr(0, 259));

  // A missing file yields nothing.
  ::setenv("ZORCAM_LANGUAGE_FILE", (zorcam::testing::TestHome() / "missing.ini").c_str(), 1);
  LanguageReader none;
  EXPECT_EQ(none.Lookup(L"CAPTION", buffer), 0u);
  EXPECT_EQ(none.Text(L"CAPTION"), L"");
}

// Every key the program looks up.
const wchar_t* const kKeys[] = {
    L"CAPTUREWND_CAP", L"CAPTUREWND_BTN_RECORD", L"CAPTUREWND_BTN_CAPTURE", L"CAPTUREWND_BTN_SETTING",
    L"CAPTUREWND_PREVIEWAREA", L"TOOLBAR_CAP", L"TOOLBAR_ABOUT", L"TOOLBAR_AUTOSTART", L"TOOLBAR_AUTOHIDE",
    L"TOOLBAR_GUIDE", L"TOOLBAR_CAPTURERECORD", L"TOOLBAR_CAMERAFILTER", L"TOOLBAR_EFFECT",
    L"TOOLBAR_BUSINESSCARD", L"TOOLBAR_FACERECOGNITION", L"TOOLBAR_GESTURECTRL", L"TOOLBAR_ABOUT_VERSION",
    L"TOOLBAR_ABOUT_COMPANY", L"TOOLBAR_ABOUT_OK", L"TOOLBAR_CHECKDLG_CAP", L"TOOLBAR_CHECKDLG_INTRO",
    L"TOOLBAR_CHECKDLG_DONTSHOW", L"TOOLBAR_CHECKDLG_OK", L"TOOLBAR_CHECKDLG_RADIOON", L"TOOLBAR_CHECKDLG_RADIOOFF",
    L"TOOLBAR_CHECKCOVER_CAP", L"NB_MSG_30_MIN", L"NB_MSG_CAPTAIN", L"SPECSHEET_CAP_SETTING",
    L"SPECSHEET_SETTING", L"SPECSHEET_EFFECT", L"SPECSHEET_TABBTN_BASIC", L"SPECSHEET_TABBTN_GENERAL",
    L"SPECSHEET_TABBTN_ADVANCED", L"SPECSHEET_TABBTN_DEEPTONE", L"SPECSHEET_TABBTN_FRAME",
    L"SPECSHEET_TABBTN_SCREENCOVER", L"SPECSHEET_BTN_DEFAULT", L"SPECSHEET_BTN_OK", L"SPECSHEET_BTN_CANCEL",
    L"SPECSHEET_BTN_APPLY", L"CAPTURESETTING_PHOTOPATH", L"CAPTURESETTING_VIDEOPATH", L"CAPTURESETTING_FORMAT",
    L"CAPTURESETTING_TYPE", L"CAPTURESETTING_AUDIO", L"CAPTURESETTING_VIDEOQUALITY",
    L"CAPTURESETTING_VIDEOQUALITY_BEST", L"CAPTURESETTING_VIDEOQUALITY_HIGH", L"CAPTURESETTING_VIDEOQUALITY_FAIR",
    L"GENPROPAGE_PROFILE", L"GENPROPAGE_TUNING", L"GENPROPAGE_SCENCE_DEFAULT", L"GENPROPAGE_SCENCE_LIVINGROOM",
    L"GENPROPAGE_SCENCE_STUDY", L"GENPROPAGE_SCENCE_BEDROOM", L"GENPROPAGE_SCENCE_OFFICE",
    L"GENPROPAGE_SCENCE_BEAUTYSKIN", L"GENPROPAGE_SCENCE_CONFERENCE", L"GENPROPAGE_SCENCE_SUNNY",
    L"GENPROPAGE_SCENCE_CLOUDY", L"GENPROPAGE_SCENCE_RAINY", L"GENPROPAGE_SCENCE_NIGHT",
    L"GENPROPAGE_SCENCE_USERDEFINE", L"GENPROPAGE_TUNING_BRIGHTNESS", L"GENPROPAGE_TUNING_CONTRAST",
    L"GENPROPAGE_TUNING_HUE", L"GENPROPAGE_TUNING_SATURATION", L"GENPROPAGE_TUNING_SHARPNESS",
    L"GENPROPAGE_TUNING_GAMMA", L"ADVANCEDPAGE_ZOOM", L"ADVANCEDPAGE_MAGNIFY", L"ADVANCEDPAGE_FLIP",
    L"ADVANCEDPAGE_HORIZONTAL", L"ADVANCEDPAGE_VERTICAL", L"ADVANCEDPAGE_CAMERACONTROL", L"ADVANCEDPAGE_NIGHTMODE",
    L"ADVANCEDPAGE_BACKLIGHTCOMP", L"ADVANCEDPAGE_FOCUS", L"ADVANCEDPAGE_NORMAL", L"ADVANCEDPAGE_AUTO",
    L"ADVANCEDPAGE_MACRO", L"ADVANCEDPAGE_FLASH", L"DTPROPAGE_ON", L"DTPROPAGE_OFF", L"DTPROPAGE_DEMO",
    L"NIMBO_E_FAIL", L"NIMBO_E_NOTIMPL", L"NIMBO_E_OUTOFMEMORY", L"NIMBO_E_INVALIDARG", L"NIMBO_E_POINTER",
    L"NIMBO_E_HANDLE", L"NBEM_E_FAIL", L"NBEM_E_REINITED", L"NBEM_E_UNINITED", L"NBEM_E_OUTOFMEM",
    L"NBEM_E_UNKNOWN_EFFECT", L"NBEM_E_DLL_PATH", L"NBEM_E_LOAD_DLL", L"NBEM_E_LOAD_LIBRARY", L"NBEM_E_GET_EFFECT",
    L"NBEM_E_BAD_POINTER", L"NBEM_E_BAD_PARAMS", L"NBEM_E_OPEN_DEVICE", L"NBEM_E_START_HOOK", L"NBEM_E_GUESS_SIZE",
    L"NB_SERVICE_EFFECT_OFF", L"NB_SERVICE_DEEP_TONE_OFF", L"PLAYER_E_FAIL", L"NB_PLAYER_E_DUMPDEVICE",
    L"NB_PLAYER_E_PREVIEW", L"NB_PLAYER_E_CAPTURE", L"NB_PLAYER_E_RECORD", L"NB_MSG_SHORTAGE_OF_FREESPACE",
};

// Section name -> its keys, from the raw text of a language file.
std::map<std::wstring, std::set<std::wstring>> SectionsOf(const std::string& bytes) {
  std::map<std::wstring, std::set<std::wstring>> out;
  std::wstring text = win32::FromUtf16LE(std::string_view(bytes).substr(2));
  std::wstring* section = nullptr;
  std::wstring current;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find(L'\n', pos);
    if (nl == std::wstring::npos) nl = text.size();
    std::wstring line = text.substr(pos, nl - pos);
    pos = nl + 1;
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    if (line.empty() || line[0] == L';') continue;
    if (line[0] == L'[') {
      current = line.substr(1, line.find(L']') - 1);
      section = &current;
      EXPECT_TRUE(out.emplace(current, std::set<std::wstring>{}).second) << "section twice: " << win32::ToUtf8(current);
      continue;
    }
    size_t eq = line.find(L'=');
    if (section && eq != std::wstring::npos) out[current].insert(line.substr(0, eq));
  }
  return out;
}

TEST_F(LanguageTest, ShippedLanguageFileHasEveryKeyInEverySection) {
  std::string bytes = zorcam::testing::ReadFile(ZORCAM_LANGUAGE_FILE_PATH);
  ASSERT_GE(bytes.size(), 2u) << ZORCAM_LANGUAGE_FILE_PATH;
  ASSERT_EQ(bytes.substr(0, 2), "\xFF\xFE") << "UTF-16LE with byte-order mark";
  auto sections = SectionsOf(bytes);

  std::set<std::wstring> keys(std::begin(kKeys), std::end(kKeys));
  ASSERT_EQ(keys.size(), 114u);
  EXPECT_EQ(sections[L"English"], keys) << "English must hold exactly the program's keys";
  for (const wchar_t* language : {L"German", L"French", L"Spanish", L"Italian", L"Portuguese", L"Russian",
                                  L"Japanese", L"Korean", L"Chinese_Simplified", L"Chinese_Traditional"})
    EXPECT_TRUE(sections.count(language)) << win32::ToUtf8(language);

  std::wstring path = win32::FromUtf8(ZORCAM_LANGUAGE_FILE_PATH);
  for (const auto& [section, sectionKeys] : sections) {
    EXPECT_EQ(sectionKeys, sections[L"English"]) << win32::ToUtf8(section);
    // Read through the program's own reader: every text is there, none is cut.
    for (const wchar_t* key : kKeys) {
      wchar_t buffer[kLanguageTextChars];
      DWORD n = GetPrivateProfileStringW(section.c_str(), key, L"", buffer, kLanguageTextChars, path.c_str());
      EXPECT_GT(n, 0u) << win32::ToUtf8(section) << " " << win32::ToUtf8(key);
      EXPECT_LT(n, kLanguageTextChars - 1) << win32::ToUtf8(section) << " " << win32::ToUtf8(key);
    }
  }
}

}  // namespace
