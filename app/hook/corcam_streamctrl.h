// CorCamStreamCtrl: the program's side of the frame hook.
//
// Opens the NBEffect control device through CorCamIoCtrl, turns the hook on
// and keeps exactly one request in flight: a GET borrows the next camera
// frame, a PUT gives back the newest frame the effect manager has finished.
// Two threads do the work:
//   _IoReadWriteProc  issues every GET and PUT and rotates the buffers;
//   _IoAddEffectProc  runs the effect callback on m_pEffectBuffer, so slow
//                     effects never delay a request.
// Three HookBuffers rotate between them without a lock: g_bEffectIdle and
// the auto-reset m_hEffectEvent are the whole hand-shake (see the .cpp).
//
// Ownership: the object owns its device client, events, threads and the three
// buffers; the callback is borrowed and is never used after Stop returns.
#pragma once

#include <atomic>

#include "effects/effect.h"
#include "effects/stream_ctrl.h"
#include "win32/devio.h"
#include "win32/types.h"

class CorCamIoCtrl;

// One buffer slot: a HookFrameHeader followed by the frame bytes.
struct HookBuffer {
  BYTE* pData = nullptr;  // block of dwSize bytes
  DWORD dwSize = 0;       // 36 + frame capacity
};

// Frees the old block and puts in a new one of capacity + 36 bytes, filled
// with black YUY2 (0x00 0x80) and a header that announces `capacity` bytes
// of YUY2 and nothing used. When the new block cannot be had (including a
// capacity whose block size does not fit 32 bits) the old block is kept
// untouched and the result is false.
bool ResizeBuffer(HookBuffer* buffer, DWORD capacity);

// The one overlapped record of every GET and PUT; rewritten only while no
// request is outstanding.
extern OVERLAPPED g_HookOverlapped;
// 1 while the effect thread waits for work. Atomic: it is the flag of the
// lock-free hand-over, written and read by both hook threads.
extern std::atomic<int> g_bEffectIdle;

class CorCamStreamCtrl : public IStreamCtrl {
 public:
  // Capacity of each buffer before the driver reports the real frame size.
  static constexpr DWORD kInitialCapacity = 202752;  // 0x31800

  CorCamStreamCtrl();
  ~CorCamStreamCtrl() override;
  CorCamStreamCtrl(const CorCamStreamCtrl&) = delete;
  CorCamStreamCtrl& operator=(const CorCamStreamCtrl&) = delete;

  // S_OK also when the driver is absent or the hook cannot be started (the
  // object then stays not started); NBEM_E_REINITED, NBEM_E_BAD_PARAMS,
  // NBEM_E_FAIL or E_POINTER otherwise.
  HRESULT Start(IEffectCallBack* callback) override;
  // S_OK, or NBEM_E_UNINITED when not started (nothing is touched then).
  HRESULT Stop() override;

  bool IsStarted() const { return m_bStarted != 0; }

  // How long Stop waits for the threads before it says so and waits on
  // without limit (5,000 ms; tests shorten it).
  static void SetStopTimeoutForTesting(DWORD milliseconds);
  // Largest block ResizeBuffer will allocate (tests lower it to make an
  // allocation fail); 0 restores "no limit".
  static void SetBufferLimitForTesting(size_t bytes);

 private:
  static unsigned _IoReadWriteProc(void* argument);
  static unsigned _IoAddEffectProc(void* argument);

  void OnGetCompleted();
  void IssueGet();
  void IssuePut();
  void Rotate();
  void StopThreads();
  void WaitForOutstandingRequest();
  static bool Issued(BOOL result);
  void CloseEvents();
  void FreeBuffers();
  void TearDown();

  int m_bStarted = 0;
  CorCamIoCtrl* m_pIoCtrl = nullptr;
  HANDLE m_hReadWriteThread = nullptr;
  unsigned m_uReadWriteThreadId = 0;
  HANDLE m_hAddEffectThread = nullptr;
  unsigned m_uAddEffectThreadId = 0;
  HANDLE m_hExitEvent = nullptr;    // manual-reset: ends both threads
  HANDLE m_hGetEvent = nullptr;     // auto-reset: the outstanding GET completed
  HANDLE m_hPutEvent = nullptr;     // auto-reset: the outstanding PUT completed
  HANDLE m_hEffectEvent = nullptr;  // auto-reset: m_pEffectBuffer holds new work
  HookBuffer* m_pRecvBuffer = nullptr;    // read-write thread: receives the next GET
  HookBuffer* m_pPutBuffer = nullptr;     // read-write thread: sent with the next PUT
  HookBuffer* m_pEffectBuffer = nullptr;  // effect thread while it works, else read-write thread
  IEffectCallBack* m_pCallBack = nullptr;  // borrowed
  // A GET or PUT was issued and its completion not yet taken by the
  // read-write thread (written by Start and that thread; read after it ended).
  bool m_bRequestInFlight = false;
};

// Makes the effect manager's StartStreamHook run this client (registers its
// factory with the manager's stream-control seam). Call at start-up.
void InstallCorCamStreamCtrl();
