// Flip and zoom: the worked examples, the activity/in-place flags, and the
// optimised row kernels against plain per-pixel versions on random frames.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "effects/flip_effect.h"
#include "effects/zoom_effect.h"
#include "effects_test_frames.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---- plain versions -------------------------------------------------------

void FlipReference(uint8_t* dst, int dstStride, const uint8_t* src, int srcStride, int width, int height, bool h,
                   bool v) {
  if (!h && !v) return;
  for (int r = 0; r < height; ++r) {
    const uint8_t* s = src + (v ? height - 1 - r : r) * srcStride;
    uint8_t* d = dst + r * dstStride;
    for (int k = 0; k < width / 2; ++k) {
      if (h) {
        const uint8_t* p = s + 4 * (width / 2 - 1 - k);
        const uint8_t out[4] = {p[2], p[1], p[0], p[3]};
        std::memcpy(d + 4 * k, out, 4);
      } else {
        std::memcpy(d + 4 * k, s + 4 * k, 4);
      }
    }
  }
}

void ZoomReference(uint8_t* dst, int dstStride, const uint8_t* src, int srcStride, int width, int height,
                   int percentage, float originX, float originY) {
  if (percentage <= 100) return;
  const float Wf = static_cast<float>(width), Hf = static_cast<float>(height), Pf = static_cast<float>(percentage);
  const float X0 = originX * (width - 1);
  const float Y0 = originY * (height - 1);
  const float SX = (Wf - 1) * 100 / Pf;
  const float SY = (Hf - 1) * 100 / Pf;
  for (int i = 0; i < height; ++i) {
    const long long g = static_cast<long long>((double(SY) * i) / double(Hf) + double(Y0));
    for (int j = 0; j < width; ++j) {
      const long long m = static_cast<long long>((double(SX) * j) / double(Wf) + double(X0));
      uint8_t* d = dst + i * dstStride + 2 * j;
      if (m > width - 1 || g > height - 1) {
        d[0] = 0;
        d[1] = 128;
        continue;
      }
      const uint8_t* row = src + g * srcStride;
      d[0] = row[2 * m];
      d[1] = row[2 * ((j & 1) ? (m | 1) : (m & ~1LL)) + 1];
    }
  }
}

// ---- flip -----------------------------------------------------------------

TEST(FlipEffect, MirrorsAFourPixelRowByMacropixels) {
  // Y0 U0 Y1 V0 Y2 U1 Y3 V1 -> Y3 U1 Y2 V1 Y1 U0 Y0 V0
  Bytes src = {10, 20, 11, 21, 12, 22, 13, 23};
  Bytes dst(8, 0);
  CNBFlipEffect flip;
  flip.SetHorizontal(1);
  EXPECT_EQ(flip.Apply(dst.data(), 8, src.data(), 8, 4, 1), 0);
  EXPECT_EQ(dst, (Bytes{13, 22, 12, 23, 11, 20, 10, 21}));
}

TEST(FlipEffect, VerticalFlipSwapsTwoRowsAndBothFlagsCombine) {
  Bytes src = {1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 13, 14, 15, 16, 17, 18};
  Bytes dst(16, 0);
  CNBFlipEffect flip;
  flip.SetVertical(1);
  flip.Apply(dst.data(), 8, src.data(), 8, 4, 2);
  EXPECT_EQ(dst, (Bytes{11, 12, 13, 14, 15, 16, 17, 18, 1, 2, 3, 4, 5, 6, 7, 8}));
  flip.SetHorizontal(1);
  flip.Apply(dst.data(), 8, src.data(), 8, 4, 2);
  EXPECT_EQ(dst, (Bytes{17, 16, 15, 18, 13, 12, 11, 14, 7, 6, 5, 8, 3, 2, 1, 4}));
}

TEST(FlipEffect, FlagsDecideActivityAndWhereTheResultIs) {
  struct Case {
    int h, v, active, inPlace;
  } cases[] = {{0, 0, 0, 1}, {1, 0, 1, 0}, {0, 1, 1, 0}, {1, 1, 1, 0}};
  for (const auto& c : cases) {
    CNBFlipEffect flip;
    flip.SetHorizontal(c.h);
    flip.SetVertical(c.v);
    EXPECT_EQ(flip.IsActive(), c.active) << c.h << c.v;
    EXPECT_EQ(flip.IsInPlace(), c.inPlace) << c.h << c.v;
  }
  // With both flags 0 nothing is written to dst.
  CNBFlipEffect flip;
  Bytes src(64, 7), dst(64, 0xAB);
  EXPECT_EQ(flip.Apply(dst.data(), 16, src.data(), 16, 8, 4), 0);
  EXPECT_EQ(dst, Bytes(64, 0xAB));
}

TEST(FlipEffect, MatchesPlainVersionOnRandomFrames) {
  // Widths around the 8-macropixel vector step, padded strides, and a frame.
  const int sizes[][2] = {{2, 3}, {6, 2}, {14, 5}, {16, 4}, {18, 3}, {30, 7}, {34, 2}, {640, 480}};
  uint32_t seed = 1;
  for (const auto& s : sizes) {
    const int w = s[0], h = s[1];
    for (int pad : {0, 6}) {
      const int srcStride = 2 * w + pad, dstStride = 2 * w + 2 * pad;
      const Bytes src = effects_test::NoiseFrame(srcStride, h, seed++);
      for (int flags = 1; flags < 4; ++flags) {
        const bool hf = flags & 1, vf = flags & 2;
        Bytes got(static_cast<size_t>(dstStride) * h, 0x55), want = got;
        CNBFlipEffect flip;
        flip.SetHorizontal(hf);
        flip.SetVertical(vf);
        Bytes srcCopy = src;
        flip.Apply(got.data(), dstStride, srcCopy.data(), srcStride, w, h);
        FlipReference(want.data(), dstStride, src.data(), srcStride, w, h, hf, vf);
        ASSERT_EQ(got, want) << w << "x" << h << " pad " << pad << " flags " << flags;
        ASSERT_EQ(srcCopy, src);
      }
    }
  }
}

// ---- zoom -----------------------------------------------------------------

// Luma = column (low byte), chroma = row, so every pixel names its origin.
Bytes CoordinateFrame(int w, int h) {
  Bytes f(static_cast<size_t>(w) * h * 2);
  for (int r = 0; r < h; ++r)
    for (int c = 0; c < w; ++c) {
      f[(r * w + c) * 2] = static_cast<uint8_t>(c * 7 + r * 3);
      f[(r * w + c) * 2 + 1] = static_cast<uint8_t>(c * 11 + r * 5);
    }
  return f;
}

uint16_t Word(const Bytes& f, int w, int c, int r) { return f[(r * w + c) * 2] | (f[(r * w + c) * 2 + 1] << 8); }

TEST(ZoomEffect, TwoHundredPercentFromTheOriginShowsTheTopLeftQuarter) {
  const int w = 640, h = 480;
  Bytes src = CoordinateFrame(w, h), dst(src.size(), 0);
  CNBZoomEffect zoom;
  zoom.SetPercentage(200);
  ASSERT_EQ(zoom.IsInPlace(), 0);
  zoom.Apply(dst.data(), 2 * w, src.data(), 2 * w, w, h);
  for (int i = 0; i < h; ++i)
    for (int j = 0; j < w; ++j) {
      const int m = static_cast<int>(319.5 * j / 640), g = static_cast<int>(239.5 * i / 480);
      const uint8_t luma = src[(g * w + m) * 2];
      const uint8_t chroma = src[(g * w + ((j & 1) ? (m | 1) : (m & ~1))) * 2 + 1];
      ASSERT_EQ(Word(dst, w, j, i), chroma * 256 + luma) << j << "," << i;
    }
}

TEST(ZoomEffect, OriginAtOneLeavesOnlyTheCornerAndBlack) {
  const int w = 640, h = 480;
  Bytes src = CoordinateFrame(w, h), dst(src.size(), 0x11);
  CNBZoomEffect zoom;
  zoom.SetPercentage(200);
  zoom.SetOrigin(1.0f, 1.0f);
  zoom.Apply(dst.data(), 2 * w, src.data(), 2 * w, w, h);
  for (int i = 0; i < h; ++i)
    for (int j = 0; j < w; ++j) {
      const uint16_t got = Word(dst, w, j, i);
      if (i <= 2 && j <= 2) {
        const uint8_t chroma = src[(479 * w + ((j & 1) ? 639 : 638)) * 2 + 1];
        ASSERT_EQ(got, chroma * 256 + src[(479 * w + 639) * 2]) << j << "," << i;
      } else {
        ASSERT_EQ(got, 0x8000) << j << "," << i;
      }
    }
}

TEST(ZoomEffect, SettingsDecideActivityAndWhereTheResultIs) {
  struct Case {
    int percentage;
    float x, y;
    int active, inPlace;
  } cases[] = {
      {100, 0.0f, 0.0f, 0, 1}, {100, 0.5f, 0.0f, 1, 1}, {100, 0.0f, 0.25f, 1, 1}, {101, 0.0f, 0.0f, 1, 0},
      {200, 0.3f, 0.3f, 1, 0}, {400, 0.0f, 0.0f, 1, 0}, {401, 0.0f, 0.0f, 1, 1},  {50, 0.0f, 0.0f, 1, 1},
  };
  for (const auto& c : cases) {
    CNBZoomEffect zoom;
    zoom.SetPercentage(c.percentage);
    zoom.SetOrigin(c.x, c.y);
    EXPECT_EQ(zoom.IsActive(), c.active) << c.percentage << " " << c.x << " " << c.y;
    EXPECT_EQ(zoom.IsInPlace(), c.inPlace) << c.percentage << " " << c.x << " " << c.y;
  }
}

TEST(ZoomEffect, HundredPercentWithAnOriginWritesNothing) {
  CNBZoomEffect zoom;
  zoom.SetOrigin(0.5f, 0.5f);
  Bytes src = CoordinateFrame(16, 8), dst(src.size(), 0xAB);
  EXPECT_EQ(zoom.Apply(dst.data(), 32, src.data(), 32, 16, 8), 0);
  EXPECT_EQ(dst, Bytes(src.size(), 0xAB));
}

TEST(ZoomEffect, MatchesPlainVersionOnRandomFramesAndSettings) {
  // One effect object is reused, so a mapping cached for earlier settings or
  // sizes must never leak into a later frame.
  std::mt19937 rng(42);
  CNBZoomEffect zoom;
  const int sizes[][2] = {{640, 480}, {320, 240}, {176, 144}, {18, 10}, {2, 2}, {24, 3}};
  for (int round = 0; round < 60; ++round) {
    const int w = sizes[round % 6][0], h = sizes[round % 6][1];
    const int pad = (round % 3) * 4;
    const int srcStride = 2 * w + pad, dstStride = 2 * w + pad / 2;
    int percentage = 101 + static_cast<int>(rng() % 300);
    if (round % 7 == 0) percentage = 200;
    if (round % 11 == 0) percentage = 400;
    float ox = static_cast<float>(rng() % 1300) / 1000.0f;
    float oy = static_cast<float>(rng() % 1300) / 1000.0f;
    if (round % 5 == 0) ox = oy = 1.0f;
    if (round % 4 == 0) ox = oy = 0.0f;
    zoom.SetPercentage(percentage);
    zoom.SetOrigin(ox, oy);
    const Bytes src = effects_test::NoiseFrame(srcStride, h, 100 + round);
    Bytes got(static_cast<size_t>(dstStride) * h, 0x5A), want = got;
    Bytes srcCopy = src;
    zoom.Apply(got.data(), dstStride, srcCopy.data(), srcStride, w, h);
    ZoomReference(want.data(), dstStride, src.data(), srcStride, w, h, percentage, ox, oy);
    ASSERT_EQ(got, want) << w << "x" << h << " " << percentage << "% origin " << ox << "," << oy;
    ASSERT_EQ(srcCopy, src);
  }
}

}  // namespace
