// The virtual camera: a frame source that draws a moving, detailed test
// picture in YUY2 (and encodes it as 4:2:2 MJPEG), following the proc-amp
// values so that every picture setting has a visible effect.
//
// The picture: a scene texture made once per frame size (a zone plate, fine
// stripes and a checkerboard for sharpness and zoom, colour bars and a hue
// ramp for the colour settings, a dark-to-light staircase for contrast,
// gamma and back-light compensation), scrolled one step per frame, with a
// bright ball that moves across it and a frame counter bar. Per frame only
// table lookups are done: one 256-entry luma table (brightness, contrast,
// gamma, back-light compensation, gain) and one 2x2 chroma matrix (hue,
// saturation, colour enable, white balance); sharpness is a small luma
// unsharp mask.
//
// Threads: Produce runs on the camera's pacing thread, Prepare on the thread
// that starts a stream; SetControls may be called from any thread and is
// picked up at the next frame (controls_ is guarded by lock_).
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <mutex>

#include "kscamera/camera.h"
#include "kscamera/mjpeg_encoder.h"

namespace kscamera {

ULONG FrameBufferSize(const VideoFormat& format) {
  return static_cast<ULONG>(format.width) * static_cast<ULONG>(std::abs(format.height)) * 2;
}

namespace {

constexpr ControlRange kRanges[10] = {
    {-128, 127, 1, 0},     // brightness
    {0, 100, 1, 45},       // contrast
    {-180, 180, 1, 0},     // hue (degrees)
    {0, 200, 1, 64},       // saturation
    {0, 7, 1, 2},          // sharpness
    {1, 500, 1, 99},       // gamma (100 = 1.0)
    {0, 1, 1, 1},          // colour enable
    {2800, 6500, 10, 4600},  // white balance (kelvin)
    {0, 2, 1, 0},          // back-light compensation
    {0, 255, 1, 0},        // gain
};

uint8_t Clamp8(double v) { return static_cast<uint8_t>(std::clamp(v, 0.0, 255.0) + 0.5); }

struct Texture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> y;  // width * height
  std::vector<uint8_t> u;  // width / 2 * height
  std::vector<uint8_t> v;
};

void Rgb(uint8_t r, uint8_t g, uint8_t b, uint8_t* y, int* u, int* v) {
  *y = Clamp8(0.257 * r + 0.504 * g + 0.098 * b + 16);
  *u = static_cast<int>(-0.148 * r - 0.291 * g + 0.439 * b + 128);
  *v = static_cast<int>(0.439 * r - 0.368 * g - 0.071 * b + 128);
}

// The scene, drawn once per size.
Texture MakeTexture(int width, int height) {
  Texture t;
  t.width = width;
  t.height = height;
  t.y.resize(static_cast<size_t>(width) * height);
  t.u.resize(static_cast<size_t>(width / 2) * height);
  t.v.resize(t.u.size());
  const double cx = width * 0.25;
  const double cy = height * 0.5;
  const double k = 3.14159 / (width * 0.9);
  static const uint8_t bars[8][3] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                                     {235, 16, 235},  {235, 16, 16},  {16, 16, 235},  {16, 16, 16}};
  for (int row = 0; row < height; ++row) {
    for (int x = 0; x < width; x += 2) {
      int us = 0;
      int vs = 0;
      for (int i = 0; i < 2; ++i) {
        const int col = x + i;
        uint8_t r;
        uint8_t g;
        uint8_t b;
        const double fx = static_cast<double>(col) / width;
        const double fy = static_cast<double>(row) / height;
        if (fx < 0.5 && fy < 0.75) {
          // Zone plate: rings getting finer outwards.
          const double dx = col - cx;
          const double dy = row - cy * 0.75;
          const double s = 0.5 + 0.5 * std::cos(k * (dx * dx + dy * dy) / 8.0);
          r = Clamp8(40 + 200 * s);
          g = Clamp8(40 + 190 * s);
          b = Clamp8(60 + 160 * s);
        } else if (fy < 0.25) {
          // Colour bars.
          const int bar = std::min(7, static_cast<int>((fx - 0.5) * 16));
          r = bars[bar][0];
          g = bars[bar][1];
          b = bars[bar][2];
        } else if (fy < 0.5) {
          // Hue ramp with fine vertical stripes.
          const double h = (fx - 0.5) * 12.0;
          const double stripe = ((col / 2) % 2) ? 0.85 : 1.0;
          r = Clamp8(stripe * (127 + 120 * std::sin(h)));
          g = Clamp8(stripe * (127 + 120 * std::sin(h + 2.094)));
          b = Clamp8(stripe * (127 + 120 * std::sin(h + 4.189)));
        } else if (fy < 0.75) {
          // Checkerboard of shrinking squares.
          const int size = 4 + static_cast<int>((fx - 0.5) * 24);
          const bool on = ((col / size) + (row / size)) % 2 == 0;
          r = g = b = on ? 220 : 30;
        } else {
          // Staircase from black to white, warm tint.
          const int step = static_cast<int>(fx * 16);
          const double level = step * 255.0 / 15.0;
          r = Clamp8(level);
          g = Clamp8(level * 0.92);
          b = Clamp8(level * 0.8);
        }
        uint8_t yy;
        int uu;
        int vv;
        Rgb(r, g, b, &yy, &uu, &vv);
        t.y[static_cast<size_t>(row) * width + col] = yy;
        us += uu;
        vs += vv;
      }
      t.u[static_cast<size_t>(row) * (width / 2) + x / 2] = static_cast<uint8_t>(std::clamp(us / 2, 0, 255));
      t.v[static_cast<size_t>(row) * (width / 2) + x / 2] = static_cast<uint8_t>(std::clamp(vs / 2, 0, 255));
    }
  }
  return t;
}

class VirtualCamera final : public FrameSource {
 public:
  explicit VirtualCamera(std::wstring name) : name_(std::move(name)) {
    for (int i = 0; i < 10; ++i) controls_.value[i] = kRanges[i].defaultValue;
  }

  std::wstring FriendlyName() const override { return name_; }

  std::vector<VideoFormat> Formats() const override {
    std::vector<VideoFormat> formats;
    for (const GUID& subtype : {MEDIASUBTYPE_YUY2, MEDIASUBTYPE_MJPG}) {
      for (auto [w, h] : {std::pair{640, 480}, std::pair{320, 240}, std::pair{1280, 720}}) {
        formats.push_back(VideoFormat{subtype, w, h, 333333});
      }
    }
    return formats;
  }

  std::vector<REFERENCE_TIME> Intervals() const override { return {333333, 1250000}; }

  bool ControlRangeOf(ULONG property, ControlRange* range) const override {
    if (property >= 10) return false;
    *range = kRanges[property];
    return true;
  }

  void SetControls(const PictureControls& controls) override {
    std::lock_guard<std::mutex> guard(lock_);
    controls_ = controls;
  }

  void Prepare(const VideoFormat& format) override {
    std::lock_guard<std::mutex> guard(frameLock_);
    const int w = format.width;
    const int h = std::abs(format.height);
    if (w > 0 && h > 0 && (w % 2) == 0 && (texture_.width != w || texture_.height != h)) texture_ = MakeTexture(w, h);
  }

  ULONG Produce(const VideoFormat& format, ULONGLONG frame, BYTE* buffer, ULONG capacity) override {
    std::lock_guard<std::mutex> frameGuard(frameLock_);
    const int w = format.width;
    const int h = std::abs(format.height);
    const ULONG yuy2Size = static_cast<ULONG>(w) * h * 2;
    if (w <= 0 || h <= 0 || (w % 2) != 0) return 0;
    const bool mjpeg = format.subtype == MEDIASUBTYPE_MJPG;
    if (!mjpeg && capacity < yuy2Size) return 0;
    if (texture_.width != w || texture_.height != h) texture_ = MakeTexture(w, h);
    PictureControls controls;
    {
      std::lock_guard<std::mutex> guard(lock_);
      controls = controls_;
    }
    if (!tablesValid_ || std::memcmp(&controls, &tableControls_, sizeof controls) != 0) BuildTables(controls);
    BYTE* target = buffer;
    if (mjpeg) {
      scratch_.resize(yuy2Size);
      target = scratch_.data();
    }
    Draw(frame, target);
    if (!mjpeg) return yuy2Size;
    return static_cast<ULONG>(encoder_.Encode(target, w, h, buffer, capacity));
  }

 private:
  void BuildTables(const PictureControls& c) {
    const double brightness = c.value[0];
    const double contrast = c.value[1] / 45.0;  // default 45 = unchanged
    const double gamma = std::clamp(c.value[5], 30, 300) / 99.0;
    const double backlight = c.value[8];
    const double gain = 1.0 + c.value[9] / 255.0;
    for (int i = 0; i < 256; ++i) {
      double v = (i - 16) / 219.0;
      v = std::clamp(v, 0.0, 1.0);
      v = std::pow(v, 1.0 / gamma);
      if (backlight > 0) v = v + (1.0 - v) * v * 0.35 * backlight * (1.0 - v);  // lifts the shadows
      v = (v - 0.5) * contrast + 0.5;
      v = v * gain;
      lumaTable_[i] = Clamp8(16 + v * 219.0 + brightness);
    }
    const double hue = c.value[2] * 3.14159265 / 180.0;
    const double saturation = c.value[6] == 0 ? 0.0 : c.value[3] / 64.0;  // default 64 = unchanged
    uu_ = static_cast<int>(std::lround(std::cos(hue) * saturation * 256));
    uv_ = static_cast<int>(std::lround(-std::sin(hue) * saturation * 256));
    vu_ = static_cast<int>(std::lround(std::sin(hue) * saturation * 256));
    vv_ = static_cast<int>(std::lround(std::cos(hue) * saturation * 256));
    // White balance: a warmer setting shifts Cr up and Cb down.
    const double shift = (4600.0 - c.value[7]) / 100.0;
    uShift_ = static_cast<int>(std::lround(-shift));
    vShift_ = static_cast<int>(std::lround(shift));
    sharpness_ = c.value[4];
    tableControls_ = c;
    tablesValid_ = true;
  }

  void Draw(ULONGLONG frame, BYTE* out) {
    const int w = texture_.width;
    const int h = texture_.height;
    const int cw = w / 2;
    const int scroll = static_cast<int>((frame * 2) % static_cast<ULONGLONG>(cw)) * 2;  // even: keeps chroma pairs
    // A ball bouncing across the picture.
    const double phase = static_cast<double>(frame % 240) / 240.0;
    const int ballX = static_cast<int>((0.1 + 0.8 * std::fabs(2.0 * phase - 1.0)) * w);
    const int ballY = static_cast<int>((0.5 + 0.35 * std::sin(phase * 6.2831853 * 2)) * h);
    const int radius = std::max(6, h / 14);
    const int counterWidth = static_cast<int>(frame % 64) * w / 64;
    for (int row = 0; row < h; ++row) {
      const uint8_t* ty = &texture_.y[static_cast<size_t>(row) * w];
      const uint8_t* tu = &texture_.u[static_cast<size_t>(row) * cw];
      const uint8_t* tv = &texture_.v[static_cast<size_t>(row) * cw];
      BYTE* o = out + static_cast<size_t>(row) * w * 2;
      const int dy = row - ballY;
      const bool counterRow = row >= h - 6;
      for (int x = 0; x < w; x += 2) {
        const int sx = (x + scroll) % w;
        int y0 = ty[sx];
        int y1 = ty[sx + 1];
        int u = tu[sx / 2] - 128;
        int v = tv[sx / 2] - 128;
        const int dx = x - ballX;
        if (dx * dx + dy * dy < radius * radius) {
          y0 = y1 = 220;
          u = -40;
          v = 60;
        } else if (counterRow) {
          y0 = y1 = x < counterWidth ? 200 : 40;
          u = v = 0;
        }
        o[2 * x] = lumaTable_[y0];
        o[2 * x + 2] = lumaTable_[y1];
        o[2 * x + 1] = static_cast<BYTE>(std::clamp(128 + ((uu_ * u + uv_ * v) >> 8) + uShift_, 0, 255));
        o[2 * x + 3] = static_cast<BYTE>(std::clamp(128 + ((vu_ * u + vv_ * v) >> 8) + vShift_, 0, 255));
      }
      if (sharpness_ != 2) Sharpen(o, w);
    }
  }

  // Unsharp mask on one row's luma; sharpness 2 is neutral, lower blurs.
  void Sharpen(BYTE* row, int w) {
    const int amount = (sharpness_ - 2) * 24;  // per 64
    int previous = row[0];
    for (int x = 1; x + 1 < w; ++x) {
      const int current = row[2 * x];
      const int next = row[2 * x + 2];
      const int detail = 2 * current - previous - next;
      row[2 * x] = static_cast<BYTE>(std::clamp(current + amount * detail / 128, 0, 255));
      previous = current;
    }
  }

  const std::wstring name_;
  std::mutex lock_;
  PictureControls controls_;  // guarded by lock_
  // Guarded by frameLock_ (Produce on the pacing thread, Prepare on the
  // thread that starts the stream; never contended while frames flow):
  std::mutex frameLock_;
  Texture texture_;
  std::vector<uint8_t> scratch_;
  MjpegEncoder encoder_;
  bool tablesValid_ = false;
  PictureControls tableControls_{};
  std::array<uint8_t, 256> lumaTable_{};
  int uu_ = 256, uv_ = 0, vu_ = 0, vv_ = 256;
  int uShift_ = 0, vShift_ = 0;
  int sharpness_ = 2;
};

}  // namespace

std::unique_ptr<FrameSource> CreateVirtualCamera(const std::wstring& friendlyName) {
  return std::make_unique<VirtualCamera>(friendlyName);
}

}  // namespace kscamera
