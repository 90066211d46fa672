// A camera application in user mode: opens a camera stack by friendly name
// through the Win32 device I/O layer, negotiates a format by data
// intersection, runs the stream with several reads outstanding and hands
// every completed frame to a callback. Also the property requests of the
// camera (proc amp, focus, power-line frequency, auto-exposure priority).
//
// Threads: Start() starts one reader thread that owns the outstanding reads;
// the callback runs on it. Stop() ends it (cancels the reads) before
// returning. The other calls are synchronous and may come from any thread.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "kscamera/camera.h"
#include "kscamera/ks.h"

namespace kscamera {

struct Frame {
  const BYTE* data;
  ULONG used;        // DataUsed of the stream header
  ULONG bufferSize;  // FrameExtent
  LONGLONG presentationTime;
  NTSTATUS status;   // of the read (failed reads are reported too)
};

class CameraApp {
 public:
  using FrameCallback = std::function<void(const Frame& frame)>;

  CameraApp() = default;
  ~CameraApp();
  CameraApp(const CameraApp&) = delete;
  CameraApp& operator=(const CameraApp&) = delete;

  // Opens the first camera with this friendly name (empty: the first camera).
  // False if there is none or the open fails (GetLastError tells why).
  bool Open(const std::wstring& friendlyName = L"");
  // Opens "\\.\<instanceId>".
  bool OpenInstance(const std::wstring& instanceId);
  void Close();
  bool IsOpen() const { return device_ != nullptr; }

  // The camera's data ranges (one per format/size).
  std::vector<KS_DATAFORMAT_VIDEOINFOHEADER> DataRanges();
  // Data intersection for the wanted format (zero fields: any); fills *result.
  bool Negotiate(const VideoFormat& wanted, KS_DATAFORMAT_VIDEOINFOHEADER* result);
  bool SetState(KSSTATE state);
  bool GetState(KSSTATE* state);

  // RUN (through ACQUIRE and PAUSE) and keep `outstanding` reads pending.
  bool Start(FrameCallback callback, int outstanding = 3);
  // Cancels the reads, waits for them, sets STOP.
  void Stop();

  // Property requests. Each returns the Win32 success of DeviceIoControl.
  bool GetProcAmp(ULONG property, LONG* value, ULONG* flags = nullptr);
  bool SetProcAmp(ULONG property, LONG value, ULONG flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL);
  bool GetProcAmpRange(ULONG property, ControlRange* range);  // BASICSUPPORT + DEFAULTVALUES
  bool TopologyNodes(std::vector<GUID>* nodeTypes);
  bool GetFocus(LONG* value, ULONG* flags);       // camera-terminal node
  bool SetFocus(LONG value, ULONG flags);
  bool GetPowerLineFrequency(LONG* value, ULONG* flags);  // processing-unit node
  bool SetPowerLineFrequency(LONG value, ULONG flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL);
  bool GetPowerLineFrequencyRange(ControlRange* range);
  bool GetAutoExposurePriority(LONG* value);
  bool SetAutoExposurePriority(LONG value);

  // Raw property request: input `property` (+ extra), output `data`.
  bool KsProperty(const void* property, ULONG propertyLength, void* data, ULONG dataLength, ULONG* returned);

  HANDLE Handle() const { return device_; }
  ULONG FrameBytes() const { return frameBytes_; }

 private:
  void ReaderLoop(int outstanding);
  bool NodeProperty(const GUID& set, ULONG id, ULONG node, ULONG flags, LONG* value, ULONG* valueFlags);
  bool RangeRequest(const void* property, ULONG length, ControlRange* range);

  HANDLE device_ = nullptr;
  ULONG frameBytes_ = 0;
  FrameCallback callback_;
  std::thread reader_;
  std::atomic<bool> stopping_{false};
  HANDLE stopEvent_ = nullptr;
};

}  // namespace kscamera
