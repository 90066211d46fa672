// CNBFlipEffect: row mirror by whole 4-byte macropixels, vertical flip by row
// copies. The mirror kernel is chosen once per process: AVX2 (8 macropixels
// per step) when the processor has it, else a scalar loop.
#include "effects/flip_effect.h"

#include <immintrin.h>

#include <cstring>

namespace {

// Destination macropixel k = source macropixel n - 1 - k with its luma bytes
// exchanged: Y1 U Y0 V.
void MirrorRowScalar(BYTE* dst, const BYTE* src, int macropixels, int from) {
  for (int k = from; k < macropixels; ++k) {
    const BYTE* p = src + 4 * (macropixels - 1 - k);
    BYTE* q = dst + 4 * k;
    q[0] = p[2];
    q[1] = p[1];
    q[2] = p[0];
    q[3] = p[3];
  }
}

__attribute__((target("avx2"))) void MirrorRowAvx2(BYTE* dst, const BYTE* src, int macropixels) {
  // Within each 128-bit lane: reverse the four macropixels and swap Y0/Y1;
  // then exchange the two lanes.
  const __m256i mask = _mm256_setr_epi8(14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0, 3,  //
                                        14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0, 3);
  int k = 0;
  for (; k + 8 <= macropixels; k += 8) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 4 * (macropixels - 8 - k)));
    v = _mm256_shuffle_epi8(v, mask);
    v = _mm256_permute4x64_epi64(v, 0x4E);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 4 * k), v);
  }
  MirrorRowScalar(dst, src, macropixels, k);
}

void MirrorRowPortable(BYTE* dst, const BYTE* src, int macropixels) { MirrorRowScalar(dst, src, macropixels, 0); }

using MirrorRowFn = void (*)(BYTE*, const BYTE*, int);

MirrorRowFn ChooseMirrorRow() { return __builtin_cpu_supports("avx2") ? MirrorRowAvx2 : MirrorRowPortable; }

}  // namespace

int CNBFlipEffect::IsActive() { return (m_horizontal != 0 || m_vertical != 0) ? 1 : 0; }

int CNBFlipEffect::IsInPlace() { return (m_horizontal == 0 && m_vertical == 0) ? 1 : 0; }

int CNBFlipEffect::Apply(BYTE* dst, int dstStride, BYTE* src, int srcStride, int width, int height) {
  if (m_horizontal == 0 && m_vertical == 0) return 0;
  if (!dst || !src || width <= 0 || height <= 0) return 0;
  static const MirrorRowFn mirrorRow = ChooseMirrorRow();
  const int macropixels = width / 2;
  for (int r = 0; r < height; ++r) {
    const int from = m_vertical ? height - 1 - r : r;
    const BYTE* s = src + static_cast<ptrdiff_t>(from) * srcStride;
    BYTE* d = dst + static_cast<ptrdiff_t>(r) * dstStride;
    if (m_horizontal)
      mirrorRow(d, s, macropixels);
    else
      std::memcpy(d, s, static_cast<size_t>(macropixels) * 4);
  }
  return 0;
}
