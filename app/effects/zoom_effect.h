// CNBZoomEffect: digital zoom of a packed YUY2 picture, 100 % to 400 %. A
// window of the source, starting at (originX * (width - 1), originY *
// (height - 1)), is stretched over the whole destination by nearest-neighbour
// sampling. The window is not clamped: destination pixels whose source falls
// outside the picture become black (luma 0, chroma 128).
//
// The mapping is computed exactly as the single/double precision rules below
// dictate, so every optimised path produces the same bytes:
//   single precision, rounded when stored: X0, Y0, SX = (W-1)*100/P, SY;
//   double precision from those floats: m = trunc((SX*j)/W + X0),
//                                       g = trunc((SY*i)/H + Y0).
#pragma once

#include <vector>

#include "effects/effect.h"

class CNBZoomEffect : public IEffect {
 public:
  CNBZoomEffect() = default;
  ~CNBZoomEffect() override = default;

  // 0 only when percentage is 100 and both origins are 0.0.
  int IsActive() override;
  // Writes the zoomed picture to dst; writes nothing when percentage <= 100.
  int Apply(BYTE* dst, int dstStride, BYTE* src, int srcStride, int width, int height) override;
  // 1 when percentage <= 100 or > 400, else 0.
  int IsInPlace() override;

  // Stored as given; the effect manager validates the ranges.
  void SetPercentage(int percentage) { m_percentage = percentage; }
  void SetOrigin(float originX, float originY) {
    m_originX = originX;
    m_originY = originY;
  }
  int GetPercentage() const { return m_percentage; }
  float GetOriginX() const { return m_originX; }
  float GetOriginY() const { return m_originY; }

 private:
  // Per-column source positions for one (size, percentage, origin), rebuilt
  // only when one of them changes. Owned by the effect; Apply runs on one
  // thread at a time (the effect manager's lock).
  void PrepareColumns(int width, int height);

  int m_percentage = 100;  // 100 to 400
  float m_originX = 0.0f;  // fraction of (width - 1)
  float m_originY = 0.0f;  // fraction of (height - 1)

  struct Plan {
    int width = 0, height = 0, percentage = 0;
    float originX = -1.0f, originY = -1.0f;
    std::vector<int> lumaOffset;    // byte offset of column j's luma in a source row, -1 = black
    std::vector<int> chromaOffset;  // byte offset of column j's chroma byte
    std::vector<int> rowOf;         // source row of destination row i, -1 = black row
    std::vector<BYTE> shuffle;      // 32 bytes per 8-column chunk (vector path)
    std::vector<int> chunkBase;     // source byte offset of each chunk, -1 = scalar
  };
  Plan m_plan;
};
