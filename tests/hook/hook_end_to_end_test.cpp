// Every camera frame through the effects: camera → NBEffect → frame hook
// client → effect manager (mirror on) → back into the camera application's
// buffer. YUY2 frames arrive mirrored, MJPEG frames as re-encoded JPEGs of
// the mirrored picture, and with the hook ended, untouched.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "camera_rig.h"
#include "effects/effect_layers.h"
#include "effects/effect_mgr.h"
#include "effects/mjpeg_codec.h"
#include "hook/corcam_streamctrl.h"
#include "support/test_home.h"

namespace nbtest {
namespace {

constexpr LONG kWidth = 64;
constexpr LONG kHeight = 48;

// True when a YUY2 frame is a pattern frame mirrored left to right: the luma
// of row r, pixel x, is the pattern's luma of pixel (width - 1 - x). Rows
// from 1 on are checked (row 0 carries the frame number).
bool IsMirroredPattern(const std::vector<BYTE>& bytes, LONG width, LONG height) {
  const size_t stride = static_cast<size_t>(width) * 2;
  if (bytes.size() != stride * height) return false;
  // Pattern byte i is (n * 7 + i) & 0xFF: find n * 7 from row 1, pixel 0.
  const BYTE base = static_cast<BYTE>(bytes[stride] - (stride + 2 * (width - 1)));
  for (LONG r = 1; r < height; ++r) {
    for (LONG x = 0; x < width; ++x) {
      const size_t source = r * stride + 2 * (width - 1 - x);
      if (bytes[r * stride + 2 * x] != static_cast<BYTE>(base + source)) return false;
    }
  }
  return true;
}

// MJPEG frames of a picture whose left half is bright and right half dark.
class HalvesJpegSource : public kscamera::FrameSource {
 public:
  std::wstring FriendlyName() const override { return L"Halves Camera"; }
  std::vector<kscamera::VideoFormat> Formats() const override { return {Mjpg(kWidth, kHeight)}; }
  std::vector<REFERENCE_TIME> Intervals() const override { return {333333}; }
  bool ControlRangeOf(ULONG, kscamera::ControlRange*) const override { return false; }
  void SetControls(const kscamera::PictureControls&) override {}
  ULONG Produce(const kscamera::VideoFormat&, ULONGLONG, BYTE* buffer, ULONG capacity) override {
    zorcam::mjpeg::DecodedPicture picture;
    if (!zorcam::mjpeg::PreparePicture(&picture, kWidth, kHeight)) return 0;
    for (LONG y = 0; y < kHeight; ++y) {
      for (LONG x = 0; x < kWidth; ++x) {
        BYTE* p = picture.data + (y * kWidth + x) * 2;
        p[0] = x < kWidth / 2 ? 235 : 16;
        p[1] = 128;
      }
    }
    picture.bytesWritten = kWidth * kHeight * 2;
    picture.rows = kHeight;
    const ULONG length = zorcam::mjpeg::Encode(picture, buffer, capacity);
    zorcam::mjpeg::FreePicture(&picture);
    return length;
  }
};

// Mean luma of the left and right quarter of a decoded JPEG frame.
bool QuarterLuma(const std::vector<BYTE>& jpeg, int* left, int* right) {
  zorcam::mjpeg::DecodedPicture picture;
  if (!zorcam::mjpeg::PreparePicture(&picture, kWidth, kHeight)) return false;
  const bool ok = zorcam::mjpeg::Decode(jpeg.data(), static_cast<DWORD>(jpeg.size()), &picture) &&
                  picture.width == kWidth && picture.height == kHeight;
  if (ok) {
    long sums[2] = {0, 0};
    for (LONG y = 0; y < kHeight; ++y) {
      for (LONG x = 0; x < kWidth / 4; ++x) {
        sums[0] += picture.data[(y * kWidth + x) * 2];
        sums[1] += picture.data[(y * kWidth + kWidth - 1 - x) * 2];
      }
    }
    *left = static_cast<int>(sums[0] / (kHeight * kWidth / 4));
    *right = static_cast<int>(sums[1] / (kHeight * kWidth / 4));
  }
  zorcam::mjpeg::FreePicture(&picture);
  return ok;
}

class HookEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProgramFolderOverride(zorcam::testing::MakeTempDir("program").wstring());  // empty collections
    InstallCorCamStreamCtrl();
    ASSERT_EQ(CreateEffectMgr(&manager_), S_OK);
  }
  void TearDown() override {
    camera_.Stop();
    delete manager_;
    SetStreamCtrlFactory(nullptr);
    SetProgramFolderOverride(L"");
  }
  template <class Pred>
  size_t WaitCamera(size_t count, Pred pred, int timeoutMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t n = 0;
    while (std::chrono::steady_clock::now() < end) {
      n = 0;
      for (const ReceivedFrame& f : camera_.Frames()) n += pred(f) ? 1 : 0;
      if (n >= count) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return n;
  }

  KernelRig rig_;
  RecordingApp camera_;
  INBEffectMgr* manager_ = nullptr;
};

TEST_F(HookEndToEndTest, Yuy2FramesArriveMirroredAndUntouchedAfterTheHookEnds) {
  rig_.PlugPattern(L"cam0", {Yuy2(kWidth, kHeight)}, 4.0);
  ASSERT_TRUE(camera_.Start(L"Pattern Camera", Yuy2(kWidth, kHeight)));
  ASSERT_EQ(manager_->SetEffect(1, 1, 0, 0), S_OK);
  ASSERT_EQ(manager_->Start(), S_OK);
  auto mirrored = [](const ReceivedFrame& f) { return IsMirroredPattern(f.bytes, kWidth, kHeight); };
  EXPECT_GE(WaitCamera(10, mirrored), 10u);

  ASSERT_EQ(manager_->EndStreamHook(), S_OK);
  const size_t after = camera_.Count();
  ASSERT_TRUE(camera_.WaitFrames(after + 10));
  const std::vector<ReceivedFrame> frames = camera_.Frames();
  // A frame already lent when the hook ended may come back cancelled; every
  // frame after that is the camera's own.
  for (size_t i = after + 3; i < frames.size(); ++i) {
    EXPECT_TRUE(IsPatternFrame(frames[i].bytes.data(), frames[i].used, nullptr)) << i;
  }
}

TEST_F(HookEndToEndTest, MjpegFramesArriveAsReencodedMirroredJpegs) {
  kscamera::CameraOptions options;
  options.instanceId = L"cam0";
  options.speed = 4.0;
  std::wstring id;
  ASSERT_EQ(kscamera::PlugCamera(std::make_unique<HalvesJpegSource>(), options, &id), STATUS_SUCCESS);
  ASSERT_TRUE(camera_.Start(L"Halves Camera", Mjpg(kWidth, kHeight)));
  ASSERT_TRUE(camera_.WaitFrames(2));
  int left = 0;
  int right = 0;
  ASSERT_TRUE(QuarterLuma(camera_.Frames()[0].bytes, &left, &right));
  EXPECT_GT(left, 200);
  EXPECT_LT(right, 50);

  ASSERT_EQ(manager_->SetEffect(1, 1, 0, 0), S_OK);
  ASSERT_EQ(manager_->Start(), S_OK);
  auto mirroredJpeg = [](const ReceivedFrame& f) {
    int l = 0;
    int r = 0;
    return QuarterLuma(f.bytes, &l, &r) && l < 50 && r > 200;
  };
  EXPECT_GE(WaitCamera(10, mirroredJpeg), 10u);
  // Every frame that arrived is a whole JPEG the decoder accepts.
  for (const ReceivedFrame& f : camera_.Frames()) {
    if (f.status != STATUS_SUCCESS || f.used == 0) continue;
    int l = 0;
    int r = 0;
    EXPECT_TRUE(QuarterLuma(f.bytes, &l, &r));
  }
}

}  // namespace
}  // namespace nbtest
