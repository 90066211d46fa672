// The frame hook client against the real driver on the kernel model: the
// device client's calls and debug lines, Start/Stop results, the GET/PUT
// cycle with its buffer rotation, resizing, slow and failing callbacks, the
// hook ended from outside, and the two shutdown decisions (a thread that
// does not end in time; a frame size that cannot be allocated).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "camera_rig.h"
#include "config/result_codes.h"
#include "hook/corcam_ioctrl.h"
#include "hook/corcam_streamctrl.h"
#include "win32/debug.h"

namespace nbtest {
namespace {

constexpr LONG kWidth = 64;
constexpr LONG kHeight = 48;
const ULONG kFrameBytes = PatternLength(Yuy2(kWidth, kHeight));

// Replaces each frame by a picture numbered 5,000,000 + the camera's number,
// after an optional delay; remembers what it was given.
class MarkingCallback : public IEffectCallBack {
 public:
  int OnFrame(FrameDescriptor* frame) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    uint64_t number = 0;
    const bool pattern = frame->dwBytesUsed >= 8 && frame->dwBytesUsed <= frame->capacity &&
                         IsPatternFrame(frame->data, frame->dwBytesUsed, &number);
    {
      std::lock_guard<std::mutex> guard(lock);
      seen.push_back(*frame);
      if (pattern) numbers.push_back(number);
    }
    if (pattern) FillPattern(5000000 + number, frame->data, frame->dwBytesUsed);
    return result;
  }
  size_t Calls() {
    std::lock_guard<std::mutex> guard(lock);
    return seen.size();
  }
  std::mutex lock;
  std::vector<FrameDescriptor> seen;  // guarded by lock
  std::vector<uint64_t> numbers;      // guarded by lock
  int delayMs = 0;
  int result = 0;
};

class HookClientTest : public ::testing::Test {
 protected:
  void TearDown() override {
    CorCamStreamCtrl::SetStopTimeoutForTesting(5000);
    CorCamStreamCtrl::SetBufferLimitForTesting(0);
  }
  void StartCamera(const kscamera::VideoFormat& format, double speed = 4.0) {
    rig_.PlugPattern(L"cam0", {format}, speed);
    ASSERT_TRUE(camera_.Start(L"Pattern Camera", format));
    ASSERT_TRUE(camera_.WaitFrames(1));
  }
  // Waits until the camera application has `count` frames satisfying `pred`.
  template <class Pred>
  bool WaitCamera(size_t count, Pred pred, int timeoutMs = 4000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
      size_t n = 0;
      for (const ReceivedFrame& f : camera_.Frames()) n += pred(f) ? 1 : 0;
      if (n >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  // The client's own debug lines, in order.
  std::vector<std::wstring> HookLines() const {
    std::vector<std::wstring> lines;
    for (const std::wstring& line : debug_.Lines()) {
      if (line.rfind(L"[NBEffectMgr]", 0) == 0) lines.push_back(line);
    }
    return lines;
  }
  static bool Marked(const ReceivedFrame& f) {
    uint64_t n;
    return IsPatternFrame(f.bytes.data(), f.used, &n) && n >= 5000000;
  }

  KernelRig rig_;
  RecordingApp camera_;
  win32::DebugCapture debug_;
};

TEST_F(HookClientTest, WithoutTheDriverStartSucceedsAndNothingRuns) {
  MarkingCallback callback;
  CorCamStreamCtrl ctrl;
  EXPECT_EQ(ctrl.Start(&callback), S_OK);
  EXPECT_FALSE(ctrl.IsStarted());
  EXPECT_EQ(HookLines(), (std::vector<std::wstring>{L"[NBEffectMgr] Open device control object Failed\r\n",
                                                     L"[NBEffectMgr] Close device control object\r\n"}));
  EXPECT_EQ(ctrl.Stop(), NBEM_E_UNINITED);
  EXPECT_EQ(HookLines().size(), 2u);
}

TEST_F(HookClientTest, DeviceClientWithoutAHandle) {
  CorCamIoCtrl io;
  EXPECT_FALSE(io.StartStreamHook());
  EXPECT_FALSE(io.EndStreamHook());
  OVERLAPPED overlapped{};
  BYTE buffer[64];
  EXPECT_TRUE(io.GetIRP(&overlapped, buffer, sizeof(buffer)));
  io.CloseDevice();
  EXPECT_EQ(HookLines(),
            (std::vector<std::wstring>{L"[NBEffectMgr] Start Stream Hook FAIL, m_hDevice = INVALID_HANDLE_VALUE\r\n",
                                       L"[NBEffectMgr] End Stream Hook FAIL\r\n",
                                       L"[NBEffectMgr] Close device control object\r\n"}));
}

TEST_F(HookClientTest, DeviceClientOpenStartEndClose) {
  StartCamera(Yuy2(kWidth, kHeight));
  const size_t handles = win32::OpenHandleCount();
  {
    CorCamIoCtrl io;
    ASSERT_TRUE(io.OpenDevice());
    EXPECT_TRUE(io.StartStreamHook());
    EXPECT_TRUE(io.EndStreamHook());
    io.CloseDevice();
    io.CloseDevice();
    EXPECT_EQ(io.m_hDevice, INVALID_HANDLE_VALUE);
  }
  EXPECT_EQ(win32::OpenHandleCount(), handles);
  EXPECT_EQ(HookLines(), (std::vector<std::wstring>{L"[NBEffectMgr] Open device control object OK\r\n",
                                                        L"[NBEffectMgr] Start Stream Hook OK\r\n",
                                                        L"[NBEffectMgr] End Stream Hook OK\r\n",
                                                        L"[NBEffectMgr] Close device control object\r\n",
                                                        L"[NBEffectMgr] Close device control object\r\n"}));
}

TEST_F(HookClientTest, StartArgumentsAndRestart) {
  StartCamera(Yuy2(kWidth, kHeight));
  MarkingCallback callback;
  CorCamStreamCtrl ctrl;
  EXPECT_EQ(ctrl.Start(nullptr), NBEM_E_BAD_PARAMS);
  ASSERT_EQ(ctrl.Start(&callback), S_OK);
  EXPECT_TRUE(ctrl.IsStarted());
  EXPECT_EQ(ctrl.Start(&callback), NBEM_E_REINITED);
  EXPECT_EQ(ctrl.Stop(), S_OK);
  EXPECT_FALSE(ctrl.IsStarted());
  EXPECT_EQ(ctrl.Stop(), NBEM_E_UNINITED);
}

TEST_F(HookClientTest, FramesPassTheCallbackAfterThreeResizes) {
  StartCamera(Yuy2(kWidth, kHeight));
  MarkingCallback callback;
  {
    CorCamStreamCtrl ctrl;
    ASSERT_EQ(ctrl.Start(&callback), S_OK);
    ASSERT_TRUE(WaitCamera(5, Marked)) << "no processed frame reached the camera application";
    EXPECT_EQ(ctrl.Stop(), S_OK);
  }
  // The callback sees the frame as the driver described it.
  {
    std::lock_guard<std::mutex> guard(callback.lock);
    ASSERT_FALSE(callback.numbers.empty());
    const FrameDescriptor& last = callback.seen.back();
    EXPECT_EQ(last.dwWidth, kWidth);
    EXPECT_EQ(last.dwHeight, kHeight);
    EXPECT_EQ(last.subtype, MEDIASUBTYPE_YUY2);
    EXPECT_EQ(last.capacity, camera_.App().FrameBytes());
    EXPECT_EQ(last.dwBytesUsed, kFrameBytes);
  }
  // While the three buffers were resized the camera got the put buffer's
  // black block with 0 bytes used; never a frame of another size.
  bool sawBlank = false;
  for (const ReceivedFrame& f : camera_.Frames()) {
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    if (f.used == 0) sawBlank = true;
  }
  EXPECT_TRUE(sawBlank);
  EXPECT_EQ(debug_.Count(L"[NBEffectMgr] Open device control object OK\r\n"), 1u);
  EXPECT_EQ(debug_.Count(L"[NBEffectMgr] Start Stream Hook OK\r\n"), 1u);
  EXPECT_EQ(debug_.Count(L"[NBEffectMgr] Send GetIRP\r\n"), 1u);
  EXPECT_GE(debug_.Count(L"[NBEffectMgr] [Thread] Add Effect OK.\r\n"), 5u);
  EXPECT_EQ(debug_.Count(L"[NBEffectMgr] [Thread] _IoReadWriteProc Exit 0\r\n"), 1u);
  EXPECT_EQ(debug_.Count(L"[NBEffectMgr] [Thread] _IoAddEffectProc Exit 0\r\n"), 1u);
  EXPECT_EQ(debug_.Count(L"[NBEffectMgr] End Stream Hook OK\r\n"), 1u);
  EXPECT_EQ(debug_.Count(L"[NBEffectMgr] Close device control object\r\n"), 1u);
  EXPECT_EQ(debug_.Count(L"[NBEffectMgr] [Thread] GetIRP complete, Unknow Err.\r\n"), 0u);
}

// A frame buffer larger than the first 202,752 bytes: each of the three
// buffers is resized once (three "size mismatch" cycles, whose frames reach
// the camera as black blocks with 0 bytes used), then every GET fits.
TEST_F(HookClientTest, LargeFramesGetTheirBuffersAfterThreeResizes) {
  const kscamera::VideoFormat large = Yuy2(640, 480);
  StartCamera(large);
  const size_t before = camera_.Count();
  MarkingCallback callback;
  CorCamStreamCtrl ctrl;
  ASSERT_EQ(ctrl.Start(&callback), S_OK);
  ASSERT_TRUE(WaitCamera(5, Marked));
  ctrl.Stop();
  size_t empty = 0;
  const std::vector<ReceivedFrame> frames = camera_.Frames();
  for (size_t i = before; i < frames.size() && !Marked(frames[i]); ++i) {
    if (frames[i].used == 0) {
      ++empty;
    } else {
      EXPECT_TRUE(IsPatternFrame(frames[i].bytes.data(), frames[i].used, nullptr));  // sent before the hook held it
    }
  }
  // Three mismatch cycles, and at most two more while the resized blocks
  // (which hold no frame yet) pass through the effect slot.
  EXPECT_GE(empty, 3u);
  EXPECT_LE(empty, 5u);
  std::lock_guard<std::mutex> guard(callback.lock);
  EXPECT_EQ(callback.seen.back().capacity, camera_.App().FrameBytes());
  EXPECT_EQ(callback.seen.back().dwBytesUsed, PatternLength(large));
}

TEST_F(HookClientTest, MjpegFramesPassUntouchedWhileBuffersResize) {
  StartCamera(Mjpg(kWidth, kHeight));
  MarkingCallback callback;
  CorCamStreamCtrl ctrl;
  ASSERT_EQ(ctrl.Start(&callback), S_OK);
  ASSERT_TRUE(WaitCamera(3, Marked));
  ctrl.Stop();
  // Until processed frames arrive, every frame is the camera's own, whole.
  for (const ReceivedFrame& f : camera_.Frames()) {
    if (Marked(f)) break;
    EXPECT_TRUE(IsPatternFrame(f.bytes.data(), f.used, nullptr));
    EXPECT_EQ(f.used, kFrameBytes / 4);
  }
}

TEST_F(HookClientTest, FailingCallbackReturnsEmptyFrames) {
  StartCamera(Yuy2(kWidth, kHeight));
  MarkingCallback callback;
  callback.result = -1;
  CorCamStreamCtrl ctrl;
  ASSERT_EQ(ctrl.Start(&callback), S_OK);
  ASSERT_TRUE(WaitCamera(1, [&](const ReceivedFrame&) { return callback.Calls() >= 6; }));
  ctrl.Stop();
  size_t empty = 0;
  for (const ReceivedFrame& f : camera_.Frames()) {
    EXPECT_FALSE(Marked(f));
    empty += f.status == STATUS_SUCCESS && f.used == 0 ? 1 : 0;
  }
  EXPECT_GE(empty, 3u);
}

TEST_F(HookClientTest, SlowCallbackRepeatsTheLastFinishedFrame) {
  StartCamera(Yuy2(kWidth, kHeight), 8.0);  // 240 frames per second
  MarkingCallback callback;
  callback.delayMs = 60;
  CorCamStreamCtrl ctrl;
  ASSERT_EQ(ctrl.Start(&callback), S_OK);
  ASSERT_TRUE(WaitCamera(2, Marked));
  const size_t before = camera_.Count();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const size_t during = camera_.Count() - before;
  ctrl.Stop();
  // The camera kept its pace (no request waited for the callback)...
  EXPECT_GE(during, 60u);
  // ...and received each finished frame many times.
  std::map<uint64_t, int> copies;
  for (const ReceivedFrame& f : camera_.Frames()) {
    uint64_t n;
    if (IsPatternFrame(f.bytes.data(), f.used, &n) && n >= 5000000) ++copies[n];
  }
  int most = 0;
  for (const auto& [n, count] : copies) most = std::max(most, count);
  EXPECT_GE(most, 5);
}

TEST_F(HookClientTest, HookEndedElsewhereKeepsTheCycleAlternating) {
  StartCamera(Yuy2(kWidth, kHeight));
  MarkingCallback callback;
  CorCamStreamCtrl ctrl;
  ASSERT_EQ(ctrl.Start(&callback), S_OK);
  ASSERT_TRUE(WaitCamera(2, Marked));
  HookDevice other;
  ASSERT_TRUE(other.Open());
  ASSERT_TRUE(other.End().ok);
  // The client answers every "hook off" reply with a PUT and never restarts.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (debug_.Count(L"[NBEffectMgr] [Thread] GetIRP complete, Unknow Err.\r\n") < 20 &&
         std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_GE(debug_.Count(L"[NBEffectMgr] [Thread] GetIRP complete, Unknow Err.\r\n"), 20u);
  EXPECT_EQ(debug_.Count(L"[NBEffectMgr] Start Stream Hook OK\r\n"), 1u);
  // The camera's frames flow untouched again.
  const size_t before = camera_.Count();
  ASSERT_TRUE(camera_.WaitFrames(before + 5));
  for (size_t i = before; i < before + 5; ++i) {
    EXPECT_TRUE(IsPatternFrame(camera_.Frames()[i].bytes.data(), camera_.Frames()[i].used, nullptr));
  }
  EXPECT_EQ(ctrl.Stop(), S_OK);
}

TEST_F(HookClientTest, CameraRemovedUnderARunningClient) {
  StartCamera(Yuy2(kWidth, kHeight));
  rig_.PlugPattern(L"cam1", {Yuy2(kWidth, kHeight)}, 1.0, L"Other Camera");  // keeps the drivers loaded
  MarkingCallback callback;
  CorCamStreamCtrl ctrl;
  ASSERT_EQ(ctrl.Start(&callback), S_OK);
  ASSERT_TRUE(WaitCamera(2, Marked));
  camera_.Stop();
  ASSERT_EQ(kscamera::UnplugCamera(L"cam0", true), STATUS_SUCCESS);
  // Requests on the removed device fail at once: the client waits for Stop
  // instead of cycling through failures.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const size_t errors = debug_.Count(L"[NBEffectMgr] [Thread] GetIRP complete, Unknow Err.\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(debug_.Count(L"[NBEffectMgr] [Thread] GetIRP complete, Unknow Err.\r\n"), errors);
  EXPECT_LE(errors, 2u);
  EXPECT_EQ(ctrl.Stop(), S_OK);
  EXPECT_EQ(debug_.Count(L"[NBEffectMgr] End Stream Hook FAIL\r\n"), 1u);
}

// A callback that does not return within the stop time limit: Stop waits on
// (saying so) rather than free the buffers under it, and the callback is
// never entered after Stop has returned.
TEST_F(HookClientTest, StopWaitsForACallbackBeyondTheTimeLimit) {
  StartCamera(Yuy2(kWidth, kHeight));
  CorCamStreamCtrl::SetStopTimeoutForTesting(50);
  struct BlockingCallback : IEffectCallBack {
    int OnFrame(FrameDescriptor* frame) override {
      inside = true;
      entered.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      std::memset(frame->data, 0x42, frame->capacity);  // touches the buffer to the end
      inside = false;
      return 0;
    }
    std::atomic<bool> inside{false};
    std::atomic<int> entered{0};
  } callback;
  CorCamStreamCtrl ctrl;
  ASSERT_EQ(ctrl.Start(&callback), S_OK);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (!callback.inside && std::chrono::steady_clock::now() < end) std::this_thread::yield();
  ASSERT_TRUE(callback.inside);
  EXPECT_EQ(ctrl.Stop(), S_OK);
  EXPECT_FALSE(callback.inside);
  const int entered = callback.entered;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(callback.entered, entered);
  EXPECT_EQ(debug_.Count(L"[NBEffectMgr] [Thread] Threads still running after the stop time limit, waiting\r\n"),
            1u);
}

// A frame size the process cannot allocate: the old block stays, the cycle
// goes on, and the camera gets its frames exactly as produced.
TEST_F(HookClientTest, UnallocatableFrameSizeLeavesFramesUntouched) {
  const kscamera::VideoFormat large = Yuy2(640, 480);  // 614,400 bytes > the 202,752 of the first buffers
  CorCamStreamCtrl::SetBufferLimitForTesting(300000);
  StartCamera(large);
  MarkingCallback callback;
  CorCamStreamCtrl ctrl;
  ASSERT_EQ(ctrl.Start(&callback), S_OK);
  const size_t before = camera_.Count();
  ASSERT_TRUE(camera_.WaitFrames(before + 8));
  ctrl.Stop();
  EXPECT_EQ(callback.Calls(), 0u);
  for (const ReceivedFrame& f : camera_.Frames()) {
    EXPECT_EQ(f.used, PatternLength(large));
    EXPECT_TRUE(IsPatternFrame(f.bytes.data(), f.used, nullptr));
  }
}

TEST(HookBuffer, ResizeFillsBlackAndWritesTheHeader) {
  HookBuffer buffer;
  ASSERT_TRUE(ResizeBuffer(&buffer, 7));
  ASSERT_EQ(buffer.dwSize, 43u);
  HookFrameHeader header;
  std::memcpy(&header, buffer.pData, sizeof(header));
  EXPECT_EQ(header.dwStatus, 0x80008000u);
  EXPECT_EQ(header.dwBufferSize, 7u);
  EXPECT_EQ(header.dwWidth, 0);
  EXPECT_EQ(header.dwHeight, 0);
  EXPECT_EQ(header.dwBytesUsed, 0u);
  EXPECT_EQ(header.guidSubFormat, MEDIASUBTYPE_YUY2);
  const BYTE frame[7] = {0x00, 0x80, 0x00, 0x80, 0x00, 0x80, 0x00};
  EXPECT_EQ(std::memcmp(buffer.pData + HOOK_HEADER_SIZE, frame, 7), 0);

  // Sizes that cannot be had keep the old block as it was.
  BYTE* old = buffer.pData;
  EXPECT_FALSE(ResizeBuffer(&buffer, 0xFFFFFFF0u));  // 36 more bytes do not fit 32 bits
  CorCamStreamCtrl::SetBufferLimitForTesting(100);
  EXPECT_FALSE(ResizeBuffer(&buffer, 65));
  CorCamStreamCtrl::SetBufferLimitForTesting(0);
  EXPECT_EQ(buffer.pData, old);
  EXPECT_EQ(buffer.dwSize, 43u);
  delete[] buffer.pData;
}

}  // namespace
}  // namespace nbtest
