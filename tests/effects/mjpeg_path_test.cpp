// The MJPEG path of the effect manager: decode, chain, encode back into the
// frame; frames that cannot be decoded pass unchanged; a new JPEG that does
// not fit reports dwBytesUsed 0.
#include <gtest/gtest.h>

#include <cstring>

#include "effects/effect_mgr.h"
#include "effects/mjpeg_codec.h"
#include "manager_fixture.h"
#include "mjpeg_fixtures.h"
#include "win32/debug.h"

namespace zorcam::testing {
namespace {

using mjpeg::DecodedPicture;

struct MjpegFrame {
  MjpegFrame(const std::string& jpeg, LONG width, LONG height, size_t capacity) {
    bytes.assign(jpeg.begin(), jpeg.end());
    bytes.resize(std::max(capacity, jpeg.size()), 0);
    desc.data = bytes.data();
    desc.capacity = static_cast<DWORD>(capacity);
    desc.dwBytesUsed = static_cast<DWORD>(jpeg.size());
    desc.dwWidth = width;
    desc.dwHeight = height;
    desc.subtype = MEDIASUBTYPE_MJPG;
  }
  std::vector<BYTE> bytes;
  FrameDescriptor desc{};
};

std::vector<BYTE> DecodeBytes(const BYTE* data, DWORD length, int w, int h) {
  DecodedPicture p;
  mjpeg::PreparePicture(&p, w, h);
  std::vector<BYTE> out;
  if (mjpeg::Decode(data, length, &p)) out.assign(p.data, p.data + static_cast<size_t>(w) * h * 2);
  mjpeg::FreePicture(&p);
  return out;
}

std::vector<BYTE> Mirrored(std::vector<BYTE> picture, int w, int h) {
  CNBFlipEffect mirror;
  mirror.SetHorizontal(1);
  std::vector<BYTE> out(picture.size());
  mirror.Apply(out.data(), w * 2, picture.data(), w * 2, w, h);
  return out;
}

class MjpegPathTest : public ManagerTest {
 protected:
  void SetUp() override {
    ManagerTest::SetUp();
    ASSERT_EQ(S_OK, mgr.Start());
    ASSERT_EQ(S_OK, mgr.SetEffect(1, 1, 0, 0));  // mirror
  }
  NBEffectMgr mgr;
};

TEST_F(MjpegPathTest, FrameIsDecodedMirroredAndEncodedInPlace) {
  const std::string jpeg = MagickGradientJpeg(640, 480, true);
  MjpegFrame frame(jpeg, 640, 480, 640 * 480 * 2);
  const std::vector<BYTE> original = DecodeBytes(frame.bytes.data(), frame.desc.dwBytesUsed, 640, 480);
  ASSERT_FALSE(original.empty());
  win32::DebugCapture capture;
  EXPECT_EQ(0, mgr.OnFrame(&frame.desc));
  EXPECT_TRUE(capture.Contains(L"[NBEffectMgr] subformat MJPEG, Used buffer size " +
                               std::to_wstring(jpeg.size()) + L", width 640, height 480\n"));
  ASSERT_GT(frame.desc.dwBytesUsed, 0u);
  const std::vector<BYTE> result = DecodeBytes(frame.bytes.data(), frame.desc.dwBytesUsed, 640, 480);
  ASSERT_FALSE(result.empty()) << "the frame holds a valid 4:2:2 JPEG of the same size";
  const std::vector<BYTE> expected = Mirrored(original, 640, 480);
  EXPECT_LT(MeanDifference(result.data(), expected.data(), result.size()), 1.0);
  EXPECT_GT(MeanDifference(result.data(), original.data(), result.size()), 5.0) << "mirrored, not left as it was";
}

TEST_F(MjpegPathTest, FrameWithoutHuffmanTablesIsProcessed) {
  const std::string jpeg = StripSegments(MagickGradientJpeg(64, 48), 0xC4);
  // Without tables the picture is not that gradient any more, but it must
  // still decode: the standard tables are put in.
  MjpegFrame frame(jpeg, 64, 48, 64 * 48 * 2);
  EXPECT_EQ(0, mgr.OnFrame(&frame.desc));
  EXPECT_GT(frame.desc.dwBytesUsed, 0u);
}

TEST_F(MjpegPathTest, FramesThatCannotBeDecodedPassUnchanged) {
  const struct {
    const char* what;
    std::string jpeg;
    LONG width, height;
  } cases[] = {
      {"4:2:0 stream", FfmpegJpeg(64, 48, "yuvj420p"), 64, 48},
      {"header states 320x240 in a 640x480 stream", MagickGradientJpeg(320, 240), 640, 480},
      {"garbage", std::string(3000, '\x55'), 64, 48},
      {"odd width", MagickGradientJpeg(63, 48), 63, 48},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MjpegFrame frame(c.jpeg, c.width, c.height, static_cast<size_t>(c.width + 1) * c.height * 2);
    const std::vector<BYTE> before = frame.bytes;
    win32::DebugCapture capture;
    EXPECT_EQ(0, mgr.OnFrame(&frame.desc));
    EXPECT_TRUE(capture.Contains(L"Error in MJPEG frame"));
    EXPECT_EQ(c.jpeg.size(), frame.desc.dwBytesUsed);
    EXPECT_EQ(before, frame.bytes);
  }
}

TEST_F(MjpegPathTest, ShortAndOverlongFramesAreLeftAlone) {
  MjpegFrame one(std::string("\xFF", 1), 64, 48, 64);
  win32::DebugCapture capture;
  EXPECT_EQ(0, mgr.OnFrame(&one.desc));
  EXPECT_TRUE(capture.Contains(L"[NBEffectMgr] MJPEG frame shorter than 2 bytes"));
  EXPECT_EQ(1u, one.desc.dwBytesUsed);
  // A length beyond the buffer would make the decoder read past it.
  const std::string jpeg = MagickGradientJpeg(64, 48);
  MjpegFrame overlong(jpeg, 64, 48, jpeg.size());
  overlong.desc.dwBytesUsed = static_cast<DWORD>(jpeg.size() + 1000);
  EXPECT_EQ(0, mgr.OnFrame(&overlong.desc));
  EXPECT_EQ(jpeg.size() + 1000, overlong.desc.dwBytesUsed);
  EXPECT_EQ(0, std::memcmp(overlong.bytes.data(), jpeg.data(), jpeg.size()));
}

TEST_F(MjpegPathTest, TruncatedFrameIsStillProcessed) {
  const std::string full = MagickGradientJpeg(320, 240, true);
  const std::string cut = full.substr(0, full.size() * 2 / 3);
  MjpegFrame frame(cut, 320, 240, 320 * 240 * 2);
  EXPECT_EQ(0, mgr.OnFrame(&frame.desc));
  ASSERT_GT(frame.desc.dwBytesUsed, 0u);
  EXPECT_NE(cut.size(), frame.desc.dwBytesUsed);
  const std::vector<BYTE> result = DecodeBytes(frame.bytes.data(), frame.desc.dwBytesUsed, 320, 240);
  ASSERT_FALSE(result.empty());
  // The top rows arrived: they come back mirrored.
  const std::vector<BYTE> whole = DecodeBytes(reinterpret_cast<const BYTE*>(full.data()),
                                              static_cast<DWORD>(full.size()), 320, 240);
  const std::vector<BYTE> expected = Mirrored(whole, 320, 240);
  EXPECT_LT(MeanDifference(result.data(), expected.data(), 320 * 2 * 16), 1.5);
}

TEST_F(MjpegPathTest, NewJpegThatDoesNotFitReportsZeroBytes) {
  // A coarse JPEG of noise in a buffer just big enough for it: the quality-75
  // re-encode is much larger.
  const std::string jpeg = MagickNoiseJpeg(320, 240, 5);
  MjpegFrame frame(jpeg, 320, 240, jpeg.size() + 16);
  EXPECT_EQ(0, mgr.OnFrame(&frame.desc));
  EXPECT_EQ(0u, frame.desc.dwBytesUsed);
}

TEST_F(MjpegPathTest, DeepToneNeverReachesMjpegPictures) {
  ASSERT_EQ(S_OK, mgr.SetEffect(1, 0, 0, 0));
  ASSERT_EQ(S_OK, mgr.SetEffect(4, 2, 0, 0));
  const std::string jpeg = MagickGradientJpeg(64, 48);
  MjpegFrame frame(jpeg, 64, 48, 64 * 48 * 2);
  win32::DebugCapture capture;
  EXPECT_EQ(0, mgr.OnFrame(&frame.desc));
  // With DeepTone left out nothing else is on: the frame stays as it was.
  EXPECT_TRUE(capture.Contains(L"[NBEffectMgr] No effect, do nothing\n"));
  EXPECT_EQ(jpeg.size(), frame.desc.dwBytesUsed);
}

}  // namespace
}  // namespace zorcam::testing
