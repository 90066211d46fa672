// Frame effects at 640 x 480 YUY2 on camera-like content, each measured next
// to its anchor in the same run:
//   mirror, vertical flip         vs memcpy of one frame (and cv::flip)
//   zoom 200 %                    vs cv::resize nearest of the same window
//   overlay blend (prepared)      vs an 8-bit blend with cv::multiply/cv::add
//     (a decorative frame, and an opaque screen cover as the worst case)
//   DeepTone mode 2, whole frame  vs CLAHE with a 4 x 4 grid on the luma plane
// The last benchmark runs the whole effect chain over 10,000 frames and
// reports the heap in use and the peak resident memory before and after.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <QImage>
#include <QPainter>
#include <QDir>
#include <cstdio>
#include <cstring>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <vector>

#include "effects/deeptone.h"
#include "effects/flip_effect.h"
#include "effects/still_image_effect.h"
#include "effects/zoom_effect.h"
#include "support/bench_compare.h"

namespace {

constexpr int kW = 640, kH = 480, kStride = kW * 2;
constexpr size_t kBytes = static_cast<size_t>(kStride) * kH;

// A dim indoor scene: gradients, a few hard-edged objects, sensor noise and
// moderately saturated chroma.
std::vector<uint8_t> CameraFrame(uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> f(kBytes);
  for (int r = 0; r < kH; ++r)
    for (int c = 0; c < kW; ++c) {
      int y = 40 + c / 8 + r / 12;
      if (c > 200 && c < 420 && r > 120 && r < 400) y = 150 + (c - 200) / 10;  // a face-like bright area
      if (c > 480 && r < 200) y = 220;                                          // a window
      y += static_cast<int>(rng() % 9) - 4;
      uint8_t* p = &f[static_cast<size_t>(r) * kStride + 2 * c];
      p[0] = static_cast<uint8_t>(std::clamp(y, 0, 255));
      p[1] = static_cast<uint8_t>(128 + ((c & 1) ? 20 : -12) + static_cast<int>(rng() % 7) - 3);
    }
  return f;
}

// A decorative frame picture: an opaque border, a soft semi-transparent edge
// inside it and a transparent middle; written once as a PNG.
std::wstring FramePicture() {
  static std::wstring path;
  if (!path.empty()) return path;
  QImage image(400, 300, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      const int d = std::min({x, y, image.width() - 1 - x, image.height() - 1 - y});
      int a = d < 25 ? 255 : (d < 45 ? 255 - (d - 25) * 12 : 0);
      image.setPixel(x, y, qRgba(180 + x % 60, 120 + y % 80, 60, std::max(a, 0)));
    }
  const QString file = QDir::tempPath() + "/zorcam_bench_frame.png";
  image.save(file, "PNG");
  path = file.toStdWString();
  return path;
}

struct Frames {
  std::vector<uint8_t> src = CameraFrame(1), dst = std::vector<uint8_t>(kBytes);
};

void BM_Memcpy(benchmark::State& st) {
  Frames f;
  for (auto _ : st) {
    std::memcpy(f.dst.data(), f.src.data(), kBytes);
    benchmark::DoNotOptimize(f.dst.data());
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * kBytes);
}

void RunFlip(benchmark::State& st, int h, int v) {
  Frames f;
  CNBFlipEffect flip;
  flip.SetHorizontal(h);
  flip.SetVertical(v);
  for (auto _ : st) {
    flip.Apply(f.dst.data(), kStride, f.src.data(), kStride, kW, kH);
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * kBytes);
}
void BM_Mirror(benchmark::State& st) { RunFlip(st, 1, 0); }
void BM_VerticalFlip(benchmark::State& st) { RunFlip(st, 0, 1); }

void BM_OpenCVFlipMirror(benchmark::State& st) {
  Frames f;
  cv::Mat src(kH, kW, CV_8UC2, f.src.data()), dst(kH, kW, CV_8UC2, f.dst.data());
  for (auto _ : st) {
    cv::flip(src, dst, 1);
    benchmark::ClobberMemory();
  }
}

void BM_OpenCVFlipVertical(benchmark::State& st) {
  Frames f;
  cv::Mat src(kH, kW, CV_8UC2, f.src.data()), dst(kH, kW, CV_8UC2, f.dst.data());
  for (auto _ : st) {
    cv::flip(src, dst, 0);
    benchmark::ClobberMemory();
  }
}

// Zoom 200 % with the window in the middle of the picture.
void BM_Zoom200(benchmark::State& st) {
  Frames f;
  CNBZoomEffect zoom;
  zoom.SetPercentage(200);
  zoom.SetOrigin(0.25f, 0.25f);
  for (auto _ : st) {
    zoom.Apply(f.dst.data(), kStride, f.src.data(), kStride, kW, kH);
    benchmark::ClobberMemory();
  }
}

void BM_OpenCVResizeNearest200(benchmark::State& st) {
  Frames f;
  cv::Mat src(kH, kW, CV_8UC2, f.src.data()), dst(kH, kW, CV_8UC2, f.dst.data());
  const cv::Mat window = src(cv::Rect(kW / 4, kH / 4, kW / 2, kH / 2));
  for (auto _ : st) {
    cv::resize(window, dst, dst.size(), 0, 0, cv::INTER_NEAREST);
    benchmark::ClobberMemory();
  }
}

// The decorative frame, overlay already prepared (built before timing).
void BM_Blend(benchmark::State& st) {
  Frames f;
  CFrameEffect effect(FramePicture(), L"", 0x20000);
  effect.Apply(nullptr, 0, f.src.data(), kStride, kW, kH);
  for (auto _ : st) {
    effect.Apply(nullptr, 0, f.src.data(), kStride, kW, kH);
    benchmark::ClobberMemory();
  }
}

// A screen cover: opaque everywhere, with a soft-edged semi-transparent
// patch, so that no block can be skipped (the blend's worst case).
std::wstring CoverPicture() {
  static std::wstring path;
  if (!path.empty()) return path;
  QImage image(320, 240, QImage::Format_ARGB32);
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      const int a = (x > 100 && x < 220 && y > 60 && y < 180) ? 96 + (x + y) % 128 : 255;
      image.setPixel(x, y, qRgba(30 + x % 200, 60 + y % 150, 90, a));
    }
  const QString file = QDir::tempPath() + "/zorcam_bench_cover.png";
  image.save(file, "PNG");
  path = file.toStdWString();
  return path;
}

void BM_BlendCover(benchmark::State& st) {
  Frames f;
  CScreenCoverEffect effect(CoverPicture(), L"", 0x40000);
  effect.Apply(nullptr, 0, f.src.data(), kStride, kW, kH);
  for (auto _ : st) {
    effect.Apply(nullptr, 0, f.src.data(), kStride, kW, kH);
    benchmark::ClobberMemory();
  }
}

// The same picture blended with OpenCV: frame * (255 - a) / 255 + overlay * a / 255,
// with the opacity expanded to both bytes of every pixel.
void BM_OpenCVBlend(benchmark::State& st) {
  Frames f;
  CFrameEffect effect(FramePicture(), L"", 0x20000);
  effect.Apply(nullptr, 0, f.dst.data(), kStride, kW, kH);
  std::vector<uint8_t> alpha2(kBytes);
  for (size_t p = 0; p < kBytes / 2; ++p) alpha2[2 * p] = alpha2[2 * p + 1] = effect.Alpha()[p];
  cv::Mat frame(kH, kW, CV_8UC2, f.src.data());
  cv::Mat overlay(kH, kW, CV_8UC2, const_cast<uint8_t*>(effect.Overlay().data()));
  cv::Mat alpha(kH, kW, CV_8UC2, alpha2.data());
  cv::Mat keep = cv::Scalar(255, 255) - alpha;
  cv::Mat a, b;
  for (auto _ : st) {
    cv::multiply(overlay, alpha, a, 1.0 / 255);
    cv::multiply(frame, keep, b, 1.0 / 255);
    cv::add(a, b, frame);
    benchmark::ClobberMemory();
  }
}

// A new camera frame every iteration (copied in, as the frame path does), so
// the curves keep adapting; the copy is timed by BM_Memcpy.
void BM_DeepTone(benchmark::State& st) {
  Frames f;
  DeepToneEffect effect;
  effect.SetMode(2);
  for (auto _ : st) {
    st.PauseTiming();
    std::memcpy(f.dst.data(), f.src.data(), kBytes);
    st.ResumeTiming();
    effect.Apply(nullptr, 0, f.dst.data(), kStride, kW, kH);
    benchmark::ClobberMemory();
  }
}

void BM_OpenCVClahe4x4(benchmark::State& st) {
  Frames f;
  cv::Mat luma(kH, kW, CV_8UC1), out;
  for (int r = 0; r < kH; ++r)
    for (int c = 0; c < kW; ++c) luma.at<uint8_t>(r, c) = f.src[static_cast<size_t>(r) * kStride + 2 * c];
  auto clahe = cv::createCLAHE(2.0, cv::Size(4, 4));
  for (auto _ : st) {
    clahe->apply(luma, out);
    benchmark::ClobberMemory();
  }
}

// The effect chain (flip, zoom, DeepTone, frame) over 10,000 frames: the heap
// in use and the peak resident memory must not grow after the first frames.
void BM_HeapOver10000Frames(benchmark::State& st) {
  Frames f;
  CNBFlipEffect flip;
  flip.SetHorizontal(1);
  CNBZoomEffect zoom;
  zoom.SetPercentage(150);
  zoom.SetOrigin(0.1f, 0.2f);
  DeepToneEffect tone;
  tone.SetMode(2);
  CFrameEffect frame(FramePicture(), L"", 0x20000);
  std::vector<uint8_t> work(kBytes);
  auto chain = [&] {
    std::memcpy(work.data(), f.src.data(), kBytes);
    flip.Apply(f.dst.data(), kStride, work.data(), kStride, kW, kH);
    zoom.Apply(work.data(), kStride, f.dst.data(), kStride, kW, kH);
    tone.Apply(nullptr, 0, work.data(), kStride, kW, kH);
    frame.Apply(nullptr, 0, work.data(), kStride, kW, kH);
  };
  for (auto _ : st) {
    for (int i = 0; i < 10; ++i) chain();  // warm-up: every buffer and thread exists
    const size_t heapBefore = mallinfo2().uordblks;
    const long rssBefore = zorcam::bench::PeakRssKiB();
    for (int i = 0; i < 10000; ++i) chain();
    const size_t heapAfter = mallinfo2().uordblks;
    const long rssAfter = zorcam::bench::PeakRssKiB();
    std::printf("10,000 frames: heap in use %zu -> %zu bytes, peak RSS %ld -> %ld KiB\n", heapBefore, heapAfter,
                rssBefore, rssAfter);
    st.counters["heap_growth_bytes"] = static_cast<double>(heapAfter) - static_cast<double>(heapBefore);
    st.counters["peak_rss_growth_KiB"] = static_cast<double>(rssAfter - rssBefore);
  }
}

BENCHMARK(BM_Memcpy);
BENCHMARK(BM_Mirror);
BENCHMARK(BM_VerticalFlip);
BENCHMARK(BM_OpenCVFlipMirror);
BENCHMARK(BM_OpenCVFlipVertical);
BENCHMARK(BM_Zoom200);
BENCHMARK(BM_OpenCVResizeNearest200);
BENCHMARK(BM_Blend);
BENCHMARK(BM_BlendCover);
BENCHMARK(BM_OpenCVBlend);
BENCHMARK(BM_DeepTone);
BENCHMARK(BM_OpenCVClahe4x4);
BENCHMARK(BM_HeapOver10000Frames)->Iterations(1)->Unit(benchmark::kSecond);

const bool registered = [] {
  zorcam::bench::Compare("BM_Mirror", "BM_Memcpy", 1.5);
  zorcam::bench::Compare("BM_VerticalFlip", "BM_Memcpy", 1.2);
  zorcam::bench::Compare("BM_Mirror", "BM_OpenCVFlipMirror");
  zorcam::bench::Compare("BM_VerticalFlip", "BM_OpenCVFlipVertical");
  zorcam::bench::Compare("BM_Zoom200", "BM_OpenCVResizeNearest200", 0.5);
  zorcam::bench::Compare("BM_Blend", "BM_OpenCVBlend", 0.3);
  zorcam::bench::Compare("BM_BlendCover", "BM_OpenCVBlend");
  zorcam::bench::Compare("BM_DeepTone", "BM_OpenCVClahe4x4", 1.0);
  return true;
}();

}  // namespace
