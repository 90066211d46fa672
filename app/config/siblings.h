// The sibling programs of the same maker (Cardwise, Facetrak, Motionpad) and
// the help file: detection in the machine registry, launching, F1 help.
//
// Detection looks each program's key up in HKEY_LOCAL_MACHINE, first in the
// 32-bit view, then in the 64-bit view:
//   Motionpad  "SOFTWARE\CORVANE\Motionpad" (existence only);
//              path: GetProgramFilesFolder + "/Motionpad/Motionpad.exe"
//   Cardwise   "SOFTWARE\CORVANE\Cardwise", value "InstallDir";
//              path: InstallDir + "/CwRead.exe"
//   Facetrak   "SOFTWARE\CORVANE\Facetrak", value "InstallDir";
//              path: InstallDir + "/FacetrakSetting.exe"; when that key is
//              missing in both views, the older "SOFTWARE\CORVANE\CORVANE
//              Facetrak Console" (existence only) gives the drive part of the
//              program-files folder + "/Program Files/Corvane/Facetrak/
//              FacetrakSetting.exe"
// A Cardwise or Facetrak key without a readable, non-empty "InstallDir" in
// any view counts as not installed.
#pragma once

#include <string>

#include "config/settings.h"

// Fills the three SiblingProgram entries of `record` (all other fields are
// left alone). Never fails: what cannot be read counts as not installed.
void DetectSiblingPrograms(ToolBarSettings& record);

// The drive part of a folder path: everything before its first separator
// ('/' or '\'), "" when it starts with one.
std::wstring DrivePart(const std::wstring& folder);

// Launchers of the tool bar's buttons 1057, 1058 and 1059. Each copies the
// given tool bar record (the process-wide one by default) and starts the
// program when it is installed; Motionpad runs in its own folder. Failures
// are not reported: a program removed since start-up is silently not started.
void LaunchCardwise(const ToolBarSettings& record = GetAppSettings().ToolBar);
void LaunchFacetrak(const ToolBarSettings& record = GetAppSettings().ToolBar);
void LaunchMotionpad(const ToolBarSettings& record = GetAppSettings().ToolBar);

// The help file, a name relative to the current directory (the program
// folder once a LanguageReader has been constructed).
inline constexpr const wchar_t* kHelpFileName = L"Zorcam Application help.chm";

// F1: opens the help file with the desktop's viewer; the result is not checked.
void OpenHelpFile();
