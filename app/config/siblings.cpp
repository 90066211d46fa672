#include "config/siblings.h"

#include <array>

#include "win32/config/registry.h"
#include "win32/config/shell.h"
#include "win32/text.h"

namespace {

constexpr REGSAM kViews[] = {KEY_READ | KEY_WOW64_32KEY, KEY_READ | KEY_WOW64_64KEY};

bool KeyExistsInEitherView(const wchar_t* path) {
  for (REGSAM view : kViews) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, view, &key) == ERROR_SUCCESS) {
      RegCloseKey(key);
      return true;
    }
  }
  return false;
}

// "InstallDir" of the key, read through a 520-byte buffer from the first view
// that has a readable, non-empty one.
bool ReadInstallDir(const wchar_t* path, bool& keyFound, std::wstring& dir) {
  keyFound = false;
  for (REGSAM view : kViews) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, view, &key) != ERROR_SUCCESS) continue;
    keyFound = true;
    std::array<BYTE, 520> buffer{};
    DWORD size = buffer.size();
    DWORD type = 0;
    LSTATUS status = RegQueryValueExW(key, L"InstallDir", nullptr, &type, buffer.data(), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) continue;
    std::string_view bytes(reinterpret_cast<const char*>(buffer.data()), size);
    std::wstring text = win32::FromUtf16LE(bytes);
    text = text.substr(0, text.find(L'\0'));
    if (text.empty()) continue;
    dir = text;
    return true;
  }
  return false;
}

void Launch(const SiblingProgram& program, bool inItsFolder) {
  if (!program.installed) return;
  std::wstring folder;
  if (inItsFolder) {
    size_t slash = program.path.find_last_of(L"/\\");
    if (slash != std::wstring::npos) folder = program.path.substr(0, slash);
  }
  ShellExecuteW(nullptr, L"open", program.path.c_str(), nullptr, folder.empty() ? nullptr : folder.c_str(),
                SW_SHOWNORMAL);
}

}  // namespace

std::wstring DrivePart(const std::wstring& folder) {
  size_t sep = folder.find_first_of(L"/\\");
  return sep == std::wstring::npos ? folder : folder.substr(0, sep);
}

void DetectSiblingPrograms(ToolBarSettings& record) {
  std::wstring programFiles;
  GetProgramFilesFolder(programFiles);

  record.Motionpad = {};
  if (KeyExistsInEitherView(L"SOFTWARE\\CORVANE\\Motionpad")) {
    record.Motionpad.installed = 1;
    record.Motionpad.path = programFiles + L"/Motionpad/Motionpad.exe";
  }

  record.Cardwise = {};
  bool found = false;
  std::wstring dir;
  if (ReadInstallDir(L"SOFTWARE\\CORVANE\\Cardwise", found, dir)) {
    record.Cardwise.installed = 1;
    record.Cardwise.path = dir + L"/CwRead.exe";
  }

  record.Facetrak = {};
  if (ReadInstallDir(L"SOFTWARE\\CORVANE\\Facetrak", found, dir)) {
    record.Facetrak.installed = 1;
    record.Facetrak.path = dir + L"/FacetrakSetting.exe";
  } else if (!found && KeyExistsInEitherView(L"SOFTWARE\\CORVANE\\CORVANE Facetrak Console")) {
    record.Facetrak.installed = 1;
    record.Facetrak.path = DrivePart(programFiles) + L"/Program Files/Corvane/Facetrak/FacetrakSetting.exe";
  }
}

void LaunchCardwise(const ToolBarSettings& record) { Launch(ToolBarSettings(record).Cardwise, false); }
void LaunchFacetrak(const ToolBarSettings& record) { Launch(ToolBarSettings(record).Facetrak, false); }
void LaunchMotionpad(const ToolBarSettings& record) { Launch(ToolBarSettings(record).Motionpad, true); }

void OpenHelpFile() { ShellExecuteW(nullptr, L"open", kHelpFileName, nullptr, nullptr, SW_SHOWNORMAL); }
