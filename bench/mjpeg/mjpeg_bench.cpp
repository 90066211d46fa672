// The MJPEG path of the effect manager at 640 x 480 (decode to YUY2, mirror,
// encode back, through OnFrame) against the JPEG library's own raw decode plus
// raw encode of the same frame; and the whole YUY2 chain with every effect on
// (flips, zoom, DeepTone, a decorative frame), in frames per second.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include "effects/effect_layers.h"
#include "effects/effect_mgr.h"
#include "effects/mjpeg_codec.h"
#include "support/bench_compare.h"
#include "win32/text.h"

namespace {

constexpr int kW = 640;
constexpr int kH = 480;

// A camera-like picture: smooth light falloff, some texture and sensor noise.
std::vector<BYTE> CameraLikeYuy2() {
  std::vector<BYTE> p(kW * kH * 2);
  unsigned seed = 12345;
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      seed = seed * 1103515245u + 12345u;
      const double noise = static_cast<double>((seed >> 16) & 7) - 3.5;
      const double luma = 60 + 120 * std::exp(-((x - 300.0) * (x - 300.0) + (y - 220.0) * (y - 220.0)) / 40000.0) +
                          18 * std::sin(x / 9.0) * std::cos(y / 13.0) + noise;
      BYTE* px = &p[(static_cast<size_t>(y) * kW + x) * 2];
      px[0] = static_cast<BYTE>(std::lround(std::fmin(235.0, std::fmax(16.0, luma))));
      px[1] = static_cast<BYTE>((x & 1) == 0 ? 120 + (y * 16) / kH : 136 - (x * 16) / kW);
    }
  }
  return p;
}

std::vector<BYTE> CameraJpeg() {
  const std::vector<BYTE> yuy2 = CameraLikeYuy2();
  zorcam::mjpeg::DecodedPicture picture;
  zorcam::mjpeg::PreparePicture(&picture, kW, kH);
  std::memcpy(picture.data, yuy2.data(), yuy2.size());
  std::vector<BYTE> jpeg(yuy2.size());
  jpeg.resize(zorcam::mjpeg::Encode(picture, jpeg.data(), static_cast<DWORD>(jpeg.size())));
  zorcam::mjpeg::FreePicture(&picture);
  return jpeg;
}

void BM_MjpegPathMirror(benchmark::State& state) {
  const std::vector<BYTE> jpeg = CameraJpeg();
  NBEffectMgr mgr;
  mgr.Start();
  mgr.SetEffect(1, 1, 0, 0);
  std::vector<BYTE> buffer(kW * kH * 2);
  size_t bytes = 0;
  for (auto _ : state) {
    std::memcpy(buffer.data(), jpeg.data(), jpeg.size());
    FrameDescriptor frame;
    frame.data = buffer.data();
    frame.capacity = static_cast<DWORD>(buffer.size());
    frame.dwBytesUsed = static_cast<DWORD>(jpeg.size());
    frame.dwWidth = kW;
    frame.dwHeight = kH;
    frame.subtype = MEDIASUBTYPE_MJPG;
    mgr.OnFrame(&frame);
    if (frame.dwBytesUsed == 0) state.SkipWithError("re-encode did not fit");
    bytes = frame.dwBytesUsed;
    benchmark::DoNotOptimize(buffer.data());
  }
  state.counters["jpeg_in"] = static_cast<double>(jpeg.size());
  state.counters["jpeg_out"] = static_cast<double>(bytes);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MjpegPathMirror)->Unit(benchmark::kMillisecond)->UseRealTime();

// The anchor: the library decodes the same JPEG into raw planes and encodes
// those planes again with the same settings (quality 75, 4:2:2, 2x1 luma),
// using its own memory source and destination.
struct Planes {
  std::vector<BYTE> y = std::vector<BYTE>(kW * kH), cb = std::vector<BYTE>(kW * kH / 2),
                    cr = std::vector<BYTE>(kW * kH / 2);
  JSAMPROW yr[8], cbr[8], crr[8];
  JSAMPARRAY rows[3] = {yr, cbr, crr};
  JSAMPIMAGE At(int row) {
    for (int r = 0; r < 8; ++r) {
      yr[r] = &y[(row + r) * kW];
      cbr[r] = &cb[(row + r) * kW / 2];
      crr[r] = &cr[(row + r) * kW / 2];
    }
    return rows;
  }
};

void LibjpegRawDecode(const std::vector<BYTE>& jpeg, Planes& planes) {
  jpeg_decompress_struct d;
  jpeg_error_mgr err;
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, jpeg.data(), jpeg.size());
  jpeg_read_header(&d, TRUE);
  d.raw_data_out = TRUE;
  d.out_color_space = JCS_YCbCr;
  jpeg_start_decompress(&d);
  while (d.output_scanline < d.output_height) {
    jpeg_read_raw_data(&d, planes.At(static_cast<int>(d.output_scanline)), 8);
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
}

size_t LibjpegRawEncode(Planes& planes, std::vector<BYTE>& out) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* dest = out.data();
  unsigned long destSize = out.size();
  jpeg_mem_dest(&c, &dest, &destSize);
  c.image_width = kW;
  c.image_height = kH;
  c.input_components = 3;
  c.in_color_space = JCS_YCbCr;
  jpeg_set_defaults(&c);
  c.raw_data_in = TRUE;
  jpeg_set_colorspace(&c, JCS_YCbCr);
  c.comp_info[0].h_samp_factor = 2;
  c.comp_info[0].v_samp_factor = 1;
  c.comp_info[1].h_samp_factor = c.comp_info[1].v_samp_factor = 1;
  c.comp_info[2].h_samp_factor = c.comp_info[2].v_samp_factor = 1;
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    jpeg_write_raw_data(&c, planes.At(static_cast<int>(c.next_scanline)), 8);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  if (dest != out.data()) std::free(dest);  // the library had to grow the buffer
  return destSize;
}

void BM_LibjpegRawDecodeEncode(benchmark::State& state) {
  const std::vector<BYTE> jpeg = CameraJpeg();
  Planes planes;
  std::vector<BYTE> out(kW * kH * 2);
  for (auto _ : state) {
    LibjpegRawDecode(jpeg, planes);
    benchmark::DoNotOptimize(LibjpegRawEncode(planes, out));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LibjpegRawDecodeEncode)->Unit(benchmark::kMillisecond)->UseRealTime();

// The two halves on their own, each against the library's raw half.
void BM_MjpegDecodeToYuy2(benchmark::State& state) {
  const std::vector<BYTE> jpeg = CameraJpeg();
  zorcam::mjpeg::DecodedPicture picture;
  for (auto _ : state) {
    zorcam::mjpeg::PreparePicture(&picture, kW, kH);
    if (!zorcam::mjpeg::Decode(jpeg.data(), static_cast<DWORD>(jpeg.size()), &picture)) state.SkipWithError("decode");
    benchmark::DoNotOptimize(picture.data);
  }
  zorcam::mjpeg::FreePicture(&picture);
}
BENCHMARK(BM_MjpegDecodeToYuy2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LibjpegRawDecode(benchmark::State& state) {
  const std::vector<BYTE> jpeg = CameraJpeg();
  Planes planes;
  for (auto _ : state) {
    LibjpegRawDecode(jpeg, planes);
    benchmark::DoNotOptimize(planes.y.data());
  }
}
BENCHMARK(BM_LibjpegRawDecode)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MjpegEncodeFromYuy2(benchmark::State& state) {
  const std::vector<BYTE> yuy2 = CameraLikeYuy2();
  zorcam::mjpeg::DecodedPicture picture;
  zorcam::mjpeg::PreparePicture(&picture, kW, kH);
  std::memcpy(picture.data, yuy2.data(), yuy2.size());
  std::vector<BYTE> out(kW * kH * 2);
  for (auto _ : state) {
    benchmark::DoNotOptimize(zorcam::mjpeg::Encode(picture, out.data(), static_cast<DWORD>(out.size())));
  }
  zorcam::mjpeg::FreePicture(&picture);
}
BENCHMARK(BM_MjpegEncodeFromYuy2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LibjpegRawEncode(benchmark::State& state) {
  const std::vector<BYTE> jpeg = CameraJpeg();
  Planes planes;
  LibjpegRawDecode(jpeg, planes);
  std::vector<BYTE> out(kW * kH * 2);
  for (auto _ : state) benchmark::DoNotOptimize(LibjpegRawEncode(planes, out));
}
BENCHMARK(BM_LibjpegRawEncode)->Unit(benchmark::kMillisecond)->UseRealTime();

// Every effect of the YUY2 chain on: mirror, vertical flip, zoom 200 %,
// DeepTone on, and a decorative frame from the program's collection.
void BM_Yuy2ChainAllEffects(benchmark::State& state) {
  SetProgramFolderOverride(win32::FromUtf8(ZORCAM_PROGRAM_DIR));
  NBEffectMgr mgr;
  mgr.Start();
  mgr.SetEffect(1, 1, 0, 0);
  mgr.SetEffect(0, 1, 0, 0);
  mgr.SetEffect(2, 200, 0.25f, 0.25f);
  mgr.SetEffect(4, 2, 0, 0);
  if (mgr.Frames().Count() == 0) {
    state.SkipWithError("no decorative frame found in the program folder");
    return;
  }
  mgr.SelectEffect(0x20000);
  std::vector<BYTE> picture = CameraLikeYuy2();
  for (auto _ : state) {
    FrameDescriptor frame;
    frame.data = picture.data();
    frame.capacity = static_cast<DWORD>(picture.size());
    frame.dwBytesUsed = static_cast<DWORD>(picture.size());
    frame.dwWidth = kW;
    frame.dwHeight = kH;
    frame.subtype = MEDIASUBTYPE_YUY2;
    mgr.OnFrame(&frame);
    benchmark::DoNotOptimize(picture.data());
  }
  state.SetItemsProcessed(state.iterations());  // items per second = frames per second
  SetProgramFolderOverride(L"");
}
BENCHMARK(BM_Yuy2ChainAllEffects)->Unit(benchmark::kMillisecond)->UseRealTime();

// Anchor of the chain: one memcpy of a frame.
void BM_FrameMemcpy(benchmark::State& state) {
  std::vector<BYTE> a = CameraLikeYuy2(), b(a.size());
  for (auto _ : state) {
    std::memcpy(b.data(), a.data(), a.size());
    benchmark::DoNotOptimize(b.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FrameMemcpy)->Unit(benchmark::kMillisecond)->UseRealTime();

const bool registered =
    (zorcam::bench::Compare("BM_MjpegPathMirror/real_time", "BM_LibjpegRawDecodeEncode/real_time", 1.15),
     zorcam::bench::Compare("BM_MjpegDecodeToYuy2/real_time", "BM_LibjpegRawDecode/real_time"),
     zorcam::bench::Compare("BM_MjpegEncodeFromYuy2/real_time", "BM_LibjpegRawEncode/real_time"),
     zorcam::bench::Compare("BM_Yuy2ChainAllEffects/real_time", "BM_FrameMemcpy/real_time"), true);

}  // namespace
