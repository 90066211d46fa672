// The registry layer: the hive text format, the calls' contracts (dispositions,
// sizes, views, deletion), corrupt files and concurrent writers.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <vector>

#include "support/test_home.h"
#include "win32/config/hive_file.h"
#include "win32/config/registry.h"
#include "win32/debug.h"

namespace fs = std::filesystem;
using zorcam::testing::ReadFile;
using zorcam::testing::WriteFile;

namespace {

fs::path UserHive() { return fs::path(std::getenv("XDG_CONFIG_HOME")) / "zorcam/registry.reg"; }
fs::path MachineHive() { return fs::path(std::getenv("ZORCAM_MACHINE_CONFIG_DIR")) / "registry.reg"; }

HKEY Create(HKEY root, const wchar_t* path, DWORD* disposition = nullptr, REGSAM sam = KEY_ALL_ACCESS) {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, sam, nullptr, &key, disposition),
            ERROR_SUCCESS);
  return key;
}

std::vector<BYTE> Query(HKEY key, const wchar_t* name, DWORD* type = nullptr) {
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, type, nullptr, &size) != ERROR_SUCCESS) return {};
  std::vector<BYTE> data(size);
  EXPECT_EQ(RegQueryValueExW(key, name, nullptr, type, data.data(), &size), ERROR_SUCCESS);
  return data;
}

// ---- Text format -----------------------------------------------------------

TEST(HiveFile, EveryValueFormRoundTripsExactly) {
  using namespace win32::reg;
  Hive hive;
  Key* key = hive.Create(L"Software\\Corvane\\Zorcam\\ToolBar").first;
  std::string padded = std::string("/\0h\0\xe9\0", 6) + std::string(514, '\0');
  key->values = {
      {L"AutoRun", REG_DWORD, {1, 0, 0, 0}},
      {L"PositionX", REG_BINARY, {0xff, 0xff, 0xff, 0xff}},
      {L"Empty", REG_BINARY, {}},
      {L"Folder", REG_SZ, std::vector<BYTE>(padded.begin(), padded.end())},
      {L"Plain", REG_SZ, {'a', 0, 0, 0}},
      {L"Quote\"and\\slash\ttab", REG_SZ, {'"', 0, '\\', 0, '\n', 0, 0, 0}},
      {L"ShortDword", REG_DWORD, {1, 2}},
      {L"OddString", REG_SZ, {'a', 0, 'b'}},
      {L"Garbage after end", REG_SZ, {'a', 0, 0, 0, 'x', 0}},
      {L"Lone surrogate", REG_SZ, {0x00, 0xD8, 0, 0}},
      {L"", REG_EXPAND_SZ, {'%', 0, 0, 0}},
      {L"Big type", 0x7fffffff, {9}},
  };
  std::string text = FormatHive(hive);
  std::string error;
  auto parsed = ParseHive(text, &error);
  ASSERT_TRUE(parsed) << error << "\n" << text;
  Key* back = parsed->Find(L"software\\corvane\\zorcam\\toolbar");
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->path, L"Software\\Corvane\\Zorcam\\ToolBar");
  ASSERT_EQ(back->values.size(), key->values.size());
  for (size_t i = 0; i < key->values.size(); ++i) {
    EXPECT_EQ(back->values[i].name, key->values[i].name);
    EXPECT_EQ(back->values[i].type, key->values[i].type) << i;
    EXPECT_EQ(back->values[i].data, key->values[i].data) << i;
  }
  // Parents exist as keys of their own; the readable forms are used.
  EXPECT_NE(parsed->Find(L"Software\\Corvane"), nullptr);
  EXPECT_NE(text.find("\"AutoRun\"=dword:00000001"), std::string::npos);
  EXPECT_NE(text.find("\"Folder\"=sz(520):\"/h\xc3\xa9\""), std::string::npos);
}

TEST(HiveFile, MalformedTextIsRejected) {
  const char* bad[] = {
      "\"v\"=dword:1\n",                        // value before any key
      "[Key\n",                                 // unterminated section
      "[\\Key]\n",                              // leading backslash
      "[A\\\\B]\n",                             // empty component
      "[K]\n\"v\"=dword:123\n",                 // short dword
      "[K]\n\"v\"=dword:0000000g\n",            // not hex
      "[K]\n\"v\"=hex:0,1\n",                   // one-digit byte
      "[K]\n\"v\"=hex:00,\n",                   // dangling comma
      "[K]\n\"v\"=sz:\"open\n",                 // unterminated string
      "[K]\n\"v\"=sz(2):\"too long\"\n",        // text larger than the size
      "[K]\n\"v\"=sz:\"bad \\q escape\"\n",
      "[K]\n\"v\"=text\n",                      // unknown form
      "[K]\nnot a value line\n",
      "[K]\n\"v\"=hex(abc):00\n",
      "[K]\n\"v\"=hex(4294967296):00\n",  // type above 32 bits
  };
  for (const char* text : bad) {
    std::string error;
    EXPECT_FALSE(win32::reg::ParseHive(text, &error)) << text;
    EXPECT_FALSE(error.empty());
  }
  EXPECT_TRUE(win32::reg::ParseHive("; comment only\n\n[K]\r\n\"v\"=dword:00000000\r\n"));
}

// Damaged hive files: the parser never crashes, and whatever it accepts
// formats back into text that parses to the same keys and values.
TEST(HiveFile, MutatedFilesParseConsistentlyOrAreRejected) {
  using namespace win32::reg;
  Hive hive;
  Key* key = hive.Create(L"Software\\Corvane\\Zorcam\\CaptureWndBasic").first;
  std::string folder = std::string("/\0p\0\"\0", 6) + std::string(20, '\0');
  key->values = {{L"PhotoFolder", REG_SZ, std::vector<BYTE>(folder.begin(), folder.end())},
                 {L"PhotoFormat", REG_DWORD, {1, 0, 0, 0}},
                 {L"Zoom", REG_BINARY, {0, 0, 0x80, 0x3f}}};
  const std::string original = FormatHive(hive);
  std::mt19937 random(7);
  const char alphabet[] = "[]\"\\=:,@;()\n\r 0123456789abcdefxszhdwor\x80\xc3\xa9";
  int accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text = original;
    for (int edits = 1 + static_cast<int>(random() % 4); edits > 0; --edits) {
      size_t at = random() % (text.size() + 1);
      switch (random() % 3) {
        case 0:
          text.insert(text.begin() + static_cast<long>(at), alphabet[random() % (sizeof alphabet - 1)]);
          break;
        case 1:
          if (at < text.size()) text.erase(at, 1 + random() % 3);
          break;
        default:
          if (at < text.size()) text[at] = alphabet[random() % (sizeof alphabet - 1)];
      }
    }
    auto parsed = ParseHive(text);
    if (!parsed) continue;
    ++accepted;
    auto again = ParseHive(FormatHive(*parsed));
    ASSERT_TRUE(again) << text;
    ASSERT_EQ(again->keys.size(), parsed->keys.size()) << text;
    for (auto& [path, k] : parsed->keys) {
      Key* other = again->Find(k.path);
      ASSERT_NE(other, nullptr) << text;
      ASSERT_EQ(other->values.size(), k.values.size()) << text;
      for (size_t i = 0; i < k.values.size(); ++i) {
        EXPECT_EQ(other->values[i].name, k.values[i].name) << text;
        EXPECT_EQ(other->values[i].type, k.values[i].type) << text;
        EXPECT_EQ(other->values[i].data, k.values[i].data) << text;
      }
    }
  }
  EXPECT_GT(accepted, 0);
}

// ---- Calls -----------------------------------------------------------------

TEST(Registry, CreateReportsNewOrExistingAndCreatesParents) {
  HKEY user = nullptr;
  ASSERT_EQ(RegOpenCurrentUser(KEY_QUERY_VALUE, &user), ERROR_SUCCESS);
  DWORD disposition = 0;
  HKEY key = Create(user, L"Software\\Corvane\\Zorcam\\ToolBar", &disposition);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  RegCloseKey(key);
  key = Create(user, L"software\\CORVANE\\zorcam\\toolbar\\", &disposition);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  RegCloseKey(key);
  HKEY parent = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Corvane", 0, KEY_READ, &parent), ERROR_SUCCESS);
  RegCloseKey(parent);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Missing", 0, KEY_READ, &parent), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCreateKeyExW(user, L"\\Bad", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_BAD_PATHNAME);
  RegCloseKey(user);
  EXPECT_TRUE(fs::exists(UserHive()));
}

TEST(Registry, ValuesKeepExactSizeTypeAndFailWhenLargerThanTheBuffer) {
  HKEY key = Create(HKEY_CURRENT_USER, L"Software\\T");
  const BYTE eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(RegSetValueExW(key, L"Wide", 0, REG_DWORD, eight, 8), ERROR_SUCCESS);
  BYTE four[4] = {9, 9, 9, 9};
  DWORD size = 4, type = 0;
  EXPECT_EQ(RegQueryValueExW(key, L"Wide", nullptr, &type, four, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(four[0], 9);  // nothing copied
  size = 4;
  EXPECT_EQ(RegQueryValueExW(key, L"wide", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(type, REG_DWORD);  // the stored type comes back as stored
  EXPECT_EQ(RegQueryValueExW(key, L"Missing", nullptr, &type, four, &size), ERROR_FILE_NOT_FOUND);

  std::vector<BYTE> folder(520, 0);
  folder[0] = 'x';
  ASSERT_EQ(RegSetValueExW(key, L"Folder", 0, REG_SZ, folder.data(), 520), ERROR_SUCCESS);
  DWORD stored = 0;
  EXPECT_EQ(Query(key, L"Folder", &stored), folder);
  EXPECT_EQ(stored, REG_SZ);
  // Overwriting keeps one value of the name.
  const BYTE one[4] = {1, 0, 0, 0};
  ASSERT_EQ(RegSetValueExW(key, L"FOLDER", 0, REG_DWORD, one, 4), ERROR_SUCCESS);
  EXPECT_EQ(Query(key, L"Folder"), std::vector<BYTE>(one, one + 4));
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST(Registry, AccessRightsOfTheHandleAreEnforced) {
  RegCloseKey(Create(HKEY_CURRENT_USER, L"Software\\T"));
  HKEY readOnly = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\T", 0, KEY_READ, &readOnly), ERROR_SUCCESS);
  const BYTE one[4] = {1, 0, 0, 0};
  EXPECT_EQ(RegSetValueExW(readOnly, L"v", 0, REG_DWORD, one, 4), ERROR_ACCESS_DENIED);
  RegCloseKey(readOnly);
}

TEST(Registry, DeleteRemovesTheSubtreeAndOpenHandlesSeeIt) {
  HKEY group = Create(HKEY_CURRENT_USER, L"Software\\Corvane\\Zorcam\\Effect");
  RegCloseKey(Create(HKEY_CURRENT_USER, L"Software\\Corvane\\Other"));
  EXPECT_EQ(SHDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Corvane\\Zorcam\\"), ERROR_SUCCESS);
  HKEY probe = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Corvane\\Zorcam\\Effect", 0, KEY_READ, &probe),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Corvane\\Other", 0, KEY_READ, &probe), ERROR_SUCCESS);
  RegCloseKey(probe);
  const BYTE one[4] = {1, 0, 0, 0};
  EXPECT_EQ(RegSetValueExW(group, L"v", 0, REG_DWORD, one, 4), ERROR_KEY_DELETED);
  RegCloseKey(group);
  EXPECT_EQ(SHDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Corvane\\Zorcam"), ERROR_FILE_NOT_FOUND);
}

TEST(Registry, The32BitViewOfMachineSoftwareIsRedirected) {
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\CORVANE\\Only64", nullptr, KEY_ALL_ACCESS | KEY_WOW64_64KEY));
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\CORVANE\\Only32", nullptr, KEY_ALL_ACCESS | KEY_WOW64_32KEY));
  struct Case {
    const wchar_t* path;
    REGSAM view;
    LSTATUS expected;
  } cases[] = {
      {L"SOFTWARE\\CORVANE\\Only64", KEY_READ | KEY_WOW64_64KEY, ERROR_SUCCESS},
      {L"SOFTWARE\\CORVANE\\Only64", KEY_READ | KEY_WOW64_32KEY, ERROR_FILE_NOT_FOUND},
      {L"SOFTWARE\\CORVANE\\Only32", KEY_READ | KEY_WOW64_32KEY, ERROR_SUCCESS},
      {L"SOFTWARE\\CORVANE\\Only32", KEY_READ | KEY_WOW64_64KEY, ERROR_FILE_NOT_FOUND},
      {L"SOFTWARE\\WOW6432Node\\CORVANE\\Only32", KEY_READ | KEY_WOW64_64KEY, ERROR_SUCCESS},
  };
  for (const Case& c : cases) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, c.path, 0, c.view, &key), c.expected) << c.view;
    if (key) RegCloseKey(key);
  }
  EXPECT_TRUE(fs::exists(MachineHive()));
  EXPECT_FALSE(fs::exists(UserHive()));
}

TEST(Registry, CorruptHiveIsKeptAsideAndTheOpenFails) {
  const std::string damaged = "[Software\\Corvane]\n\"v\"=dword:zz\n";
  WriteFile(UserHive(), damaged);
  // An earlier aside file with a name the new one could take is never replaced.
  win32::DebugCapture capture;
  HKEY user = nullptr;
  EXPECT_EQ(RegOpenCurrentUser(KEY_QUERY_VALUE, &user), static_cast<LSTATUS>(ERROR_BADDB));
  EXPECT_FALSE(fs::exists(UserHive()));
  std::vector<fs::path> aside;
  for (const auto& entry : fs::directory_iterator(UserHive().parent_path()))
    if (entry.path().filename().string().starts_with("registry.reg.corrupt-")) aside.push_back(entry.path());
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(ReadFile(aside[0]), damaged);
  EXPECT_FALSE(capture.Lines().empty());

  // The same damage again within the same second gets a second name.
  WriteFile(UserHive(), damaged + "x");
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\A", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            static_cast<LSTATUS>(ERROR_BADDB));
  size_t count = 0;
  for (const auto& entry : fs::directory_iterator(UserHive().parent_path()))
    count += entry.path().filename().string().starts_with("registry.reg.corrupt-");
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(ReadFile(aside[0]), damaged);

  // Afterwards the hive starts empty.
  ASSERT_EQ(RegOpenCurrentUser(KEY_QUERY_VALUE, &user), ERROR_SUCCESS);
  RegCloseKey(user);
  RegCloseKey(Create(HKEY_CURRENT_USER, L"Software\\A"));
}

TEST(Registry, TwoProcessesWritingAtOnceLoseNothing) {
  RegCloseKey(Create(HKEY_CURRENT_USER, L"Software\\Shared"));
  constexpr int kValuesPerProcess = 40;
  pid_t children[2];
  for (int p = 0; p < 2; ++p) {
    children[p] = ::fork();
    ASSERT_GE(children[p], 0);
    if (children[p] == 0) {
      HKEY key = nullptr;
      if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Shared", 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) _exit(2);
      for (int i = 0; i < kValuesPerProcess; ++i) {
        std::wstring name = L"p" + std::to_wstring(p) + L"_" + std::to_wstring(i);
        DWORD v = static_cast<DWORD>(i);
        if (RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4) != ERROR_SUCCESS)
          _exit(3);
      }
      _exit(0);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Shared", 0, KEY_READ, &key), ERROR_SUCCESS);
  for (int p = 0; p < 2; ++p)
    for (int i = 0; i < kValuesPerProcess; ++i) {
      std::wstring name = L"p" + std::to_wstring(p) + L"_" + std::to_wstring(i);
      EXPECT_EQ(Query(key, name.c_str()).size(), 4u) << p << " " << i;
    }
  RegCloseKey(key);
}

}  // namespace
