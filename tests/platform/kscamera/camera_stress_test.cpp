// A camera streaming through a pass-through filter while another handle
// changes the picture controls and the stream is stopped and started again,
// many times: every round delivers frames, stopping cancels the outstanding
// reads cleanly, and the verifier stays silent.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "kscamera/camera_app.h"
#include "platform/ntkernel/test_driver.h"

namespace kerneltest {
namespace {

class CameraStress : public KernelTest {};

TEST_F(CameraStress, StartStopAndPropertyChangesWhileFramesFlow) {
  RegisterSlot(1, L"StressFilter");
  MakeFilter(1);
  ntkernel::AddClassUpperFilter(ntkernel::kCameraClass, L"StressFilter");
  kscamera::CameraOptions options;
  options.unpaced = true;  // frames as fast as reads come
  std::wstring id;
  ASSERT_EQ(kscamera::PlugCamera(kscamera::CreateVirtualCamera(), options, &id), STATUS_SUCCESS);
  kscamera::CameraApp stream;
  kscamera::CameraApp control;
  ASSERT_TRUE(stream.OpenInstance(id));
  ASSERT_TRUE(control.OpenInstance(id));
  ASSERT_TRUE(stream.Negotiate(kscamera::VideoFormat{MEDIASUBTYPE_YUY2, 320, 240, 333333}, nullptr));

  std::atomic<bool> done{false};
  std::atomic<int> sets{0};
  std::thread changer([&] {
    LONG value = 0;
    while (!done.load()) {
      value = (value + 37) % 200 - 100;
      if (control.SetProcAmp(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, value) &&
          control.SetProcAmp(KSPROPERTY_VIDEOPROCAMP_HUE, value)) {
        ++sets;
      }
    }
  });
  for (int round = 0; round < 25; ++round) {
    std::atomic<int> frames{0};
    std::atomic<int> errors{0};
    ASSERT_TRUE(stream.Start(
        [&](const kscamera::Frame& f) {
          if (NT_SUCCESS(f.status) && f.used == 320u * 240u * 2u) {
            ++frames;
          } else if (f.status != STATUS_CANCELLED) {
            ++errors;
          }
        },
        4));
    for (int i = 0; i < 500 && frames.load() < 5; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    stream.Stop();
    EXPECT_GE(frames.load(), 5) << "round " << round;
    EXPECT_EQ(errors.load(), 0) << "round " << round;
  }
  done = true;
  changer.join();
  EXPECT_GT(sets.load(), 0);
  kscamera::CameraStats stats{};
  ASSERT_TRUE(kscamera::QueryCameraStats(id, &stats));
  EXPECT_GE(stats.framesDelivered, 125u);
  EXPECT_EQ(stats.state, KSSTATE_STOP);
}

}  // namespace
}  // namespace kerneltest
