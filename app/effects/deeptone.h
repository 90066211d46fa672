// DeepToneEffect: the effect-chain face of the DeepTone contrast enhancement
// (deeptone_engine.h). Mode 2 enhances the whole picture, mode 3 the left half
// only (demonstration), any other value (1 = off) changes nothing. All
// DeepTone effects of the process share one engine and one state, which live
// until the process ends; Apply must not run on two threads at once (the
// effect manager holds its lock for the whole frame).
#pragma once

#include "effects/effect.h"

class DeepToneEffect : public IEffect {
 public:
  DeepToneEffect() = default;
  ~DeepToneEffect() override = default;

  int IsActive() override;  // 1 for mode 2 or 3
  // Enhances src in place (dst and dstStride are ignored); returns 0.
  int Apply(BYTE* dst, int dstStride, BYTE* src, int srcStride, int width, int height) override;
  int IsInPlace() override;  // always 1

  // Stored without a range check.
  void SetMode(int mode) { m_mode = mode; }
  int GetMode() const { return m_mode; }

 private:
  int m_mode = 1;
};
