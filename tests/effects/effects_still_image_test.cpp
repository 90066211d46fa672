// Still-image overlays: colour conversion, the blend arithmetic, when the
// overlay is rebuilt, pictures that cannot be loaded, and the vector blend
// against the plain formula on random pictures and frames.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <random>
#include <string>
#include <vector>

#include "effects/still_image_effect.h"
#include "effects_test_frames.h"
#include "support/test_home.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Writes a PNG into the test home and returns its path.
std::wstring SavePng(const QImage& image, const std::string& name) {
  const auto path = zorcam::testing::MakeTempDir("pictures") / name;
  EXPECT_TRUE(image.save(QString::fromStdString(path.string()), "PNG"));
  return path.wstring();
}

std::wstring SolidPng(QRgb argb, const std::string& name, int w = 8, int h = 6) {
  QImage image(w, h, QImage::Format_ARGB32);
  image.fill(QColor::fromRgba(argb));
  return SavePng(image, name);
}

Bytes Uniform(int w, int h, uint8_t y, uint8_t chroma) {
  Bytes f(static_cast<size_t>(w) * h * 2);
  for (size_t i = 0; i < f.size(); i += 2) {
    f[i] = y;
    f[i + 1] = chroma;
  }
  return f;
}

TEST(StillImageColour, ConvertsThePrimariesAndGreys) {
  struct Case {
    int r, g, b, y, u, v;
  } cases[] = {
      {255, 255, 255, 235, 128, 128},  // white
      {0, 0, 0, 16, 128, 128},         // black
      {255, 0, 0, 81, 90, 239},        // red
      {0, 255, 0, 144, 53, 34},        // green
      {0, 0, 255, 40, 239, 109},       // blue
      {98, 98, 98, 100, 128, 128},     // the grey used for the blend example below
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CStillImageEffect::RgbToY(c.r, c.g, c.b), c.y) << c.r << "," << c.g << "," << c.b;
    EXPECT_EQ(CStillImageEffect::RgbToU(c.r, c.g, c.b), c.u) << c.r << "," << c.g << "," << c.b;
    EXPECT_EQ(CStillImageEffect::RgbToV(c.r, c.g, c.b), c.v) << c.r << "," << c.g << "," << c.b;
  }
}

TEST(StillImageEffect, OpaqueRedPictureReplacesTheFrame) {
  CFrameEffect effect(SolidPng(0xFFFF0000u, "red.png"), L"/thumb/red.bmp", 0x20003);
  ASSERT_TRUE(effect.HasPicture());
  Bytes f = effects_test::NoiseFrame(64, 16, 5);
  effect.Apply(nullptr, 0, f.data(), 0, 32, 16);
  for (size_t i = 0; i < f.size(); i += 4) ASSERT_EQ((Bytes{f[i], f[i + 1], f[i + 2], f[i + 3]}), (Bytes{81, 90, 81, 239}));
}

TEST(StillImageEffect, BlendsWithTheOpacityOfThePicture) {
  struct Case {
    QRgb argb;
    uint8_t frameY, wantY;
  } cases[] = {
      {0x00626262u, 77, 77},    // transparent: unchanged
      {0xFF626262u, 200, 100},  // opaque: the overlay byte (grey 98 -> Y 100)
      {0x80626262u, 200, 149},  // 100 * 128 / 255 + 200 * 127 / 255 = 50 + 99
  };
  int n = 0;
  for (const auto& c : cases) {
    CScreenCoverEffect effect(SolidPng(c.argb, "grey" + std::to_string(n++) + ".png"), L"", 0x40000);
    Bytes f = Uniform(16, 4, c.frameY, 60);
    effect.Apply(nullptr, 0, f.data(), 0, 16, 4);
    const int a = effect.Alpha()[0];
    ASSERT_EQ(a, qAlpha(c.argb));
    if (a) {
      ASSERT_EQ(effect.Overlay()[0], 100);
    }
    EXPECT_EQ(f[0], c.wantY) << "opacity " << a;
    EXPECT_EQ(f[1], 128 * a / 255 + 60 * (255 - a) / 255) << "opacity " << a;
  }
}

TEST(StillImageEffect, StretchesThePictureSmoothlyOverTheWholeFrame) {
  // A 2 x 1 picture, black and white, over a 16 x 4 frame: the aspect ratio is
  // not kept (every row gets the same ramp) and the stretch filters, so the
  // middle columns take intermediate levels between Y 16 and Y 235.
  QImage picture(2, 1, QImage::Format_ARGB32);
  picture.setPixel(0, 0, qRgba(0, 0, 0, 255));
  picture.setPixel(1, 0, qRgba(255, 255, 255, 255));
  CFrameEffect effect(SavePng(picture, "ramp.png"), L"", 0x20000);
  Bytes f = Uniform(16, 4, 0, 0);
  effect.Apply(nullptr, 0, f.data(), 0, 16, 4);
  EXPECT_EQ(f[0], 16);
  EXPECT_EQ(f[2 * 15], 235);
  int between = 0;
  for (int c = 0; c < 16; ++c) {
    between += f[2 * c] > 16 && f[2 * c] < 235;
    if (c > 0) {
      EXPECT_GE(f[2 * c], f[2 * (c - 1)]) << c;
    }
    for (int r = 1; r < 4; ++r) ASSERT_EQ(f[(r * 16 + c) * 2], f[2 * c]) << c << "," << r;
  }
  EXPECT_GE(between, 4);
}

TEST(StillImageEffect, KeepsItsTextsAndKind) {
  CFrameEffect frame(L"/no/such/frame.png", L"/thumbs/frame.bmp", 0x20001);
  CScreenCoverEffect cover(L"/no/such/cover.png", L"/thumbs/cover.bmp", 0x40002);
  EXPECT_EQ(frame.Kind(), L"Thumbnail\\Frame");
  EXPECT_EQ(cover.Kind(), L"Thumbnail\\ScreenCover");
  EXPECT_EQ(frame.GetImagePath(), L"/no/such/frame.png");
  EXPECT_EQ(frame.GetThumbnailPath(), L"/thumbs/frame.bmp");
  EXPECT_EQ(frame.GetId(), 0x20001);
  EXPECT_EQ(cover.GetId(), 0x40002);
  EXPECT_EQ(frame.IsActive(), 1);
  EXPECT_EQ(frame.IsInPlace(), 1);
}

TEST(StillImageEffect, PictureThatCannotBeLoadedNeverChangesAFrame) {
  const auto dir = zorcam::testing::MakeTempDir("broken");
  zorcam::testing::WriteFile(dir / "garbage.png", "\x89PNG\r\n\x1a\nthis is not a picture");
  const std::wstring paths[] = {L"/no/such/picture.png", (dir / "garbage.png").wstring(), L""};
  for (const auto& path : paths) {
    CStillImageEffect effect(L"Thumbnail\\Frame", path, L"", 0x20000);
    EXPECT_FALSE(effect.HasPicture());
    for (auto [w, h] : {std::pair{32, 8}, std::pair{640, 480}}) {
      Bytes f = effects_test::NoiseFrame(2 * w, h, 77);
      const Bytes before = f;
      EXPECT_EQ(effect.Apply(nullptr, 0, f.data(), 0, w, h), 0);
      EXPECT_EQ(f, before);
    }
  }
}

TEST(StillImageEffect, RebuildsTheOverlayOncePerFrameSize) {
  CFrameEffect effect(SolidPng(0xFF204080u, "blue.png"), L"", 0x20000);
  EXPECT_EQ(effect.OverlayBuilds(), 0);
  Bytes small = Uniform(320, 240, 10, 128), large = Uniform(640, 480, 10, 128);
  effect.Apply(nullptr, 0, small.data(), 0, 320, 240);
  EXPECT_EQ(effect.OverlayBuilds(), 1);
  EXPECT_EQ(effect.Overlay().size(), 320u * 240 * 2);
  for (int i = 0; i < 3; ++i) effect.Apply(nullptr, 0, large.data(), 0, 640, 480);
  EXPECT_EQ(effect.OverlayBuilds(), 2);
  EXPECT_EQ(effect.Overlay().size(), 640u * 480 * 2);
  EXPECT_EQ(effect.Alpha().size(), 640u * 480);
}

TEST(StillImageEffect, BlendMatchesPlainFormulaOnRandomPictures) {
  // A noisy picture with every opacity, stretched to sizes whose byte count
  // is and is not a multiple of the vector width, odd widths included (the
  // last pixel of an odd row has no pair and stays transparent).
  std::mt19937 rng(3);
  QImage picture(37, 23, QImage::Format_ARGB32);
  for (int y = 0; y < picture.height(); ++y)
    for (int x = 0; x < picture.width(); ++x) {
      const int a = (x + y) % 5 == 0 ? 0 : ((x + y) % 5 == 1 ? 255 : static_cast<int>(rng() % 256));
      picture.setPixel(x, y, qRgba(rng() % 256, rng() % 256, rng() % 256, a));
    }
  CFrameEffect effect(SavePng(picture, "noise.png"), L"", 0x20000);
  ASSERT_TRUE(effect.HasPicture());
  const int sizes[][2] = {{640, 480}, {66, 10}, {15, 7}, {2, 1}, {640, 480}};
  uint32_t seed = 1;
  for (const auto& s : sizes) {
    const int w = s[0], h = s[1];
    Bytes f = effects_test::NoiseFrame(2 * w, h, seed++);
    Bytes want = f;
    effect.Apply(nullptr, 0, f.data(), 0, w, h);
    const Bytes& overlay = effect.Overlay();
    const Bytes& alpha = effect.Alpha();
    for (int p = 0; p < w * h; ++p)
      for (int b = 0; b < 2; ++b) {
        const int i = 2 * p + b;
        want[i] = static_cast<uint8_t>(overlay[i] * alpha[p] / 255 + want[i] * (255 - alpha[p]) / 255);
      }
    ASSERT_EQ(f, want) << w << "x" << h;
    if (w % 2) {
      for (int r = 0; r < h; ++r) ASSERT_EQ(alpha[r * w + w - 1], 0);
    }
  }
  // Every opacity from 0 to 255 occurred in the 640 x 480 overlay.
  std::vector<bool> seen(256, false);
  CFrameEffect again(SavePng(picture, "noise2.png"), L"", 0x20000);
  Bytes f = Uniform(640, 480, 0, 0);
  again.Apply(nullptr, 0, f.data(), 0, 640, 480);
  for (uint8_t a : again.Alpha()) seen[a] = true;
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 256);
}

}  // namespace
