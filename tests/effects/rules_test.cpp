// The effect-enable rules: tripping once per change of state, the notices and
// when they are posted, restoring, and re-arming by the settings operations.
#include <gtest/gtest.h>

#include "config/result_codes.h"
#include "effects/effect_mgr.h"
#include "manager_fixture.h"
#include "mjpeg_fixtures.h"
#include "win32/debug.h"

namespace zorcam::testing {
namespace {

class RulesTest : public ManagerTest {
 protected:
  void SetUp() override {
    ManagerTest::SetUp();
    ASSERT_EQ(S_OK, mgr.Start());
  }
  // Sends one YUY2 frame; true when the manager changed it.
  bool Send(int width, int height) {
    Yuy2Frame frame(width, height);
    const std::vector<BYTE> before = frame.bytes;
    EXPECT_EQ(0, mgr.OnFrame(&frame.desc));
    return frame.bytes != before;
  }
  NBEffectMgr mgr;
};

TEST_F(RulesTest, LargeFramesSwitchEffectsOffOnceAndTheFirstSmallFrameBackOn) {
  ASSERT_EQ(S_OK, mgr.SetEffect(1, 1, 0, 0));
  EXPECT_TRUE(Send(640, 480));
  EXPECT_FALSE(Send(1280, 720));
  EXPECT_EQ(0, mgr.IsEnabled());
  EXPECT_EQ(std::vector<HRESULT>{NB_SERVICE_EFFECT_OFF}, notices.Codes());
  EXPECT_FALSE(Send(1280, 720));
  EXPECT_EQ(1u, notices.Codes().size()) << "no repeated notice while tripped";
  EXPECT_TRUE(Send(640, 480));
  EXPECT_EQ(1, mgr.IsEnabled());
  EXPECT_EQ(1u, notices.Codes().size()) << "restoring is silent";
}

TEST_F(RulesTest, ResolutionLimitIs640By480Inclusive) {
  ASSERT_EQ(S_OK, mgr.SetEffect(1, 1, 0, 0));
  const struct {
    int width, height;
    bool processed;
  } cases[] = {{640, 480, true}, {640, 482, false}, {642, 480, false}, {320, 240, true}, {2, 2, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    win32::DebugCapture capture;
    EXPECT_EQ(c.processed, Send(c.width, c.height));
    EXPECT_EQ(!c.processed, capture.Contains(L"[NBEffectMgr] Too high resolution\n"));
  }
  // 640 x 481 (odd height) trips the rule too.
  FrameDescriptor odd{};
  std::vector<BYTE> bytes(640 * 481 * 2);
  odd.data = bytes.data();
  odd.capacity = odd.dwBytesUsed = static_cast<DWORD>(bytes.size());
  odd.dwWidth = 640;
  odd.dwHeight = 481;
  odd.subtype = MEDIASUBTYPE_YUY2;
  mgr.OnFrame(&odd);
  EXPECT_EQ(0, mgr.IsEnabled());
}

TEST_F(RulesTest, NoNoticeWhenNoEffectIsOn) {
  EXPECT_FALSE(Send(1280, 720));
  EXPECT_EQ(0, mgr.IsEnabled());
  EXPECT_TRUE(notices.Codes().empty());
}

TEST_F(RulesTest, SwitchingAnEffectOnReArmsAndTheNextLargeFrameNotifiesAgain) {
  ASSERT_EQ(S_OK, mgr.SetEffect(1, 1, 0, 0));
  EXPECT_FALSE(Send(1280, 720));
  const struct {
    const char* what;
    int type, value;
    bool rearms;
  } cases[] = {
      {"zoom", 2, 150, true},
      {"mirror on", 1, 1, true},
      {"vertical flip on", 0, 1, true},
      {"DeepTone on", 4, 2, true},
      {"mirror off", 1, 0, false},
      {"DeepTone demonstration", 4, 3, false},
  };
  size_t expected = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(S_OK, mgr.SetEffect(c.type, c.value, 0, 0));
    EXPECT_EQ(c.rearms ? 1 : 0, mgr.IsEnabled());
    EXPECT_FALSE(Send(1280, 720));
    if (c.rearms) ++expected;
    EXPECT_EQ(expected, notices.Codes().size());
  }
}

TEST_F(RulesTest, SelectingAnEffectWhileDisabledReArms) {
  AddPair(programFolder, "Frame", "Edge", 0xFFFFFF, 10);
  NBEffectMgr withFrames;
  ASSERT_EQ(S_OK, withFrames.Start());
  ASSERT_EQ(S_OK, withFrames.SetEffect(1, 1, 0, 0));
  Yuy2Frame large(1280, 720);
  withFrames.OnFrame(&large.desc);
  ASSERT_EQ(0, withFrames.IsEnabled());
  EXPECT_EQ(S_OK, withFrames.SelectEffect(0x2FFFF));  // "none" does not re-arm
  EXPECT_EQ(0, withFrames.IsEnabled());
  EXPECT_EQ(S_OK, withFrames.SelectEffect(0x20000));
  EXPECT_EQ(1, withFrames.IsEnabled());
  withFrames.OnFrame(&large.desc);
  EXPECT_EQ(2u, notices.Codes().size());
}

// An MJPEG frame the manager can decode: a 4:2:2 JPEG of a small picture.
std::string SmallJpeg() { return MagickGradientJpeg(64, 48); }

FrameDescriptor MjpegFrame(std::string& jpeg, std::vector<BYTE>& buffer) {
  buffer.assign(jpeg.begin(), jpeg.end());
  buffer.resize(64 * 48 * 2 + 4096);
  FrameDescriptor d{};
  d.data = buffer.data();
  d.capacity = static_cast<DWORD>(buffer.size());
  d.dwBytesUsed = static_cast<DWORD>(jpeg.size());
  d.dwWidth = 64;
  d.dwHeight = 48;
  d.subtype = MEDIASUBTYPE_MJPG;
  return d;
}

TEST_F(RulesTest, MjpegFramesLeaveDeepToneOutAndNotifyOnlyWhenItIsOn) {
  std::string jpeg = SmallJpeg();
  std::vector<BYTE> buffer;
  for (int mode : {1, 2, 3}) {
    SCOPED_TRACE(mode);
    NBEffectMgr m;
    ASSERT_EQ(S_OK, m.Start());
    ASSERT_EQ(S_OK, m.SetEffect(4, mode, 0, 0));
    RecordingNoticeWindow window;
    SetNoticeWindow(&window);
    FrameDescriptor d = MjpegFrame(jpeg, buffer);
    EXPECT_EQ(0, m.OnFrame(&d));
    EXPECT_EQ(0, m.IsContrastAllowed());
    const std::vector<HRESULT> expected =
        mode == 1 ? std::vector<HRESULT>{} : std::vector<HRESULT>{NB_SERVICE_DEEP_TONE_OFF};
    EXPECT_EQ(expected, window.Codes());
    d = MjpegFrame(jpeg, buffer);
    m.OnFrame(&d);
    EXPECT_EQ(expected.size(), window.Codes().size()) << "once per trip";
    // A YUY2 frame restores DeepTone silently.
    Yuy2Frame yuy2(64, 48);
    m.OnFrame(&yuy2.desc);
    EXPECT_EQ(1, m.IsContrastAllowed());
    EXPECT_EQ(expected.size(), window.Codes().size());
    SetNoticeWindow(&notices);
  }
}

TEST_F(RulesTest, WithoutAWindowHandleTheSwitchOffStillHappens) {
  RecordingNoticeWindow noHandle(false);
  for (INoticeWindow* window : {static_cast<INoticeWindow*>(nullptr), static_cast<INoticeWindow*>(&noHandle)}) {
    NBEffectMgr m;
    ASSERT_EQ(S_OK, m.Start());
    ASSERT_EQ(S_OK, m.SetEffect(1, 1, 0, 0));
    SetNoticeWindow(window);
    Yuy2Frame large(1280, 720);
    m.OnFrame(&large.desc);
    EXPECT_EQ(0, m.IsEnabled());
  }
  EXPECT_TRUE(noHandle.Codes().empty());
  EXPECT_TRUE(notices.Codes().empty());
}

}  // namespace
}  // namespace zorcam::testing
