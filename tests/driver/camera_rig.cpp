// Test rig for the frame hook (see camera_rig.h).
#include "camera_rig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "nbdriver/install.h"
#include "ntkernel/pnp.h"
#include "win32/sync.h"

namespace nbtest {

PatternSource::PatternSource(std::vector<kscamera::VideoFormat> formats, std::wstring name)
    : formats_(std::move(formats)), name_(std::move(name)) {}

ULONG PatternSource::Produce(const kscamera::VideoFormat& format, ULONGLONG frame, BYTE* buffer, ULONG capacity) {
  const ULONG length = PatternLength(format);
  if (length > capacity) return 0;
  FillPattern(frame, buffer, length);
  return length;
}

kscamera::VideoFormat Yuy2(LONG width, LONG height) { return {MEDIASUBTYPE_YUY2, width, height, 333333}; }
kscamera::VideoFormat Mjpg(LONG width, LONG height) { return {MEDIASUBTYPE_MJPG, width, height, 333333}; }

ULONG PatternLength(const kscamera::VideoFormat& format) {
  const ULONG yuy2 = static_cast<ULONG>(format.width) * static_cast<ULONG>(format.height < 0 ? -format.height : format.height) * 2;
  return format.subtype == MEDIASUBTYPE_MJPG ? yuy2 / 4 : yuy2;
}

void FillPattern(uint64_t number, BYTE* data, ULONG length) {
  for (ULONG i = 0; i < length; ++i) data[i] = static_cast<BYTE>(number * 7 + i);
  for (ULONG i = 0; i < 8 && i < length; ++i) data[i] = static_cast<BYTE>(number >> (8 * i));
}

bool IsPatternFrame(const BYTE* data, ULONG length, uint64_t* number) {
  if (length < 8) return false;
  uint64_t n = 0;
  for (int i = 0; i < 8; ++i) n |= static_cast<uint64_t>(data[i]) << (8 * i);
  for (ULONG i = 8; i < length; ++i) {
    if (data[i] != static_cast<BYTE>(n * 7 + i)) return false;
  }
  if (number) *number = n;
  return true;
}

RecordingApp::~RecordingApp() { Stop(); }

bool RecordingApp::Start(const std::wstring& friendlyName, const kscamera::VideoFormat& format, int outstanding,
                         bool negotiate) {
  if (!app_.Open(friendlyName)) return false;
  if (negotiate) {
    KS_DATAFORMAT_VIDEOINFOHEADER chosen;
    if (!app_.Negotiate(format, &chosen)) return false;
  }
  return app_.Start(
      [this](const kscamera::Frame& frame) {
        ReceivedFrame copy{frame.status, frame.used, frame.bufferSize, {}};
        if (NT_SUCCESS(frame.status) && frame.data != nullptr) copy.bytes.assign(frame.data, frame.data + frame.used);
        {
          std::lock_guard<std::mutex> guard(lock_);
          frames_.push_back(std::move(copy));
        }
        arrived_.notify_all();
      },
      outstanding);
}

void RecordingApp::Stop() {
  if (app_.IsOpen()) {
    app_.Stop();
    app_.Close();
  }
}

bool RecordingApp::WaitFrames(size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> guard(lock_);
  return arrived_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return frames_.size() >= count; });
}

std::vector<ReceivedFrame> RecordingApp::Frames() const {
  std::lock_guard<std::mutex> guard(lock_);
  return frames_;
}

size_t RecordingApp::Count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return frames_.size();
}

KernelRig::KernelRig() {
  ntkernel::ResetForTesting();
  EXPECT_EQ(nbdriver::InstallNBEffect(), STATUS_SUCCESS);
}

KernelRig::~KernelRig() { ntkernel::ResetForTesting(); }

std::wstring KernelRig::PlugPattern(const std::wstring& instanceId, std::vector<kscamera::VideoFormat> formats,
                                    double speed, const std::wstring& friendlyName) {
  kscamera::CameraOptions options;
  options.instanceId = instanceId;
  options.speed = speed;
  std::wstring id;
  EXPECT_EQ(kscamera::PlugCamera(std::make_unique<PatternSource>(std::move(formats), friendlyName), options, &id),
            STATUS_SUCCESS);
  return id;
}

HookFrameHeader Reply::Header() const {
  HookFrameHeader header{};
  if (out.size() >= sizeof(header)) std::memcpy(&header, out.data(), sizeof(header));
  return header;
}

HookDevice::~HookDevice() { Close(); }

bool HookDevice::Open() {
  handle_ = CreateFileW(NBHOOK_USER_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  return handle_ != INVALID_HANDLE_VALUE;
}

void HookDevice::Close() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

Reply HookDevice::Control(DWORD code, const std::vector<BYTE>& in, DWORD outLength, DWORD timeoutMs) {
  AsyncRequest request;
  request.Issue(handle_, code, in, outLength);
  if (!request.Wait(timeoutMs)) {
    ADD_FAILURE() << "control request 0x" << std::hex << code << " did not complete";
    CancelIo(handle_);
    request.Wait(INFINITE);
  }
  return request.Result();
}

AsyncRequest::AsyncRequest() { overlapped_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }

AsyncRequest::~AsyncRequest() {
  // The I/O manager writes into out_ until the request completes.
  if (device_ != INVALID_HANDLE_VALUE && !failedAtOnce_ &&
      overlapped_.Internal == static_cast<ULONG_PTR>(STATUS_PENDING)) {
    if (WaitForSingleObject(overlapped_.hEvent, 10000) != WAIT_OBJECT_0) ADD_FAILURE() << "request never completed";
  }
  CloseHandle(overlapped_.hEvent);
}

void AsyncRequest::Issue(HANDLE device, DWORD code, const std::vector<BYTE>& in, DWORD outLength) {
  device_ = device;
  in_ = in;
  out_.assign(outLength, 0xCD);
  HANDLE event = overlapped_.hEvent;
  std::memset(&overlapped_, 0, sizeof(overlapped_));
  overlapped_.hEvent = event;
  failedAtOnce_ = false;
  doneAtOnce_ = false;
  if (DeviceIoControl(device, code, in_.empty() ? nullptr : in_.data(), static_cast<DWORD>(in_.size()),
                      out_.empty() ? nullptr : out_.data(), outLength, nullptr, &overlapped_)) {
    doneAtOnce_ = true;
  } else {
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
      // Refused before it was queued: nothing is pending.
      failedAtOnce_ = true;
      issueError_ = error;
    }
  }
}

bool AsyncRequest::Wait(DWORD timeoutMs) {
  if (failedAtOnce_ || doneAtOnce_) return true;
  return WaitForSingleObject(overlapped_.hEvent, timeoutMs) == WAIT_OBJECT_0;
}

Reply AsyncRequest::Result() {
  Reply reply;
  if (failedAtOnce_) {
    reply.error = issueError_;
    reply.out = out_;
    return reply;
  }
  DWORD bytes = 0;
  reply.ok = GetOverlappedResult(device_, &overlapped_, &bytes, FALSE) != FALSE;
  reply.error = reply.ok ? 0 : GetLastError();
  reply.bytes = bytes;
  reply.out = out_;
  return reply;
}

std::vector<BYTE> PutBuffer(DWORD bytesUsed, const GUID& subtype, const std::vector<BYTE>& payload) {
  std::vector<BYTE> buffer(HOOK_HEADER_SIZE + payload.size());
  HookFrameHeader header{};
  header.dwBytesUsed = bytesUsed;
  header.guidSubFormat = subtype;
  std::memcpy(buffer.data(), &header, sizeof(header));
  if (!payload.empty()) std::memcpy(buffer.data() + HOOK_HEADER_SIZE, payload.data(), payload.size());
  return buffer;
}

}  // namespace nbtest
