#include "config/settings.h"

#include <array>
#include <cstring>

#include "config/result_codes.h"
#include "config/siblings.h"
#include "win32/config/registry.h"
#include "win32/config/shell.h"
#include "win32/text.h"

namespace {

// Folder strings are stored in a zeroed buffer of 260 UTF-16 units (520
// bytes): at most 259 units of text.
constexpr DWORD kFolderBytes = 520;

// The two keys one load or save holds: the user's hive and the group's key.
class GroupKey {
 public:
  ~GroupKey() {
    if (key_) RegCloseKey(key_);
    if (user_) RegCloseKey(user_);
  }
  // Steps 2 and 3 of a load: open the user's hive, create or open the
  // group's key. Result 0, NB_E_OPEN_USER_KEY or NB_E_CREATE_KEY.
  HRESULT Open(const wchar_t* subkey) {
    if (RegOpenCurrentUser(KEY_QUERY_VALUE, &user_) != ERROR_SUCCESS) {
      user_ = nullptr;
      return NB_E_OPEN_USER_KEY;
    }
    std::wstring path = std::wstring(kSettingsRootKey) + subkey;
    if (RegCreateKeyExW(user_, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key_,
                        &disposition_) != ERROR_SUCCESS) {
      key_ = nullptr;
      return NB_E_CREATE_KEY;
    }
    return 0;
  }
  bool created() const { return disposition_ == REG_CREATED_NEW_KEY; }

  bool WriteDword(const wchar_t* name, int value) { return WriteFour(name, REG_DWORD, &value); }
  bool WriteBinary(const wchar_t* name, int value) { return WriteFour(name, REG_BINARY, &value); }
  bool WriteBinary(const wchar_t* name, float value) { return WriteFour(name, REG_BINARY, &value); }
  bool WriteFolder(const wchar_t* name, const std::wstring& folder) {
    std::array<BYTE, kFolderBytes> buffer{};
    std::string utf16 = win32::ToUtf16LE(folder);
    size_t n = std::min<size_t>(utf16.size(), kFolderBytes - 2);
    // Never cut a surrogate pair in half.
    if (n >= 2 && n < utf16.size()) {
      unsigned unit = static_cast<unsigned char>(utf16[n - 2]) | (static_cast<unsigned char>(utf16[n - 1]) << 8);
      if (unit >= 0xD800 && unit <= 0xDBFF) n -= 2;
    }
    std::memcpy(buffer.data(), utf16.data(), n);
    return RegSetValueExW(key_, name, 0, REG_SZ, buffer.data(), kFolderBytes) == ERROR_SUCCESS;
  }

  // Reads a 4-byte value. A missing value or one of any other size fails:
  // a shorter value would leave stale bytes in the number.
  template <class T>
  bool ReadFour(const wchar_t* name, T& out) {
    static_assert(sizeof(T) == 4);
    std::array<BYTE, 4> buffer{};
    DWORD size = buffer.size();
    DWORD type = 0;
    if (RegQueryValueExW(key_, name, nullptr, &type, buffer.data(), &size) != ERROR_SUCCESS || size != 4) return false;
    std::memcpy(&out, buffer.data(), 4);
    return true;
  }
  bool ReadFolder(const wchar_t* name, std::wstring& out) {
    std::array<BYTE, kFolderBytes> buffer{};
    DWORD size = buffer.size();
    DWORD type = 0;
    if (RegQueryValueExW(key_, name, nullptr, &type, buffer.data(), &size) != ERROR_SUCCESS) return false;
    std::wstring text = win32::FromUtf16LE(std::string_view(reinterpret_cast<const char*>(buffer.data()), size));
    out = text.substr(0, text.find(L'\0'));
    return true;
  }

 private:
  bool WriteFour(const wchar_t* name, DWORD type, const void* value) {
    BYTE bytes[4];
    std::memcpy(bytes, value, 4);
    return RegSetValueExW(key_, name, 0, type, bytes, 4) == ERROR_SUCCESS;
  }

  HKEY user_ = nullptr;
  HKEY key_ = nullptr;
  DWORD disposition_ = 0;
};

bool OutsideUnsigned(int value, unsigned low, unsigned high) {
  unsigned u = static_cast<unsigned>(value);
  return u < low || u > high;
}

// Range check of the zoom origin; NaN is outside too.
bool OriginOutOfRange(float v) { return !(v >= 0.0f && v <= 1.0f); }

// Writes one changed value: clears its flag first, as the saves do.
#define NB_SAVE_IF_CHANGED(key, group, field, writer)                         \
  if (group.field##Changed) {                                                 \
    group.field##Changed = 0;                                                 \
    if (!key.writer(L## #field, group.field)) return NB_E_REG_VALUE;          \
  }

}  // namespace

// ---- Tool bar -------------------------------------------------------------

HRESULT AppSettings::LoadToolBarSettings() {
  DetectSiblingPrograms(ToolBarDefaults);
  ToolBar = ToolBarDefaults;
  ToolBar.AutoRunChanged = ToolBar.AutoHideChanged = 0;
  GroupKey key;
  if (HRESULT hr = key.Open(L"ToolBar"); hr != 0) return hr;
  if (key.created()) {
    if (!key.WriteBinary(L"PositionX", ToolBar.PositionX) || !key.WriteBinary(L"PositionY", ToolBar.PositionY) ||
        !key.WriteDword(L"AutoHide", ToolBar.AutoHide) || !key.WriteDword(L"AutoRun", ToolBar.AutoRun))
      return NB_E_REG_VALUE;
    return 0;
  }
  if (!key.ReadFour(L"PositionX", ToolBar.PositionX) || !key.ReadFour(L"PositionY", ToolBar.PositionY) ||
      !key.ReadFour(L"AutoHide", ToolBar.AutoHide) || !key.ReadFour(L"AutoRun", ToolBar.AutoRun))
    return NB_E_REG_VALUE;
  return 0;
}

HRESULT AppSettings::SaveToolBarSettings() {
  GroupKey key;
  if (HRESULT hr = key.Open(L"ToolBar"); hr != 0) return hr;
  if (!key.WriteBinary(L"PositionX", ToolBar.PositionX) || !key.WriteBinary(L"PositionY", ToolBar.PositionY))
    return NB_E_REG_VALUE;
  NB_SAVE_IF_CHANGED(key, ToolBar, AutoHide, WriteDword)
  NB_SAVE_IF_CHANGED(key, ToolBar, AutoRun, WriteDword)
  return 0;
}

// ---- Capture window ---------------------------------------------------------

HRESULT AppSettings::LoadCaptureWndBasicSettings() {
  // Folder defaults are resolved at every load, so that a reset restores them.
  wchar_t pictures[MAX_PATH] = {};
  wchar_t videos[MAX_PATH] = {};
  if (SHGetSpecialFolderPathW(nullptr, pictures, CSIDL_MYPICTURES, FALSE)) {
    CaptureWndBasicDefaults.CaptureFolder = pictures;
    CaptureWndBasicDefaults.PhotoFolder = pictures;
  }
  if (SHGetSpecialFolderPathW(nullptr, videos, CSIDL_MYVIDEO, FALSE)) {
    CaptureWndBasicDefaults.VideoFolder = videos;
  } else if (pictures[0]) {
    CaptureWndBasicDefaults.VideoFolder = pictures;
  }
  GroupKey key;
  if (HRESULT hr = key.Open(L"CaptureWndBasic"); hr != 0) return hr;
  CaptureWndBasicSettings& c = CaptureWndBasic;
  c = CaptureWndBasicDefaults;
  c.CaptureFolderChanged = c.PhotoFolderChanged = c.VideoFolderChanged = 0;
  c.PhotoFormatChanged = c.IsCaptureAudioChanged = c.VideoQualityChanged = 0;
  if (key.created()) {
    if (!key.WriteFolder(L"CaptureFolder", c.CaptureFolder) || !key.WriteFolder(L"PhotoFolder", c.PhotoFolder) ||
        !key.WriteFolder(L"VideoFolder", c.VideoFolder) || !key.WriteDword(L"PhotoFormat", c.PhotoFormat) ||
        !key.WriteDword(L"IsCaptureAudio", c.IsCaptureAudio) || !key.WriteDword(L"VideoQuality", c.VideoQuality))
      return NB_E_REG_VALUE;
    return 0;
  }
  if (!key.ReadFolder(L"CaptureFolder", c.CaptureFolder) || !key.ReadFolder(L"PhotoFolder", c.PhotoFolder) ||
      !key.ReadFolder(L"VideoFolder", c.VideoFolder))
    return NB_E_REG_VALUE;
  if (!key.ReadFour(L"PhotoFormat", c.PhotoFormat)) return NB_E_REG_VALUE;
  if (c.PhotoFormat != 0 && c.PhotoFormat != 1) c.PhotoFormat = CaptureWndBasicDefaults.PhotoFormat;
  if (!key.ReadFour(L"IsCaptureAudio", c.IsCaptureAudio)) return NB_E_REG_VALUE;
  if (!key.ReadFour(L"VideoQuality", c.VideoQuality)) return NB_E_REG_VALUE;
  if (OutsideUnsigned(c.VideoQuality, 0, 2)) c.VideoQuality = CaptureWndBasicDefaults.VideoQuality;
  return 0;
}

HRESULT AppSettings::SaveCaptureWndBasicSettings() {
  GroupKey key;
  if (HRESULT hr = key.Open(L"CaptureWndBasic"); hr != 0) return hr;
  CaptureWndBasicSettings& c = CaptureWndBasic;
  NB_SAVE_IF_CHANGED(key, c, CaptureFolder, WriteFolder)
  NB_SAVE_IF_CHANGED(key, c, PhotoFolder, WriteFolder)
  NB_SAVE_IF_CHANGED(key, c, VideoFolder, WriteFolder)
  NB_SAVE_IF_CHANGED(key, c, PhotoFormat, WriteDword)
  NB_SAVE_IF_CHANGED(key, c, IsCaptureAudio, WriteDword)
  NB_SAVE_IF_CHANGED(key, c, VideoQuality, WriteDword)
  return 0;
}

// ---- Filter basic -----------------------------------------------------------

namespace {

bool WriteTuning(GroupKey& key, const FilterBasicSettings& f) {
  return key.WriteBinary(L"Brightness", f.Brightness) && key.WriteBinary(L"Contrast", f.Contrast) &&
         key.WriteBinary(L"Gamma", f.Gamma) && key.WriteBinary(L"Hue", f.Hue) &&
         key.WriteBinary(L"Saturation", f.Saturation) && key.WriteBinary(L"Sharpness", f.Sharpness);
}

}  // namespace

HRESULT AppSettings::LoadFilterBasicSettings() {
  FilterBasic = FilterBasicDefaults;
  FilterBasic.DefaultSceneChanged = FilterBasic.TuningChanged = 0;
  GroupKey key;
  if (HRESULT hr = key.Open(L"FilterBasic"); hr != 0) return hr;
  FilterBasicSettings& f = FilterBasic;
  if (key.created()) {
    if (!key.WriteDword(L"DefaultScene", f.DefaultScene) || !WriteTuning(key, f)) return NB_E_REG_VALUE;
    return 0;
  }
  if (!key.ReadFour(L"Brightness", f.Brightness) || !key.ReadFour(L"Contrast", f.Contrast) ||
      !key.ReadFour(L"Gamma", f.Gamma) || !key.ReadFour(L"Hue", f.Hue) ||
      !key.ReadFour(L"Saturation", f.Saturation) || !key.ReadFour(L"Sharpness", f.Sharpness) ||
      !key.ReadFour(L"DefaultScene", f.DefaultScene))
    return NB_E_REG_VALUE;
  // An unknown scene makes the whole group untrustworthy.
  if (OutsideUnsigned(f.DefaultScene, 0, 11)) {
    f = FilterBasicDefaults;
    f.DefaultSceneChanged = f.TuningChanged = 0;
  }
  return 0;
}

HRESULT AppSettings::SaveFilterBasicSettings() {
  GroupKey key;
  if (HRESULT hr = key.Open(L"FilterBasic"); hr != 0) return hr;
  FilterBasicSettings& f = FilterBasic;
  NB_SAVE_IF_CHANGED(key, f, DefaultScene, WriteDword)
  if (f.TuningChanged) {
    f.TuningChanged = 0;
    if (!WriteTuning(key, f)) return NB_E_REG_VALUE;
  }
  return 0;
}

// ---- Filter advanced --------------------------------------------------------

HRESULT AppSettings::LoadFilterAdvancedSettings() {
  FilterAdvancedSettings& a = FilterAdvanced;
  const FilterAdvancedSettings& d = FilterAdvancedDefaults;
  a = d;
  a.ZoomPercentageChanged = a.ZoomOriginXChanged = a.ZoomOriginYChanged = 0;
  a.IsFlipHorizontalChanged = a.IsFlipVerticalChanged = a.NightModeChanged = 0;
  a.BackLightCompChanged = a.FocusModeChanged = a.PowerLineFrequenceChanged = 0;
  GroupKey key;
  if (HRESULT hr = key.Open(L"FilterAdvanced"); hr != 0) return hr;
  if (key.created()) {
    if (!key.WriteDword(L"ZoomPercentage", a.ZoomPercentage) || !key.WriteBinary(L"ZoomOriginX", a.ZoomOriginX) ||
        !key.WriteBinary(L"ZoomOriginY", a.ZoomOriginY) ||
        !key.WriteDword(L"IsFlipHorizontal", a.IsFlipHorizontal) ||
        !key.WriteDword(L"IsFlipVertical", a.IsFlipVertical) || !key.WriteDword(L"NightMode", a.NightMode) ||
        !key.WriteDword(L"BackLightComp", a.BackLightComp) || !key.WriteDword(L"FocusMode", a.FocusMode) ||
        !key.WriteDword(L"PowerLineFrequence", a.PowerLineFrequence))
      return NB_E_REG_VALUE;
    return 0;
  }
  if (!key.ReadFour(L"ZoomPercentage", a.ZoomPercentage)) return NB_E_REG_VALUE;
  if (OutsideUnsigned(a.ZoomPercentage, 100, 400)) a.ZoomPercentage = d.ZoomPercentage;
  if (!key.ReadFour(L"ZoomOriginX", a.ZoomOriginX)) return NB_E_REG_VALUE;
  if (OriginOutOfRange(a.ZoomOriginX)) a.ZoomOriginX = d.ZoomOriginX;
  if (!key.ReadFour(L"ZoomOriginY", a.ZoomOriginY)) return NB_E_REG_VALUE;
  if (OriginOutOfRange(a.ZoomOriginY)) a.ZoomOriginY = d.ZoomOriginY;
  if (!key.ReadFour(L"IsFlipHorizontal", a.IsFlipHorizontal) || !key.ReadFour(L"IsFlipVertical", a.IsFlipVertical) ||
      !key.ReadFour(L"NightMode", a.NightMode) || !key.ReadFour(L"BackLightComp", a.BackLightComp))
    return NB_E_REG_VALUE;
  if (!key.ReadFour(L"FocusMode", a.FocusMode)) return NB_E_REG_VALUE;
  if (OutsideUnsigned(a.FocusMode, 0, 2)) a.FocusMode = d.FocusMode;
  if (!key.ReadFour(L"PowerLineFrequence", a.PowerLineFrequence)) return NB_E_REG_VALUE;
  if (a.PowerLineFrequence != 1 && a.PowerLineFrequence != 2) a.PowerLineFrequence = d.PowerLineFrequence;
  return 0;
}

HRESULT AppSettings::SaveFilterAdvancedSettings() {
  GroupKey key;
  if (HRESULT hr = key.Open(L"FilterAdvanced"); hr != 0) return hr;
  FilterAdvancedSettings& a = FilterAdvanced;
  NB_SAVE_IF_CHANGED(key, a, ZoomPercentage, WriteDword)
  NB_SAVE_IF_CHANGED(key, a, ZoomOriginX, WriteBinary)
  NB_SAVE_IF_CHANGED(key, a, ZoomOriginY, WriteBinary)
  NB_SAVE_IF_CHANGED(key, a, IsFlipHorizontal, WriteDword)
  NB_SAVE_IF_CHANGED(key, a, IsFlipVertical, WriteDword)
  NB_SAVE_IF_CHANGED(key, a, NightMode, WriteDword)
  NB_SAVE_IF_CHANGED(key, a, BackLightComp, WriteDword)
  NB_SAVE_IF_CHANGED(key, a, FocusMode, WriteDword)
  NB_SAVE_IF_CHANGED(key, a, PowerLineFrequence, WriteDword)
  return 0;
}

// ---- Effect -----------------------------------------------------------------

namespace {

bool WriteEffectTail(GroupKey& key, const EffectSettings& e) {
  return key.WriteDword(L"Frame", e.Frame) && key.WriteDword(L"LastFrame", e.LastFrame) &&
         key.WriteDword(L"ScreenCover", e.ScreenCover) && key.WriteDword(L"LastScreenCover", e.LastScreenCover) &&
         key.WriteDword(L"UserConfirm", e.UserConfirm) && key.WriteDword(L"ScreenCoverNotify", e.ScreenCoverNotify);
}

}  // namespace

HRESULT AppSettings::LoadEffectSettings() {
  GroupKey key;
  if (HRESULT hr = key.Open(L"Effect"); hr != 0) return hr;
  EffectSettings& e = Effect;
  e = EffectDefaults;
  e.DeepToneChanged = 0;
  if (key.created()) {
    if (!key.WriteDword(L"DeepTone", e.DeepTone) || !WriteEffectTail(key, e)) return NB_E_REG_VALUE;
    return 0;
  }
  // Read without range checks: the effect code receives the stored indexes.
  if (!key.ReadFour(L"DeepTone", e.DeepTone) || !key.ReadFour(L"Frame", e.Frame) ||
      !key.ReadFour(L"LastFrame", e.LastFrame) || !key.ReadFour(L"ScreenCover", e.ScreenCover) ||
      !key.ReadFour(L"LastScreenCover", e.LastScreenCover) || !key.ReadFour(L"UserConfirm", e.UserConfirm) ||
      !key.ReadFour(L"ScreenCoverNotify", e.ScreenCoverNotify))
    return NB_E_REG_VALUE;
  return 0;
}

HRESULT AppSettings::SaveEffectSettings() {
  GroupKey key;
  if (HRESULT hr = key.Open(L"Effect"); hr != 0) return hr;
  NB_SAVE_IF_CHANGED(key, Effect, DeepTone, WriteDword)
  return WriteEffectTail(key, Effect) ? 0 : NB_E_REG_VALUE;
}

// ---- Reset, session values, start-up ---------------------------------------

int AppSettings::ResetSettingsGroups(int groups, void* record) {
  int selected = 0;
  if (groups & SETTINGS_GROUP_TOOLBAR) {
    ToolBar = ToolBarDefaults;
    ++selected;
  }
  if (groups & SETTINGS_GROUP_CAPTUREWNDBASIC) {
    CaptureWndBasic = CaptureWndBasicDefaults;
    ++selected;
  }
  if (groups & SETTINGS_GROUP_FILTERBASIC) {
    FilterBasic = FilterBasicDefaults;
    ++selected;
  }
  if (groups & SETTINGS_GROUP_FILTERADVANCED) {
    FilterAdvanced = FilterAdvancedDefaults;
    ++selected;
  }
  // One record can only receive one group.
  if (record && selected == 1) {
    if (groups & SETTINGS_GROUP_TOOLBAR) *static_cast<ToolBarSettings*>(record) = ToolBar;
    if (groups & SETTINGS_GROUP_CAPTUREWNDBASIC) *static_cast<CaptureWndBasicSettings*>(record) = CaptureWndBasic;
    if (groups & SETTINGS_GROUP_FILTERBASIC) *static_cast<FilterBasicSettings*>(record) = FilterBasic;
    if (groups & SETTINGS_GROUP_FILTERADVANCED) *static_cast<FilterAdvancedSettings*>(record) = FilterAdvanced;
  }
  return 0;
}

HRESULT AppSettings::GetCurrentRecordingPath(std::wstring& path) const {
  if (currentRecordingPath_.empty()) return NIMBO_E_FAIL;
  path = currentRecordingPath_;
  return 0;
}

AppSettings& GetAppSettings() {
  static AppSettings* settings = new AppSettings;  // lives until the process ends
  return *settings;
}

bool LoadSettingsAtStartup(AppSettings& settings) {
  auto loadAll = [&settings] {
    bool ok = true;
    // Every group is loaded even after a failure, in the fixed order.
    ok = SUCCEEDED(settings.LoadToolBarSettings()) && ok;
    ok = SUCCEEDED(settings.LoadCaptureWndBasicSettings()) && ok;
    ok = SUCCEEDED(settings.LoadFilterBasicSettings()) && ok;
    ok = SUCCEEDED(settings.LoadFilterAdvancedSettings()) && ok;
    ok = SUCCEEDED(settings.LoadEffectSettings()) && ok;
    return ok;
  };
  if (loadAll()) return false;
  SHDeleteKeyW(HKEY_CURRENT_USER, kSettingsRootKey);
  loadAll();
  return true;
}

// ---- Folders and disk space -------------------------------------------------

BOOL GetDiskFreeKB(const std::wstring& path, ULONGLONG* freeKB) {
  ULONGLONG available = 0, total = 0, totalFree = 0;
  BOOL ok = GetDiskFreeSpaceExW(path.c_str(), &available, &total, &totalFree);
  if (ok && freeKB) *freeKB = totalFree / 1024;
  return ok;
}

void GetProgramFilesFolder(std::wstring& folder) {
  wchar_t path[MAX_PATH] = {};
  if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_DEFAULT, path))) {
    folder = path;
  } else {
    folder = L"/opt";
  }
  folder += L"/Corvane";
}

void GetAppDataFolder(std::wstring& folder) {
  wchar_t path[MAX_PATH] = {};
  if (SHGetSpecialFolderPathW(nullptr, path, CSIDL_APPDATA, TRUE)) folder = path;
}
