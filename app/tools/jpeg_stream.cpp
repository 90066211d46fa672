// Splitting concatenated JPEG images by walking their marker segments and
// the entropy-coded data (no decoding).
#include "tools/jpeg_stream.h"

#include <cstring>

namespace zorcam::tools {

void JpegSplitter::Append(const std::uint8_t* data, size_t size) { buffer_.insert(buffer_.end(), data, data + size); }

// Walks the marker segments (each with a 16-bit length) up to the start of
// scan, then the entropy-coded data, where 0xFF is followed by 0x00 (a data
// byte), a restart marker 0xD0..0xD7, fill bytes 0xFF, or a real marker. A
// real marker ends the scan: the end-of-image marker ends the picture, any
// other (a progressive file's next table or scan) goes back to segments.
size_t JpegSplitter::FindEnd() {
  const std::vector<std::uint8_t>& b = buffer_;
  size_t pos = 2;
  bool inScan = false;
  while (true) {
    if (!inScan) {
      while (pos < b.size() && b[pos] == 0xFF && pos + 1 < b.size() && b[pos + 1] == 0xFF) ++pos;  // fill bytes
      if (pos + 2 > b.size()) return 0;
      if (b[pos] != 0xFF) {
        error_ = "broken JPEG: no marker where one is due";
        return 0;
      }
      const std::uint8_t marker = b[pos + 1];
      if (marker == 0xD9) return pos + 2;
      if (marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
        pos += 2;  // markers without a length
        continue;
      }
      if (pos + 4 > b.size()) return 0;
      const size_t length = (static_cast<size_t>(b[pos + 2]) << 8) | b[pos + 3];
      if (length < 2) {
        error_ = "broken JPEG: segment length below 2";
        return 0;
      }
      pos += 2 + length;
      if (marker == 0xDA) inScan = true;
      continue;
    }
    // Entropy-coded data.
    const std::uint8_t* found = nullptr;
    while (pos < b.size()) {
      found = static_cast<const std::uint8_t*>(std::memchr(b.data() + pos, 0xFF, b.size() - pos));
      if (found == nullptr) {
        pos = b.size();
        return 0;
      }
      pos = static_cast<size_t>(found - b.data());
      if (pos + 1 >= b.size()) return 0;
      const std::uint8_t next = b[pos + 1];
      if (next == 0x00 || (next >= 0xD0 && next <= 0xD7) || next == 0xFF) {
        pos += next == 0xFF ? 1 : 2;
        continue;
      }
      inScan = false;
      break;
    }
    if (inScan) return 0;
  }
}

bool JpegSplitter::Next(std::vector<std::uint8_t>& image) {
  if (!error_.empty() || buffer_.size() < 2) return false;
  if (buffer_[0] != 0xFF || buffer_[1] != 0xD8) {
    error_ = "not an MJPEG stream: no JPEG start marker at byte " + std::to_string(consumed_);
    return false;
  }
  const size_t end = FindEnd();
  if (end == 0 || end > buffer_.size()) return false;
  image.assign(buffer_.begin(), buffer_.begin() + static_cast<long>(end));
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(end));
  consumed_ += end;
  return true;
}

std::vector<std::uint8_t> JpegSplitter::Rest() const { return buffer_; }

}  // namespace zorcam::tools
