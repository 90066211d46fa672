// DeepTone: the tables, the worked pixel example, demo mode, chroma clamping,
// modes that do nothing, and the engine against the plain reference on
// random frames over several frames (so the carried state is compared too).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "deeptone_reference.h"
#include "effects/deeptone_engine.h"
#include "effects/deeptone_tables.h"
#include "effects/deeptone_threads.h"
#include "effects_test_frames.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Uniform(int w, int h, uint8_t y, uint8_t chroma) {
  Bytes f(static_cast<size_t>(w) * h * 2);
  for (size_t i = 0; i < f.size(); i += 2) {
    f[i] = y;
    f[i + 1] = chroma;
  }
  return f;
}

void ExpectSameState(const deeptone::DeepToneState& got, const deeptone_reference::State& want) {
  ASSERT_EQ(got.created, want.created);
  ASSERT_EQ(got.frameCount, want.frameCount);
  for (int t = 0; t < 16; ++t) {
    ASSERT_EQ(got.strength[t], want.strength[t]) << "tile " << t;
    ASSERT_EQ(got.lift[t], want.lift[t]) << "tile " << t;
    for (int j = 0; j < 32; ++j) ASSERT_EQ(got.curves[t][j], want.curves[t][j]) << "tile " << t << " bin " << j;
  }
}

TEST(DeepToneTables, HoldTheirDefiningValues) {
  const deeptone::Tables& t = deeptone::GetTables();
  struct Case {
    const int32_t* table;
    int index, value;
  } cases[] = {
      {t.reciprocal18, 0, 65536},  {t.reciprocal18, 4, 65536},   {t.reciprocal18, 5, 52429},
      {t.reciprocal18, 8, 32768},  {t.reciprocal18, 1000, 262},  {t.power15, 256, 256},
      {t.power15, 512, 724},       {t.power15, 640, 1012},       {t.power15, 644, 1021},
      {t.power15, 645, 1023},      {t.power15, 1023, 1023},      {t.liftTable, 0, 0},
      {t.liftTable, 1, 9},         {t.liftTable, 24, 24},        {t.liftTable, 96, 0},
      {t.reciprocal16, 0, 65536},  {t.reciprocal16, 3, 21845},   {t.reciprocal16, 255, 257},
  };
  for (const auto& c : cases) EXPECT_EQ(c.table[c.index], c.value) << "index " << c.index;
  for (int i = 0; i < 1024; ++i) {
    ASSERT_EQ(t.reciprocal18[i], deeptone_reference::Reciprocal18(i)) << i;
    ASSERT_EQ(t.power15[i], deeptone_reference::Power15(i)) << i;
  }
  for (int i = 0; i <= 96; ++i) ASSERT_EQ(t.liftTable[i], deeptone_reference::Lift(i)) << i;
  // The vector rendering computes reciprocal18[4 * Y] by a single-precision
  // division and, where the edge smoothing equals the luma, takes the detail
  // gain from q = Y * reciprocal18[4 * Y] lying within 255 * 256 .. 257 * 256.
  for (int y = 0; y < 256; ++y) {
    const float quotient = 65536.0f / static_cast<float>(std::max(y, 1));
    ASSERT_EQ(static_cast<int32_t>(std::floor(quotient + 0.5f)), t.reciprocal18[4 * y]) << "Y " << y;
    if (y > 0) {
      const int q = std::min((t.reciprocal18[4 * y] * 4 * y) >> 2, 0x3FFFF);
      ASSERT_TRUE(q >> 8 == 255 || q >> 8 == 256) << "Y " << y;
      ASSERT_EQ(q, y * t.reciprocal18[4 * y]);
    }
  }
  int32_t gain[deeptone::kGainEntries];
  deeptone::FillGainTable(gain, 80, 60);
  EXPECT_EQ(gain[0], 0);
  EXPECT_EQ(gain[120], 6553);
  EXPECT_EQ(gain[128], 6990);
  EXPECT_EQ(gain[256], (256 << 18) / 4800);
}

TEST(DeepToneEngine, FirstFrameOfUniformGreyGivesY123AtTheCentre) {
  // Base, luma and edge are 512 at (320, 240); four weights of 300, term
  // 216688, mapped 495, detail 256: Y = 495 / 4 = 123. Chroma 128 stays.
  Bytes f = Uniform(640, 480, 128, 128);
  deeptone::DeepToneEngine engine;
  deeptone::DeepToneState state;
  engine.Run(state, f.data(), 1280, 640, 480, 2);
  EXPECT_EQ(f[(240 * 640 + 320) * 2], 123);
  EXPECT_EQ(f[(240 * 640 + 320) * 2 + 1], 128);
  EXPECT_EQ(f[(240 * 640 + 321) * 2 + 1], 128);
  EXPECT_TRUE(state.created);
  EXPECT_EQ(state.frameCount, 1u);
  // The identity curves of the interior tiles (8 * j) were blended with this
  // frame's curves: every interior curve moved, the border tiles stay 0.
  EXPECT_NE(state.curves[5][16], 8 * 16);
  EXPECT_EQ(state.curves[0][16], 0);
}

TEST(DeepToneEngine, ModesOtherThanTwoAndThreeTouchNothing) {
  for (int mode : {1, 0, 4, -1}) {
    Bytes f = effects_test::SceneFrame(64, 48, 128, 7);
    const Bytes before = f;
    deeptone::DeepToneEngine engine;
    deeptone::DeepToneState state;
    engine.Run(state, f.data(), 128, 64, 48, mode);
    EXPECT_EQ(f, before) << "mode " << mode;
    EXPECT_FALSE(state.created) << "mode " << mode;
  }
}

TEST(DeepToneEngine, DemoModeRendersOnlyTheLeftHalf) {
  Bytes f = effects_test::SceneFrame(640, 480, 1280, 3);
  Bytes want = f;
  const Bytes before = f;
  deeptone::DeepToneEngine engine;
  deeptone::DeepToneState state;
  deeptone_reference::State refState;
  for (int frame = 0; frame < 2; ++frame) {
    engine.Run(state, f.data(), 1280, 640, 480, 3);
    deeptone_reference::Run(refState, want.data(), 1280, 640, 480, 3);
  }
  ASSERT_EQ(f, want);
  size_t changedLeft = 0;
  for (int r = 0; r < 480; ++r) {
    ASSERT_EQ(std::memcmp(&f[r * 1280 + 640], &before[r * 1280 + 640], 640), 0) << "row " << r;
    changedLeft += std::memcmp(&f[r * 1280], &before[r * 1280], 640) != 0;
  }
  EXPECT_GT(changedLeft, 400u);
}

TEST(DeepToneEngine, ChromaIsClampedWhenTheToneGainIsLarge) {
  // A black pixel pair in dim surroundings: the smoothed base is well above
  // the pixel's own luma, so the chroma gain is large and both chroma bytes
  // run out of range, upwards (U 250) and downwards (V 5).
  Bytes f = Uniform(640, 480, 30, 128);
  uint8_t* p = &f[(240 * 640 + 320) * 2];
  p[0] = 0;
  p[1] = 250;
  p[2] = 0;
  p[3] = 5;
  Bytes want = f;
  deeptone::DeepToneEngine engine;
  deeptone::DeepToneState state;
  deeptone_reference::State refState;
  engine.Run(state, f.data(), 1280, 640, 480, 2);
  deeptone_reference::Run(refState, want.data(), 1280, 640, 480, 2);
  EXPECT_EQ(p[1], 255);
  EXPECT_EQ(p[3], 0);
  EXPECT_EQ(f, want);
}

TEST(DeepToneEngine, ColumnsAndRowsBeyondTheTileGridAreNotCounted) {
  // 66 x 50: tiles of 16 x 12 cover columns 0..63 and rows 0..47. Frames that
  // differ only in column 65 and row 49 (no counted pixel has them as
  // neighbours) must give the same statistics, hence the same state, and the
  // same pixels everywhere else.
  Bytes a = effects_test::SceneFrame(66, 50, 132, 21);
  Bytes b = a;
  for (int r = 0; r < 50; ++r) b[r * 132 + 2 * 65] = static_cast<uint8_t>(255 - b[r * 132 + 2 * 65]);
  for (int c = 0; c < 66; ++c) b[49 * 132 + 2 * c] = static_cast<uint8_t>(255 - b[49 * 132 + 2 * c]);
  deeptone::DeepToneEngine engineA, engineB;
  deeptone::DeepToneState stateA, stateB;
  for (int frame = 0; frame < 3; ++frame) {
    Bytes fa = a, fb = b;
    engineA.Run(stateA, fa.data(), 132, 66, 50, 2);
    engineB.Run(stateB, fb.data(), 132, 66, 50, 2);
    for (int r = 0; r < 48; ++r)
      for (int c = 0; c < 64; ++c) ASSERT_EQ(fa[r * 132 + 2 * c], fb[r * 132 + 2 * c]) << c << "," << r;
  }
  for (int t = 0; t < 16; ++t) {
    EXPECT_EQ(stateA.strength[t], stateB.strength[t]);
    EXPECT_EQ(stateA.lift[t], stateB.lift[t]);
    for (int j = 0; j < 32; ++j) ASSERT_EQ(stateA.curves[t][j], stateB.curves[t][j]);
  }
  // The uncounted pixels are still enhanced.
  Bytes f = a;
  deeptone::DeepToneEngine engine;
  deeptone::DeepToneState state;
  engine.Run(state, f.data(), 132, 66, 50, 2);
  int changed = 0;
  for (int r = 0; r < 50; ++r) changed += f[r * 132 + 2 * 65] != a[r * 132 + 2 * 65];
  EXPECT_GT(changed, 0);
}

TEST(DeepToneEngine, FramesTooSmallForTheTileGridPassUnchanged) {
  for (auto [w, h] : {std::pair{6, 8}, std::pair{8, 7}, std::pair{0, 0}, std::pair{2, 2}}) {
    Bytes f = effects_test::NoiseFrame(2 * w + 2, h + 1, 9);
    const Bytes before = f;
    deeptone::DeepToneEngine engine;
    deeptone::DeepToneState state;
    engine.Run(state, f.data(), 2 * w, w, h, 2);
    EXPECT_EQ(f, before) << w << "x" << h;
  }
}

// (vector kernels, team size): every kernel with one row block and with
// two and three blocks, whose boundaries fall on different rows.
class DeepToneKernels : public ::testing::TestWithParam<std::tuple<bool, int>> {};

TEST_P(DeepToneKernels, MatchPlainReferenceOverSeveralFrames) {
  // Sizes: the camera's own, a quarter, tiles of odd size, widths and heights
  // that are not multiples of 4, the smallest grid, rows just below and at the
  // vector kernel's minimum width; padded rows once. One engine and one state
  // go through all of them, as in the program, where the state outlives
  // frame-size changes.
  struct Size {
    int w, h, pad, mode;
  } sizes[] = {{640, 480, 0, 2}, {320, 240, 0, 3}, {100, 60, 0, 2}, {66, 50, 0, 2},  {8, 8, 0, 2},
               {16, 12, 0, 2},   {18, 12, 0, 2},   {42, 18, 6, 3},  {176, 144, 0, 2}, {640, 480, 0, 2}};
  const auto [vector, team] = GetParam();
  deeptone::DeepToneEngine engine;
  engine.SetUseVector(vector);
  engine.SetTeamSize(team);
  if (vector && !engine.UsesVector()) GTEST_SKIP() << "no AVX2 on this processor";
  deeptone::DeepToneState state;
  deeptone_reference::State refState;
  uint32_t seed = 11;
  for (const auto& s : sizes) {
    const int stride = 2 * s.w + s.pad;
    for (int frame = 0; frame < 3; ++frame, ++seed) {
      Bytes f = (seed % 3 == 0) ? effects_test::NoiseFrame(stride, s.h, seed)
                                : effects_test::SceneFrame(s.w, s.h, stride, seed);
      Bytes want = f;
      engine.Run(state, f.data(), stride, s.w, s.h, s.mode);
      deeptone_reference::Run(refState, want.data(), stride, s.w, s.h, s.mode);
      ASSERT_EQ(f, want) << s.w << "x" << s.h << " frame " << frame;
      ExpectSameState(state, refState);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(VectorAndPlain, DeepToneKernels, ::testing::Combine(::testing::Bool(), ::testing::Values(1, 2, 3)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "Vector" : "Plain") + "Threads" +
                                  std::to_string(std::get<1>(info.param));
                         });

TEST(DeepToneEngine, DarkAndBrightScenesMatchTheReference) {
  // Dark frames take the shadow lift and the dark mean; bright frames have no
  // dark pixels at all and use the overall nine-tile mean.
  for (int level : {6, 40, 200, 250}) {
    deeptone::DeepToneEngine engine;
    deeptone::DeepToneState state;
    deeptone_reference::State refState;
    for (int frame = 0; frame < 4; ++frame) {
      Bytes f = effects_test::SceneFrame(160, 120, 320, 500 + level + frame);
      for (size_t i = 0; i < f.size(); i += 2) f[i] = static_cast<uint8_t>((f[i] * 24) / 255 + level);
      Bytes want = f;
      engine.Run(state, f.data(), 320, 160, 120, 2);
      deeptone_reference::Run(refState, want.data(), 320, 160, 120, 2);
      ASSERT_EQ(f, want) << "level " << level << " frame " << frame;
      ExpectSameState(state, refState);
    }
  }
}

TEST(DeepToneTeamSize, KeepsToTheFasterSizeAndProbesTheOtherLessOftenWhileItStaysSlower) {
  // Two processors; one thread is 5 times faster (a busy machine).
  deeptone::TeamSizeChooser chooser(2);
  auto frame = [&](double fullCost, double singleCost) {
    const int n = chooser.Next();
    chooser.Record(n, n == 1 ? singleCost : fullCost);
    return n;
  };
  EXPECT_EQ(frame(10, 2), 2);  // each size is measured once first
  EXPECT_EQ(frame(10, 2), 1);
  std::vector<int> sizes;
  for (int i = 0; i < 32 + 64 + 10; ++i) sizes.push_back(frame(10, 2));
  // Probes of the full team after 32 and then 64 more frames.
  for (size_t i = 0; i < sizes.size(); ++i)
    EXPECT_EQ(sizes[i], (i == 31 || i == 95) ? 2 : 1) << "frame " << i;
  EXPECT_EQ(chooser.ProbeInterval(), 128u);

  // The load goes away: the next probe finds the full team faster and the
  // chooser switches at once, probing again after the shortest interval.
  int n = 0;
  while ((n = frame(1, 2)) == 1) {
  }
  EXPECT_EQ(n, 2);
  EXPECT_EQ(chooser.ProbeInterval(), deeptone::TeamSizeChooser::kMinProbeInterval);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(frame(1, 2), 2);

  deeptone::TeamSizeChooser single(1);
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(single.Next(), 1);
    single.Record(1, 5);
  }
}

}  // namespace
