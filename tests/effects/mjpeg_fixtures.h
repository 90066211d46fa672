// Small fixtures for the MJPEG tests: JPEG frames made by ffmpeg (an encoder
// independent of ours, with its own Huffman tables), marker surgery on JPEG
// bytes, and synthetic YUY2 pictures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zorcam::testing {

// One frame of ffmpeg's test pattern as a JPEG, pixel format e.g. "yuvj422p"
// or "yuvj420p". Fails the calling test (empty result) when ffmpeg is missing.
std::string FfmpegJpeg(int width, int height, const std::string& pixelFormat);

// A black-to-white gradient, top to bottom (or left to right), as a 4:2:2
// JPEG (sampling 2x1, 1x1, 1x1) with optimised Huffman tables of its own,
// made by ImageMagick.
std::string MagickGradientJpeg(int width, int height, bool leftToRight = false);

// Random noise as a 4:2:2 JPEG at a low quality (a picture whose re-encode at
// quality 75 is much larger), made by ImageMagick with a fixed seed.
std::string MagickNoiseJpeg(int width, int height, int quality);

// The same test pattern before compression, as full-range YUY2 (the sample
// values a JPEG decoder should reproduce closely).
std::vector<std::uint8_t> FfmpegPatternYuy2(int width, int height);

// The JPEG with every segment of the given marker (e.g. 0xC4, DHT) removed.
std::string StripSegments(const std::string& jpeg, int marker);

// A smooth YUY2 picture (gradients, no hard edges) that survives a JPEG round
// trip closely.
std::vector<std::uint8_t> GradientYuy2(int width, int height);

// Largest absolute byte difference between two equally long buffers.
int MaxDifference(const std::uint8_t* a, const std::uint8_t* b, size_t size);
double MeanDifference(const std::uint8_t* a, const std::uint8_t* b, size_t size);

}  // namespace zorcam::testing
