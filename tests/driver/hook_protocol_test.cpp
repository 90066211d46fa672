// The frame hook protocol as a program sees it on "\\.\NBeffect": replies,
// buffer sizes, write-back, pairing order, hook-off answers and refusals.
// The camera application here is the kernel model's helper; the frames are
// numbered test pictures (camera_rig.h).
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

#include "camera_rig.h"
#include "ntkernel/pnp.h"

namespace nbtest {
namespace {

constexpr LONG kWidth = 64;
constexpr LONG kHeight = 48;
const ULONG kFrameBytes = PatternLength(Yuy2(kWidth, kHeight));
const DWORD kCancelledError = RtlNtStatusToDosError(STATUS_CANCELLED);
const DWORD kNoResourcesError = RtlNtStatusToDosError(STATUS_INSUFFICIENT_RESOURCES);
const DWORD kUnsuccessfulError = RtlNtStatusToDosError(STATUS_UNSUCCESSFUL);

uint64_t NumberOf(const Reply& reply) {
  uint64_t number = ~0ull;
  EXPECT_TRUE(reply.bytes >= HOOK_HEADER_SIZE + 8 &&
              IsPatternFrame(reply.out.data() + HOOK_HEADER_SIZE, reply.bytes - HOOK_HEADER_SIZE, &number))
      << "GET reply does not carry an untouched camera frame";
  return number;
}

std::vector<BYTE> Pattern(uint64_t number, ULONG length) {
  std::vector<BYTE> bytes(length);
  FillPattern(number, bytes.data(), length);
  return bytes;
}

// A pattern camera, the camera application reading from it, and a handle on
// the control device.
class HookProtocolTest : public ::testing::Test {
 protected:
  void StartCamera(const kscamera::VideoFormat& format = Yuy2(kWidth, kHeight), int outstanding = 3,
                   double speed = 4.0, bool negotiate = true) {
    rig_.PlugPattern(L"cam0", {Yuy2(kWidth, kHeight), Mjpg(kWidth, kHeight)}, speed);
    ASSERT_TRUE(camera_.Start(L"Pattern Camera", format, outstanding, negotiate));
    ASSERT_TRUE(camera_.WaitFrames(2));
    ASSERT_TRUE(hook_.Open());
  }
  DWORD BufferSize() { return camera_.App().FrameBytes(); }

  // Frames the camera application received with this picture number.
  std::vector<ReceivedFrame> FramesNumbered(uint64_t number) {
    std::vector<ReceivedFrame> found;
    for (const ReceivedFrame& frame : camera_.Frames()) {
      uint64_t n;
      if (IsPatternFrame(frame.bytes.data(), static_cast<ULONG>(frame.bytes.size()), &n) && n == number) {
        found.push_back(frame);
      }
    }
    return found;
  }
  bool WaitForNumber(uint64_t number, int timeoutMs = 3000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
      if (!FramesNumbered(number).empty()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  KernelRig rig_;
  RecordingApp camera_;
  HookDevice hook_;
};

TEST_F(HookProtocolTest, GetReplyStatusFollowsTheBufferSpace) {
  StartCamera();
  ASSERT_TRUE(hook_.Start().ok);
  const DWORD b = BufferSize();
  struct Case {
    DWORD space;
    DWORD status;
  } cases[] = {{b, HOOK_STATUS_OK}, {b + 1, HOOK_STATUS_SIZE_MISMATCH}, {b - 1, HOOK_STATUS_SIZE_MISMATCH},
               {8, HOOK_STATUS_SIZE_MISMATCH}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.space);
    Reply get = hook_.Get(HOOK_HEADER_SIZE + c.space);
    ASSERT_TRUE(get.ok) << get.error;
    const HookFrameHeader header = get.Header();
    EXPECT_EQ(header.dwStatus, c.status);
    EXPECT_EQ(header.dwBufferSize, b);
    EXPECT_EQ(header.dwWidth, kWidth);
    EXPECT_EQ(header.dwHeight, kHeight);
    EXPECT_EQ(header.dwBytesUsed, kFrameBytes);
    EXPECT_EQ(header.guidSubFormat, MEDIASUBTYPE_YUY2);
    EXPECT_EQ(get.bytes, HOOK_HEADER_SIZE + std::min(c.space, b));
    NumberOf(get);
    // Give the frame back untouched.
    ASSERT_TRUE(hook_.Put(PutBuffer(0, MEDIASUBTYPE_MJPG, {})).ok);
  }
}

TEST_F(HookProtocolTest, GetWithoutHeaderRoomStillLendsTheFrame) {
  StartCamera();
  ASSERT_TRUE(hook_.Start().ok);
  Reply get = hook_.Get(20);
  ASSERT_TRUE(get.ok);
  EXPECT_EQ(get.bytes, 0u);
  // The frame is lent: the next PUT releases it (success, not "no frame").
  Reply put = hook_.Put(PutBuffer(0, MEDIASUBTYPE_MJPG, {}));
  EXPECT_TRUE(put.ok) << put.error;
}

TEST_F(HookProtocolTest, RepliesWhileTheHookIsOff) {
  StartCamera();
  struct Case {
    const char* name;
    DWORD code;
    DWORD inLength;
    DWORD outLength;
    bool ok;
    DWORD error;
    DWORD bytes;
  } cases[] = {
      {"GET 20", IOCTL_HOOK_GET_FRAME, 0, 20, false, kNoResourcesError, 0},
      {"GET 36", IOCTL_HOOK_GET_FRAME, 0, 36, true, 0, 36},
      {"GET none", IOCTL_HOOK_GET_FRAME, 0, 0, false, kNoResourcesError, 0},
      {"PUT 20", IOCTL_HOOK_PUT_FRAME, 20, 0, false, kNoResourcesError, 0},
      {"PUT 36, no output", IOCTL_HOOK_PUT_FRAME, 36, 0, true, 0, 0},
      {"PUT 36, output 36", IOCTL_HOOK_PUT_FRAME, 36, 36, true, 0, 36},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reply reply = hook_.Control(c.code, std::vector<BYTE>(c.inLength, 0x11), c.outLength);
    EXPECT_EQ(reply.ok, c.ok);
    EXPECT_EQ(reply.error, c.error);
    EXPECT_EQ(reply.bytes, c.bytes);
    if (c.bytes == HOOK_HEADER_SIZE) {
      EXPECT_EQ(reply.Header().dwStatus, HOOK_STATUS_OFF);
    }
  }
}

TEST_F(HookProtocolTest, UnknownControlCodeIsRefused) {
  StartCamera();
  Reply reply = hook_.Control(CTL_CODE(0x0800, 0x00E, METHOD_BUFFERED, FILE_ANY_ACCESS), {}, 0);
  EXPECT_FALSE(reply.ok);
  EXPECT_EQ(reply.error, RtlNtStatusToDosError(STATUS_INVALID_PARAMETER));
}

TEST_F(HookProtocolTest, PutWritesBackByItsHeader) {
  struct Case {
    const char* name;
    DWORD bytesUsed;
    GUID subtype;
    ULONG payload;       // PUT frame bytes
    bool unchanged;      // camera frame left exactly as produced
    ULONG expectUsed;    // else: used bytes the camera application sees
  } cases[] = {
      {"used 0, MJPG: untouched", 0, MEDIASUBTYPE_MJPG, kFrameBytes, true, 0},
      {"used 0, YUY2: emptied", 0, MEDIASUBTYPE_YUY2, kFrameBytes, false, 0},
      {"used n, YUY2", 1000, MEDIASUBTYPE_YUY2, kFrameBytes, false, 1000},
      {"used n, MJPG", 500, MEDIASUBTYPE_MJPG, kFrameBytes, false, 500},
      {"short PUT", 100, MEDIASUBTYPE_YUY2, 100, false, 100},
      {"used beyond the buffer", 0x7FFFFFFF, MEDIASUBTYPE_YUY2, kFrameBytes, false, kFrameBytes},
  };
  StartCamera();
  ASSERT_TRUE(hook_.Start().ok);
  uint64_t replacement = 1000000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reply get = hook_.Get(HOOK_HEADER_SIZE + BufferSize());
    ASSERT_TRUE(get.ok);
    const uint64_t lent = NumberOf(get);
    ++replacement;
    ASSERT_TRUE(hook_.Put(PutBuffer(c.bytesUsed, c.subtype, Pattern(replacement, c.payload))).ok);
    if (c.unchanged) {
      ASSERT_TRUE(WaitForNumber(lent));
      EXPECT_EQ(FramesNumbered(lent)[0].used, kFrameBytes);
    } else if (c.expectUsed >= 8) {
      ASSERT_TRUE(WaitForNumber(replacement)) << "the camera never received the written-back frame";
      EXPECT_EQ(FramesNumbered(replacement)[0].used, c.expectUsed);
      EXPECT_TRUE(FramesNumbered(lent).empty());
    } else {
      // Emptied: the lent frame arrives with no bytes.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
      bool seen = false;
      while (!seen && std::chrono::steady_clock::now() < deadline) {
        for (const ReceivedFrame& f : camera_.Frames()) seen |= f.status == STATUS_SUCCESS && f.used == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      EXPECT_TRUE(seen);
      EXPECT_TRUE(FramesNumbered(lent).empty());
    }
  }
}

TEST_F(HookProtocolTest, PutWithoutLentFrameIsCancelled) {
  StartCamera();
  ASSERT_TRUE(hook_.Start().ok);
  Reply put = hook_.Put(PutBuffer(10, MEDIASUBTYPE_YUY2, Pattern(5, 10)));
  EXPECT_FALSE(put.ok);
  EXPECT_EQ(put.error, kCancelledError);
}

TEST_F(HookProtocolTest, TwoPutsAfterTwoGetsReturnFramesInLendingOrder) {
  StartCamera();
  ASSERT_TRUE(hook_.Start().ok);
  const uint64_t first = NumberOf(hook_.Get(HOOK_HEADER_SIZE + BufferSize()));
  const uint64_t second = NumberOf(hook_.Get(HOOK_HEADER_SIZE + BufferSize()));
  EXPECT_GT(second, first);
  ASSERT_TRUE(hook_.Put(PutBuffer(kFrameBytes, MEDIASUBTYPE_YUY2, Pattern(2000001, kFrameBytes))).ok);
  ASSERT_TRUE(hook_.Put(PutBuffer(kFrameBytes, MEDIASUBTYPE_YUY2, Pattern(2000002, kFrameBytes))).ok);
  ASSERT_TRUE(WaitForNumber(2000002));
  std::vector<uint64_t> order;
  for (const ReceivedFrame& f : camera_.Frames()) {
    uint64_t n;
    if (IsPatternFrame(f.bytes.data(), f.used, &n) && (n == 2000001 || n == 2000002 || n == first || n == second)) {
      order.push_back(n);
    }
  }
  EXPECT_EQ(order, (std::vector<uint64_t>{2000001, 2000002}));
}

TEST_F(HookProtocolTest, ReportsTheCommittedFormat) {
  struct Case {
    const char* name;
    kscamera::VideoFormat format;
    bool negotiate;
    LONG width;
    LONG height;
    GUID subtype;
    ULONG used;
  } cases[] = {
      {"YUY2", Yuy2(kWidth, kHeight), true, kWidth, kHeight, MEDIASUBTYPE_YUY2, kFrameBytes},
      {"MJPG", Mjpg(kWidth, kHeight), true, kWidth, kHeight, MEDIASUBTYPE_MJPG, kFrameBytes / 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KernelRig rig;
    RecordingApp camera;
    HookDevice hook;
    rig.PlugPattern(L"cam0", {Yuy2(kWidth, kHeight), Mjpg(kWidth, kHeight)}, 4.0);
    ASSERT_TRUE(camera.Start(L"Pattern Camera", c.format, 3, c.negotiate));
    ASSERT_TRUE(hook.Open());
    ASSERT_TRUE(hook.Start().ok);
    Reply get = hook.Get(HOOK_HEADER_SIZE + camera.App().FrameBytes());
    ASSERT_TRUE(get.ok);
    EXPECT_EQ(get.Header().dwWidth, c.width);
    EXPECT_EQ(get.Header().dwHeight, c.height);
    EXPECT_EQ(get.Header().guidSubFormat, c.subtype);
    EXPECT_EQ(get.Header().dwBytesUsed, c.used);
    hook.End();
    camera.Stop();
  }
}

// A stream run without a data intersection has no committed format: the
// GET reply carries zero width, height and subtype.
TEST_F(HookProtocolTest, RunWithoutIntersectionReportsNoFormat) {
  rig_.PlugPattern(L"cam0", {Yuy2(kWidth, kHeight)}, 4.0);
  kscamera::CameraApp app;
  ASSERT_TRUE(app.Open(L"Pattern Camera"));
  ASSERT_TRUE(app.SetState(KSSTATE_ACQUIRE) && app.SetState(KSSTATE_PAUSE) && app.SetState(KSSTATE_RUN));
  ASSERT_TRUE(hook_.Open());
  ASSERT_TRUE(hook_.Start().ok);

  // One read, issued by hand (the helper always negotiates first).
  std::vector<BYTE> frame(kFrameBytes);
  KSSTREAM_HEADER header{};
  header.Size = sizeof(header);
  header.FrameExtent = kFrameBytes;
  header.Data = frame.data();
  OVERLAPPED read{};
  read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DeviceIoControl(app.Handle(), IOCTL_KS_READ_STREAM, nullptr, 0, &header, sizeof(header), nullptr, &read);

  Reply get = hook_.Get(HOOK_HEADER_SIZE + kFrameBytes);
  ASSERT_TRUE(get.ok);
  EXPECT_EQ(get.Header().dwStatus, HOOK_STATUS_OK);
  EXPECT_EQ(get.Header().dwWidth, 0);
  EXPECT_EQ(get.Header().dwHeight, 0);
  EXPECT_EQ(get.Header().guidSubFormat, GUID_NULL);
  EXPECT_EQ(get.Header().dwBytesUsed, kFrameBytes);
  ASSERT_TRUE(hook_.Put(PutBuffer(0, MEDIASUBTYPE_MJPG, {})).ok);
  ASSERT_EQ(WaitForSingleObject(read.hEvent, 3000), WAIT_OBJECT_0);
  EXPECT_EQ(static_cast<NTSTATUS>(read.Internal), STATUS_SUCCESS);
  EXPECT_TRUE(IsPatternFrame(frame.data(), header.DataUsed, nullptr));
  CloseHandle(read.hEvent);
  app.SetState(KSSTATE_STOP);
}

// A read the camera fails (here: a buffer too small for the frame) is never
// held, even while the hook is on and no GET comes.
TEST_F(HookProtocolTest, FailedReadsPassWithoutBeingHeld) {
  rig_.PlugPattern(L"cam0", {Yuy2(kWidth, kHeight)}, 4.0);
  kscamera::CameraApp app;
  ASSERT_TRUE(app.Open(L"Pattern Camera"));
  KS_DATAFORMAT_VIDEOINFOHEADER chosen;
  ASSERT_TRUE(app.Negotiate(Yuy2(kWidth, kHeight), &chosen));
  ASSERT_TRUE(app.SetState(KSSTATE_ACQUIRE) && app.SetState(KSSTATE_PAUSE) && app.SetState(KSSTATE_RUN));
  ASSERT_TRUE(hook_.Open());
  ASSERT_TRUE(hook_.Start().ok);

  std::vector<BYTE> frame(kFrameBytes / 2);
  KSSTREAM_HEADER header{};
  header.Size = sizeof(header);
  header.FrameExtent = static_cast<ULONG>(frame.size());
  header.Data = frame.data();
  OVERLAPPED read{};
  read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DeviceIoControl(app.Handle(), IOCTL_KS_READ_STREAM, nullptr, 0, &header, sizeof(header), nullptr, &read);
  EXPECT_EQ(WaitForSingleObject(read.hEvent, 500), WAIT_OBJECT_0) << "the failed read was held";
  EXPECT_EQ(static_cast<NTSTATUS>(read.Internal), STATUS_BUFFER_TOO_SMALL);
  CloseHandle(read.hEvent);
  hook_.End();
  app.SetState(KSSTATE_STOP);
}

TEST_F(HookProtocolTest, EndReleasesHeldFramesAsCancelled) {
  StartCamera();
  ASSERT_TRUE(hook_.Start().ok);
  const uint64_t lent = NumberOf(hook_.Get(HOOK_HEADER_SIZE + BufferSize()));
  const size_t before = camera_.Count();
  ASSERT_TRUE(hook_.End().ok);
  ASSERT_TRUE(camera_.WaitFrames(before + 1));
  bool cancelled = false;
  for (const ReceivedFrame& f : camera_.Frames()) cancelled |= f.status == STATUS_CANCELLED;
  EXPECT_TRUE(cancelled);
  EXPECT_TRUE(FramesNumbered(lent).empty());
  // After the end, frames flow untouched and GETs answer "off".
  EXPECT_EQ(hook_.Get(HOOK_HEADER_SIZE).Header().dwStatus, HOOK_STATUS_OFF);
}

TEST_F(HookProtocolTest, SilentProgramLetsFramesGoAfterOneSecond) {
  StartCamera();
  ASSERT_TRUE(hook_.Start().ok);
  const uint64_t lent = NumberOf(hook_.Get(HOOK_HEADER_SIZE + BufferSize()));
  const auto lentAt = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitForNumber(lent, 4000)) << "the lent frame never reached the camera application";
  const auto waited = std::chrono::steady_clock::now() - lentAt;
  EXPECT_GE(waited, std::chrono::milliseconds(900));
  EXPECT_EQ(FramesNumbered(lent)[0].status, STATUS_SUCCESS);
  // The frames held behind it follow, unchanged and in order.
  const size_t lentIndex = [&] {
    const std::vector<ReceivedFrame> frames = camera_.Frames();
    for (size_t i = 0; i < frames.size(); ++i) {
      uint64_t n;
      if (IsPatternFrame(frames[i].bytes.data(), frames[i].used, &n) && n == lent) return i;
    }
    return frames.size();
  }();
  ASSERT_TRUE(camera_.WaitFrames(lentIndex + 4));
  const std::vector<ReceivedFrame> frames = camera_.Frames();
  uint64_t previous = lent;
  for (size_t i = lentIndex + 1; i < lentIndex + 4; ++i) {
    uint64_t n = 0;
    EXPECT_EQ(frames[i].status, STATUS_SUCCESS);
    EXPECT_TRUE(IsPatternFrame(frames[i].bytes.data(), frames[i].used, &n));
    EXPECT_GT(n, previous);
    previous = n;
  }
  // The hook is off until it is started again.
  EXPECT_EQ(hook_.Get(HOOK_HEADER_SIZE + BufferSize()).Header().dwStatus, HOOK_STATUS_OFF);
  ASSERT_TRUE(hook_.Start().ok);
  EXPECT_EQ(hook_.Get(HOOK_HEADER_SIZE + BufferSize()).Header().dwStatus, HOOK_STATUS_OK);
}

TEST_F(HookProtocolTest, ThirtyWaitingFramesAreTrimmed) {
  // 40 reads outstanding, so the driver can hold more than 30; the camera
  // runs fast enough that the trim, not the one-second limit, lets them go.
  StartCamera(Yuy2(kWidth, kHeight), 40, 20.0);
  const size_t before = camera_.Count();
  ASSERT_TRUE(hook_.Start().ok);
  const auto startedAt = std::chrono::steady_clock::now();
  ASSERT_TRUE(camera_.WaitFrames(before + 30 + 40, 3000));
  EXPECT_LT(std::chrono::steady_clock::now() - startedAt, std::chrono::milliseconds(900));
  // Trimmed frames are untouched, each arrives once.
  std::set<uint64_t> numbers;
  for (const ReceivedFrame& f : camera_.Frames()) {
    uint64_t n;
    ASSERT_TRUE(IsPatternFrame(f.bytes.data(), f.used, &n));
    EXPECT_TRUE(numbers.insert(n).second) << "frame " << n << " arrived twice";
  }
}

TEST_F(HookProtocolTest, PendingGetCancelledByTheProgram) {
  enum class How { kCancelIo, kCloseHandle };
  for (How how : {How::kCancelIo, How::kCloseHandle}) {
    SCOPED_TRACE(how == How::kCancelIo ? "CancelIo" : "CloseHandle");
    KernelRig rig;
    RecordingApp camera;
    HookDevice hook;
    rig.PlugPattern(L"cam0", {Yuy2(kWidth, kHeight)}, 4.0);
    ASSERT_TRUE(hook.Open());
    ASSERT_TRUE(hook.Start().ok);
    {
      AsyncRequest get;  // no camera application: the GET stays pending
      get.Issue(hook.Handle(), IOCTL_HOOK_GET_FRAME, {}, HOOK_HEADER_SIZE + 100);
      EXPECT_FALSE(get.Wait(100));
      if (how == How::kCancelIo) {
        CancelIo(hook.Handle());
      } else {
        hook.Close();
      }
      ASSERT_TRUE(get.Wait(2000));
      Reply reply = get.Result();
      EXPECT_FALSE(reply.ok);
      EXPECT_EQ(reply.error, kCancelledError);
    }
    // The cancelled GET re-armed the one-second limit: frames the camera
    // application reads now are held, then let go unchanged.
    ASSERT_TRUE(camera.Start(L"Pattern Camera", Yuy2(kWidth, kHeight)));
    ASSERT_TRUE(camera.WaitFrames(6, 4000));
    for (const ReceivedFrame& f : camera.Frames()) EXPECT_EQ(f.status, STATUS_SUCCESS);
    camera.Stop();
  }
}

TEST_F(HookProtocolTest, CameraApplicationCancelsLentFrames) {
  StartCamera();
  ASSERT_TRUE(hook_.Start().ok);
  const uint64_t lent = NumberOf(hook_.Get(HOOK_HEADER_SIZE + BufferSize()));
  camera_.Stop();  // cancels its reads, the lent one included, and waits for them
  EXPECT_TRUE(FramesNumbered(lent).empty());
  Reply put = hook_.Put(PutBuffer(0, MEDIASUBTYPE_MJPG, {}));
  EXPECT_FALSE(put.ok);
  EXPECT_EQ(put.error, kCancelledError);
}

TEST_F(HookProtocolTest, ControlRequestsNeedAStartedCamera) {
  StartCamera();
  ASSERT_TRUE(hook_.Start().ok);
  ULONG_PTR info = 0;
  ASSERT_EQ(ntkernel::SendPnpIrp(L"cam0", IRP_MN_QUERY_STOP_DEVICE, &info), STATUS_SUCCESS);
  Reply refused = hook_.Get(HOOK_HEADER_SIZE + BufferSize());
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.error, kUnsuccessfulError);
  EXPECT_FALSE(hook_.Start().ok);
  ASSERT_EQ(ntkernel::SendPnpIrp(L"cam0", IRP_MN_CANCEL_STOP_DEVICE, &info), STATUS_SUCCESS);
  // Started again, with the hook still on: no new IOCTL_HOOK_START needed.
  Reply get = hook_.Get(HOOK_HEADER_SIZE + BufferSize());
  ASSERT_TRUE(get.ok);
  EXPECT_EQ(get.Header().dwStatus, HOOK_STATUS_OK);
}

}  // namespace
}  // namespace nbtest
