// The DeepTone contrast enhancement of packed YUY2 frames, in 10-bit fixed
// point: an edge-preserving 3x3 smoothing of the luma, a 4x4 grid of local
// tone curves built from linearly weighted tile histograms and smoothed over
// time, and a per-pixel detail gain; the chroma is scaled by the tone gain.
//
// DeepToneState is what carries from frame to frame (curves, strength, lift,
// frame count); DeepToneEngine holds the tables and its working rows, which it
// reuses from frame to frame instead of allocating them per frame. One frame
// at a time per engine: the caller serialises Run (the effect manager's lock).
// The smoothing and the rendering run in one row-parallel pass on the OpenMP
// worker threads; each thread writes only the rows of its own blocks.
//
// Frames smaller than 8 x 8 pixels (a tile would have no centre) are left
// unchanged. Widths and heights that are not multiples of 4: the pixels right
// of 4 * (width / 4) and below 4 * (height / 4) are not counted in any tile's
// statistics, and are rendered with the curves of the nearest interior tiles
// like every other border pixel.
#pragma once

#include <cstdint>
#include <vector>

#include "effects/deeptone_threads.h"
#include "win32/types.h"

namespace deeptone {

constexpr int kGrid = 4;
constexpr int kTiles = kGrid * kGrid;
constexpr int kBins = 32;

// State kept across frames; created (zeroed, with the lift table) by the first
// enhanced frame and never reset after that, whatever the frame size.
struct DeepToneState {
  bool created = false;
  int32_t curves[kTiles][kBins] = {};  // 8-bit units, used for rendering
  int32_t strength[kTiles] = {};
  int32_t lift[kTiles] = {};
  uint32_t frameCount = 0;
};

class DeepToneEngine {
 public:
  DeepToneEngine();

  // Enhances the frame in place. mode 2: the whole picture; mode 3: only the
  // columns left of width / 2 are rendered (analysis still covers the whole
  // frame); any other mode: nothing happens and the state is not touched.
  void Run(DeepToneState& state, BYTE* frame, int stride, int width, int height, int mode);

  // The row kernels: AVX2 when the processor has it (the default), else plain
  // loops. Both give the same bytes; tests switch between them.
  void SetUseVector(bool use);
  bool UsesVector() const { return m_vector; }

  // Fixes the number of threads of the parallel pass (n >= 1), or leaves the
  // choice to the engine's measurements (0, the default). Tests use it to run
  // the block boundaries of every team size.
  void SetTeamSize(int n) { m_fixedTeam = n > 0 ? n : 0; }
  // Team size of the most recent frame (tests and diagnostics).
  int LastTeamSize() const { return m_threads; }

 private:
  // Steps 5 to 7: tile statistics, the curves of the interior tiles, strength
  // and lift; on the first frame the state curves become the identity.
  // blocks: how many row blocks counted value histograms in the first pass.
  void Analyse(DeepToneState& state, bool first, int blocks);
  // Term tables from the state curves, column distances and spans.
  void PrepareRendering(const DeepToneState& state, int width, int renderWidth);
  // Step 8 for one row: px is the row's pixels, base and edge its smoothings.
  void RenderRow(BYTE* px, const uint16_t* base, const uint16_t* edge, int r) const;

  bool m_vector = false;
  // Per column: the distances to the left and right tile centres; the column
  // spans of equal clamped tile columns (up to the rendering width).
  std::vector<int32_t> m_dl, m_dr;
  int m_split[4] = {};
  // Rendering term of each interior tile (row-major 1..2 x 1..2) per base value.
  std::vector<int32_t> m_term;
  // Per row block: the value histograms, and base and edge of two rows.
  std::vector<uint32_t> m_valueHist;
  std::vector<uint16_t> m_rows;
  // The unrendered pixels of the rows on both sides of each block boundary.
  std::vector<BYTE> m_boundary;
  TeamSizeChooser m_teamSize;
  int m_threads = 1;  // team size of the current frame
  int m_fixedTeam = 0;
  // Frame geometry of the current run.
  int m_tileW = 0, m_tileH = 0, m_halfW = 0, m_halfH = 0, m_e = 0, m_histScale = 0;
  // gainTable for the current tile size (see deeptone_tables.h).
  std::vector<int32_t> m_gainTable;
  // This frame's curves (border tiles stay 0).
  int32_t m_frameCurves[kTiles][kBins] = {};
};

}  // namespace deeptone
