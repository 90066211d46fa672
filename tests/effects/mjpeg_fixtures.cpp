#include "mjpeg_fixtures.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace zorcam::testing {

namespace {

std::string ReadPipe(const std::string& command, const std::string& what) {
  std::string bytes;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run " << command;
    return bytes;
  }
  char chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0) bytes.append(chunk, n);
  const int status = pclose(pipe);
  if (status != 0 || bytes.size() < 4) {
    ADD_FAILURE() << "could not make " << what << " with: " << command;
    bytes.clear();
  }
  return bytes;
}

std::string RunFfmpeg(int width, int height, const std::string& pixelFormat, const std::string& format) {
  const std::string command = "ffmpeg -nostdin -loglevel error -f lavfi -i testsrc2=size=" + std::to_string(width) +
                              "x" + std::to_string(height) + " -frames:v 1 -pix_fmt " + pixelFormat + " -f " +
                              format + " - 2>/dev/null";
  return ReadPipe(command, "a " + pixelFormat + " frame (is ffmpeg installed?)");
}

}  // namespace

std::string FfmpegJpeg(int width, int height, const std::string& pixelFormat) {
  return RunFfmpeg(width, height, pixelFormat, "mjpeg");
}

std::string MagickGradientJpeg(int width, int height, bool leftToRight) {
  const std::string command = "convert -size " + std::to_string(width) + "x" + std::to_string(height) +
                              (leftToRight ? " -define gradient:direction=east" : "") +
                              " gradient:black-white -colorspace sRGB -type TrueColor -sampling-factor 2x1"
                              " -define jpeg:optimize-coding=true -quality 95 jpeg:- 2>/dev/null";
  return ReadPipe(command, "a JPEG (is ImageMagick installed?)");
}

std::string MagickNoiseJpeg(int width, int height, int quality) {
  const std::string command = "convert -seed 7 -size " + std::to_string(width) + "x" + std::to_string(height) +
                              " xc:gray +noise Random -colorspace sRGB -type TrueColor -sampling-factor 2x1 -quality " +
                              std::to_string(quality) + " jpeg:- 2>/dev/null";
  return ReadPipe(command, "a JPEG (is ImageMagick installed?)");
}

std::vector<std::uint8_t> FfmpegPatternYuy2(int width, int height) {
  const std::string planes = RunFfmpeg(width, height, "yuvj422p", "rawvideo");
  std::vector<std::uint8_t> out(static_cast<size_t>(width) * height * 2);
  if (planes.size() != out.size()) {
    ADD_FAILURE() << "unexpected raw frame size " << planes.size();
    return out;
  }
  const auto* y = reinterpret_cast<const std::uint8_t*>(planes.data());
  const auto* u = y + static_cast<size_t>(width) * height;
  const auto* v = u + static_cast<size_t>(width / 2) * height;
  for (size_t i = 0; i < static_cast<size_t>(width) * height / 2; ++i) {
    out[4 * i] = y[2 * i];
    out[4 * i + 1] = u[i];
    out[4 * i + 2] = y[2 * i + 1];
    out[4 * i + 3] = v[i];
  }
  return out;
}

std::string StripSegments(const std::string& jpeg, int marker) {
  // Segments between SOI and SOS carry a 16-bit big-endian length.
  std::string out = jpeg.substr(0, 2);
  size_t pos = 2;
  while (pos + 4 <= jpeg.size()) {
    const auto m = static_cast<unsigned char>(jpeg[pos + 1]);
    const size_t length =
        (static_cast<unsigned char>(jpeg[pos + 2]) << 8) | static_cast<unsigned char>(jpeg[pos + 3]);
    if (m == 0xDA) break;  // start of scan: the rest is copied as it is
    if (m != marker) out.append(jpeg, pos, length + 2);
    pos += length + 2;
  }
  out.append(jpeg, pos, std::string::npos);
  return out;
}

std::vector<std::uint8_t> GradientYuy2(int width, int height) {
  std::vector<std::uint8_t> p(static_cast<size_t>(width) * height * 2);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* px = &p[(static_cast<size_t>(y) * width + x) * 2];
      px[0] = static_cast<std::uint8_t>(16 + (x * 200) / width);
      px[1] = static_cast<std::uint8_t>((x & 1) == 0 ? 64 + (y * 128) / height : 192 - (x * 96) / width);
    }
  }
  return p;
}

int MaxDifference(const std::uint8_t* a, const std::uint8_t* b, size_t size) {
  int worst = 0;
  for (size_t i = 0; i < size; ++i) worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
  return worst;
}

double MeanDifference(const std::uint8_t* a, const std::uint8_t* b, size_t size) {
  double sum = 0;
  for (size_t i = 0; i < size; ++i) sum += std::abs(int(a[i]) - int(b[i]));
  return size == 0 ? 0 : sum / static_cast<double>(size);
}

}  // namespace zorcam::testing
