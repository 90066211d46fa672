// DeepTone frame run. The steps of the algorithm are (1) geometry and the gain
// table, (2) luma, (3) state creation on the first frame, (4) the two 3x3
// smoothings, (5) tile statistics, (6) nine-tile aggregation, (7) the curves
// of the interior tiles, (8) rendering with the curves as they stand, (9) the
// temporal update. Rendering does not depend on this frame's statistics, so
// steps 2, 4, 5 (counting) and 8 run in one row-parallel pass: each block of
// rows smooths row r + 1, then renders row r. Steps 5 to 7 and 9 follow on
// the calling thread.
//
// Arithmetic notes (all shifts of signed values are arithmetic):
// - The luma is 4 * Y, so the smoothings are computed on the Y bytes: a
//   neighbour is "near" when |Yn - Yc| <= 32 (10-bit difference <= 128), and
//   the 10-bit weighted sum is 4 * S for the 8-bit weighted sum S. The
//   quotient by 16 is S >> 2 near the left and right borders and S / 4 rounded
//   half to even elsewhere.
// - The tile statistics only need, per tile, how often each base value occurs:
//   the weighted histogram, sum, dark sum and dark count follow from that
//   value histogram, which each row block counts for its own rows.
// - The rendering term of a tile depends only on the base value, so each of
//   the four interior tiles gets a 1024-entry term table per frame.
#include "effects/deeptone_engine.h"

#include <immintrin.h>
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "effects/deeptone_tables.h"

namespace deeptone {
namespace {

constexpr int kValues = 1024;
constexpr int kEdgeThreshold = 32;  // 128 in 10-bit units, on Y bytes
constexpr int kDarkLimit = 384;
constexpr size_t kHistSet = static_cast<size_t>(kTiles) * kValues;  // one value histogram per tile
constexpr int kHistSets = 2;  // value histogram sets per row block
constexpr int kMaxVectorWidth = 32767;  // the smoothing kernel numbers columns in 16-bit lanes

inline int Clamp(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

// Round-half-to-even quotient by 16 of the 10-bit sum 4 * s, i.e. s / 4.
inline int Quarter(int s) { return (s + 1 + ((s >> 2) & 1)) >> 2; }

// First pass, plain version, for columns [from, to) of interior row r.
// up/cur/dn point at the rows r - 1, r, r + 1 (Y bytes at even offsets).
void SmoothSpan(const BYTE* up, const BYTE* cur, const BYTE* dn, int width, int from, int to, uint16_t* base,
                uint16_t* edge) {
  for (int c = from; c < to; ++c) {
    if (c == 0 || c == width - 1) {
      base[c] = edge[c] = static_cast<uint16_t>(4 * cur[2 * c]);
      continue;
    }
    const int y = cur[2 * c];
    const int n[8] = {up[2 * c - 2], up[2 * c + 2], dn[2 * c - 2], dn[2 * c + 2],  // corners, weight 1
                      up[2 * c],     dn[2 * c],     cur[2 * c - 2], cur[2 * c + 2]};  // edges, weight 2
    int sb = 16 * y, se = 16 * y;
    for (int k = 0; k < 8; ++k) {
      const int w = k < 4 ? 1 : 2;
      const int d = n[k] - y;
      if ((d < 0 ? -d : d) <= kEdgeThreshold)
        sb += w * d;
      else
        se += w * d;
    }
    const bool truncating = c < 4 || c >= width - 4;
    base[c] = static_cast<uint16_t>(Clamp(truncating ? sb >> 2 : Quarter(sb), 0, 1023));
    edge[c] = static_cast<uint16_t>(Clamp(truncating ? se >> 2 : Quarter(se), 0, 1023));
  }
}

__attribute__((target("avx2"))) inline __m256i LoadLuma(const BYTE* p, __m256i lowByte) {
  return _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), lowByte);
}

// d where |d| <= threshold (a near neighbour), else 0.
__attribute__((target("avx2"))) inline __m256i NearOnly(__m256i d, __m256i threshold) {
  return _mm256_andnot_si256(_mm256_cmpgt_epi16(_mm256_abs_epi16(d), threshold), d);
}

__attribute__((target("avx2"))) inline __m256i QuarterAvx2(__m256i s, __m256i one) {
  return _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(s, one), _mm256_and_si256(_mm256_srli_epi16(s, 2), one)),
                           2);
}

// First pass, AVX2, for the columns 1 .. width - 2 of an interior row
// (width >= 18): 16 pixels per step in 16-bit lanes. Lanes of the first and
// last four columns take the truncating quotient. The last step is moved
// back to end at width - 1 and recomputes a few columns with equal results.
__attribute__((target("avx2"))) void SmoothRowAvx2(const BYTE* up, const BYTE* cur, const BYTE* dn, int width,
                                                   uint16_t* base, uint16_t* edge) {
  const __m256i lowByte = _mm256_set1_epi16(0x00FF);
  const __m256i threshold = _mm256_set1_epi16(kEdgeThreshold);
  const __m256i one = _mm256_set1_epi16(1);
  const __m256i lane = _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m256i firstRounding = _mm256_set1_epi16(4), lastRounding = _mm256_set1_epi16(static_cast<short>(width - 5));
  const int last = width - 17;
  for (int c = 1;; c += 16) {
    if (c > last) c = last;
    const int o = 2 * c;
    const __m256i y = LoadLuma(cur + o, lowByte);
    // Differences to the centre, summed separately for corners and edges:
    // all of them, and only the near ones. The far sum is the difference.
    // (Written out: an indexed loop keeps the sums in memory.)
    __m256i cornerNear, cornerAll, edgeNear, edgeAll;
    {
      const __m256i d0 = _mm256_sub_epi16(LoadLuma(up + o - 2, lowByte), y);
      const __m256i d1 = _mm256_sub_epi16(LoadLuma(up + o + 2, lowByte), y);
      const __m256i d2 = _mm256_sub_epi16(LoadLuma(dn + o - 2, lowByte), y);
      const __m256i d3 = _mm256_sub_epi16(LoadLuma(dn + o + 2, lowByte), y);
      cornerAll = _mm256_add_epi16(_mm256_add_epi16(d0, d1), _mm256_add_epi16(d2, d3));
      cornerNear = _mm256_add_epi16(_mm256_add_epi16(NearOnly(d0, threshold), NearOnly(d1, threshold)),
                                    _mm256_add_epi16(NearOnly(d2, threshold), NearOnly(d3, threshold)));
    }
    {
      const __m256i d0 = _mm256_sub_epi16(LoadLuma(up + o, lowByte), y);
      const __m256i d1 = _mm256_sub_epi16(LoadLuma(dn + o, lowByte), y);
      const __m256i d2 = _mm256_sub_epi16(LoadLuma(cur + o - 2, lowByte), y);
      const __m256i d3 = _mm256_sub_epi16(LoadLuma(cur + o + 2, lowByte), y);
      edgeAll = _mm256_add_epi16(_mm256_add_epi16(d0, d1), _mm256_add_epi16(d2, d3));
      edgeNear = _mm256_add_epi16(_mm256_add_epi16(NearOnly(d0, threshold), NearOnly(d1, threshold)),
                                  _mm256_add_epi16(NearOnly(d2, threshold), NearOnly(d3, threshold)));
    }
    const __m256i nearW = _mm256_add_epi16(cornerNear, _mm256_slli_epi16(edgeNear, 1));
    const __m256i allW = _mm256_add_epi16(cornerAll, _mm256_slli_epi16(edgeAll, 1));
    const __m256i y16 = _mm256_slli_epi16(y, 4);
    const __m256i sb = _mm256_add_epi16(y16, nearW);
    const __m256i se = _mm256_add_epi16(y16, _mm256_sub_epi16(allW, nearW));
    const __m256i col = _mm256_add_epi16(_mm256_set1_epi16(static_cast<short>(c)), lane);
    const __m256i truncating =
        _mm256_or_si256(_mm256_cmpgt_epi16(firstRounding, col), _mm256_cmpgt_epi16(col, lastRounding));
    const __m256i qb = _mm256_blendv_epi8(QuarterAvx2(sb, one), _mm256_srli_epi16(sb, 2), truncating);
    const __m256i qe = _mm256_blendv_epi8(QuarterAvx2(se, one), _mm256_srli_epi16(se, 2), truncating);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(base + c), qb);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(edge + c), qe);
    if (c == last) break;
  }
}

// Everything the rendering of one row needs besides the pixels.
struct RowContext {
  const int32_t* term[4];  // upper-left, upper-right, lower-left, lower-right
  int du, dd;
};

inline void RenderPixel(BYTE* px, int v, int g, int dl, int dr, const RowContext& rc, const Tables& tab) {
  const int l = 4 * px[0];
  const int32_t acc = ((dr * rc.dd) >> 4) * rc.term[0][v] + ((dl * rc.dd) >> 4) * rc.term[1][v] +
                      ((dr * rc.du) >> 4) * rc.term[2][v] + ((dl * rc.du) >> 4) * rc.term[3][v];
  int mapped = acc >> 19;
  if (mapped > 2 * v) mapped = 2 * v;
  const int q = std::min((tab.reciprocal18[g] * l) >> 2, 0x3FFFF);
  const int detail = tab.power15[q >> 8];
  const int32_t gain = (tab.reciprocal18[l] * mapped) >> 2;
  const int n = std::min((detail * mapped) >> 8, 1023);
  px[0] = static_cast<BYTE>(std::min(n >> 2, 255));
  // (C - 128) * gain * 4 stays within 32 bits: gain <= 2^17 * base / max(l, 4)
  // and the base is at most 97 above the luma.
  const int t = ((((px[1] - 128) * gain * 4) >> 16) + 512);
  px[1] = static_cast<BYTE>(Clamp(t / 4, 0, 255));
}

void RenderSpan(BYTE* row, const uint16_t* base, const uint16_t* edge, const int32_t* dl, const int32_t* dr, int from,
                int to, const RowContext& rc, const Tables& tab) {
  for (int c = from; c < to; ++c) RenderPixel(row + 2 * c, base[c], edge[c], dl[c], dr[c], rc, tab);
}

// Rendering, AVX2: 8 pixels per step in 32-bit lanes with table gathers.
// Where the clamped tile columns (or rows) of a span coincide, the terms of
// the coinciding tiles are the same and their weights are added before the
// multiplication, which saves gathers and gives the same sum.
template <bool kSameCols, bool kSameRows>
__attribute__((target("avx2"))) int RenderSpanAvx2(BYTE* row, const uint16_t* base, const uint16_t* edge,
                                                   const int32_t* dlA, const int32_t* drA, int from, int to,
                                                   const RowContext& rc, const Tables& tab) {
  const __m256i du = _mm256_set1_epi32(rc.du), dd = _mm256_set1_epi32(rc.dd);
  const __m256i byteMask = _mm256_set1_epi32(0xFF);
  const __m256i c128 = _mm256_set1_epi32(128), c512 = _mm256_set1_epi32(512);
  const __m256i maxQ = _mm256_set1_epi32(0x3FFFF), c1023 = _mm256_set1_epi32(1023), c255 = _mm256_set1_epi32(255);
  const __m256i zero = _mm256_setzero_si256();
  const __m256i one = _mm256_set1_epi32(1), c65535 = _mm256_set1_epi32(65535);
  const __m256 c65536f = _mm256_set1_ps(65536.0f), halfF = _mm256_set1_ps(0.5f);
  const __m256i p0 = _mm256_set1_epi32(tab.power15[0]), p255 = _mm256_set1_epi32(tab.power15[255]),
                p256 = _mm256_set1_epi32(tab.power15[256]);
  int c = from;
  for (; c + 8 <= to; c += 8) {
    const __m256i v = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(base + c)));
    const __m256i g = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(edge + c)));
    const __m256i pix = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 2 * c)));
    const __m256i l = _mm256_slli_epi32(_mm256_and_si256(pix, byteMask), 2);
    const __m256i chroma = _mm256_srli_epi32(pix, 8);
    const __m256i dl = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(dlA + c));
    const __m256i dr = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(drA + c));
    const __m256i wUL = _mm256_srli_epi32(_mm256_mullo_epi32(dr, dd), 4);
    const __m256i wUR = _mm256_srli_epi32(_mm256_mullo_epi32(dl, dd), 4);
    const __m256i wLL = _mm256_srli_epi32(_mm256_mullo_epi32(dr, du), 4);
    const __m256i wLR = _mm256_srli_epi32(_mm256_mullo_epi32(dl, du), 4);
    __m256i acc;
    if constexpr (kSameCols && kSameRows) {
      const __m256i w = _mm256_add_epi32(_mm256_add_epi32(wUL, wUR), _mm256_add_epi32(wLL, wLR));
      acc = _mm256_mullo_epi32(w, _mm256_i32gather_epi32(rc.term[0], v, 4));
    } else if constexpr (kSameCols) {
      acc = _mm256_mullo_epi32(_mm256_add_epi32(wUL, wUR), _mm256_i32gather_epi32(rc.term[0], v, 4));
      acc = _mm256_add_epi32(acc,
                             _mm256_mullo_epi32(_mm256_add_epi32(wLL, wLR), _mm256_i32gather_epi32(rc.term[2], v, 4)));
    } else if constexpr (kSameRows) {
      acc = _mm256_mullo_epi32(_mm256_add_epi32(wUL, wLL), _mm256_i32gather_epi32(rc.term[0], v, 4));
      acc = _mm256_add_epi32(acc,
                             _mm256_mullo_epi32(_mm256_add_epi32(wUR, wLR), _mm256_i32gather_epi32(rc.term[1], v, 4)));
    } else {
      acc = _mm256_mullo_epi32(wUL, _mm256_i32gather_epi32(rc.term[0], v, 4));
      acc = _mm256_add_epi32(acc, _mm256_mullo_epi32(wUR, _mm256_i32gather_epi32(rc.term[1], v, 4)));
      acc = _mm256_add_epi32(acc, _mm256_mullo_epi32(wLL, _mm256_i32gather_epi32(rc.term[2], v, 4)));
      acc = _mm256_add_epi32(acc, _mm256_mullo_epi32(wLR, _mm256_i32gather_epi32(rc.term[3], v, 4)));
    }
  const __m256i mapped = _mm256_min_epi32(_mm256_srai_epi32(acc, 19), _mm256_slli_epi32(v, 1));
    // reciprocal18[l] = floor(65536 / max(Y, 1) + 0.5), l = 4 * Y, by a
    // single-precision division: the quotient is never within its rounding
    // error of a half, so this equals the table for every Y. For pixels whose edge smoothing equals their luma
    // (everywhere away from strong edges) q = Y * reciprocal18[l] lies within
    // Y / 2 of 65536, so the detail gain is power15[255] or power15[256]
    // (power15[0] for Y = 0).
    const __m256i yByte = _mm256_and_si256(pix, byteMask);
    const __m256 quotient = _mm256_div_ps(c65536f, _mm256_cvtepi32_ps(_mm256_max_epi32(yByte, one)));
    const __m256i recL = _mm256_cvttps_epi32(_mm256_floor_ps(_mm256_add_ps(quotient, halfF)));
    __m256i detail;
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(g, l)) == -1) {
      const __m256i q = _mm256_mullo_epi32(recL, yByte);
      detail = _mm256_blendv_epi8(p255, p256, _mm256_cmpgt_epi32(q, c65535));
      detail = _mm256_blendv_epi8(detail, p0, _mm256_cmpeq_epi32(yByte, zero));
    } else {
      __m256i q = _mm256_mullo_epi32(_mm256_i32gather_epi32(tab.reciprocal18, g, 4), l);
      q = _mm256_min_epi32(_mm256_srai_epi32(q, 2), maxQ);
      detail = _mm256_i32gather_epi32(tab.power15, _mm256_srai_epi32(q, 8), 4);
    }
    const __m256i gain = _mm256_srai_epi32(_mm256_mullo_epi32(recL, mapped), 2);
    const __m256i n = _mm256_min_epi32(_mm256_srai_epi32(_mm256_mullo_epi32(detail, mapped), 8), c1023);
    const __m256i y = _mm256_min_epi32(_mm256_srli_epi32(n, 2), c255);
    // t / 4 toward zero, then clamped: for negative t both rounding
    // directions end at 0 after the clamp, so an arithmetic shift will do.
    __m256i t = _mm256_slli_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(chroma, c128), gain), 2);
    t = _mm256_add_epi32(_mm256_srai_epi32(t, 16), c512);
    const __m256i cNew = _mm256_max_epi32(_mm256_min_epi32(_mm256_srai_epi32(t, 2), c255), zero);
    const __m256i words = _mm256_or_si256(y, _mm256_slli_epi32(cNew, 8));
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(words, words), 0x08);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(row + 2 * c), _mm256_castsi256_si128(packed));
  }
  return c;
}

}  // namespace

namespace {

// The OpenMP runtime is not instrumented for the thread sanitizer, which then
// cannot see its barriers and reports every hand-over as a race; such builds
// run the pass on the calling thread, whatever team size is asked for.
#if defined(__SANITIZE_THREAD__)
constexpr bool kOneThreadOnly = true;
#elif defined(__has_feature)
constexpr bool kOneThreadOnly = __has_feature(thread_sanitizer);  // clang
#else
constexpr bool kOneThreadOnly = false;
#endif

int DefaultTeamSize() { return kOneThreadOnly ? 1 : std::max(1, omp_get_max_threads()); }

// Safe also in constructors of static objects, which may run before the
// compiler's own processor detection.
bool CpuHasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

}  // namespace

DeepToneEngine::DeepToneEngine()
    : m_vector(CpuHasAvx2()),
      m_term(4 * kValues, 0),
      m_teamSize(DefaultTeamSize()),
      m_gainTable(kGainEntries, 0) {}

void DeepToneEngine::SetUseVector(bool use) { m_vector = use && CpuHasAvx2(); }

void DeepToneEngine::Run(DeepToneState& state, BYTE* frame, int stride, int width, int height, int mode) {
  if (mode != 2 && mode != 3) return;
  if (!frame || width < 8 || height < 8) return;

  const auto started = std::chrono::steady_clock::now();

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

  // On the first frame the interior tiles render with the identity curves.
  if (first)
    for (int tr = 1; tr <= 2; ++tr)
      for (int tc = 1; tc <= 2; ++tc)
        for (int j = 0; j < kBins; ++j) state.curves[tr * kGrid + tc][j] = 8 * j;

  // Steps 2, 4 and 8 in one parallel pass. Rendering uses the curves as they
  // stand before this frame's analysis, so a row can be rendered as soon as
  // it and the row below are smoothed: each block of rows smooths row r + 1,
  // counts and renders row r, and so on. Smoothing needs the unrendered luma
  // of the rows above and below; the rows on either side of a boundary
  // between blocks are copied first, since the neighbouring block may already
  // have rendered them.
  PrepareRendering(state, width, mode == 3 ? width / 2 : width);
  m_threads = kOneThreadOnly ? 1 : (m_fixedTeam ? m_fixedTeam : m_teamSize.Next());
  const int blocks = std::max(1, std::min(m_threads, height / 2));
  const size_t rowBytes = static_cast<size_t>(width) * 2;
  if (m_boundary.size() < 2 * rowBytes * (blocks - 1)) m_boundary.resize(2 * rowBytes * (blocks - 1));
  auto blockStart = [&](int blk) { return static_cast<int>(static_cast<int64_t>(height) * blk / blocks); };
  for (int blk = 1; blk < blocks; ++blk) {
    const int k = blockStart(blk);
    std::memcpy(&m_boundary[rowBytes * (2 * (blk - 1))], frame + static_cast<ptrdiff_t>(k - 1) * stride, rowBytes);
    std::memcpy(&m_boundary[rowBytes * (2 * (blk - 1) + 1)], frame + static_cast<ptrdiff_t>(k) * stride, rowBytes);
  }
  // Per block: kHistSets histograms per tile (even and odd columns, so that
  // runs of equal values do not wait on one counter), and two rows of base
  // and edge.
  const size_t histSize = kHistSet * kHistSets;
  if (m_valueHist.size() < histSize * blocks) m_valueHist.resize(histSize * blocks);
  if (m_rows.size() < static_cast<size_t>(width) * 4 * blocks) m_rows.resize(static_cast<size_t>(width) * 4 * blocks);
  const int statRows = kGrid * m_tileH;
  const int tileW = m_tileW, tileH = m_tileH;
  const bool vector = m_vector;

#pragma omp parallel for schedule(static, 1) num_threads(blocks)
  for (int blk = 0; blk < blocks; ++blk) {
    const int begin = blockStart(blk), end = blockStart(blk + 1);
    uint32_t* hist = &m_valueHist[histSize * blk];
    std::memset(hist, 0, histSize * sizeof(uint32_t));
    uint16_t* rows = &m_rows[static_cast<size_t>(width) * 4 * blk];
    // The unrendered luma of row k as this block sees it.
    auto source = [&](int k) -> const BYTE* {
      if (k == begin - 1 && blk > 0) return &m_boundary[rowBytes * (2 * (blk - 1))];
      if (k == end && blk < blocks - 1) return &m_boundary[rowBytes * (2 * blk + 1)];
      return frame + static_cast<ptrdiff_t>(k) * stride;
    };
    auto smooth = [&](int k) {
      uint16_t* base = rows + static_cast<size_t>(width) * 2 * (k & 1);
      uint16_t* edge = base + width;
      const BYTE* cur = source(k);
      if (k == 0 || k == height - 1) {
        for (int c = 0; c < width; ++c) base[c] = edge[c] = static_cast<uint16_t>(4 * cur[2 * c]);
      } else if (vector && width >= 18 && width <= kMaxVectorWidth) {
        SmoothRowAvx2(source(k - 1), cur, source(k + 1), width, base, edge);
        base[0] = edge[0] = static_cast<uint16_t>(4 * cur[0]);
        base[width - 1] = edge[width - 1] = static_cast<uint16_t>(4 * cur[2 * (width - 1)]);
      } else {
        SmoothSpan(source(k - 1), cur, source(k + 1), width, 0, width, base, edge);
      }
      // Step 5 input: how often each base value occurs in each tile.
      if (k >= statRows) return;
      const int tileRow = k / tileH, tw = tileW;  // a local: the counters could alias a captured value
      for (int tc = 0; tc < kGrid; ++tc) {
        uint32_t* h0 = hist + static_cast<size_t>(tileRow * kGrid + tc) * kValues;
        uint32_t* h1 = h0 + kHistSet;
        const uint16_t* b = base + tc * tw;
        int c = 0;
        for (; c + 2 <= tw; c += 2) {
          ++h0[b[c]];
          ++h1[b[c + 1]];
        }
        if (c < tw) ++h0[b[c]];
      }
    };
    smooth(begin);
    for (int r = begin; r < end; ++r) {
      if (r + 1 < end) smooth(r + 1);
      const uint16_t* base = rows + static_cast<size_t>(width) * 2 * (r & 1);
      RenderRow(frame + static_cast<ptrdiff_t>(r) * stride, base, base + width, r);
    }
  }

  // Steps 5 to 7: statistics and curves (from every block's histograms).
  Analyse(state, first, blocks);

  // Step 9: temporal update.
  for (int t = 0; t < kTiles; ++t)
    for (int j = 0; j < kBins; ++j) state.curves[t][j] = (m_frameCurves[t][j] + state.curves[t][j]) >> 1;
  ++state.frameCount;

  if (!m_fixedTeam) {
    const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - started;
    m_teamSize.Record(m_threads, took.count() / (static_cast<double>(width) * height));
  }
}

void DeepToneEngine::Analyse(DeepToneState& state, bool first, int blocks) {
  const Tables& tab = GetTables();

  // Step 5: per tile, the linearly weighted histogram, sum, dark sum and count.
  int64_t hist[kTiles][kBins] = {};
  int64_t sum[kTiles] = {}, darkSum[kTiles] = {}, darkCount[kTiles] = {};
  const size_t perTile = kValues, perSet = static_cast<size_t>(kTiles) * kValues;
  for (int t = 0; t < kTiles; ++t) {
    for (int v = 0; v < kValues; ++v) {
      int64_t n = 0;
      for (int set = 0; set < kHistSets * blocks; ++set) n += m_valueHist[perSet * set + perTile * t + v];
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

void DeepToneEngine::PrepareRendering(const DeepToneState& state, int width, int renderWidth) {
  // Term of each interior tile per base value v: the curve read between the
  // points b - 1 and b around v + 16, weighted by the gain table.
  for (int tr = 1; tr <= 2; ++tr)
    for (int tc = 1; tc <= 2; ++tc) {
      const int32_t* curve = state.curves[tr * kGrid + tc];
      int32_t* term = &m_term[static_cast<size_t>((tr - 1) * 2 + (tc - 1)) * kValues];
      auto gain = [&](int32_t k) { return m_gainTable[Clamp(k, 0, kGainEntries - 1)]; };
      for (int v = 0; v < kValues; ++v) {
        const int vp = v + 16, b = vp >> 5, f = vp & 31;
        if (b == 0)
          term[v] = (f - 16) * gain(curve[0]);
        else if (b <= 31)
          term[v] = (32 - f) * gain(curve[b - 1]) + f * gain(curve[b]);
        else
          term[v] = (32 - f) * gain(curve[31]) + f * m_gainTable[256];
      }
    }

  // Per column: distances to the two tile centres.
  const int tileW = m_tileW, halfW = m_halfW;
  if (m_dl.size() < static_cast<size_t>(width)) {
    m_dl.resize(width);
    m_dr.resize(width);
  }
  for (int c = 0; c < width; ++c) {
    const int dx = c % tileW;
    m_dl[c] = dx < halfW ? dx + halfW : dx - halfW;
    m_dr[c] = dx < halfW ? halfW - dx : tileW + halfW - dx;
  }
  // The column spans in which the clamped left and right tile columns stay
  // the same: (1, 1) before tileW + halfW, (1, 2) up to 2 * tileW + halfW,
  // (2, 2) after.
  m_split[0] = 0;
  m_split[1] = std::min(renderWidth, tileW + halfW);
  m_split[2] = std::min(renderWidth, 2 * tileW + halfW);
  m_split[3] = renderWidth;
}

void DeepToneEngine::RenderRow(BYTE* px, const uint16_t* baseRow, const uint16_t* edgeRow, int r) const {
  static constexpr int leftCol[3] = {1, 1, 2}, rightCol[3] = {1, 2, 2};
  const Tables& tab = GetTables();
  const int tileH = m_tileH, halfH = m_halfH;
  const int tileRow = r / tileH, dy = r % tileH;
  const int upper = dy < halfH ? tileRow - 1 : tileRow;
  RowContext rc;
  rc.du = dy < halfH ? dy + halfH : dy - halfH;
  rc.dd = dy < halfH ? halfH - dy : tileH + halfH - dy;
  const int rowU = Clamp(upper, 1, 2) - 1, rowL = Clamp(upper + 1, 1, 2) - 1;
  for (int span = 0; span < 3; ++span) {
    const int colL = leftCol[span] - 1, colR = rightCol[span] - 1;
    rc.term[0] = &m_term[static_cast<size_t>(rowU * 2 + colL) * kValues];
    rc.term[1] = &m_term[static_cast<size_t>(rowU * 2 + colR) * kValues];
    rc.term[2] = &m_term[static_cast<size_t>(rowL * 2 + colL) * kValues];
    rc.term[3] = &m_term[static_cast<size_t>(rowL * 2 + colR) * kValues];
    int c = m_split[span];
    const int to = m_split[span + 1];
    if (m_vector) {
      const bool sameCols = colL == colR, sameRows = rowU == rowL;
      const auto kernel = sameCols ? (sameRows ? RenderSpanAvx2<true, true> : RenderSpanAvx2<true, false>)
                                   : (sameRows ? RenderSpanAvx2<false, true> : RenderSpanAvx2<false, false>);
      c = kernel(px, baseRow, edgeRow, m_dl.data(), m_dr.data(), c, to, rc, tab);
    }
    RenderSpan(px, baseRow, edgeRow, m_dl.data(), m_dr.data(), c, to, rc, tab);
  }
}

}  // namespace deeptone
