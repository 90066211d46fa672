// Cost of one camera read through a three-device stack (user mode -> two
// pass-through upper filters -> camera minidriver -> completion back to user
// mode) at 640 x 480 YUY2, against a memcpy of one such frame in the same run.
//
// The camera runs unpaced with a source that copies one prepared frame, so
// the figure is the stack's cost (request, buffers, the frame's copies, the
// hand-over to the camera's thread and back), not the frame rate or drawing.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "kscamera/camera_app.h"
#include "ntkernel/pnp.h"
#include "support/bench_compare.h"
#include "win32/devio.h"

namespace {

constexpr LONG kWidth = 640;
constexpr LONG kHeight = 480;
constexpr size_t kFrameBytes = kWidth * kHeight * 2;

// Copies one prepared YUY2 frame.
class StillSource final : public kscamera::FrameSource {
 public:
  StillSource() : frame_(kFrameBytes) {
    for (size_t i = 0; i < frame_.size(); ++i) frame_[i] = static_cast<BYTE>(i * 7);
  }
  std::wstring FriendlyName() const override { return L"Bench Camera"; }
  std::vector<kscamera::VideoFormat> Formats() const override {
    return {kscamera::VideoFormat{MEDIASUBTYPE_YUY2, kWidth, kHeight, 333333}};
  }
  std::vector<REFERENCE_TIME> Intervals() const override { return {333333}; }
  bool ControlRangeOf(ULONG, kscamera::ControlRange*) const override { return false; }
  void SetControls(const kscamera::PictureControls&) override {}
  ULONG Produce(const kscamera::VideoFormat&, ULONGLONG, BYTE* buffer, ULONG capacity) override {
    if (capacity < frame_.size()) return 0;
    std::memcpy(buffer, frame_.data(), frame_.size());
    return static_cast<ULONG>(frame_.size());
  }

 private:
  std::vector<BYTE> frame_;
};

// A pass-through upper filter: skips its stack location for every request.
struct FilterExtension {
  PDEVICE_OBJECT lower;
};

NTSTATUS FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<FilterExtension*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const bool remove = stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
  PDEVICE_OBJECT lower = ext->lower;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  if (remove) {
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return status;
}

NTSTATUS FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(FilterExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* ext = static_cast<FilterExtension*>(device->DeviceExtension);
  ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags |= ext->lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& f : driver->MajorFunction) f = FilterDispatch;
  driver->DriverExtension->AddDevice = FilterAddDevice;
  return STATUS_SUCCESS;
}

void BM_ReadThroughStack(benchmark::State& state) {
  ntkernel::RegisterDriverModule(L"BenchFilterA", FilterEntry);
  ntkernel::RegisterDriverModule(L"BenchFilterB", FilterEntry);
  ntkernel::AddClassUpperFilter(ntkernel::kCameraClass, L"BenchFilterA");
  ntkernel::AddClassUpperFilter(ntkernel::kCameraClass, L"BenchFilterB");
  kscamera::CameraOptions options;
  options.unpaced = true;
  std::wstring id;
  if (!NT_SUCCESS(kscamera::PlugCamera(std::make_unique<StillSource>(), options, &id))) {
    state.SkipWithError("camera did not start");
    return;
  }
  kscamera::CameraApp app;
  app.OpenInstance(id);
  app.Negotiate(kscamera::VideoFormat{MEDIASUBTYPE_YUY2, kWidth, kHeight, 333333}, nullptr);
  app.SetState(KSSTATE_ACQUIRE);
  app.SetState(KSSTATE_PAUSE);
  app.SetState(KSSTATE_RUN);
  std::vector<BYTE> frame(kFrameBytes);
  for (auto _ : state) {
    KSSTREAM_HEADER header{};
    header.Size = sizeof header;
    header.FrameExtent = static_cast<ULONG>(frame.size());
    header.Data = frame.data();
    DWORD bytes = 0;
    if (!DeviceIoControl(app.Handle(), IOCTL_KS_READ_STREAM, nullptr, 0, &header, sizeof header, &bytes, nullptr) ||
        header.DataUsed != kFrameBytes) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kFrameBytes));
  app.Close();
  ntkernel::ResetForTesting();
}
BENCHMARK(BM_ReadThroughStack)->UseRealTime();

void BM_MemcpyFrame(benchmark::State& state) {
  std::vector<BYTE> source(kFrameBytes, 0x5A);
  std::vector<BYTE> target(kFrameBytes);
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), kFrameBytes);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kFrameBytes));
}
BENCHMARK(BM_MemcpyFrame)->UseRealTime();

const bool registered =
    (zorcam::bench::Compare("BM_ReadThroughStack/real_time", "BM_MemcpyFrame/real_time"), true);

}  // namespace
