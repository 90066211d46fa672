// zorcam-fx end to end: the real tool on raw YUY2 and MJPEG streams, effect
// selection, pipes, and its errors for bad input.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "effects/flip_effect.h"
#include "effects/mjpeg_codec.h"
#include "effects/still_image_effect.h"
#include "effects/zoom_effect.h"
#include "manager_fixture.h"
#include "mjpeg_fixtures.h"
#include "support/test_home.h"
#include "tools/jpeg_stream.h"
#include "win32/text.h"

namespace zorcam::testing {
namespace {

namespace fs = std::filesystem;

struct FxRun {
  int status = -1;
  std::string err;
};

// Runs zorcam-fx with `args` through the shell (so tests can pipe).
FxRun RunFx(const std::string& args) {
  const fs::path err = MakeTempDir("fx-err") / "stderr.txt";
  const std::string command = std::string(ZORCAM_FX_PATH) + " " + args + " 2>" + err.string();
  const int raw = std::system(command.c_str());
  FxRun r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.err = ReadFile(err);
  return r;
}

std::string Bytes(const std::vector<BYTE>& v) { return std::string(v.begin(), v.end()); }

// Three 64 x 48 frames of different patterns.
std::string RawClip(int frames) {
  std::string clip;
  for (int f = 0; f < frames; ++f) {
    std::vector<BYTE> p(64 * 48 * 2);
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<BYTE>((i * (f + 3) + i / 128 * 5) & 0xFF);
    clip += Bytes(p);
  }
  return clip;
}

std::string ByHand(const std::string& frame, std::initializer_list<IEffect*> chain) {
  std::vector<BYTE> a(frame.begin(), frame.end()), b(a.size());
  for (IEffect* e : chain) {
    e->Apply(b.data(), 128, a.data(), 128, 64, 48);
    if (e->IsInPlace() != 1) std::swap(a, b);
  }
  return Bytes(a);
}

class ZorcamFxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = MakeTempDir("fx");
    effects = MakeTempDir("collections");
    AddPair(effects, "ScreenCover", "Teal", 0x008080);
    AddPair(effects, "Frame", "Rim", 0xFFFF00, 6);
  }
  fs::path dir, effects;
};

TEST_F(ZorcamFxTest, RawFramesGetTheChosenEffects) {
  const std::string clip = RawClip(3);
  WriteFile(dir / "in.yuv", clip);
  const FxRun r = RunFx("--size 64x48 --mirror --zoom 200,0.5,0.25 " + (dir / "in.yuv").string() + " " +
                      (dir / "out.yuv").string());
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("3 frames processed"));
  const std::string out = ReadFile(dir / "out.yuv");
  ASSERT_EQ(clip.size(), out.size());
  CNBFlipEffect mirror;
  mirror.SetHorizontal(1);
  CNBZoomEffect zoom;
  zoom.SetPercentage(200);
  zoom.SetOrigin(0.5f, 0.25f);
  for (int f = 0; f < 3; ++f) {
    SCOPED_TRACE(f);
    EXPECT_EQ(ByHand(clip.substr(f * 6144, 6144), {&mirror, &zoom}), out.substr(f * 6144, 6144));
  }
}

TEST_F(ZorcamFxTest, CoverFromAnEffectsFolderThroughPipes) {
  const std::string clip = RawClip(2);
  WriteFile(dir / "in.yuv", clip);
  const FxRun r = RunFx("--size 64x48 --mirror --cover 0 --frame 0 --effects-dir " + effects.string() + " - - <" +
                      (dir / "in.yuv").string() + " >" + (dir / "out.yuv").string());
  ASSERT_EQ(0, r.status) << r.err;
  CScreenCoverEffect cover(win32::FromUtf8((effects / "Effect/ScreenCover/Teal.png").string()), L"", 0x40000);
  const std::string out = ReadFile(dir / "out.yuv");
  ASSERT_EQ(clip.size(), out.size());
  EXPECT_EQ(ByHand(clip.substr(0, 6144), {&cover}), out.substr(0, 6144)) << "the cover alone, not mirrored";
}

TEST_F(ZorcamFxTest, ListShowsTheCollections) {
  const fs::path list = dir / "list.txt";
  const FxRun r = RunFx("--effects-dir " + effects.string() + " --list >" + list.string());
  ASSERT_EQ(0, r.status) << r.err;
  const std::string text = ReadFile(list);
  EXPECT_NE(std::string::npos, text.find("Rim"));
  EXPECT_NE(std::string::npos, text.find("Teal"));
  EXPECT_NE(std::string::npos, text.find("0x40000"));
}

TEST_F(ZorcamFxTest, MjpegStreamIsSplitProcessedAndJoined) {
  const std::string good = MagickGradientJpeg(64, 48, true);
  const std::string notProcessed = FfmpegJpeg(64, 48, "yuvj420p");
  WriteFile(dir / "in.mjpeg", good + notProcessed + good);
  const FxRun r = RunFx("--size 64x48 --format mjpeg --mirror " + (dir / "in.mjpeg").string() + " " +
                      (dir / "out.mjpeg").string());
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("1 of 3 frames passed unchanged"));
  const std::string out = ReadFile(dir / "out.mjpeg");
  tools::JpegSplitter split;
  split.Append(reinterpret_cast<const BYTE*>(out.data()), out.size());
  std::vector<std::vector<BYTE>> images(3);
  for (auto& image : images) ASSERT_TRUE(split.Next(image));
  EXPECT_TRUE(split.Rest().empty());
  EXPECT_EQ(notProcessed, Bytes(images[1]));
  // The first image comes back mirrored: dark on the right.
  mjpeg::DecodedPicture p;
  mjpeg::PreparePicture(&p, 64, 48);
  ASSERT_TRUE(mjpeg::Decode(images[0].data(), static_cast<DWORD>(images[0].size()), &p));
  EXPECT_GT(p.data[0], 200);
  EXPECT_LT(p.data[126], 40);
  mjpeg::FreePicture(&p);
}

TEST_F(ZorcamFxTest, BadInputGetsAClearMessageAndANonZeroExit) {
  WriteFile(dir / "short.yuv", RawClip(2) + std::string(1000, '\0'));
  WriteFile(dir / "text.mjpeg", "this is not a jpeg stream");
  const std::string in = (dir / "short.yuv").string();
  const std::string partial = (dir / "partial.yuv").string();
  const std::string out = (dir / "out.yuv").string();
  const struct {
    const char* what;
    std::string args;
    int status;
    const char* message;
  } cases[] = {
      {"partial trailing frame", "--size 64x48 " + in + " " + partial, 1, "partial frame of 1000 bytes"},
      {"odd size", "--size 63x48 " + in + " " + out, 2, "must be even"},
      {"no size", in + " " + out, 2, "--size WxH is required"},
      {"missing input", "--size 64x48 " + (dir / "nope.yuv").string() + " " + out, 1, "cannot open"},
      {"no such frame", "--size 64x48 --frame 9 --effects-dir " + effects.string() + " " + in + " " + out, 2,
       "there is no frame 9"},
      {"zoom out of range", "--size 64x48 --zoom 50 " + in + " " + out, 2, "100..400"},
      {"unknown option", "--size 64x48 --sparkle " + in + " " + out, 2, "unknown option --sparkle"},
      {"output over input", "--size 64x48 " + in + " " + in, 2, "same file"},
      {"not JPEG", "--size 64x48 --format mjpeg --mirror " + (dir / "text.mjpeg").string() + " " + out, 1,
       "not an MJPEG stream"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const FxRun r = RunFx(c.args);
    EXPECT_EQ(c.status, r.status);
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
  }
  // The complete frames before the partial one were written.
  EXPECT_EQ(2u * 6144, fs::file_size(partial));
  EXPECT_EQ(RawClip(2).size() + 1000, fs::file_size(in)) << "the input is never overwritten";
}

TEST_F(ZorcamFxTest, HelpExplainsTheToolWithAPipeExample) {
  const fs::path help = dir / "help.txt";
  const FxRun r = RunFx("--help >" + help.string());
  EXPECT_EQ(0, r.status);
  const std::string text = ReadFile(help);
  for (const char* word : {"--size", "--format", "--deeptone", "--effects-dir", "--list", "ffmpeg", "yuyv422"}) {
    EXPECT_NE(std::string::npos, text.find(word)) << word;
  }
}

// The splitter on its own, fed in small pieces: stuffed bytes, restart
// markers and fill bytes inside the scan must not end an image.
TEST(JpegSplitter, FindsImageEndsWhateverTheChunking) {
  const std::string scanTricks = std::string("\xFF\xD8", 2) + std::string("\xFF\xDB\x00\x04\x01\x02", 6) +
                                 std::string("\xFF\xDA\x00\x03\x00", 5) + std::string("\x12\xFF\x00\x34\xFF\xD3\x56", 7) +
                                 std::string("\xFF\xFF\xD9", 3);
  const std::string stream = scanTricks + MagickGradientJpeg(16, 8) + scanTricks;
  for (size_t piece : {1u, 7u, 4096u}) {
    SCOPED_TRACE(piece);
    tools::JpegSplitter split;
    std::vector<std::string> found;
    std::vector<BYTE> image;
    for (size_t at = 0; at < stream.size(); at += piece) {
      const size_t n = std::min(piece, stream.size() - at);
      split.Append(reinterpret_cast<const BYTE*>(stream.data() + at), n);
      while (split.Next(image)) found.push_back(Bytes(image));
    }
    ASSERT_EQ(3u, found.size());
    EXPECT_EQ(scanTricks, found[0]);
    EXPECT_EQ(scanTricks, found[2]);
    EXPECT_TRUE(split.Rest().empty());
    EXPECT_TRUE(split.Error().empty());
  }
}

}  // namespace
}  // namespace zorcam::testing
