// Frames per second through the whole frame hook: a camera at unlimited rate
// → NBEffect → frame hook client → a callback that does nothing → PUT → the
// camera application, at 640 x 480 YUY2. Anchor: the driver's two copies of
// a frame (camera buffer into the GET buffer, PUT buffer into the camera
// buffer) as two memcpy calls, the physical limit. One item = one frame.
//
// BM_HookLatency30fps reports what the hook adds to each frame at 30 frames
// per second: how long the camera application's read is held (read delay)
// and how old the picture it receives is (content age; the client hands back
// the newest finished frame, one cycle behind the frame just borrowed).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hook/corcam_streamctrl.h"
#include "kscamera/camera.h"
#include "kscamera/camera_app.h"
#include "nbdriver/install.h"
#include "ntkernel/pnp.h"
#include "support/bench_compare.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr LONG kWidth = 640;
constexpr LONG kHeight = 480;
constexpr ULONG kFrameBytes = kWidth * kHeight * 2;

// A camera whose frames cost next to nothing to make: the frame number in the
// first 8 bytes (the rest of the buffer keeps what it had). Records when each
// frame was made.
class StampSource : public kscamera::FrameSource {
 public:
  std::wstring FriendlyName() const override { return L"Bench Camera"; }
  std::vector<kscamera::VideoFormat> Formats() const override {
    return {{MEDIASUBTYPE_YUY2, kWidth, kHeight, 333333}};
  }
  std::vector<REFERENCE_TIME> Intervals() const override { return {333333}; }
  bool ControlRangeOf(ULONG, kscamera::ControlRange*) const override { return false; }
  void SetControls(const kscamera::PictureControls&) override {}
  ULONG Produce(const kscamera::VideoFormat&, ULONGLONG frame, BYTE* buffer, ULONG capacity) override {
    if (capacity < kFrameBytes) return 0;
    std::memcpy(buffer, &frame, sizeof(frame));
    std::lock_guard<std::mutex> guard(lock);
    if (made.size() <= frame) made.resize(frame + 1);
    made[frame] = Clock::now();
    return kFrameBytes;
  }
  std::mutex lock;
  std::vector<Clock::time_point> made;  // by frame number; guarded by lock
};

class NoopCallback : public IEffectCallBack {
 public:
  int OnFrame(FrameDescriptor*) override {
    calls.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
  std::atomic<long> calls{0};
};

// One camera stack with NBEffect, its camera application and (optionally)
// the running hook client.
struct Pipeline {
  explicit Pipeline(double speed, bool hook) {
    ntkernel::ResetForTesting();
    nbdriver::InstallNBEffect();
    auto owned = std::make_unique<StampSource>();
    source = owned.get();
    kscamera::CameraOptions options;
    options.instanceId = L"benchcam";
    options.speed = speed;
    options.unpaced = speed == 0;
    std::wstring id;
    kscamera::PlugCamera(std::move(owned), options, &id);
    KS_DATAFORMAT_VIDEOINFOHEADER chosen;
    camera.Open(L"Bench Camera");
    camera.Negotiate({MEDIASUBTYPE_YUY2, kWidth, kHeight, 333333}, &chosen);
    if (hook) client.Start(&callback);
    camera.Start(
        [this](const kscamera::Frame& frame) {
          const Clock::time_point now = Clock::now();
          uint64_t content = 0;
          if (frame.used >= sizeof(content)) std::memcpy(&content, frame.data, sizeof(content));
          std::lock_guard<std::mutex> guard(lock);
          received.push_back({now, content, frame.used});
          if (received.size() >= awaited) arrived.notify_all();
        },
        3);
  }
  ~Pipeline() {
    camera.Stop();
    camera.Close();
    client.Stop();
    ntkernel::ResetForTesting();
  }
  size_t WaitFor(size_t count) {
    std::unique_lock<std::mutex> guard(lock);
    awaited = count;
    arrived.wait_for(guard, std::chrono::seconds(5), [&] { return received.size() >= count; });
    return received.size();
  }

  struct Arrival {
    Clock::time_point at;
    uint64_t content;
    ULONG used;
  };
  StampSource* source = nullptr;
  NoopCallback callback;
  CorCamStreamCtrl client;
  kscamera::CameraApp camera;
  std::mutex lock;
  std::condition_variable arrived;
  std::vector<Arrival> received;  // guarded by lock
  size_t awaited = 0;              // frames WaitFor waits for; guarded by lock
};

// Arg: the camera's frame rate, 0 for a camera that answers each read at
// once. A paced camera drops a frame that finds no read waiting and re-checks
// at every interval, so "unlimited" is a rate far above what the hook can
// take; at much higher rates its pacing thread spins on one core, which on a
// two-core machine competes with the hook.
//
// The benchmark thread waits for frames in batches, so that its own wake-ups
// do not take a share of the two cores from the hook's threads.
void BM_HookFrames(benchmark::State& state) {
  constexpr size_t kBatch = 16;
  Pipeline pipeline(static_cast<double>(state.range(0)) / 30.0, true);
  size_t next = pipeline.WaitFor(50) + kBatch;  // past the start-up and buffer sizing
  const long callsBefore = pipeline.callback.calls.load();
  while (state.KeepRunningBatch(kBatch)) {
    if (pipeline.WaitFor(next) < next) {
      state.SkipWithError("the camera application stopped receiving frames");
      break;
    }
    next += kBatch;
  }
  state.SetItemsProcessed(state.iterations());
  // Near 1 when every frame counted went through the hook and the effect
  // thread (a hook that timed out would let frames pass without it).
  state.counters["callbacks_per_frame"] =
      static_cast<double>(pipeline.callback.calls.load() - callsBefore) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_HookFrames)->Arg(10000)->Arg(30000)->Arg(0)->UseRealTime()->MinTime(2.0);

void BM_TwoFrameCopies(benchmark::State& state) {
  std::vector<BYTE> camera(kFrameBytes, 1);
  std::vector<BYTE> request(kFrameBytes + 36, 2);
  for (auto _ : state) {
    std::memcpy(request.data() + 36, camera.data(), kFrameBytes);
    benchmark::ClobberMemory();
    std::memcpy(camera.data(), request.data() + 36, kFrameBytes);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TwoFrameCopies)->UseRealTime();

// Arg 0: hook off (the driver passes frames through), 1: hook on.
void BM_HookLatency30fps(benchmark::State& state) {
  const bool hook = state.range(0) != 0;
  for (auto _ : state) {
    Pipeline pipeline(1.0, hook);
    pipeline.WaitFor(75);  // 2.5 s at 30 frames per second
    std::vector<Pipeline::Arrival> received;
    std::vector<Clock::time_point> made;
    {
      std::lock_guard<std::mutex> guard(pipeline.lock);
      received = pipeline.received;
    }
    {
      std::lock_guard<std::mutex> guard(pipeline.source->lock);
      made = pipeline.source->made;
    }
    // Skip the first second (start-up, buffer sizing); reads complete in
    // order, one per frame made, so arrival i is the read of frame i.
    double delay = 0;
    double age = 0;
    int n = 0;
    for (size_t i = 30; i < received.size() && i < made.size(); ++i) {
      const uint64_t content = received[i].content;
      if (received[i].used == 0 || content >= made.size()) continue;
      delay += std::chrono::duration<double, std::micro>(received[i].at - made[i]).count();
      age += std::chrono::duration<double, std::micro>(received[i].at - made[content]).count();
      ++n;
    }
    state.counters["read_delay_us"] = n ? delay / n : -1;
    state.counters["content_age_us"] = n ? age / n : -1;
    state.counters["frames"] = n;
  }
}
BENCHMARK(BM_HookLatency30fps)->Arg(0)->Arg(1)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

const bool registered = [] {
  for (const char* rate : {"10000", "30000", "0"}) {
    zorcam::bench::Compare(std::string("BM_HookFrames/") + rate + "/min_time:2.000/real_time",
                           "BM_TwoFrameCopies/real_time");
  }
  return true;
}();

}  // namespace
