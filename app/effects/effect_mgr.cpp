// The effect manager: frame checks, the chain, the settings operations and
// the lifecycle of the layers and the stream hook. The MJPEG path is in
// effect_mgr_mjpeg.cpp, the user screen covers in effect_mgr_covers.cpp.
#include "effects/effect_mgr.h"

#include <cstring>
#include <cwchar>
#include <mutex>

#include "config/result_codes.h"
#include "win32/debug.h"

namespace {

std::mutex g_managerLock;           // guards g_manager
NBEffectMgr* g_manager = nullptr;   // the process-wide manager (owned by whoever got it)

// Writes a debug line with the frame's size fields, as signed decimals.
void DebugFrameLine(const wchar_t* format, const FrameDescriptor* frame) {
  wchar_t line[256];
  std::swprintf(line, sizeof(line) / sizeof(line[0]), format, static_cast<int>(frame->dwBytesUsed),
                static_cast<int>(frame->dwWidth), static_cast<int>(frame->dwHeight));
  OutputDebugStringW(line);
}

// The YUY2 size check: width * height * 2 bytes, or up to 0x2FFF more.
bool CheckYuy2Size(const FrameDescriptor* frame) {
  if (frame->subtype != MEDIASUBTYPE_YUY2) return true;
  const unsigned long long standard =
      static_cast<unsigned long long>(static_cast<DWORD>(frame->dwWidth)) * static_cast<DWORD>(frame->dwHeight) * 2;
  const unsigned long long used = frame->dwBytesUsed;
  if (used == standard) {
    OutputDebugStringW(L"[123NBEffectMgr] ByteUsed = standardSize OK!!\n");
    return true;
  }
  if (used > standard && used < standard + 0x3000) {
    OutputDebugStringW(L"[123NBEffectMgr]  ByteUsed > standardSize but acceptable OK!! \n");
    return true;
  }
  DebugFrameLine(L"[123NBEffectMgr] ByteUsed != standardSize NO!! Used buffer size %d, width %d, height %d\n", frame);
  return false;
}

}  // namespace

HRESULT CreateEffectMgr(INBEffectMgr** out) {
  if (out == nullptr) return E_POINTER;
  std::lock_guard<std::mutex> hold(g_managerLock);
  if (g_manager == nullptr) {
    g_manager = new (std::nothrow) NBEffectMgr();
    if (g_manager == nullptr) return E_POINTER;
  }
  *out = g_manager;
  return S_OK;
}

// ---------------------------------------------------------------------------
// Construction and destruction

NBEffectMgr::EffectSet::EffectSet() { InitializeCriticalSection(&lock); }

NBEffectMgr::EffectSet::~EffectSet() {
  if (loaded.load() != 0) {
    frames.Unload();
    covers.Unload();
    loaded.store(0);
  }
  DeleteCriticalSection(&lock);
}

NBEffectMgr::NBEffectMgr() { OutputDebugStringW(L"[NBEffectMgr] Class NBEffectMgr Create!\r\n"); }

NBEffectMgr::~NBEffectMgr() {
  if (m_started.load() != 0) {
    EndStreamHook();
    m_started.store(0);
  }
  OutputDebugStringW(L"[NBEffectMgr] Class NBEffectMgr Delete!\r\n");
  zorcam::mjpeg::FreePicture(&m_picture);
  // The next CreateEffectMgr makes a new manager instead of handing out this one.
  std::lock_guard<std::mutex> hold(g_managerLock);
  if (g_manager == this) g_manager = nullptr;
}

// ---------------------------------------------------------------------------
// Lifecycle

HRESULT NBEffectMgr::LoadLayers() {
  if (m_set.loaded.load() != 0) {
    m_set.frames.Unload();
    m_set.covers.Unload();
    m_set.loaded.store(0);
    return NBEM_E_REINITED;
  }
  // Missing folders only give empty layers; the results are not used.
  m_set.frames.Load();
  m_set.covers.Load();
  m_set.loaded.store(1);
  return S_OK;
}

HRESULT NBEffectMgr::Start() {
  if (m_started.load() != 0) {
    Stop();
    return NBEM_E_REINITED;
  }
  HRESULT hr = LoadLayers();
  if (hr == S_OK) hr = StartStreamHook();
  if (hr == S_OK) {
    m_started.store(1);
  } else {
    Stop();
  }
  return hr;
}

HRESULT NBEffectMgr::Stop() {
  if (m_started.load() == 0) return NBEM_E_UNINITED;
  EndStreamHook();
  m_started.store(0);
  return S_OK;
}

HRESULT NBEffectMgr::StartStreamHook() {
  m_streamCtrl.reset();
  m_streamCtrl.reset(CreateStreamCtrl());
  if (!m_streamCtrl) return E_POINTER;
  return m_streamCtrl->Start(static_cast<IEffectCallBack*>(this));
}

HRESULT NBEffectMgr::EndStreamHook() {
  m_streamCtrl.reset();  // the destructor ends the hook
  return S_OK;
}

// ---------------------------------------------------------------------------
// Rules and the chain

void NBEffectMgr::RearmRules() {
  m_resolutionRule.Rearm();
  m_mjpegRule.Rearm();
}

int NBEffectMgr::BuildChainLocked(IEffect* chain[4]) {
  if (m_set.covers.IsActive()) {
    chain[0] = &m_set.covers;
    return 1;
  }
  int n = 0;
  chain[n++] = &m_set.flip;
  chain[n++] = &m_set.zoom;
  if (m_set.contrastAllowed.load(std::memory_order_relaxed) == 1) chain[n++] = &m_set.contrast;
  chain[n++] = &m_set.frames;
  return n;
}

bool NBEffectMgr::IsChainActiveLocked() {
  IEffect* chain[4];
  const int n = BuildChainLocked(chain);
  for (int i = 0; i < n; ++i) {
    if (chain[i]->IsActive() == 1) return true;
  }
  return false;
}

bool NBEffectMgr::IsChainActive() {
  Hold hold(&m_set.lock);
  return IsChainActiveLocked();
}

int NBEffectMgr::GetDeepToneMode() {
  Hold hold(&m_set.lock);
  return m_set.contrast.GetMode();
}

int NBEffectMgr::RunChain(FrameDescriptor* frame, const BYTE** finished) {
  const int width = frame->dwWidth;
  const int height = frame->dwHeight;
  const size_t pictureBytes = static_cast<size_t>(width) * height * 2;
  // A buffer smaller than its picture would let the effects write past it.
  if (frame->data == nullptr || frame->capacity < pictureBytes) {
    OutputDebugStringW(L"[NBEffectMgr] Frame buffer smaller than its picture, do nothing\n");
    return 0;
  }
  if (m_scratch.size() < frame->capacity) m_scratch.resize(frame->capacity);
  if (finished != nullptr) *finished = frame->data;
  if (m_set.loaded.load() == 0) return NBEM_E_UNINITED;

  Hold hold(&m_set.lock);
  IEffect* chain[4];
  const int n = BuildChainLocked(chain);
  const int stride = width * 2;
  BYTE* dst = m_scratch.data();
  BYTE* src = frame->data;
  int notInPlace = 0;
  for (int i = 0; i < n; ++i) {
    chain[i]->Apply(dst, stride, src, stride, width, height);
    if (chain[i]->IsInPlace() != 1) {
      std::swap(dst, src);
      ++notInPlace;
    }
  }
  // An odd number of effects that wrote to dst leaves the picture in the
  // scratch buffer. Only the picture goes back: the rest of the scratch
  // buffer holds nothing of this frame.
  if (finished != nullptr) {
    *finished = src;
  } else if ((notInPlace & 1) != 0) {
    std::memcpy(frame->data, m_scratch.data(), pictureBytes);
  }
  return 0;
}

// ---------------------------------------------------------------------------
// OnFrame

int NBEffectMgr::OnFrame(FrameDescriptor* frame) {
  if (frame == nullptr) return 0;
  if (frame->dwBytesUsed == YUYV_EMPTY) {
    OutputDebugStringW(L"[123NBEffectMgr] dwBytesUsed == YUYV_EMPTY \n");
    return 0;
  }
  if (frame->dwBytesUsed == 0) {
    OutputDebugStringW(L"[123NBEffectMgr] dwBytesUsed == 0 \n");
    return 0;
  }
  if (frame->dwHeight == 0 || frame->dwWidth == 0) {
    OutputDebugStringW(L"[123NBEffectMgr] dwHeight == 0 || dwWidth == 0\n");
    return 0;
  }
  if (!CheckYuy2Size(frame)) {
    OutputDebugStringW(L"[123NBEffectMgr] checkYUY2Size failed, Receive error image size\n");
    return 0;
  }
  if (m_resolutionRule.Evaluate(frame) == 0) {
    OutputDebugStringW(L"[NBEffectMgr] Too high resolution\n");
    return 0;
  }
  if (m_mjpegRule.Evaluate(frame) == 0) {
    OutputDebugStringW(L"[NBEffectMgr] MJPEG + ContrastEnhance, not supported\n");
    return 0;
  }
  if (m_enabled.load(std::memory_order_relaxed) == 0) {
    OutputDebugStringW(L"[NBEffectMgr] EffectMgr disabled, do nothing\n");
    return 0;
  }
  if (!IsChainActive()) {
    OutputDebugStringW(L"[NBEffectMgr] No effect, do nothing\n");
    return 0;
  }
  if (frame->subtype == MEDIASUBTYPE_YUY2) {
    DebugFrameLine(L"[NBEffectMgr] subformat YUY2, Used buffer size %d, width %d, height %d\n", frame);
    return RunChain(frame);
  }
  if (frame->subtype == MEDIASUBTYPE_MJPG) {
    DebugFrameLine(L"[NBEffectMgr] subformat MJPEG, Used buffer size %d, width %d, height %d\n", frame);
    return RunMjpegPath(frame);
  }
  DebugFrameLine(L"[NBEffectMgr] subformat Unknown, Used buffer size %d, width %d, height %d\n", frame);
  return 0;
}

// ---------------------------------------------------------------------------
// Settings operations

HRESULT NBEffectMgr::SetEffect(int type, int value, float x, float y) {
  switch (type) {
    case 0:
    case 1: {
      if (value != 0 && value != 1) return NBEM_E_BAD_PARAMS;
      if (value == 1) RearmRules();
      Hold hold(&m_set.lock);
      if (type == 0) {
        m_set.flip.SetVertical(value);
      } else {
        m_set.flip.SetHorizontal(value);
      }
      return S_OK;
    }
    case 2: {
      RearmRules();
      const bool inRange = value >= 100 && value <= 400;
      {
        Hold hold(&m_set.lock);
        m_set.zoom.SetPercentage(inRange ? value : 100);
      }
      if (!inRange) return NBEM_E_BAD_PARAMS;
      // Written so that a NaN origin is refused too.
      if (!(x >= 0.0f && x <= 1.0f && y >= 0.0f && y <= 1.0f)) return NBEM_E_BAD_PARAMS;
      Hold hold(&m_set.lock);
      m_set.zoom.SetOrigin(x, y);
      return S_OK;
    }
    case 4: {
      if (value == 2) RearmRules();
      Hold hold(&m_set.lock);
      m_set.contrast.SetMode(value);
      return S_OK;
    }
    default:
      return NBEM_E_BAD_PARAMS;
  }
}

HRESULT NBEffectMgr::SelectEffect(int id) {
  if (EffectIndexOf(id) != EFFECT_INDEX_NONE && m_enabled.load(std::memory_order_relaxed) == 0) RearmRules();
  if (m_set.loaded.load() == 0) return NBEM_E_UNINITED;
  Hold hold(&m_set.lock);
  switch (EffectLayerOf(id)) {
    case EFFECT_LAYER_FRAME:
      m_set.frames.Select(id);
      break;
    case EFFECT_LAYER_SCREENCOVER:
      m_set.covers.Select(id);
      break;
    default:
      break;
  }
  return S_OK;
}

HRESULT NBEffectMgr::GetEffectList(const std::wstring& kind, std::vector<EffectListEntry>& out) {
  if (m_set.loaded.load() == 0) return NBEM_E_UNINITED;
  Hold hold(&m_set.lock);
  const CNBEffectLayer* layer = nullptr;
  if (kind == L"Thumbnail\\Frame") {
    layer = &m_set.frames;
  } else if (kind == L"Thumbnail\\ScreenCover") {
    layer = &m_set.covers;
  }
  if (layer == nullptr) return S_OK;
  for (size_t i = 0; i < layer->Count(); ++i) {
    IStillImageEffect* effect = layer->EffectAt(i);
    out.push_back({effect->GetId(), effect->GetThumbnailPath()});
  }
  return S_OK;
}

HRESULT NBEffectMgr::DeleteScreenCover(int index) {
  Hold hold(&m_set.lock);
  m_set.covers.Delete(index);
  return S_OK;
}
