// Stress: at least 100,000 camera frames through NBEffect and the frame hook
// client while everything that can come and go does so at random — the hook
// ended and started from another handle, the client stopped and restarted,
// the camera application cancelling its reads and restarting, callbacks that
// are sometimes slow — and the camera surprise-removed at the end. The
// verifier fails the test on any report (double completion, completion with
// a cancel routine set, a request outstanding at deletion, pool leaked at
// unload, ...), and every read the camera application issued must come back
// exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "camera_rig.h"
#include "hook/corcam_streamctrl.h"

namespace nbtest {
namespace {

// Sometimes slow; otherwise inverts the first byte of the frame.
class ChaosCallback : public IEffectCallBack {
 public:
  int OnFrame(FrameDescriptor* frame) override {
    calls.fetch_add(1, std::memory_order_relaxed);
    const int delay = slowMicros.load(std::memory_order_relaxed);
    if (delay > 0) std::this_thread::sleep_for(std::chrono::microseconds(delay));
    if (frame->dwBytesUsed > 0 && frame->dwBytesUsed <= frame->capacity) frame->data[0] ^= 0xFF;
    return 0;
  }
  std::atomic<long> calls{0};
  std::atomic<int> slowMicros{0};
};

// A camera application that only counts what comes back.
struct CountingApp {
  bool Start() {
    if (!app.IsOpen()) {
      KS_DATAFORMAT_VIDEOINFOHEADER chosen;
      if (!app.Open(L"Pattern Camera") || !app.Negotiate(Yuy2(16, 8), &chosen)) return false;
    }
    return app.Start(
        [this](const kscamera::Frame& frame) {
          if (frame.status == STATUS_SUCCESS) {
            succeeded.fetch_add(1, std::memory_order_relaxed);
          } else if (frame.status == STATUS_CANCELLED) {
            cancelled.fetch_add(1, std::memory_order_relaxed);
          } else {
            failed.fetch_add(1, std::memory_order_relaxed);
          }
          if (frame.used > frame.bufferSize) oversized.fetch_add(1, std::memory_order_relaxed);
        },
        16);
  }
  long Total() const { return succeeded + cancelled + failed; }
  kscamera::CameraApp app;
  std::atomic<long> succeeded{0};
  std::atomic<long> cancelled{0};
  std::atomic<long> failed{0};
  std::atomic<long> oversized{0};
};

TEST(HookStress, HundredThousandFramesWithEverythingComingAndGoing) {
  constexpr long kFrames = 100000;
  // About 30 s in a plain build; ThreadSanitizer slows every request of the
  // kernel model down several times, so it gets more time for the same count.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(170);
#else
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(55);
#endif
  const unsigned seed = std::random_device{}();
  std::printf("hook stress: seed %u\n", seed);
  std::mt19937 random(seed);

  KernelRig rig;
  rig.PlugPattern(L"cam0", {Yuy2(16, 8)}, 100.0);  // 256-byte frames at 3,000 per second
  // A second camera keeps both drivers loaded after the first one's removal,
  // as on a machine with two cameras.
  rig.PlugPattern(L"cam1", {Yuy2(16, 8)}, 1.0, L"Other Camera");
  CountingApp camera;
  ASSERT_TRUE(camera.Start());
  ChaosCallback callback;
  auto client = std::make_unique<CorCamStreamCtrl>();
  ASSERT_EQ(client->Start(&callback), S_OK);
  ASSERT_TRUE(client->IsStarted());
  HookDevice other;
  ASSERT_TRUE(other.Open());

  long clientRestarts = 0, hookToggles = 0, cameraRestarts = 0, slowPhases = 0;
  long failedAtRestart = 0;
  while (camera.Total() < kFrames && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(2000 + random() % 10000));
    // The helper does not send a read again after a failed one (a hook end
    // cancels the held reads): restart it before it runs dry.
    if (camera.cancelled + camera.failed - failedAtRestart >= 8) {
      camera.app.Stop();
      ASSERT_TRUE(camera.Start());
      failedAtRestart = camera.cancelled + camera.failed;
      ++cameraRestarts;
      continue;
    }
    switch (random() % 8) {
      case 0:  // client stopped and started again
        client.reset();
        client = std::make_unique<CorCamStreamCtrl>();
        ASSERT_EQ(client->Start(&callback), S_OK);
        ++clientRestarts;
        break;
      case 1:  // the hook ended (and later started) by someone else
        other.End();
        ++hookToggles;
        break;
      case 2:
        other.Start();
        ++hookToggles;
        break;
      case 3:  // the camera application cancels its reads and restarts
        camera.app.Stop();
        ASSERT_TRUE(camera.Start());
        failedAtRestart = camera.cancelled + camera.failed;
        ++cameraRestarts;
        break;
      case 4:  // slow callbacks for a while
        callback.slowMicros = static_cast<int>(random() % 40000);
        ++slowPhases;
        break;
      default:
        callback.slowMicros = 0;
        break;
    }
  }
  const long beforeRemoval = camera.Total();
  kscamera::CameraStats stats{};
  const bool haveStats = kscamera::QueryCameraStats(L"cam0", &stats);

  // The camera goes while the client runs and reads are held.
  other.Close();
  ASSERT_EQ(kscamera::UnplugCamera(L"cam0", true), STATUS_SUCCESS);
  camera.app.Stop();
  camera.app.Close();
  client.reset();

  std::printf(
      "hook stress: %ld reads back (%ld success, %ld cancelled, %ld failed), %ld callbacks; %ld client restarts, "
      "%ld hook end/start, %ld camera application restarts, %ld slow phases\n",
      camera.Total(), camera.succeeded.load(), camera.cancelled.load(), camera.failed.load(), callback.calls.load(),
      clientRestarts, hookToggles, cameraRestarts, slowPhases);
  if (haveStats) {
    std::printf("hook stress: before the removal the camera had delivered %llu frames and cancelled %llu reads\n",
                static_cast<unsigned long long>(stats.framesDelivered),
                static_cast<unsigned long long>(stats.readsCancelled));
  }
  EXPECT_GE(beforeRemoval, kFrames) << "too slow: the stress run reached its time limit";
  EXPECT_GT(callback.calls.load(), 0);
  EXPECT_EQ(camera.oversized.load(), 0);
}

}  // namespace
}  // namespace nbtest
