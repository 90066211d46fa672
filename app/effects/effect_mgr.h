// The effect manager: the one object that sees every camera frame. The frame
// hook client hands each frame to OnFrame (the IEffectCallBack view); the
// manager checks it, evaluates the enable rules and runs the active effects
// in a fixed order, decoding and re-encoding MJPEG frames around them. The
// user interface controls the effects through the INBEffectMgr view.
//
// Chain: a current screen cover alone (it hides every other effect), or flip,
// zoom, DeepTone (unless the MJPEG rule has switched it off) and the frame
// layer, in that order.
//
// Threads and locks: OnFrame runs on the effect thread, one frame at a time;
// the INBEffectMgr operations run on the user-interface thread. The EffectSet
// lock (one critical section) is held for the active test, for the whole run
// of a frame's chain, and by every setter, SelectEffect, GetEffectList and the
// cover layer's reload and delete. started, enabled, contrastAllowed and
// loaded are 32-bit flags written without that lock (atomics).
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "effects/deeptone.h"
#include "effects/effect.h"
#include "effects/effect_layers.h"
#include "effects/effect_rules.h"
#include "effects/flip_effect.h"
#include "effects/mjpeg_codec.h"
#include "effects/stream_ctrl.h"
#include "effects/zoom_effect.h"
#include "win32/sync.h"

// The control interface of the effect manager. The slot order is part of the
// interface.
class INBEffectMgr {
 public:
  virtual ~INBEffectMgr() = default;
  // Loads the layers and starts the stream hook. NBEM_E_REINITED (after
  // stopping) when already started; any failure stops the manager again.
  virtual HRESULT Start() = 0;
  // Ends the stream hook; the layers stay loaded. NBEM_E_UNINITED when not started.
  virtual HRESULT Stop() = 0;
  // Replaces the stream-control object with a new, started one.
  virtual HRESULT StartStreamHook() = 0;
  // Deletes the stream-control object (which ends the hook); returns 0.
  virtual HRESULT EndStreamHook() = 0;
  // type 0 vertical flip, 1 mirror, 2 zoom (value percent, x/y origin),
  // 4 DeepTone mode. NBEM_E_BAD_PARAMS for a bad type or value.
  virtual HRESULT SetEffect(int type, int value, float x, float y) = 0;
  // Selects a frame (0x2xxxx) or screen cover (0x4xxxx); index 0xFFFF or an
  // index past the end selects none.
  virtual HRESULT SelectEffect(int id) = 0;
  // Appends {id, thumbnail path} for every effect of the layer named by kind
  // ("Thumbnail\Frame" or "Thumbnail\ScreenCover").
  virtual HRESULT GetEffectList(const std::wstring& kind, std::vector<EffectListEntry>& out) = 0;
  // Makes a user screen cover from a picture file. NBEM_E_FAIL on failure.
  virtual HRESULT AddScreenCover(const std::wstring& imagePath) = 0;
  // Deletes the cover at that index; returns 0.
  virtual HRESULT DeleteScreenCover(int index) = 0;
};

// The process-wide manager: stores its INBEffectMgr view in *out and returns
// 0; E_POINTER with a null out. The owner destroys it through the interface;
// the next call then makes a new one.
HRESULT CreateEffectMgr(INBEffectMgr** out);

class NBEffectMgr final : public IEffectCallBack, public INBEffectMgr {
 public:
  NBEffectMgr();
  ~NBEffectMgr() override;
  NBEffectMgr(const NBEffectMgr&) = delete;
  NBEffectMgr& operator=(const NBEffectMgr&) = delete;

  // IEffectCallBack. Always 0, except NBEM_E_UNINITED for a YUY2 frame that
  // reaches the chain while the layers are not loaded.
  int OnFrame(FrameDescriptor* frame) override;

  // INBEffectMgr
  HRESULT Start() override;
  HRESULT Stop() override;
  HRESULT StartStreamHook() override;
  HRESULT EndStreamHook() override;
  HRESULT SetEffect(int type, int value, float x, float y) override;
  HRESULT SelectEffect(int id) override;
  HRESULT GetEffectList(const std::wstring& kind, std::vector<EffectListEntry>& out) override;
  HRESULT AddScreenCover(const std::wstring& imagePath) override;
  HRESULT DeleteScreenCover(int index) override;

  // Used by the enable rules (effect thread) and by tests.
  void SetEnabled(int value) { m_enabled.store(value, std::memory_order_relaxed); }
  int IsEnabled() const { return m_enabled.load(std::memory_order_relaxed); }
  void SetContrastAllowed(int value) { m_set.contrastAllowed.store(value, std::memory_order_relaxed); }
  int IsContrastAllowed() const { return m_set.contrastAllowed.load(std::memory_order_relaxed); }
  // Takes the EffectSet lock.
  int GetDeepToneMode();
  // The active test: some member of the current chain is active. Takes the lock.
  bool IsChainActive();

  // Read-only views for tests and tools (no lock; call between frames).
  int IsStarted() const { return m_started.load(std::memory_order_relaxed); }
  bool AreLayersLoaded() const { return m_set.loaded.load(std::memory_order_relaxed) != 0; }
  const CNBFlipEffect& Flip() const { return m_set.flip; }
  const CNBZoomEffect& Zoom() const { return m_set.zoom; }
  const CNBFrameLayer& Frames() const { return m_set.frames; }
  const CNBScreenCoverLayer& Covers() const { return m_set.covers; }
  const CNBResolutionRule& ResolutionRule() const { return m_resolutionRule; }
  const CNBMJPEGRule& MjpegRule() const { return m_mjpegRule; }
  IStreamCtrl* StreamCtrl() const { return m_streamCtrl.get(); }

 private:
  // The manager's container of effects.
  struct EffectSet {
    EffectSet();
    ~EffectSet();
    std::atomic<int> loaded{0};           // both layers enumerated
    std::atomic<int> contrastAllowed{1};  // 0 while the MJPEG rule is tripped
    CRITICAL_SECTION lock;                // guards every member below and a whole frame run
    CNBFlipEffect flip;
    CNBZoomEffect zoom;
    DeepToneEffect contrast;
    CNBFrameLayer frames;
    CNBScreenCoverLayer covers;
  };

  // RAII holder of the EffectSet lock.
  class Hold {
   public:
    explicit Hold(CRITICAL_SECTION* section) : section_(section) { EnterCriticalSection(section_); }
    ~Hold() { LeaveCriticalSection(section_); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    CRITICAL_SECTION* section_;
  };

  // Fills chain with the current chain; returns its length. Lock held.
  int BuildChainLocked(IEffect* chain[4]);
  bool IsChainActiveLocked();
  HRESULT LoadLayers();
  void RearmRules();
  // The YUY2 chain over a picture of width x height in frame->data. With
  // `finished` null an odd number of effects that wrote elsewhere is
  // followed by a copy back into the frame; otherwise *finished receives the
  // buffer that holds the result (the frame or the scratch buffer), so a
  // caller that only reads the result saves that copy.
  int RunChain(FrameDescriptor* frame, const BYTE** finished = nullptr);
  // Decode, chain, encode of an MJPEG frame; always 0.
  int RunMjpegPath(FrameDescriptor* frame);

  std::atomic<int> m_started{0};
  std::atomic<int> m_enabled{1};
  EffectSet m_set;
  std::unique_ptr<IStreamCtrl> m_streamCtrl;  // null while no hook exists
  CNBResolutionRule m_resolutionRule{this};
  CNBMJPEGRule m_mjpegRule{this};

  // Working memory of the effect thread, kept between frames so that a
  // stream of frames allocates once: the chain's scratch buffer and the
  // decoded MJPEG picture.
  std::vector<BYTE> m_scratch;
  zorcam::mjpeg::DecodedPicture m_picture;
};
