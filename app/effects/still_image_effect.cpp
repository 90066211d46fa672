// CStillImageEffect: picture decoding and stretching with Qt Gui, conversion
// to YUY2 plus opacity once per frame size, and the per-frame blend.
//
// The stretch draws the decoded picture into a zeroed 32-bit ARGB image of the
// frame size (bytes blue, green, red, opacity) with QPainter's default
// composition and smooth (bilinear) scaling; the aspect ratio is not kept.
// Where nothing of the picture lands the opacity stays 0.
//
// The blend needs, per frame byte, floor(overlay * a / 255) (fixed for the
// size, prepared with the overlay) and floor(frame * (255 - a) / 255). The
// latter is computed exactly as (x * 0x8081) >> 23, valid for 0 <= x <= 65535.
// Blocks whose pixels are all transparent are skipped.
#include "effects/still_image_effect.h"

#include <immintrin.h>

#include <QPainter>
#include <QString>
#include <algorithm>
#include <cstring>

namespace {

BYTE ClampTruncate(double v) {
  // Truncation toward zero first, then the clamp.
  long long t = static_cast<long long>(v);
  if (t < 0) t = 0;
  if (t > 255) t = 255;
  return static_cast<BYTE>(t);
}

constexpr int kBandRows = 32;  // rows per drawing call when stretching the picture

inline unsigned Div255(unsigned x) { return (x * 0x8081u) >> 23; }

void BlendScalar(BYTE* frame, const BYTE* premul, const BYTE* keep, size_t from, size_t bytes) {
  for (size_t i = from; i < bytes; ++i) frame[i] = static_cast<BYTE>(premul[i] + Div255(frame[i] * unsigned{keep[i]}));
}

__attribute__((target("avx2"))) void BlendAvx2(BYTE* frame, const BYTE* premul, const BYTE* keep, size_t bytes) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i all = _mm256_set1_epi8(static_cast<char>(0xFF));
  const __m256i magic = _mm256_set1_epi16(static_cast<short>(0x8081));
  size_t i = 0;
  for (; i + 32 <= bytes; i += 32) {
    const __m256i k = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keep + i));
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(k, all)) == -1) continue;  // all transparent
    const __m256i f = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(frame + i));
    const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(premul + i));
    __m256i lo = _mm256_mullo_epi16(_mm256_unpacklo_epi8(f, zero), _mm256_unpacklo_epi8(k, zero));
    __m256i hi = _mm256_mullo_epi16(_mm256_unpackhi_epi8(f, zero), _mm256_unpackhi_epi8(k, zero));
    lo = _mm256_srli_epi16(_mm256_mulhi_epu16(lo, magic), 7);
    hi = _mm256_srli_epi16(_mm256_mulhi_epu16(hi, magic), 7);
    const __m256i r = _mm256_add_epi8(_mm256_packus_epi16(lo, hi), p);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(frame + i), r);
  }
  BlendScalar(frame, premul, keep, i, bytes);
}

void BlendPortable(BYTE* frame, const BYTE* premul, const BYTE* keep, size_t bytes) {
  BlendScalar(frame, premul, keep, 0, bytes);
}

using BlendFn = void (*)(BYTE*, const BYTE*, const BYTE*, size_t);

BlendFn ChooseBlend() { return __builtin_cpu_supports("avx2") ? BlendAvx2 : BlendPortable; }

}  // namespace

BYTE CStillImageEffect::RgbToY(int r, int g, int b) { return ClampTruncate(0.257 * r + 0.504 * g + 0.098 * b + 16); }

BYTE CStillImageEffect::RgbToU(int r, int g, int b) {
  return ClampTruncate(0.439 * b - (0.148 * r + 0.291 * g) + 128);
}

BYTE CStillImageEffect::RgbToV(int r, int g, int b) { return ClampTruncate(0.439 * r - 0.368 * g - 0.071 * b + 128); }

CStillImageEffect::CStillImageEffect(const std::wstring& kind, const std::wstring& imagePath,
                                     const std::wstring& thumbnailPath, int id)
    : m_kind(kind), m_imagePath(imagePath), m_thumbnailPath(thumbnailPath), m_id(id) {
  m_picture.path = imagePath;
  // A missing or undecodable file leaves the image null: the overlay then has
  // opacity 0 everywhere.
  if (!m_picture.path.empty()) m_picture.image.load(QString::fromStdWString(m_picture.path));
}

CStillImageEffect::~CStillImageEffect() {
  m_picture.cachedWidth = 0;
  m_picture.cachedHeight = 0;
}

int CStillImageEffect::IsActive() { return 1; }
int CStillImageEffect::IsInPlace() { return 1; }
std::wstring CStillImageEffect::GetThumbnailPath() { return m_thumbnailPath; }
std::wstring CStillImageEffect::GetImagePath() { return m_imagePath; }
int CStillImageEffect::GetId() { return m_id; }

void CStillImageEffect::PrepareOverlay(int width, int height) {
  Picture& pic = m_picture;
  if (width == pic.cachedWidth && height == pic.cachedHeight) return;
  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);

  // The stretched picture, 4 bytes per pixel: blue, green, red, opacity.
  std::vector<uint32_t> argb(pixels, 0);
  if (!pic.image.isNull()) {
    QImage target(reinterpret_cast<uchar*>(argb.data()), width, height, width * 4, QImage::Format_ARGB32);
    QPainter painter(&target);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    // Drawn band by band: Qt spreads one large drawing over worker threads of
    // its own, which would start threads from the effect thread and which the
    // thread sanitizer cannot follow. Each band is the same stretch of the
    // whole picture, clipped, so every pixel comes out as in one drawing.
    for (int y = 0; y < height; y += kBandRows) {
      painter.setClipRect(0, y, width, std::min(kBandRows, height - y));
      painter.drawImage(QRect(0, 0, width, height), pic.image);
    }
  }

  pic.overlay.assign(pixels * 2, 0);
  pic.alpha.assign(pixels, 0);
  const BYTE* bgra = reinterpret_cast<const BYTE*>(argb.data());
  for (int r = 0; r < height; ++r) {
    for (int k = 0; k < width / 2; ++k) {
      const size_t p0 = static_cast<size_t>(r) * width + 2 * k;
      const BYTE* c0 = bgra + 4 * p0;
      const BYTE* c1 = c0 + 4;
      BYTE* o = &pic.overlay[2 * p0];
      o[0] = RgbToY(c0[2], c0[1], c0[0]);
      o[1] = RgbToU(c0[2], c0[1], c0[0]);
      o[2] = RgbToY(c1[2], c1[1], c1[0]);
      o[3] = RgbToV(c0[2], c0[1], c0[0]);
      pic.alpha[p0] = c0[3];
      pic.alpha[p0 + 1] = c1[3];
    }
  }

  pic.premul.assign(pixels * 2, 0);
  pic.keep.assign(pixels * 2, 255);
  pic.anyOpaque = false;
  for (size_t p = 0; p < pixels; ++p) {
    const unsigned a = pic.alpha[p];
    if (a) pic.anyOpaque = true;
    for (int b = 0; b < 2; ++b) {
      pic.premul[2 * p + b] = static_cast<BYTE>(pic.overlay[2 * p + b] * a / 255);
      pic.keep[2 * p + b] = static_cast<BYTE>(255 - a);
    }
  }
  pic.cachedWidth = width;
  pic.cachedHeight = height;
  ++pic.builds;
}

int CStillImageEffect::Apply(BYTE*, int, BYTE* src, int, int width, int height) {
  if (!src || width <= 0 || height <= 0) return 0;
  PrepareOverlay(width, height);
  if (!m_picture.anyOpaque) return 0;
  static const BlendFn blend = ChooseBlend();
  blend(src, m_picture.premul.data(), m_picture.keep.data(), static_cast<size_t>(width) * height * 2);
  return 0;
}
