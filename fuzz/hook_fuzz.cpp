// libFuzzer target: arbitrary GET output lengths and arbitrary PUT buffers
// and lengths sent to the NBEffect driver while a camera streams through it.
// Built with AddressSanitizer: any write outside a buffer (the request's
// system buffer, the camera's frame buffer, the queue entries) stops the run.
//
// Input: a sequence of operations, each one byte of kind followed by its
// arguments (missing bytes read as zero):
//   kind % 5 == 0  GET, 2 bytes output length
//   kind % 5 == 1  PUT, 2 bytes length, then that many bytes (header + frame)
//   kind % 5 == 2  IOCTL_HOOK_END
//   kind % 5 == 3  IOCTL_HOOK_START
//   kind % 5 == 4  another control code, 1 byte function
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kscamera/camera.h"
#include "kscamera/camera_app.h"
#include "nbdriver/install.h"
#include "shared/nbhook.h"
#include "win32/devio.h"

namespace {

// Frames of 32 x 16 YUY2: 1,024 bytes.
const kscamera::VideoFormat kFormat{MEDIASUBTYPE_YUY2, 32, 16, 333333};

class TinySource : public kscamera::FrameSource {
 public:
  std::wstring FriendlyName() const override { return L"Fuzz Camera"; }
  std::vector<kscamera::VideoFormat> Formats() const override { return {kFormat}; }
  std::vector<REFERENCE_TIME> Intervals() const override { return {333333}; }
  bool ControlRangeOf(ULONG, kscamera::ControlRange*) const override { return false; }
  void SetControls(const kscamera::PictureControls&) override {}
  ULONG Produce(const kscamera::VideoFormat&, ULONGLONG frame, BYTE* buffer, ULONG capacity) override {
    const ULONG length = 32 * 16 * 2;
    if (capacity < length) return 0;
    std::memset(buffer, static_cast<int>(frame), length);
    return length;
  }
};

struct Rig {
  kscamera::CameraApp camera;
  HANDLE hook = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;
  ULONG frameBytes = 0;
  std::atomic<unsigned long long> oversized{0};
};

Rig* g_rig = nullptr;

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "hook_fuzz: %s (error %u)\n", what, static_cast<unsigned>(GetLastError()));
  std::abort();
}

// Sends one request and waits for it (cancelling a GET that finds no frame).
void Send(DWORD code, std::vector<BYTE>& in, DWORD outLength) {
  std::vector<BYTE> out(outLength);
  OVERLAPPED overlapped{};
  overlapped.hEvent = g_rig->event;
  BOOL done = DeviceIoControl(g_rig->hook, code, in.empty() ? nullptr : in.data(), static_cast<DWORD>(in.size()),
                              out.empty() ? nullptr : out.data(), outLength, nullptr, &overlapped);
  if (!done && GetLastError() == ERROR_IO_PENDING) {
    if (WaitForSingleObject(g_rig->event, 30) != WAIT_OBJECT_0) {  // no frame to lend
      CancelIo(g_rig->hook);
      WaitForSingleObject(g_rig->event, INFINITE);
    }
  } else if (!done) {
    return;  // refused at once
  }
  DWORD bytes = 0;
  if (GetOverlappedResult(g_rig->hook, &overlapped, &bytes, FALSE) && bytes > outLength) {
    Die("a reply claims more bytes than its buffer holds");
  }
}

uint32_t Take(const uint8_t*& data, size_t& size, int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    value |= static_cast<uint32_t>(size > 0 ? *data : 0) << (8 * i);
    if (size > 0) ++data, --size;
  }
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_rig = new Rig;
  if (nbdriver::InstallNBEffect() != STATUS_SUCCESS) Die("install");
  kscamera::CameraOptions options;
  options.instanceId = L"fuzzcam";
  options.speed = 100.0;
  std::wstring id;
  if (kscamera::PlugCamera(std::make_unique<TinySource>(), options, &id) != STATUS_SUCCESS) Die("plug");
  KS_DATAFORMAT_VIDEOINFOHEADER chosen;
  if (!g_rig->camera.Open(L"Fuzz Camera") || !g_rig->camera.Negotiate(kFormat, &chosen)) Die("camera open");
  g_rig->frameBytes = g_rig->camera.FrameBytes();
  if (!g_rig->camera.Start(
          [](const kscamera::Frame& frame) {
            if (frame.used > frame.bufferSize) g_rig->oversized.fetch_add(1);
          },
          24)) {
    Die("camera start");
  }
  g_rig->hook = CreateFileW(NBHOOK_USER_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (g_rig->hook == INVALID_HANDLE_VALUE) Die("open the control device");
  g_rig->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<BYTE> none;
  Send(IOCTL_HOOK_START, none, 0);
  const DWORD limit = g_rig->frameBytes + 2 * HOOK_HEADER_SIZE;
  for (int ops = 0; size > 0 && ops < 64; ++ops) {
    switch (Take(data, size, 1) % 5) {
      case 0:
        Send(IOCTL_HOOK_GET_FRAME, none, Take(data, size, 2) % limit);
        break;
      case 1: {
        const uint32_t length = Take(data, size, 2) % limit;
        std::vector<BYTE> in(length);
        for (uint32_t i = 0; i < length; ++i) in[i] = static_cast<BYTE>(Take(data, size, 1));
        Send(IOCTL_HOOK_PUT_FRAME, in, Take(data, size, 1) % 64);
        break;
      }
      case 2:
        Send(IOCTL_HOOK_END, none, 0);
        break;
      case 3:
        Send(IOCTL_HOOK_START, none, 0);
        break;
      default: {
        std::vector<BYTE> in(HOOK_HEADER_SIZE);
        Send(CTL_CODE(0x0800, Take(data, size, 1), METHOD_BUFFERED, FILE_ANY_ACCESS), in, 64);
        break;
      }
    }
  }
  // Every frame still held goes back to the camera before the next input.
  Send(IOCTL_HOOK_END, none, 0);
  if (g_rig->oversized.load() != 0) Die("the camera application received more used bytes than its buffer holds");
  return 0;
}
