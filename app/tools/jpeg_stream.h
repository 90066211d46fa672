// Splits a byte stream of concatenated JPEG images (what an MJPEG file or
// pipe holds) into single images, as the bytes arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zorcam::tools {

class JpegSplitter {
 public:
  // Adds bytes read from the stream.
  void Append(const std::uint8_t* data, size_t size);
  // Takes the next complete image (start marker to end marker) into `image`.
  // False when more bytes are needed, or on an error (see Error()).
  bool Next(std::vector<std::uint8_t>& image);
  // At the end of the stream: the bytes of an image that never ended (empty
  // when the stream ended cleanly).
  std::vector<std::uint8_t> Rest() const;
  // Non-empty once the stream is found not to be JPEG images.
  const std::string& Error() const { return error_; }
  // Offset in the whole stream of the next byte not yet taken.
  unsigned long long Offset() const { return consumed_; }

 private:
  // End of the image starting at buffer_[0], or 0 when not complete yet.
  size_t FindEnd();

  std::vector<std::uint8_t> buffer_;
  unsigned long long consumed_ = 0;
  std::string error_;
};

}  // namespace zorcam::tools
