// AppSettings: the process-wide record of the user's persistent settings and
// the session values kept beside it.
//
// The record holds five groups. Each group exists twice: a current copy (what
// the program uses; windows and pages read and write its fields directly) and
// a defaults copy (what a reset restores). Most values carry a changed flag
// that the code altering the value sets, so that a save writes only what the
// user touched. Each group is mirrored in the current user's registry under
// "Software\Corvane\Zorcam\" + the group's subkey.
//
// Threads: every load, save and direct access happens on the user-interface
// thread; nothing locks the record.
#pragma once

#include <string>

#include "win32/types.h"

// One sibling program of the same maker (see config/siblings.h). Filled at
// every load of the tool bar group, never written to the registry.
struct SiblingProgram {
  int installed = 0;     // 1 when the program's registry key was found
  std::wstring path;     // full path of the executable that a click starts
};

// Subkey "ToolBar".
struct ToolBarSettings {
  SiblingProgram Cardwise;
  SiblingProgram Facetrak;
  SiblingProgram Motionpad;
  int AutoRunChanged = 0;
  int AutoRun = 1;        // 0/1, "AutoRun" REG_DWORD
  int PositionX = 0;      // screen pixels, "PositionX" REG_BINARY (4 bytes)
  int PositionY = 100;    // screen pixels, "PositionY" REG_BINARY (4 bytes)
  int AutoHideChanged = 0;
  int AutoHide = 1;       // 0/1, "AutoHide" REG_DWORD
};

// Subkey "CaptureWndBasic". Each value is preceded by its changed flag.
// Folder strings are stored in a 260-character buffer: at most 259 characters.
struct CaptureWndBasicSettings {
  int CaptureFolderChanged = 0;
  std::wstring CaptureFolder;   // default: My Pictures
  int PhotoFolderChanged = 0;
  std::wstring PhotoFolder;     // default: My Pictures
  int VideoFolderChanged = 0;
  std::wstring VideoFolder;     // default: My Videos, else My Pictures
  int PhotoFormatChanged = 0;
  int PhotoFormat = 0;          // 0 = JPEG (".jpg"), 1 = BMP (".bmp")
  int IsCaptureAudioChanged = 0;
  int IsCaptureAudio = 1;       // 0/1
  int VideoQualityChanged = 0;
  int VideoQuality = 1;         // 0..2, index of the recording quality
};

// Subkey "FilterBasic". The six tuning values are absolute camera units; their
// defaults are row 0 of the built-in scene preset table.
struct FilterBasicSettings {
  int DefaultSceneChanged = 0;
  int DefaultScene = 0;         // 0..10 a preset row, 11 custom (the values below)
  int TuningChanged = 0;        // one flag for all six tuning values
  int Brightness = 0;
  int Contrast = 45;
  int Hue = 0;
  int Saturation = 64;
  int Sharpness = 2;
  int Gamma = 99;
};

// Subkey "FilterAdvanced": nine pairs of changed flag and value.
struct FilterAdvancedSettings {
  int ZoomPercentageChanged = 0;
  int ZoomPercentage = 100;     // percent, 100..400
  int ZoomOriginXChanged = 0;
  float ZoomOriginX = 0.0f;     // fraction of the frame width, 0..1
  int ZoomOriginYChanged = 0;
  float ZoomOriginY = 0.0f;     // fraction of the frame height, 0..1
  int IsFlipHorizontalChanged = 0;
  int IsFlipHorizontal = 0;
  int IsFlipVerticalChanged = 0;
  int IsFlipVertical = 0;
  int NightModeChanged = 0;
  int NightMode = 0;
  int BackLightCompChanged = 0;
  int BackLightComp = 0;
  int FocusModeChanged = 0;
  int FocusMode = 0;            // 0..2, the three focus choices
  int PowerLineFrequenceChanged = 0;
  int PowerLineFrequence = 1;   // 1 or 2, the two anti-flicker choices
};

// Subkey "Effect" (only DeepTone has a changed flag; the rest is always saved).
struct EffectSettings {
  int DeepToneChanged = 0;
  int DeepTone = 1;             // 1 off, 2 on, 3 demonstration
  int Frame = -1;               // active frame effect, -1 none
  int LastFrame = 0;            // frame chosen last
  int ScreenCover = -1;         // active screen cover, -1 none
  int LastScreenCover = 0;      // screen cover chosen last
  int UserConfirm = 0;          // 0/1: do not ask again in the check dialog
  int ScreenCoverNotify = 1;    // 0/1: show the 30-minute screen-cover notice
};

// Group selector bits of ResetSettingsGroups (the effect group has none).
constexpr int SETTINGS_GROUP_TOOLBAR = 0x100000;
constexpr int SETTINGS_GROUP_CAPTUREWNDBASIC = 0x400000;
constexpr int SETTINGS_GROUP_FILTERBASIC = 0x1000000;
constexpr int SETTINGS_GROUP_FILTERADVANCED = 0x2000000;

// The registry key all groups live under (current user).
inline constexpr const wchar_t* kSettingsRootKey = L"Software\\Corvane\\Zorcam\\";

class AppSettings {
 public:
  // Current copies: what the program uses.
  ToolBarSettings ToolBar;
  CaptureWndBasicSettings CaptureWndBasic;
  FilterBasicSettings FilterBasic;
  FilterAdvancedSettings FilterAdvanced;
  EffectSettings Effect;

  // Defaults copies: what a load starts from and a reset restores. The
  // capture group's folders are resolved into its defaults at every load.
  ToolBarSettings ToolBarDefaults;
  CaptureWndBasicSettings CaptureWndBasicDefaults;
  FilterBasicSettings FilterBasicDefaults;
  FilterAdvancedSettings FilterAdvancedDefaults;
  EffectSettings EffectDefaults;

  // Each load copies the defaults over the current copy, clears the changed
  // flags, then reads the group's registry key (creating it with the
  // defaults when it is new). Result 0 or NB_E_OPEN_USER_KEY,
  // NB_E_CREATE_KEY, NB_E_REG_VALUE. LoadToolBarSettings also detects the
  // sibling programs.
  HRESULT LoadToolBarSettings();
  HRESULT LoadCaptureWndBasicSettings();
  HRESULT LoadFilterBasicSettings();
  HRESULT LoadFilterAdvancedSettings();
  HRESULT LoadEffectSettings();

  // Each save writes what changed (clearing each flag before its write) and
  // the values that are always written. Same result codes as the loads.
  HRESULT SaveToolBarSettings();
  HRESULT SaveCaptureWndBasicSettings();
  HRESULT SaveFilterBasicSettings();
  HRESULT SaveFilterAdvancedSettings();
  HRESULT SaveEffectSettings();

  // For each group selected by the SETTINGS_GROUP_* bits, copies its defaults
  // over its current copy. When exactly one group is selected and `record` is
  // not null, the group's new current copy is also copied to *record, which
  // must be that group's type (ToolBarSettings, CaptureWndBasicSettings,
  // FilterBasicSettings or FilterAdvancedSettings). Result 0.
  int ResetSettingsGroups(int groups, void* record);

  // Session values: kept beside the groups, never stored.
  void SetCurrentVideoDevice(const std::wstring& name) { currentVideoDevice_ = name; }
  const std::wstring& GetCurrentVideoDevice() const { return currentVideoDevice_; }
  // Empty means: record no sound.
  void SetCurrentAudioDevice(const std::wstring& name) { currentAudioDevice_ = name; }
  const std::wstring& GetCurrentAudioDevice() const { return currentAudioDevice_; }
  void SetCurrentPhotoPath(const std::wstring& path) { currentPhotoPath_ = path; }
  const std::wstring& GetCurrentPhotoPath() const { return currentPhotoPath_; }
  void SetCurrentRecordingPath(const std::wstring& path) { currentRecordingPath_ = path; }
  // NIMBO_E_FAIL (and `path` untouched) while no recording has been made.
  HRESULT GetCurrentRecordingPath(std::wstring& path) const;

 private:
  std::wstring currentVideoDevice_;
  std::wstring currentAudioDevice_;
  std::wstring currentPhotoPath_;
  std::wstring currentRecordingPath_;
};

// The one record of the process (created on first use, lives until exit).
AppSettings& GetAppSettings();

// The start-up rule: loads the five groups in the order tool bar, capture,
// filter basic, filter advanced, effect. If any load fails, deletes the whole
// settings tree of the current user and loads the five groups once more,
// ignoring the results (this recreates every key with the defaults). Returns
// true when the tree was reset.
bool LoadSettingsAtStartup(AppSettings& settings);

// Free space of the volume holding `path` in KB (all free bytes of the
// volume, not only those available to this user). Non-zero on success.
BOOL GetDiskFreeKB(const std::wstring& path, ULONGLONG* freeKB);

// The program-files folder (its fallback when it cannot be resolved)
// followed by "/Corvane".
void GetProgramFilesFolder(std::wstring& folder);

// The per-user application-data folder, created if missing; `folder` is left
// unchanged when it cannot be resolved.
void GetAppDataFolder(std::wstring& folder);
