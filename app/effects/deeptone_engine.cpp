// DeepTone frame run: geometry and tables, first parallel pass (the two 3x3
// smoothings plus per-thread tile histograms), tile statistics, curves of the
// interior tiles, second parallel pass (rendering) and the temporal update.
//
// Arithmetic notes (all shifts of signed values are arithmetic):
// - The luma is 4 * Y, so the smoothings are computed on the Y bytes: a
//   neighbour is "near" when |Yn - Yc| <= 32 (10-bit difference <= 128), and
//   the 10-bit weighted sum is 4 * S for the 8-bit weighted sum S. The
//   quotient by 16 is S >> 2 near the left and right borders and S / 4 rounded
//   half to even elsewhere.
// - The tile statistics only need, per tile, how often each base value occurs:
//   the weighted histogram, sum, dark sum and dark count follow from that
//   value histogram, which each thread counts for its own rows.
// - The rendering term of a tile depends only on the base value, so each of
//   the four interior tiles gets a 1024-entry term table per frame.
#include "effects/deeptone_engine.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "effects/deeptone_tables.h"

namespace deeptone {
namespace {

constexpr int kValues = 1024;
constexpr int kEdgeThreshold = 32;  // 128 in 10-bit units, on Y bytes
constexpr int kDarkLimit = 384;

inline int Clamp(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

// First pass for one row: base and edge (10-bit) of every pixel of row r.
// y0, y1, y2: the Y bytes of rows r - 1, r, r + 1 are read from the frame
// with stride 2. Border rows and columns are copied from the luma.
void SmoothRow(const BYTE* frame, int stride, int width, int height, int r, uint16_t* base, uint16_t* edge) {
  const BYTE* cur = frame + static_cast<ptrdiff_t>(r) * stride;
  if (r == 0 || r == height - 1) {
    for (int c = 0; c < width; ++c) base[c] = edge[c] = static_cast<uint16_t>(4 * cur[2 * c]);
    return;
  }
  const BYTE* up = cur - stride;
  const BYTE* dn = cur + stride;
  base[0] = edge[0] = static_cast<uint16_t>(4 * cur[0]);
  base[width - 1] = edge[width - 1] = static_cast<uint16_t>(4 * cur[2 * (width - 1)]);
  for (int c = 1; c < width - 1; ++c) {
    const int y = cur[2 * c];
    const int n[8] = {up[2 * c - 2], up[2 * c + 2], dn[2 * c - 2], dn[2 * c + 2],   // corners, weight 1
                      up[2 * c], dn[2 * c], cur[2 * c - 2], cur[2 * c + 2]};        // edges, weight 2
    int sb = 4 * y, se = 4 * y;
    for (int k = 0; k < 8; ++k) {
      const int w = k < 4 ? 1 : 2;
      const int d = n[k] - y;
      const bool near = (d < 0 ? -d : d) <= kEdgeThreshold;
      sb += w * (near ? n[k] : y);
      se += w * (near ? y : n[k]);
    }
    int qb, qe;
    if (c < 4 || c >= width - 4) {
      qb = sb >> 2;
      qe = se >> 2;
    } else {
      qb = (sb + 1 + ((sb >> 2) & 1)) >> 2;
      qe = (se + 1 + ((se >> 2) & 1)) >> 2;
    }
    base[c] = static_cast<uint16_t>(Clamp(qb, 0, 1023));
    edge[c] = static_cast<uint16_t>(Clamp(qe, 0, 1023));
  }
}

}  // namespace

DeepToneEngine::DeepToneEngine() : m_gainTable(kGainEntries, 0) {}

void DeepToneEngine::Run(DeepToneState& state, BYTE* frame, int stride, int width, int height, int mode) {
  if (mode != 2 && mode != 3) return;
  if (!frame || width < 8 || height < 8) return;

  // Step 1: geometry and the gain table of this frame size.
  m_tileW = width / kGrid;
  m_tileH = height / kGrid;
  m_halfW = m_tileW >> 1;
  m_halfH = m_tileH >> 1;
  const int64_t nine = 9LL * m_tileW * m_tileH;
  std::frexp(static_cast<double>(nine), &m_e);
  m_histScale = static_cast<int>((int64_t{1} << (m_e + 1)) * 255 / nine);
  FillGainTable(m_gainTable.data(), m_halfW, m_halfH);

  // Step 3: the state is created by the first enhanced frame.
  const bool first = !state.created;
  if (first) {
    state = DeepToneState{};
    state.created = true;
  }

  // Steps 2 and 4: the smoothings, with each thread's value histograms.
  const size_t pixels = static_cast<size_t>(width) * height;
  if (m_base.size() < pixels) {
    m_base.resize(pixels);
    m_edge.resize(pixels);
  }
  m_threads = std::max(1, omp_get_max_threads());
  const size_t histSize = static_cast<size_t>(kTiles) * kValues;
  if (m_valueHist.size() < histSize * m_threads) m_valueHist.resize(histSize * m_threads);
  const int statW = kGrid * m_tileW, statH = kGrid * m_tileH;

#pragma omp parallel num_threads(m_threads)
  {
    const int t = omp_get_thread_num(), n = omp_get_num_threads();
    uint32_t* hist = &m_valueHist[histSize * t];
    std::memset(hist, 0, histSize * sizeof(uint32_t));
    const int r0 = static_cast<int>(static_cast<int64_t>(height) * t / n);
    const int r1 = static_cast<int>(static_cast<int64_t>(height) * (t + 1) / n);
    for (int r = r0; r < r1; ++r) {
      uint16_t* base = &m_base[static_cast<size_t>(r) * width];
      SmoothRow(frame, stride, width, height, r, base, &m_edge[static_cast<size_t>(r) * width]);
      if (r >= statH) continue;
      const int tileRow = r / m_tileH;
      for (int tc = 0; tc < kGrid; ++tc) {
        uint32_t* h = hist + static_cast<size_t>(tileRow * kGrid + tc) * kValues;
        const uint16_t* b = base + tc * m_tileW;
        for (int c = 0; c < m_tileW; ++c) ++h[b[c]];
      }
    }
  }
  (void)statW;
  for (int t = 1; t < m_threads; ++t) {
    const uint32_t* src = &m_valueHist[histSize * t];
    for (size_t i = 0; i < histSize; ++i) m_valueHist[i] += src[i];
  }

  // Steps 5 to 7: statistics and curves.
  Analyse(state, width, height);

  // Step 8: rendering with the state curves as they stand.
  Render(state, frame, stride, width, height, mode == 3 ? width / 2 : width);

  // Step 9: temporal update.
  for (int t = 0; t < kTiles; ++t)
    for (int j = 0; j < kBins; ++j) state.curves[t][j] = (m_frameCurves[t][j] + state.curves[t][j]) >> 1;
  ++state.frameCount;
  (void)first;
}

void DeepToneEngine::Analyse(DeepToneState& state, int, int) {
  const Tables& tab = GetTables();
  const bool first = state.frameCount == 0;

  // Step 5: per tile, the linearly weighted histogram, sum, dark sum and count.
  int64_t hist[kTiles][kBins] = {};
  int64_t sum[kTiles] = {}, darkSum[kTiles] = {}, darkCount[kTiles] = {};
  for (int t = 0; t < kTiles; ++t) {
    const uint32_t* h = &m_valueHist[static_cast<size_t>(t) * kValues];
    for (int v = 0; v < kValues; ++v) {
      const int64_t n = h[v];
      if (!n) continue;
      const int bin = v >> 5, frac = v & 31;
      hist[t][bin] += (32 - frac) * n;
      if (bin + 1 < kBins) hist[t][bin + 1] += frac * n;
      sum[t] += v * n;
      if (v < kDarkLimit) {
        darkSum[t] += v * n;
        darkCount[t] += n;
      }
    }
  }

  std::memset(m_frameCurves, 0, sizeof m_frameCurves);
  const int64_t area9 = 9LL * m_tileW * m_tileH;
  for (int tr = 1; tr <= 2; ++tr) {
    for (int tc = 1; tc <= 2; ++tc) {
      const int t = tr * kGrid + tc;
      // Step 6: the nine-tile neighbourhood.
      int64_t h9[kBins] = {};
      int64_t s9 = 0, ds9 = 0, dc9 = 0;
      for (int nr = tr - 1; nr <= tr + 1; ++nr)
        for (int nc = tc - 1; nc <= tc + 1; ++nc) {
          const int u = nr * kGrid + nc;
          for (int j = 0; j < kBins; ++j) h9[j] += hist[u][j];
          s9 += sum[u];
          ds9 += darkSum[u];
          dc9 += darkCount[u];
        }
      for (int j = 0; j < kBins; ++j) h9[j] >>= 5;
      int64_t dividend, divisor;
      if (dc9 > 0) {
        dividend = ds9;
        divisor = dc9 + 1;
      } else {
        dividend = s9;
        divisor = area9;
      }
      while (divisor >= 1024) {
        divisor >>= 1;
        dividend >>= 1;
      }
      const int64_t m = (tab.reciprocal18[divisor] * dividend) >> 18;

      // Step 7.1: cumulate, find the mode, normalise.
      int64_t cdf[kBins];
      int64_t acc = 0;
      for (int j = 0; j < kBins; ++j) cdf[j] = (acc += h9[j]);
      int mode = 0;
      int64_t best = 0;
      for (int j = 1; j < kBins; ++j)
        if (h9[j] > best) {
          best = h9[j];
          mode = j;
        }
      for (int j = 0; j < kBins; ++j) {
        if (m_e < 15) {
          h9[j] <<= (15 - m_e);
          cdf[j] <<= (15 - m_e);
        } else {
          h9[j] >>= (m_e - 15);
          cdf[j] >>= (m_e - 15);
        }
        h9[j] = (h9[j] * m_histScale) >> 16;
        cdf[j] = (cdf[j] * m_histScale) >> 16;
      }

      // Step 7.2: black and white points.
      int lo = 31, hi = 31;
      for (int j = 0; j < kBins; ++j)
        if (cdf[j] > 25) {
          lo = j;
          break;
        }
      for (int j = 0; j < kBins; ++j)
        if (cdf[j] > 230) {
          hi = j;
          break;
        }
      int64_t black = std::min<int64_t>((m >> 5) + (m >> 2) + (m >> 1), lo << 5);
      int64_t white = std::min<int64_t>(std::max<int64_t>(m + (m >> 1), hi << 5), 1023);

      // Step 7.3: equalisation strength.
      const int64_t p = h9[mode];
      const int64_t g = (32 * static_cast<int64_t>(tab.reciprocal16[Clamp(static_cast<int>(p), 0, 255)]) * 255) >> 16;
      int64_t peak = h9[mode];
      if (mode > 0) peak += h9[mode - 1];
      if (mode < 31) peak += h9[mode + 1];
      const int64_t spread = ((255 - peak) * ((hi - lo) << 5)) >> 6;
      int64_t s = std::min({g, spread, int64_t{1023}});
      state.strength[t] = static_cast<int32_t>((state.strength[t] + s) >> 1);
      s = state.strength[t];

      // Step 7.4: shadow lift.
      if (white > 384) {
        white = 384;
        if (black > 384) black = 384;
      }
      const int64_t d = m < 384 ? tab.liftTable[m >> 2] : 0;
      state.lift[t] = static_cast<int32_t>((state.lift[t] + d) >> 1);
      int64_t blackOut = black + state.lift[t], whiteOut = white + state.lift[t];
      if (whiteOut > 1023) {
        whiteOut = 1023;
        if (blackOut > 1023) blackOut = 1023;
      }
      blackOut = (blackOut * (1023 - s)) >> 10;
      whiteOut = (whiteOut * (1023 - s)) >> 10;

      // Steps 7.5 and 7.6: base curve at the bin centres, blended with the cdf.
      for (int j = 0; j < kBins; ++j) {
        const int64_t x = 32 * j + 16;
        int64_t k;
        if (x < black + 16)
          k = (tab.reciprocal16[black >> 2] * blackOut * x) >> 18;
        else if (x < white + 16)
          k = blackOut + (((whiteOut - blackOut) * tab.reciprocal16[(white - black) >> 2] * (x - black)) >> 18);
        else
          k = whiteOut + (((1023 - whiteOut - s) * tab.reciprocal16[(1023 - white) >> 2] * (x - white)) >> 18);
        int64_t c = ((cdf[j] * s) >> 8) + k;
        if (j == 31 && c > 1023) c = 1023;
        m_frameCurves[t][j] = static_cast<int32_t>(c >> 2);
      }
      // Step 7.7: the first frame renders with the identity curves.
      if (first)
        for (int j = 0; j < kBins; ++j) state.curves[t][j] = 8 * j;
    }
  }
}

void DeepToneEngine::Render(const DeepToneState& state, BYTE* frame, int stride, int width, int height,
                            int renderWidth) {
  const Tables& tab = GetTables();
  // Term tables of the four interior tiles, indexed by base value.
  int32_t term[kTiles][kValues];
  for (int tr = 1; tr <= 2; ++tr)
    for (int tc = 1; tc <= 2; ++tc) {
      const int t = tr * kGrid + tc;
      const int32_t* curve = state.curves[t];
      for (int v = 0; v < kValues; ++v) {
        const int vp = v + 16, b = vp >> 5, f = vp & 31;
        int32_t x;
        if (b == 0)
          x = (f - 16) * m_gainTable[Clamp(curve[0], 0, kGainEntries - 1)];
        else if (b <= 31)
          x = (32 - f) * m_gainTable[Clamp(curve[b - 1], 0, kGainEntries - 1)] +
              f * m_gainTable[Clamp(curve[b], 0, kGainEntries - 1)];
        else
          x = (32 - f) * m_gainTable[Clamp(curve[31], 0, kGainEntries - 1)] + f * m_gainTable[256];
        term[t][v] = x;
      }
    }

  // Column neighbours: left tile column, right tile column and distances.
  const int tileW = m_tileW, tileH = m_tileH, halfW = m_halfW, halfH = m_halfH;

#pragma omp parallel for schedule(static) num_threads(m_threads)
  for (int r = 0; r < height; ++r) {
    const int tileRow = r / tileH, dy = r % tileH;
    int upper, du, dd;
    if (dy < halfH) {
      upper = tileRow - 1;
      du = dy + halfH;
      dd = halfH - dy;
    } else {
      upper = tileRow;
      du = dy - halfH;
      dd = tileH + halfH - dy;
    }
    const int rowU = Clamp(upper, 1, 2), rowL = Clamp(upper + 1, 1, 2);
    BYTE* px = frame + static_cast<ptrdiff_t>(r) * stride;
    const uint16_t* baseRow = &m_base[static_cast<size_t>(r) * width];
    const uint16_t* edgeRow = &m_edge[static_cast<size_t>(r) * width];
    for (int c = 0; c < renderWidth; ++c) {
      const int tileCol = c / tileW, dx = c % tileW;
      int left, dl, dr;
      if (dx < halfW) {
        left = tileCol - 1;
        dl = dx + halfW;
        dr = halfW - dx;
      } else {
        left = tileCol;
        dl = dx - halfW;
        dr = tileW + halfW - dx;
      }
      const int colL = Clamp(left, 1, 2), colR = Clamp(left + 1, 1, 2);
      const int v = baseRow[c], l = 4 * px[2 * c], g = edgeRow[c];
      const int32_t acc = ((dr * dd) >> 4) * term[rowU * kGrid + colL][v] +
                          ((dl * dd) >> 4) * term[rowU * kGrid + colR][v] +
                          ((dr * du) >> 4) * term[rowL * kGrid + colL][v] +
                          ((dl * du) >> 4) * term[rowL * kGrid + colR][v];
      int mapped = acc >> 19;
      if (mapped > 2 * v) mapped = 2 * v;
      const int q = std::min((tab.reciprocal18[g] * l) >> 2, 0x3FFFF);
      const int detail = tab.power15[q >> 8];
      const int32_t gain = (tab.reciprocal18[l] * mapped) >> 2;
      const int n = std::min((detail * mapped) >> 8, 1023);
      px[2 * c] = static_cast<BYTE>(std::min(n / 4, 255));
      const int64_t cv = px[2 * c + 1];
      const int64_t tt = ((((cv - 128) * gain * 4) >> 16) + 512);
      px[2 * c + 1] = static_cast<BYTE>(Clamp(static_cast<int>(tt / 4), 0, 255));
    }
  }
}

}  // namespace deeptone
