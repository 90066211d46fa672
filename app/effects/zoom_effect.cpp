// CNBZoomEffect: nearest-neighbour zoom of packed YUY2.
//
// The source position of every destination column and row is computed once
// per (frame size, percentage, origin) with exactly the float/double rules of
// the header and kept in a plan. A row is then assembled from byte offsets:
// in chunks of 8 destination pixels with two 16-byte shuffles (SSSE3) where
// the chunk's sources lie within 32 bytes of the row, else pixel by pixel.
// Destination rows that map to the same source row as the row above are a
// copy of that row.
#include "effects/zoom_effect.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr int kChunk = 8;  // destination pixels per vector step

// The source column (or row) of destination index j, by the exact rule:
// trunc((S * j) / D + O) in double from the stored single-precision values.
inline long long SourceIndex(float s, int j, float d, float o) {
  const double v = (static_cast<double>(s) * static_cast<double>(j)) / static_cast<double>(d) + static_cast<double>(o);
  return static_cast<long long>(v);  // truncation toward zero
}

__attribute__((target("ssse3"))) void ShuffleChunk(BYTE* d, const BYTE* s, const BYTE* mask) {
  const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16));
  const __m128i mlo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mask));
  const __m128i mhi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mask + 16));
  const __m128i v = _mm_or_si128(_mm_shuffle_epi8(lo, mlo), _mm_shuffle_epi8(hi, mhi));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d), v);
}

}  // namespace

int CNBZoomEffect::IsActive() {
  return (m_percentage == 100 && m_originX == 0.0f && m_originY == 0.0f) ? 0 : 1;
}

int CNBZoomEffect::IsInPlace() { return (m_percentage <= 100 || m_percentage > 400) ? 1 : 0; }

void CNBZoomEffect::PrepareColumns(int width, int height) {
  Plan& p = m_plan;
  if (p.width == width && p.height == height && p.percentage == m_percentage && p.originX == m_originX &&
      p.originY == m_originY)
    return;
  p.width = width;
  p.height = height;
  p.percentage = m_percentage;
  p.originX = m_originX;
  p.originY = m_originY;

  // Single precision, each value rounded to float when stored.
  const float wf = static_cast<float>(width);
  const float hf = static_cast<float>(height);
  const float pf = static_cast<float>(m_percentage);
  const float x0 = m_originX * static_cast<float>(width - 1);
  const float y0 = m_originY * static_cast<float>(height - 1);
  const float sx = (wf - 1.0f) * 100.0f / pf;
  const float sy = (hf - 1.0f) * 100.0f / pf;

  p.rowOf.assign(height, -1);
  for (int i = 0; i < height; ++i) {
    const long long g = SourceIndex(sy, i, hf, y0);
    if (g >= 0 && g <= height - 1) p.rowOf[i] = static_cast<int>(g);
  }
  p.lumaOffset.assign(width, -1);
  p.chromaOffset.assign(width, -1);
  for (int j = 0; j < width; ++j) {
    const long long m = SourceIndex(sx, j, wf, x0);
    if (m < 0 || m > width - 1) continue;
    // The chroma of an even column is the U of m's pair, of an odd column its
    // V; on an odd width the last pixel has no partner and keeps its own byte.
    long long c = (j & 1) ? (m | 1) : (m & ~1LL);
    if (c > width - 1) c = m;
    p.lumaOffset[j] = static_cast<int>(2 * m);
    p.chromaOffset[j] = static_cast<int>(2 * c + 1);
  }

  const int chunks = width / kChunk;
  p.chunkBase.assign(chunks, -1);
  p.shuffle.assign(static_cast<size_t>(chunks) * 32, 0x80);
  const int rowBytes = width * 2;
  for (int k = 0; k < chunks; ++k) {
    int lo = rowBytes, hi = -1;
    bool ok = true;
    for (int j = k * kChunk; j < (k + 1) * kChunk; ++j) {
      if (p.lumaOffset[j] < 0) {
        ok = false;
        break;
      }
      lo = std::min({lo, p.lumaOffset[j], p.chromaOffset[j]});
      hi = std::max({hi, p.lumaOffset[j], p.chromaOffset[j]});
    }
    if (!ok || hi - lo >= 32 || lo + 32 > rowBytes) continue;
    p.chunkBase[k] = lo;
    BYTE* mask = &p.shuffle[static_cast<size_t>(k) * 32];
    for (int t = 0; t < kChunk; ++t) {
      const int j = k * kChunk + t;
      const int offs[2] = {p.lumaOffset[j] - lo, p.chromaOffset[j] - lo};
      for (int b = 0; b < 2; ++b) {
        const int o = offs[b];
        if (o < 16)
          mask[2 * t + b] = static_cast<BYTE>(o);
        else
          mask[16 + 2 * t + b] = static_cast<BYTE>(o - 16);
      }
    }
  }
}

int CNBZoomEffect::Apply(BYTE* dst, int dstStride, BYTE* src, int srcStride, int width, int height) {
  if (m_percentage <= 100) return 0;
  if (!dst || !src || width <= 0 || height <= 0) return 0;
  PrepareColumns(width, height);
  static const bool vector = __builtin_cpu_supports("ssse3");
  const Plan& p = m_plan;
  const int chunks = vector ? width / kChunk : 0;
  for (int i = 0; i < height; ++i) {
    BYTE* d = dst + static_cast<ptrdiff_t>(i) * dstStride;
    const int g = p.rowOf[i];
    if (g < 0) {
      for (int j = 0; j < width; ++j) {
        d[2 * j] = 0x00;
        d[2 * j + 1] = 0x80;
      }
      continue;
    }
    if (i > 0 && p.rowOf[i - 1] == g) {
      std::memcpy(d, d - dstStride, static_cast<size_t>(width) * 2);
      continue;
    }
    const BYTE* s = src + static_cast<ptrdiff_t>(g) * srcStride;
    // One output pixel from its planned source bytes, black outside the picture.
    auto mapPixels = [&](int from, int to) {
      for (int j = from; j < to; ++j) {
        if (p.lumaOffset[j] < 0) {
          d[2 * j] = 0x00;
          d[2 * j + 1] = 0x80;
        } else {
          d[2 * j] = s[p.lumaOffset[j]];
          d[2 * j + 1] = s[p.chromaOffset[j]];
        }
      }
    };
    for (int k = 0; k < chunks; ++k) {
      if (p.chunkBase[k] >= 0)
        ShuffleChunk(d + 2 * k * kChunk, s + p.chunkBase[k], &p.shuffle[static_cast<size_t>(k) * 32]);
      else
        mapPixels(k * kChunk, (k + 1) * kChunk);
    }
    mapPixels(chunks * kChunk, width);
  }
  return 0;
}
