// Where the program keeps its own files and how photos and recordings are
// named.
//
// The per-user data tree lies under the application-data folder
// ($XDG_DATA_HOME, see config/settings.h):
//   <appdata>/corvane/Zorcam/                      the data folder
//   <appdata>/corvane/Zorcam/Thumbnail/ScreenCover user screen-cover previews
//   <appdata>/corvane/Zorcam/Effect/ScreenCover    user screen covers
// Photos are "Photo_" + "%05d" + ".jpg"/".bmp" in the PhotoFolder setting,
// recordings "Video_" + "%05d" + ".wmv" in the VideoFolder setting; the
// numbering goes on from the last name given out in this process.
//
// Threads: user-interface thread only (the settings record is not locked).
#pragma once

#include <string>

#include "win32/types.h"

// The data folder, ending in "/": the application-data folder followed by
// "corvane/Zorcam/"; empty when the application-data folder cannot be found.
void GetDataFolder(std::wstring& path);

// Creates corvane/, corvane/Zorcam/ and its Thumbnail, Thumbnail/ScreenCover,
// Effect and Effect/ScreenCover folders one level at a time; existing folders
// count as success. 0, or E_FAIL at the first folder that cannot be made.
HRESULT CreateDataFolders();

// "USERSC" followed by the current time in seconds since 1970-01-01 UTC.
void MakeTimeName(std::wstring& name);

// Makes sure `path` exists (creating every missing level) and is writable by
// its owner (the read-only attribute of the original; here the owner's write
// permission). 0 or E_FAIL.
HRESULT EnsureFolder(const std::wstring& path);

// Picks the next free photo (isVideo 0) or recording (isVideo non-zero) file
// name and stores it as the current photo or recording path. E_FAIL when the
// folder setting is empty.
HRESULT MakeNextFileName(int isVideo);
