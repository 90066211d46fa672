// Synthetic YUY2 frames for the effect tests: seeded noise, and "scene"
// frames (smooth gradients, hard-edged blocks and a little noise) whose
// neighbouring pixels are sometimes close and sometimes far apart.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace effects_test {

inline std::vector<uint8_t> NoiseFrame(int stride, int height, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> f(static_cast<size_t>(stride) * height);
  for (auto& b : f) b = static_cast<uint8_t>(rng());
  return f;
}

inline std::vector<uint8_t> SceneFrame(int width, int height, int stride, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> f(static_cast<size_t>(stride) * height, 0xEE);  // padding marker
  const int blocks = 6;
  struct Block {
    int x0, y0, x1, y1, y;
  } bl[blocks];
  for (auto& b : bl) {
    b.x0 = static_cast<int>(rng() % width);
    b.y0 = static_cast<int>(rng() % height);
    b.x1 = b.x0 + static_cast<int>(rng() % (width / 2 + 1));
    b.y1 = b.y0 + static_cast<int>(rng() % (height / 2 + 1));
    b.y = static_cast<int>(rng() % 256);
  }
  const int dark = static_cast<int>(rng() % 120);
  for (int r = 0; r < height; ++r)
    for (int c = 0; c < width; ++c) {
      int y = dark + (c * 90) / (width > 1 ? width : 1) + (r * 40) / (height > 1 ? height : 1);
      for (const auto& b : bl)
        if (c >= b.x0 && c < b.x1 && r >= b.y0 && r < b.y1) y = b.y;
      y += static_cast<int>(rng() % 21) - 10;
      if (y < 0) y = 0;
      if (y > 255) y = 255;
      uint8_t* p = &f[static_cast<size_t>(r) * stride + 2 * c];
      p[0] = static_cast<uint8_t>(y);
      p[1] = static_cast<uint8_t>(128 + static_cast<int>(rng() % 161) - 80);
    }
  return f;
}

}  // namespace effects_test
