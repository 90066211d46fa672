// CorCamStreamCtrl: the GET/PUT cycle, the buffer rotation and the effect
// thread of the frame hook client.
//
// Hand-over without a lock. The read-write thread owns m_pRecvBuffer and
// m_pPutBuffer at all times, and m_pEffectBuffer while g_bEffectIdle is 1.
// It rotates the slots only while the flag is 1, then clears the flag and
// sets m_hEffectEvent; from then on the effect thread owns m_pEffectBuffer
// until it sets the flag back to 1 (after its header update). The flag is
// written with release and read with acquire order, so the buffer contents
// travel with it.
#include "hook/corcam_streamctrl.h"

#include <cstring>
#include <new>

#include "config/result_codes.h"
#include "hook/corcam_ioctrl.h"
#include "shared/nbhook.h"
#include "win32/debug.h"
#include "win32/media_guids.h"
#include "win32/sync.h"

OVERLAPPED g_HookOverlapped;
std::atomic<int> g_bEffectIdle{0};

namespace {

std::atomic<DWORD> g_stopTimeoutMs{5000};
std::atomic<size_t> g_bufferLimit{0};

// Written into a receive buffer's dwStatus before each GET, so that a GET
// that ends without a reply (cancelled) is not mistaken for the frame the
// buffer held in an earlier cycle.
constexpr DWORD kNoReply = 0xFFFFFFFFu;

HookFrameHeader* HeaderOf(HookBuffer* buffer) { return reinterpret_cast<HookFrameHeader*>(buffer->pData); }

void PrepareOverlapped(HANDLE event) {
  std::memset(&g_HookOverlapped, 0, sizeof(g_HookOverlapped));
  g_HookOverlapped.hEvent = event;
}

}  // namespace

bool ResizeBuffer(HookBuffer* buffer, DWORD capacity) {
  const size_t size = static_cast<size_t>(capacity) + HOOK_HEADER_SIZE;
  const size_t limit = g_bufferLimit.load(std::memory_order_relaxed);
  if (size > 0xFFFFFFFFu || (limit != 0 && size > limit)) return false;
  BYTE* block = new (std::nothrow) BYTE[size];
  if (block == nullptr) return false;
  for (size_t i = 0; i < size; ++i) block[i] = (i & 1) ? 0x80 : 0x00;
  delete[] buffer->pData;
  buffer->pData = block;
  buffer->dwSize = static_cast<DWORD>(size);
  HookFrameHeader* header = HeaderOf(buffer);
  header->dwBufferSize = capacity;
  header->dwWidth = 0;
  header->dwHeight = 0;
  header->dwBytesUsed = 0;
  header->guidSubFormat = MEDIASUBTYPE_YUY2;
  return true;
}

void CorCamStreamCtrl::SetStopTimeoutForTesting(DWORD milliseconds) { g_stopTimeoutMs = milliseconds; }
void CorCamStreamCtrl::SetBufferLimitForTesting(size_t bytes) { g_bufferLimit = bytes; }

void InstallCorCamStreamCtrl() {
  SetStreamCtrlFactory([]() -> IStreamCtrl* { return new (std::nothrow) CorCamStreamCtrl; });
}

CorCamStreamCtrl::CorCamStreamCtrl() = default;

CorCamStreamCtrl::~CorCamStreamCtrl() { Stop(); }

HRESULT CorCamStreamCtrl::Start(IEffectCallBack* callback) {
  if (m_bStarted) return NBEM_E_REINITED;
  if (callback == nullptr) return NBEM_E_BAD_PARAMS;
  m_pCallBack = callback;

  m_pIoCtrl = new (std::nothrow) CorCamIoCtrl;
  if (m_pIoCtrl == nullptr) return E_POINTER;
  if (!m_pIoCtrl->OpenDevice()) {
    // No driver: the program runs without effects.
    m_pIoCtrl->CloseDevice();
    delete m_pIoCtrl;
    m_pIoCtrl = nullptr;
    m_pCallBack = nullptr;
    return S_OK;
  }

  m_hExitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  m_hGetEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  m_hPutEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  m_hEffectEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (m_hExitEvent && m_hGetEvent && m_hPutEvent && m_hEffectEvent) {
    m_hReadWriteThread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &_IoReadWriteProc, this, 0, &m_uReadWriteThreadId));
    if (m_hReadWriteThread) {
      m_hAddEffectThread =
          reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &_IoAddEffectProc, this, 0, &m_uAddEffectThreadId));
    }
  }
  if (!m_hReadWriteThread || !m_hAddEffectThread) {
    StopThreads();
    CloseEvents();
    m_pIoCtrl->CloseDevice();
    delete m_pIoCtrl;
    m_pIoCtrl = nullptr;
    m_pCallBack = nullptr;
    return NBEM_E_FAIL;
  }

  if (!m_pIoCtrl->StartStreamHook()) {
    m_bStarted = 1;
    Stop();
    return S_OK;
  }

  m_pRecvBuffer = new (std::nothrow) HookBuffer;
  m_pPutBuffer = new (std::nothrow) HookBuffer;
  m_pEffectBuffer = new (std::nothrow) HookBuffer;
  if (!m_pRecvBuffer || !m_pPutBuffer || !m_pEffectBuffer || !ResizeBuffer(m_pRecvBuffer, kInitialCapacity) ||
      !ResizeBuffer(m_pPutBuffer, kInitialCapacity) || !ResizeBuffer(m_pEffectBuffer, kInitialCapacity)) {
    TearDown();
    return E_POINTER;
  }

  PrepareOverlapped(m_hGetEvent);
  HeaderOf(m_pRecvBuffer)->dwStatus = kNoReply;
  // From here on the read-write thread owns the flag: the GET can complete
  // (and be answered) before GetIRP returns.
  m_bRequestInFlight = true;
  m_pIoCtrl->GetIRP(&g_HookOverlapped, m_pRecvBuffer->pData, m_pRecvBuffer->dwSize);
  OutputDebugStringW(L"[NBEffectMgr] Send GetIRP\r\n");
  m_bStarted = 1;
  return S_OK;
}

HRESULT CorCamStreamCtrl::Stop() {
  if (!m_bStarted) return NBEM_E_UNINITED;
  TearDown();
  return S_OK;
}

// Everything Start built, in the order that keeps it safe: the threads end
// before the hook is ended and the device closed (which cancels the request
// still in flight), and the buffers and the callback go last.
//
// The request still in flight is cancelled by CloseDevice, but a driver that
// had already taken it completes it later, writing into the receive buffer
// and g_HookOverlapped: the buffers are freed (and the overlapped record left
// to the next instance) only after it has completed.
void CorCamStreamCtrl::TearDown() {
  StopThreads();
  if (m_pIoCtrl) m_pIoCtrl->EndStreamHook();
  m_pCallBack = nullptr;
  if (m_pIoCtrl) {
    m_pIoCtrl->CloseDevice();
    WaitForOutstandingRequest();
    delete m_pIoCtrl;
    m_pIoCtrl = nullptr;
  }
  CloseEvents();
  FreeBuffers();
  m_bStarted = 0;
}

// Every completion sets the record's event as its last access to the record,
// so the wait is for that event. Called after the read-write thread ended.
void CorCamStreamCtrl::WaitForOutstandingRequest() {
  if (!m_bRequestInFlight) return;
  while (WaitForSingleObject(g_HookOverlapped.hEvent, 1000) == WAIT_TIMEOUT) {
  }
  m_bRequestInFlight = false;
}

// After a GET or PUT was handed to DeviceIoControl: true while its
// completion is still to be taken from the record's event. A request that
// failed at once (the camera removed, the handle refused) is not one: as on
// Windows, where such a failure leaves the event alone, the thread then
// waits until Stop instead of spinning on failures.
bool CorCamStreamCtrl::Issued(BOOL result) {
  if (result || GetLastError() == ERROR_IO_PENDING) return true;
  ResetEvent(g_HookOverlapped.hEvent);
  return false;
}

// Ends both threads and closes the thread handles (the events stay until the
// request in flight has completed). A thread still running after the time
// limit can only be the effect thread inside the callback (the read-write
// thread only ever waits on events); the buffers and the callback must
// outlive it, so the wait goes on without a limit. The driver's one-second
// limit meanwhile releases the camera's frames.
void CorCamStreamCtrl::StopThreads() {
  if (m_hExitEvent) SetEvent(m_hExitEvent);
  HANDLE threads[2];
  DWORD count = 0;
  if (m_hReadWriteThread) threads[count++] = m_hReadWriteThread;
  if (m_hAddEffectThread) threads[count++] = m_hAddEffectThread;
  if (count > 0 && WaitForMultipleObjects(count, threads, TRUE, g_stopTimeoutMs.load()) == WAIT_TIMEOUT) {
    OutputDebugStringW(L"[NBEffectMgr] [Thread] Threads still running after the stop time limit, waiting\r\n");
    WaitForMultipleObjects(count, threads, TRUE, INFINITE);
  }
  for (DWORD i = 0; i < count; ++i) CloseHandle(threads[i]);
  m_hReadWriteThread = nullptr;
  m_hAddEffectThread = nullptr;
  m_uReadWriteThreadId = 0;
  m_uAddEffectThreadId = 0;
}

void CorCamStreamCtrl::CloseEvents() {
  for (HANDLE* event : {&m_hExitEvent, &m_hGetEvent, &m_hPutEvent, &m_hEffectEvent}) {
    if (*event) CloseHandle(*event);
    *event = nullptr;
  }
}

void CorCamStreamCtrl::FreeBuffers() {
  for (HookBuffer** slot : {&m_pRecvBuffer, &m_pPutBuffer, &m_pEffectBuffer}) {
    if (*slot) delete[] (*slot)->pData;
    delete *slot;
    *slot = nullptr;
  }
}

unsigned CorCamStreamCtrl::_IoReadWriteProc(void* argument) {
  auto* self = static_cast<CorCamStreamCtrl*>(argument);
  g_bEffectIdle.store(1, std::memory_order_release);
  const HANDLE events[3] = {self->m_hExitEvent, self->m_hGetEvent, self->m_hPutEvent};
  for (;;) {
    switch (WaitForMultipleObjects(3, events, FALSE, INFINITE)) {
      case WAIT_OBJECT_0:
        OutputDebugStringW(L"[NBEffectMgr] [Thread] _IoReadWriteProc Exit 0\r\n");
        return 0;
      case WAIT_OBJECT_0 + 1:
        self->m_bRequestInFlight = false;
        self->OnGetCompleted();
        self->IssuePut();
        break;
      case WAIT_OBJECT_0 + 2:
        self->m_bRequestInFlight = false;
        self->IssueGet();
        break;
      default:
        return 1;  // the events are gone; nothing more can be waited for
    }
  }
}

// A GET finished: take the frame for the effect thread if it is idle, follow
// the driver's frame size, or note an error reply.
void CorCamStreamCtrl::OnGetCompleted() {
  HookFrameHeader* received = HeaderOf(m_pRecvBuffer);
  const DWORD status = received->dwStatus;
  const DWORD bufferSize = received->dwBufferSize;
  const bool mjpg = received->guidSubFormat == MEDIASUBTYPE_MJPG;
  if (status == HOOK_STATUS_OK) {
    if (g_bEffectIdle.load(std::memory_order_acquire)) {
      Rotate();
      g_bEffectIdle.store(0, std::memory_order_relaxed);
      SetEvent(m_hEffectEvent);
    }
    // Otherwise the new frame is dropped and the last finished one goes back.
    // A block made by a resize that never held a frame (no size, nothing
    // used) would empty a compressed frame; the camera's own data goes on.
    HookFrameHeader* put = HeaderOf(m_pPutBuffer);
    if (mjpg && put->dwWidth == 0 && put->dwHeight == 0 && put->dwBytesUsed == 0) {
      put->guidSubFormat = MEDIASUBTYPE_MJPG;
    }
  } else if (status == HOOK_STATUS_SIZE_MISMATCH) {
    if (!ResizeBuffer(m_pRecvBuffer, bufferSize)) {
      // The frame size cannot be held: keep the old block and let the driver
      // leave this camera frame exactly as it is (0 bytes, not YUY2).
      HookFrameHeader* put = HeaderOf(m_pPutBuffer);
      put->dwBytesUsed = 0;
      put->guidSubFormat = GUID_NULL;
      return;
    }
    if (g_bEffectIdle.load(std::memory_order_acquire)) {
      Rotate();
      g_bEffectIdle.store(0, std::memory_order_relaxed);
      SetEvent(m_hEffectEvent);
    }
    if (mjpg) {
      HookFrameHeader* put = HeaderOf(m_pPutBuffer);
      put->dwBytesUsed = 0;
      put->guidSubFormat = MEDIASUBTYPE_MJPG;
    }
  } else {
    OutputDebugStringW(L"[NBEffectMgr] [Thread] GetIRP complete, Unknow Err.\r\n");
    HeaderOf(m_pPutBuffer)->dwBytesUsed = 0;
  }
}

// The effect slot takes the frame just received, the put slot the frame the
// effect thread finished, the receive slot the buffer last sent with a PUT.
void CorCamStreamCtrl::Rotate() {
  HookBuffer* received = m_pRecvBuffer;
  HookBuffer* finished = m_pEffectBuffer;
  HookBuffer* sent = m_pPutBuffer;
  m_pEffectBuffer = received;
  m_pPutBuffer = finished;
  m_pRecvBuffer = sent;
}

void CorCamStreamCtrl::IssueGet() {
  PrepareOverlapped(m_hGetEvent);
  HANDLE device = m_pIoCtrl->m_hDevice;
  if (device == INVALID_HANDLE_VALUE) return;
  HeaderOf(m_pRecvBuffer)->dwStatus = kNoReply;
  m_bRequestInFlight = Issued(DeviceIoControl(device, IOCTL_HOOK_GET_FRAME, nullptr, 0, m_pRecvBuffer->pData,
                                              m_pRecvBuffer->dwSize, nullptr, &g_HookOverlapped));
}

void CorCamStreamCtrl::IssuePut() {
  PrepareOverlapped(m_hPutEvent);
  HANDLE device = m_pIoCtrl->m_hDevice;
  if (device == INVALID_HANDLE_VALUE) return;
  m_bRequestInFlight = Issued(DeviceIoControl(device, IOCTL_HOOK_PUT_FRAME, m_pPutBuffer->pData,
                                              m_pPutBuffer->dwSize, nullptr, 0, nullptr, &g_HookOverlapped));
}

unsigned CorCamStreamCtrl::_IoAddEffectProc(void* argument) {
  auto* self = static_cast<CorCamStreamCtrl*>(argument);
  const HANDLE events[2] = {self->m_hExitEvent, self->m_hEffectEvent};
  for (;;) {
    const DWORD woken = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0) {
      OutputDebugStringW(L"[NBEffectMgr] [Thread] _IoAddEffectProc Exit 0\r\n");
      return 0;
    }
    if (woken != WAIT_OBJECT_0 + 1) return 1;
    HookBuffer* buffer = self->m_pEffectBuffer;
    HookFrameHeader* header = HeaderOf(buffer);
    FrameDescriptor frame;
    frame.data = buffer->pData + HOOK_HEADER_SIZE;
    frame.capacity = buffer->dwSize - static_cast<DWORD>(HOOK_HEADER_SIZE);
    frame.dwBytesUsed = header->dwBytesUsed;
    frame.dwWidth = header->dwWidth;
    frame.dwHeight = header->dwHeight;
    frame.subtype = header->guidSubFormat;
    if (self->m_pCallBack) {
      const int result = self->m_pCallBack->OnFrame(&frame);
      header->dwBytesUsed = result == 0 ? frame.dwBytesUsed : 0;
    }
    g_bEffectIdle.store(1, std::memory_order_release);
    OutputDebugStringW(L"[NBEffectMgr] [Thread] Add Effect OK.\r\n");
  }
}
