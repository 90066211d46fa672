// Test rig for the frame hook: a kernel model with NBEffect installed, cameras
// with a numbered test picture, a camera application that records what it
// receives, and direct access to the control device.
//
// PatternSource frames: the first 8 bytes are the frame number (little-
// endian), every later byte i is (number * 7 + i) & 0xFF, so a test can tell
// an untouched frame, its number and any change. MJPG "frames" use the same
// pattern at a quarter of the YUY2 length (the driver never looks inside).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kscamera/camera.h"
#include "kscamera/camera_app.h"
#include "shared/nbhook.h"
#include "win32/devio.h"

namespace nbtest {

class PatternSource : public kscamera::FrameSource {
 public:
  explicit PatternSource(std::vector<kscamera::VideoFormat> formats, std::wstring name = L"Pattern Camera");
  std::wstring FriendlyName() const override { return name_; }
  std::vector<kscamera::VideoFormat> Formats() const override { return formats_; }
  std::vector<REFERENCE_TIME> Intervals() const override { return {333333}; }
  bool ControlRangeOf(ULONG, kscamera::ControlRange*) const override { return false; }
  void SetControls(const kscamera::PictureControls&) override {}
  ULONG Produce(const kscamera::VideoFormat& format, ULONGLONG frame, BYTE* buffer, ULONG capacity) override;

 private:
  std::vector<kscamera::VideoFormat> formats_;
  std::wstring name_;
};

kscamera::VideoFormat Yuy2(LONG width, LONG height);
kscamera::VideoFormat Mjpg(LONG width, LONG height);

// Bytes PatternSource produces for a format.
ULONG PatternLength(const kscamera::VideoFormat& format);
void FillPattern(uint64_t number, BYTE* data, ULONG length);
// True when `data` is an untouched pattern frame; *number receives its number.
bool IsPatternFrame(const BYTE* data, ULONG length, uint64_t* number);

// One frame as the camera application received it.
struct ReceivedFrame {
  NTSTATUS status;
  ULONG used;
  ULONG bufferSize;
  std::vector<BYTE> bytes;  // the first `used` bytes (none for a failed read)
};

// A camera application that keeps every frame it receives.
class RecordingApp {
 public:
  ~RecordingApp();
  // Opens the camera by friendly name, negotiates `format` (unless
  // `negotiate` is false) and starts with `outstanding` reads.
  bool Start(const std::wstring& friendlyName, const kscamera::VideoFormat& format, int outstanding = 3,
             bool negotiate = true);
  void Stop();
  // Waits until at least `count` frames arrived (false after `timeoutMs`).
  bool WaitFrames(size_t count, int timeoutMs = 5000);
  std::vector<ReceivedFrame> Frames() const;
  size_t Count() const;
  kscamera::CameraApp& App() { return app_; }

 private:
  kscamera::CameraApp app_;
  mutable std::mutex lock_;
  std::condition_variable arrived_;
  std::vector<ReceivedFrame> frames_;  // guarded by lock_
};

// The kernel model reset, NBEffect installed, verifier reports failing the
// test. Cameras plugged through it are unplugged by ResetForTesting.
class KernelRig {
 public:
  KernelRig();
  ~KernelRig();
  // Plugs a PatternSource camera; returns its instance id.
  std::wstring PlugPattern(const std::wstring& instanceId, std::vector<kscamera::VideoFormat> formats,
                           double speed = 1.0, const std::wstring& friendlyName = L"Pattern Camera");
};

// Result of one control request.
struct Reply {
  bool ok = false;
  DWORD error = 0;  // GetLastError when !ok
  DWORD bytes = 0;
  std::vector<BYTE> out;  // the output buffer as returned
  HookFrameHeader Header() const;
};

// A handle on "\\.\NBeffect".
class HookDevice {
 public:
  HookDevice() = default;
  ~HookDevice();
  HookDevice(const HookDevice&) = delete;
  HookDevice& operator=(const HookDevice&) = delete;

  bool Open();  // overlapped handle
  void Close();
  HANDLE Handle() const { return handle_; }

  // Synchronous requests (the overlapped record is waited for).
  Reply Control(DWORD code, const std::vector<BYTE>& in, DWORD outLength, DWORD timeoutMs = 5000);
  Reply Start() { return Control(IOCTL_HOOK_START, {}, 0); }
  Reply End() { return Control(IOCTL_HOOK_END, {}, 0); }
  Reply Get(DWORD outLength, DWORD timeoutMs = 5000) { return Control(IOCTL_HOOK_GET_FRAME, {}, outLength, timeoutMs); }
  Reply Put(const std::vector<BYTE>& in, DWORD timeoutMs = 5000) { return Control(IOCTL_HOOK_PUT_FRAME, in, 0, timeoutMs); }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// An overlapped request that the test completes, cancels or abandons.
class AsyncRequest {
 public:
  AsyncRequest();
  ~AsyncRequest();
  AsyncRequest(const AsyncRequest&) = delete;
  AsyncRequest& operator=(const AsyncRequest&) = delete;

  // Issues it (pending, completed at once or refused at once).
  void Issue(HANDLE device, DWORD code, const std::vector<BYTE>& in, DWORD outLength);
  bool Wait(DWORD timeoutMs);
  Reply Result();  // after Wait returned true

 private:
  HANDLE device_ = INVALID_HANDLE_VALUE;
  bool failedAtOnce_ = false;
  bool doneAtOnce_ = false;
  DWORD issueError_ = 0;
  OVERLAPPED overlapped_{};
  std::vector<BYTE> in_;
  std::vector<BYTE> out_;
};

// A PUT request: header (dwBytesUsed, subtype) followed by `payload`.
std::vector<BYTE> PutBuffer(DWORD bytesUsed, const GUID& subtype, const std::vector<BYTE>& payload);

}  // namespace nbtest
