// Effect layers and the pair scan of the picture collections. File access
// uses std::filesystem; wide paths are UTF-8 on disk.
#include "effects/effect_layers.h"

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "capture/data_folders.h"
#include "config/result_codes.h"
#include "win32/config/shell.h"
#include "win32/text.h"

namespace fs = std::filesystem;

namespace {

std::mutex g_programFolderLock;  // guards g_programFolderOverride
std::wstring g_programFolderOverride;

std::wstring Lower(const std::wstring& text) {
  std::wstring out = text;
  for (wchar_t& c : out) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return out;
}

bool EndsWithNoCase(const std::wstring& name, const std::wstring& suffix) {
  return name.size() > suffix.size() && Lower(name.substr(name.size() - suffix.size())) == Lower(suffix);
}

// The part after the last '/', cut at its last '.'.
std::wstring BaseName(const std::wstring& path) {
  const size_t slash = path.find_last_of(L'/');
  std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  const size_t dot = name.find_last_of(L'.');
  if (dot != std::wstring::npos) name.resize(dot);
  return name;
}

void JoinFolder(std::wstring& path, const std::wstring& folder) {
  path += folder;
  if (path.empty() || path.back() != L'/') path += L'/';
}

}  // namespace

// ---------------------------------------------------------------------------
// CNBEffectLayer

CNBEffectLayer::~CNBEffectLayer() { Unload(); }

int CNBEffectLayer::IsActive() { return m_current != 0xFFFF ? 1 : 0; }

int CNBEffectLayer::Apply(BYTE* dst, int dstStride, BYTE* src, int srcStride, int width, int height) {
  if (m_current >= m_effects.size()) m_current = 0xFFFF;
  if (m_current == 0xFFFF) return 0;
  return m_effects[m_current]->Apply(dst, dstStride, src, srcStride, width, height);
}

int CNBEffectLayer::IsInPlace() {
  if (m_current == 0xFFFF) return 1;
  // A current index past the end (after an unload) draws nothing.
  if (m_current >= m_effects.size()) return 1;
  return m_effects[m_current]->IsInPlace();
}

int CNBEffectLayer::Select(int id) {
  const WORD index = static_cast<WORD>(id & 0xFFFF);
  m_current = index < m_effects.size() ? index : 0xFFFF;
  return 0;
}

HRESULT CNBEffectLayer::Load() {
  if (m_loaded != 0) return NBEM_E_REINITED;
  StillImageList found;
  const HRESULT hr = Enumerate(found);
  if (hr < 0) return hr;
  for (auto& effect : found) {
    if (effect) m_effects.push_back(std::move(effect));
  }
  m_loaded = 1;
  return hr;
}

HRESULT CNBEffectLayer::Unload() {
  m_effects.clear();
  m_loaded = 0;
  return S_OK;
}

// ---------------------------------------------------------------------------
// The two layers

HRESULT CNBFrameLayer::Enumerate(StillImageList& out) {
  if (!out.empty()) return E_INVALIDARG;
  std::vector<PicturePair> pairs;
  PairScan(GetProgramFolder(), L"Effect/Frame", L"Thumbnail/Frame", pairs);
  for (size_t i = 0; i < pairs.size(); ++i) {
    out.push_back(std::make_unique<CFrameEffect>(pairs[i].picture, pairs[i].preview,
                                                 MakeEffectId(EFFECT_LAYER_FRAME, static_cast<int>(i))));
  }
  return S_OK;
}

HRESULT CNBScreenCoverLayer::Enumerate(StillImageList& out) {
  if (!out.empty()) return E_INVALIDARG;
  std::vector<PicturePair> pairs;
  PairScan(GetProgramFolder(), L"Effect/ScreenCover", L"Thumbnail/ScreenCover", pairs);
  std::wstring userFolder;
  GetDataFolder(userFolder);
  if (!userFolder.empty()) PairScan(userFolder, L"Effect/ScreenCover", L"Thumbnail/ScreenCover", pairs);
  for (size_t i = 0; i < pairs.size(); ++i) {
    out.push_back(std::make_unique<CScreenCoverEffect>(pairs[i].picture, pairs[i].preview,
                                                       MakeEffectId(EFFECT_LAYER_SCREENCOVER, static_cast<int>(i))));
  }
  return S_OK;
}

HRESULT CNBScreenCoverLayer::Reload() {
  Unload();
  Load();
  return S_OK;
}

HRESULT CNBScreenCoverLayer::Delete(int index) {
  if (index < 0 || static_cast<size_t>(index) >= m_effects.size()) return E_INVALIDARG;
  const std::wstring image = m_effects[index]->GetImagePath();
  const std::wstring thumbnail = m_effects[index]->GetThumbnailPath();
  Unload();  // releases every picture file
  std::error_code ec;
  fs::remove(win32::ToUtf8(image), ec);  // failures are ignored: such a cover stays
  fs::remove(win32::ToUtf8(thumbnail), ec);
  Load();
  return S_OK;
}

// ---------------------------------------------------------------------------
// Folder scans

HRESULT FindFiles(const std::wstring& folder, const std::wstring& extension, std::vector<std::wstring>& paths) {
  paths.clear();
  std::error_code ec;
  fs::directory_iterator it(win32::ToUtf8(folder), ec);
  if (ec) return NBEM_E_DLL_PATH;
  struct Entry {
    std::wstring name;
    std::wstring key;
  };
  std::vector<Entry> entries;
  const std::wstring dotExtension = L"." + extension;
  HRESULT result = S_OK;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    std::error_code typeError;
    if (!it->is_regular_file(typeError)) continue;
    const std::wstring name = win32::FromUtf8(it->path().filename().string());
    if (EndsWithNoCase(name, dotExtension)) entries.push_back({name, Lower(name)});
  }
  if (ec) {
    std::printf("FindNextFile error. Error is %u\n", static_cast<unsigned>(ec.value()));
    result = NBEM_E_LOAD_DLL;
  }
  if (entries.empty() && result == S_OK) return NBEM_E_DLL_PATH;
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.key != b.key ? a.key < b.key : a.name < b.name;
  });
  std::wstring prefix = folder;
  if (prefix.empty() || prefix.back() != L'/') prefix += L'/';
  for (const Entry& e : entries) paths.push_back(prefix + e.name);
  return result;
}

void PairScan(const std::wstring& root, const std::wstring& pictureFolder, const std::wstring& previewFolder,
              std::vector<PicturePair>& pairs) {
  std::wstring pictureDir = root;
  JoinFolder(pictureDir, pictureFolder);
  std::wstring previewDir = root;
  JoinFolder(previewDir, previewFolder);
  std::vector<std::wstring> pictures;
  if (FindFiles(pictureDir, L"png", pictures) != S_OK) return;
  std::vector<std::wstring> previews;
  if (FindFiles(previewDir, L"bmp", previews) != S_OK) return;
  std::vector<std::wstring> previewNames;
  for (const std::wstring& p : previews) previewNames.push_back(BaseName(p));
  for (const std::wstring& picture : pictures) {
    const std::wstring name = BaseName(picture);
    for (size_t i = 0; i < previews.size(); ++i) {
      if (previewNames[i] == name) {
        pairs.push_back({picture, previews[i]});
        break;
      }
    }
  }
}

std::wstring GetProgramFolder() {
  {
    std::lock_guard<std::mutex> hold(g_programFolderLock);
    if (!g_programFolderOverride.empty()) {
      std::wstring folder = g_programFolderOverride;
      if (folder.back() != L'/') folder += L'/';
      return folder;
    }
  }
  std::wstring buffer(4096, L'\0');
  const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (n == 0) return std::wstring();
  buffer.resize(n);
  const size_t slash = buffer.find_last_of(L'/');
  return slash == std::wstring::npos ? std::wstring() : buffer.substr(0, slash + 1);
}

void SetProgramFolderOverride(const std::wstring& folder) {
  std::lock_guard<std::mutex> hold(g_programFolderLock);
  g_programFolderOverride = folder;
}
