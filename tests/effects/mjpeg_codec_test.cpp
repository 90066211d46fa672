// The JPEG coder glue: decoding camera JPEGs to YUY2 (with their own or the
// standard Huffman tables, truncated data), refusing what is not 4:2:2 of the
// expected size, and encoding back into a buffer that may be too small.
#include "effects/mjpeg_codec.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mjpeg_fixtures.h"

namespace zorcam::mjpeg {
namespace {

using zorcam::testing::FfmpegJpeg;
using zorcam::testing::MagickGradientJpeg;
using zorcam::testing::GradientYuy2;
using zorcam::testing::MaxDifference;
using zorcam::testing::MeanDifference;
using zorcam::testing::StripSegments;

const BYTE* Bytes(const std::string& s) { return reinterpret_cast<const BYTE*>(s.data()); }

// A picture that frees itself at the end of a test.
struct Picture : DecodedPicture {
  Picture(int w, int h) { PreparePicture(this, w, h); }
  ~Picture() { FreePicture(this); }
  size_t Size() const { return static_cast<size_t>(width) * height * 2; }
};

std::string EncodeToString(const std::vector<BYTE>& yuy2, int w, int h) {
  Picture p(w, h);
  std::memcpy(p.data, yuy2.data(), yuy2.size());
  std::string jpeg(yuy2.size() * 2, '\0');
  const DWORD n = Encode(p, reinterpret_cast<BYTE*>(jpeg.data()), static_cast<DWORD>(jpeg.size()));
  jpeg.resize(n);
  return jpeg;
}

TEST(MjpegCodec, DecodesForeignJpegWithItsOwnHuffmanTables) {
  const std::string jpeg = MagickGradientJpeg(64, 48);
  ASSERT_NE(jpeg.find("\xFF\xC4"), std::string::npos) << "fixture should carry its own tables";
  Picture p(64, 48);
  ASSERT_TRUE(Decode(Bytes(jpeg), static_cast<DWORD>(jpeg.size()), &p));
  EXPECT_EQ(p.rows, 48);
  EXPECT_EQ(p.bytesWritten, 64u * 48 * 2);
  // Full-range luma climbs from 0 to 255 down the rows; chroma stays neutral.
  for (int row = 0; row < 48; ++row) {
    SCOPED_TRACE(row);
    const BYTE* r = p.data + row * 64 * 2;
    EXPECT_NEAR(r[0], 255.0 * row / 47, 4.0);
    EXPECT_NEAR(r[2 * 63], 255.0 * row / 47, 4.0);
    EXPECT_NEAR(r[1], 128, 2);
    EXPECT_NEAR(r[3], 128, 2);
  }
  // The standard tables would not decode this scan: the frame's own were used.
  const std::string stripped = StripSegments(jpeg, 0xC4);
  Picture q(64, 48);
  const bool strippedOk = Decode(Bytes(stripped), static_cast<DWORD>(stripped.size()), &q);
  EXPECT_TRUE(!strippedOk || std::memcmp(p.data, q.data, p.Size()) != 0);
}

TEST(MjpegCodec, FrameWithoutHuffmanTablesDecodesWithTheStandardOnes) {
  // Our encoder writes the standard tables; without them the decode must give
  // exactly the same picture.
  const std::string withTables = EncodeToString(GradientYuy2(160, 48), 160, 48);
  const std::string withoutTables = StripSegments(withTables, 0xC4);
  ASSERT_LT(withoutTables.size(), withTables.size());
  ASSERT_EQ(withoutTables.find("\xFF\xC4"), std::string::npos);

  Picture a(160, 48), b(160, 48);
  ASSERT_TRUE(Decode(Bytes(withTables), static_cast<DWORD>(withTables.size()), &a));
  ASSERT_TRUE(Decode(Bytes(withoutTables), static_cast<DWORD>(withoutTables.size()), &b));
  EXPECT_EQ(0, std::memcmp(a.data, b.data, a.Size()));
}

TEST(MjpegCodec, RoundTripKeepsThePicture) {
  const std::vector<BYTE> source = GradientYuy2(640, 480);
  const std::string jpeg = EncodeToString(source, 640, 480);
  ASSERT_GT(jpeg.size(), 100u);
  EXPECT_EQ(0xFF, static_cast<BYTE>(jpeg[0]));
  EXPECT_EQ(0xD8, static_cast<BYTE>(jpeg[1]));
  EXPECT_EQ(0xD9, static_cast<BYTE>(jpeg.back()));
  Picture p(640, 480);
  ASSERT_TRUE(Decode(Bytes(jpeg), static_cast<DWORD>(jpeg.size()), &p));
  EXPECT_LT(MeanDifference(p.data, source.data(), p.Size()), 1.0);
  EXPECT_LE(MaxDifference(p.data, source.data(), p.Size()), 8);
}

TEST(MjpegCodec, RefusesWhatIsNotA422PictureOfTheExpectedSize) {
  const std::string yuv420 = FfmpegJpeg(64, 48, "yuvj420p");
  const std::string yuv444 = FfmpegJpeg(64, 48, "yuvj444p");
  const std::string yuv422TallBlocks = FfmpegJpeg(64, 48, "yuvj422p");
  const std::string small422 = MagickGradientJpeg(32, 24);
  const std::string good = MagickGradientJpeg(64, 48);
  struct Case {
    const char* what;
    std::string jpeg;
    int width, height;
  } cases[] = {
      {"4:2:0 sampling", yuv420, 64, 48},
      {"4:2:2 written as 2x2, 1x2, 1x2", yuv422TallBlocks, 64, 48},
      {"4:4:4 sampling", yuv444, 64, 48},
      {"header size differs from the stream", small422, 64, 48},
      {"stream smaller than the header", good, 32, 24},
      {"no data", std::string(), 64, 48},
      {"one byte", std::string("\xFF", 1), 64, 48},
      {"not a JPEG", std::string(4000, 'x'), 64, 48},
      {"odd width", good, 63, 48},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Picture p(c.width, c.height);
    EXPECT_FALSE(Decode(Bytes(c.jpeg), static_cast<DWORD>(c.jpeg.size()), &p));
  }
}

TEST(MjpegCodec, TruncatedScanDataIsStillDecoded) {
  const std::string full = EncodeToString(GradientYuy2(320, 240), 320, 240);
  const std::string cut = full.substr(0, full.size() * 6 / 10);
  Picture whole(320, 240), part(320, 240);
  ASSERT_TRUE(Decode(Bytes(full), static_cast<DWORD>(full.size()), &whole));
  ASSERT_TRUE(Decode(Bytes(cut), static_cast<DWORD>(cut.size()), &part));
  EXPECT_EQ(part.rows, 240);
  EXPECT_EQ(part.bytesWritten, 320u * 240 * 2);
  // The rows that arrived are exact; the rest is filled in.
  EXPECT_EQ(0, std::memcmp(whole.data, part.data, 320 * 2 * 8 * 8));
}

TEST(MjpegCodec, EncodeReportsZeroWhenTheJpegDoesNotFit) {
  const std::vector<BYTE> source = GradientYuy2(320, 240);
  const std::string jpeg = EncodeToString(source, 320, 240);
  ASSERT_FALSE(jpeg.empty());
  Picture p(320, 240);
  std::memcpy(p.data, source.data(), source.size());

  std::vector<BYTE> buffer(jpeg.size() + 64, 0xAB);
  // One spare byte is enough and gives the same bytes.
  EXPECT_EQ(jpeg.size(), Encode(p, buffer.data(), static_cast<DWORD>(jpeg.size() + 1)));
  EXPECT_EQ(0, std::memcmp(buffer.data(), jpeg.data(), jpeg.size()));
  EXPECT_EQ(0xAB, buffer[jpeg.size() + 1]) << "wrote past the capacity";
  // A buffer the JPEG fills completely counts as full: the library asks for
  // more room after the last byte.
  for (DWORD capacity : {static_cast<DWORD>(jpeg.size()), static_cast<DWORD>(jpeg.size() - 1), 600u, 1u, 0u}) {
    SCOPED_TRACE(capacity);
    std::fill(buffer.begin(), buffer.end(), 0xAB);
    EXPECT_EQ(0u, Encode(p, buffer.data(), capacity));
    EXPECT_EQ(0xAB, buffer[capacity]) << "wrote past the capacity";
  }
}

TEST(MjpegCodec, CorruptedFramesNeverWritePastThePicture) {
  // Damaged camera data (flipped bytes, cut segments, forged lengths and
  // sizes): a decode may fail or produce garbage, but must stay inside the
  // picture and the frame. Sanitizer builds check the accesses themselves;
  // guard bytes check it here too.
  const std::string good = EncodeToString(GradientYuy2(64, 48), 64, 48);
  unsigned seed = 99;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  for (int round = 0; round < 300; ++round) {
    std::string bad = good;
    const int edits = 1 + static_cast<int>(next() % 6);
    for (int e = 0; e < edits; ++e) {
      const size_t at = next() % bad.size();
      switch (next() % 4) {
        case 0: bad[at] = static_cast<char>(next()); break;
        case 1: bad.erase(at, next() % 40); break;
        case 2: bad.insert(at, std::string(next() % 8, static_cast<char>(0xFF))); break;
        default: bad = bad.substr(0, at); break;
      }
      if (bad.empty()) bad = "\xFF";
    }
    // The frame lies in a larger block whose tail must stay untouched.
    std::vector<BYTE> frame(bad.begin(), bad.end());
    frame.resize(bad.size() + 64, 0xEE);
    DecodedPicture p;
    PreparePicture(&p, 64, 48);
    std::vector<BYTE> guard(64 * 48 * 2 + 64, 0xEE);
    std::free(p.data);
    p.data = static_cast<BYTE*>(std::malloc(guard.size()));
    std::memcpy(p.data, guard.data(), guard.size());
    Decode(frame.data(), static_cast<DWORD>(bad.size()), &p);
    EXPECT_EQ(0, std::memcmp(p.data + 64 * 48 * 2, guard.data(), 64)) << "round " << round;
    EXPECT_EQ(0xEE, frame[bad.size()]) << "round " << round;
    FreePicture(&p);
  }
}

}  // namespace
}  // namespace zorcam::mjpeg
