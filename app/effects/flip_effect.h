// CNBFlipEffect: mirrors a packed YUY2 picture left-right, turns it upside
// down, or both. The result goes to the destination buffer; the chroma pair of
// a macropixel (Y0 U Y1 V) stays with its macropixel, only the two luma bytes
// change places. Widths are even; rows are addressed with the given strides.
#pragma once

#include "effects/effect.h"

class CNBFlipEffect : public IEffect {
 public:
  CNBFlipEffect() = default;
  ~CNBFlipEffect() override = default;

  // 1 if either flag is set.
  int IsActive() override;
  // Writes the flipped source to dst (nothing when both flags are 0); returns 0.
  int Apply(BYTE* dst, int dstStride, BYTE* src, int srcStride, int width, int height) override;
  // 1 when both flags are 0 (the frame stays in src), else 0.
  int IsInPlace() override;

  // The flags are stored as given; the effect manager validates them.
  void SetHorizontal(int horizontal) { m_horizontal = horizontal; }
  void SetVertical(int vertical) { m_vertical = vertical; }
  int GetHorizontal() const { return m_horizontal; }
  int GetVertical() const { return m_vertical; }

 private:
  int m_horizontal = 0;  // 1 = mirror left-right
  int m_vertical = 0;    // 1 = upside down
};
