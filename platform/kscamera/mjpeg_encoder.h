// The virtual camera's MJPEG encoder: one YUY2 frame to one baseline JPEG
// with 4:2:2 sampling (Y at full width, Cb and Cr at half width, full
// height), written straight into a caller's buffer. libjpeg-turbo does the
// coding; this module only feeds it raw planes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kscamera {

class MjpegEncoder {
 public:
  explicit MjpegEncoder(int quality = 80) : quality_(quality) {}
  // Encodes a width x height YUY2 frame (width even, height a multiple of 8)
  // into out[0..capacity). Returns the JPEG length, or 0 if it does not fit
  // or the library reports an error.
  size_t Encode(const uint8_t* yuy2, int width, int height, uint8_t* out, size_t capacity);

 private:
  int quality_;
  std::vector<uint8_t> planes_;  // 8 rows of Y, Cb, Cr reused between frames
};

}  // namespace kscamera
