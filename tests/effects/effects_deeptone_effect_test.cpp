// DeepToneEffect: mode handling and the one state shared by every DeepTone
// effect of the process. Kept in a program of its own so that no other test
// has enhanced a frame before (the shared state is never reset).
#include <gtest/gtest.h>

#include <vector>

#include "deeptone_reference.h"
#include "effects/deeptone.h"
#include "effects_test_frames.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(DeepToneEffect, ModeDecidesActivityAndOffModesLeaveFramesAlone) {
  struct Case {
    int mode, active;
  } cases[] = {{1, 0}, {2, 1}, {3, 1}, {0, 0}, {4, 0}, {-2, 0}};
  for (const auto& c : cases) {
    DeepToneEffect effect;
    effect.SetMode(c.mode);
    EXPECT_EQ(effect.IsActive(), c.active) << c.mode;
    EXPECT_EQ(effect.IsInPlace(), 1) << c.mode;
    if (!c.active) {
      Bytes f = effects_test::SceneFrame(64, 48, 128, 1);
      const Bytes before = f;
      EXPECT_EQ(effect.Apply(nullptr, 0, f.data(), 128, 64, 48), 0);
      EXPECT_EQ(f, before) << c.mode;
    }
  }
  EXPECT_EQ(DeepToneEffect().GetMode(), 1);
}

TEST(DeepToneEffect, AllEffectsShareOneStateThatSurvivesSwitchingOff) {
  // Frames go through two effect objects, one switched off in between; the
  // result equals one continuous run of the plain reference.
  DeepToneEffect a, b;
  a.SetMode(2);
  b.SetMode(2);
  deeptone_reference::State ref;
  for (int frame = 0; frame < 4; ++frame) {
    Bytes f = effects_test::SceneFrame(320, 240, 640, 20 + frame);
    Bytes want = f;
    DeepToneEffect& effect = frame % 2 ? b : a;
    if (frame == 2) {
      a.SetMode(1);
      Bytes g = f;
      a.Apply(nullptr, 0, g.data(), 640, 320, 240);
      ASSERT_EQ(g, f);
      a.SetMode(2);
    }
    EXPECT_EQ(effect.Apply(nullptr, 0, f.data(), 640, 320, 240), 0);
    deeptone_reference::Run(ref, want.data(), 640, 320, 240, 2);
    ASSERT_EQ(f, want) << "frame " << frame;
  }
}

}  // namespace
