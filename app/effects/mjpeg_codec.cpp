// JPEG coder glue of the MJPEG path: memory source and destination managers,
// an error manager that unwinds, the standard Huffman tables for frames that
// carry none, and the YUY2 <-> planar 4:2:2 conversion in blocks of 8 rows.
//
// Error handling: the library reports fatal errors through error_exit, which
// here jumps back (longjmp) into Decode or Encode. Each of the two keeps its
// setjmp in one function with one cleanup block, and no C++ object with a
// destructor lives between the setjmp and a possible longjmp. Everything the
// library allocates (plane rows, the end-of-image buffer) comes from its own
// memory pools and is released by jpeg_destroy_*.
#include "effects/mjpeg_codec.h"

#include <csetjmp>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cstdio>
#include <cstdlib>
#include <cstring>

// jpeglib.h needs size_t and FILE declared first.
#include <jerror.h>
#include <jpeglib.h>

namespace zorcam::mjpeg {
namespace {

constexpr size_t kChunk = 4096;  // bytes of the substitute end-marker buffer
constexpr int kBlockRows = 8;    // rows of one block row (DCTSIZE at 1x vertical sampling)

// ---------------------------------------------------------------------------
// Error manager: the library's standard one with a fatal exit that unwinds.

struct UnwindingErrorManager {
  jpeg_error_mgr pub;  // must stay first: the library sees only this part
  jmp_buf jump;
};

[[noreturn]] void ExitByUnwinding(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<UnwindingErrorManager*>(cinfo->err);
  longjmp(err->jump, 1);
}

// Warnings and trace messages (a premature end of data, for example) are part
// of normal camera streams: they must not reach the terminal.
void KeepQuiet(j_common_ptr) {}

void InstallErrorManager(jpeg_error_mgr** slot, UnwindingErrorManager* err) {
  *slot = jpeg_std_error(&err->pub);
  err->pub.error_exit = ExitByUnwinding;
  err->pub.output_message = KeepQuiet;
}

// ---------------------------------------------------------------------------
// Memory source over the frame bytes. The bytes are handed to the decoder in
// chunks without copying; the frame is owned by the caller and must outlive
// the decode.

struct MemorySource {
  jpeg_source_mgr pub;  // must stay first
  JOCTET* eoiBuffer;    // kChunk bytes from the permanent pool: substitute end marker
  const JOCTET* data;   // the frame's first byte
  size_t consumed;      // bytes presented to the library so far
  size_t lastChunk;     // size of the last chunk presented
  size_t length;        // dwBytesUsed of the frame
};

void SourceStart(j_decompress_ptr cinfo) {
  auto* src = reinterpret_cast<MemorySource*>(cinfo->src);
  src->consumed = 0;
  src->lastChunk = 0;
}

// Presents the rest of the frame as one chunk: the library's fast Huffman
// decoding needs a couple of kilobytes ahead in the buffer, so small chunks
// would send it to its slow path at the end of every chunk. Once every byte
// has been presented, an empty frame is a fatal error; otherwise the data
// ended early, and a warning plus an end-of-image marker let the library
// finish the picture (it fills the missing part itself).
boolean SourceFill(j_decompress_ptr cinfo) {
  auto* src = reinterpret_cast<MemorySource*>(cinfo->src);
  if (src->consumed < src->length) {
    const size_t chunk = src->length - src->consumed;
    src->pub.next_input_byte = src->data + src->consumed;
    src->pub.bytes_in_buffer = chunk;
    src->lastChunk = chunk;
    src->consumed += chunk;
    return TRUE;
  }
  if (src->length == 0) {
    ERREXIT(cinfo, JERR_INPUT_EMPTY);
  }
  WARNMS(cinfo, JWRN_JPEG_EOF);
  src->eoiBuffer[0] = 0xFF;
  src->eoiBuffer[1] = JPEG_EOI;
  src->pub.next_input_byte = src->eoiBuffer;
  src->pub.bytes_in_buffer = 2;
  return TRUE;
}

// Skips n bytes, filling as often as needed (past the end the fill keeps
// presenting the 2-byte end marker, so this always terminates).
void SourceSkip(j_decompress_ptr cinfo, long n) {
  if (n <= 0) return;
  auto* src = reinterpret_cast<MemorySource*>(cinfo->src);
  size_t remaining = static_cast<size_t>(n);
  while (remaining > src->pub.bytes_in_buffer) {
    remaining -= src->pub.bytes_in_buffer;
    SourceFill(cinfo);
  }
  src->pub.next_input_byte += remaining;
  src->pub.bytes_in_buffer -= remaining;
}

void SourceTerm(j_decompress_ptr) {}

void AttachMemorySource(j_decompress_ptr cinfo, const BYTE* data, size_t length) {
  auto* src = static_cast<MemorySource*>(
      (*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(MemorySource)));
  src->eoiBuffer = static_cast<JOCTET*>(
      (*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, kChunk));
  src->pub.init_source = SourceStart;
  src->pub.fill_input_buffer = SourceFill;
  src->pub.skip_input_data = SourceSkip;
  src->pub.resync_to_restart = jpeg_resync_to_restart;
  src->pub.term_source = SourceTerm;
  src->pub.next_input_byte = nullptr;
  src->pub.bytes_in_buffer = 0;
  src->data = data;
  src->consumed = 0;
  src->lastChunk = 0;
  src->length = length;
  cinfo->src = &src->pub;
}

// ---------------------------------------------------------------------------
// Memory destination over the frame buffer (owned by the caller). There is no
// second buffer: when the library asks for more room, the JPEG does not fit.

struct MemoryDestination {
  jpeg_destination_mgr pub;  // must stay first
  JOCTET* buffer;            // the frame's data
  size_t capacity;           // the frame's capacity
  size_t result;             // bytes written; 0 until the end
};

void DestinationStart(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<MemoryDestination*>(cinfo->dest);
  dest->pub.next_output_byte = dest->buffer;
  dest->pub.free_in_buffer = dest->capacity;
  dest->result = 0;
}

// The buffer is full: abort the encode through the error exit.
boolean DestinationFull(j_compress_ptr cinfo) {
  ERREXIT(cinfo, JERR_BUFFER_SIZE);
  return FALSE;
}

void DestinationEnd(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<MemoryDestination*>(cinfo->dest);
  dest->result = dest->capacity - dest->pub.free_in_buffer;
}

// ---------------------------------------------------------------------------
// The standard Huffman tables of ITU-T T.81, Annex K.3: code counts per code
// length 1..16 (index 0 unused, as the library stores them) and the symbols.

constexpr UINT8 kDcLumaBits[17] = {0, 0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr UINT8 kDcChromaBits[17] = {0, 0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
constexpr UINT8 kDcValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

constexpr UINT8 kAcLumaBits[17] = {0, 0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
constexpr UINT8 kAcLumaValues[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22, 0x71,
    0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72,
    0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37,
    0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59,
    0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3,
    0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,
    0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,
    0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

constexpr UINT8 kAcChromaBits[17] = {0, 0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
constexpr UINT8 kAcChromaValues[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71, 0x13, 0x22,
    0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1,
    0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36,
    0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58,
    0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a,
    0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba,
    0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,
    0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

// Fills one table slot; the table itself lives in the decompressor's pool.
void SetHuffmanTable(j_decompress_ptr cinfo, JHUFF_TBL** slot, const UINT8* bits, const UINT8* values,
                     size_t count) {
  *slot = jpeg_alloc_huff_table(reinterpret_cast<j_common_ptr>(cinfo));
  std::memcpy((*slot)->bits, bits, 17);
  std::memset((*slot)->huffval, 0, sizeof((*slot)->huffval));
  std::memcpy((*slot)->huffval, values, count);
  (*slot)->sent_table = FALSE;
}

bool HasNoHuffmanTable(j_decompress_ptr cinfo) {
  for (int i = 0; i < NUM_HUFF_TBLS; ++i) {
    if (cinfo->dc_huff_tbl_ptrs[i] != nullptr || cinfo->ac_huff_tbl_ptrs[i] != nullptr) return false;
  }
  return true;
}

void InstallStandardHuffmanTables(j_decompress_ptr cinfo) {
  SetHuffmanTable(cinfo, &cinfo->dc_huff_tbl_ptrs[0], kDcLumaBits, kDcValues, sizeof(kDcValues));
  SetHuffmanTable(cinfo, &cinfo->ac_huff_tbl_ptrs[0], kAcLumaBits, kAcLumaValues, sizeof(kAcLumaValues));
  SetHuffmanTable(cinfo, &cinfo->dc_huff_tbl_ptrs[1], kDcChromaBits, kDcValues, sizeof(kDcValues));
  SetHuffmanTable(cinfo, &cinfo->ac_huff_tbl_ptrs[1], kAcChromaBits, kAcChromaValues, sizeof(kAcChromaValues));
}

bool Is422(const jpeg_component_info* c, int components) {
  return components == 3 && c[0].h_samp_factor == 2 && c[0].v_samp_factor == 1 && c[1].h_samp_factor == 1 &&
         c[1].v_samp_factor == 1 && c[2].h_samp_factor == 1 && c[2].v_samp_factor == 1;
}

// ---------------------------------------------------------------------------
// Block-row conversions. `pairs` is width / 2; the plane rows may be longer
// than the picture (the library pads them to whole blocks).

void PlanesToYuy2(BYTE* out, const JSAMPLE* y, const JSAMPLE* cb, const JSAMPLE* cr, int pairs) {
  int i = 0;
#if defined(__SSE2__)
  // 16 pixels at a time: interleave Cb/Cr, then luma with the chroma pairs.
  for (; i + 8 <= pairs; i += 8) {
    const __m128i luma = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + 2 * i));
    const __m128i u = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cb + i));
    const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cr + i));
    const __m128i uv = _mm_unpacklo_epi8(u, v);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * i), _mm_unpacklo_epi8(luma, uv));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * i + 16), _mm_unpackhi_epi8(luma, uv));
  }
#endif
  for (; i < pairs; ++i) {
    out[4 * i] = y[2 * i];
    out[4 * i + 1] = cb[i];
    out[4 * i + 2] = y[2 * i + 1];
    out[4 * i + 3] = cr[i];
  }
}

// Fills the plane rows from one YUY2 row, then repeats the last column into
// the padding up to the plane widths the library reads.
void Yuy2ToPlanes(const BYTE* in, JSAMPLE* y, JSAMPLE* cb, JSAMPLE* cr, int pairs, int yPadded, int cPadded) {
  int i = 0;
#if defined(__SSE2__)
  // 16 pixels at a time: even bytes are luma, odd bytes alternate Cb, Cr.
  const __m128i low = _mm_set1_epi16(0x00FF);
  for (; i + 8 <= pairs; i += 8) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * i + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y + 2 * i),
                     _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low)));
    const __m128i uv = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
    const __m128i u = _mm_packus_epi16(_mm_and_si128(uv, low), _mm_setzero_si128());
    const __m128i v = _mm_packus_epi16(_mm_srli_epi16(uv, 8), _mm_setzero_si128());
    _mm_storel_epi64(reinterpret_cast<__m128i*>(cb + i), u);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(cr + i), v);
  }
#endif
  for (; i < pairs; ++i) {
    y[2 * i] = in[4 * i];
    cb[i] = in[4 * i + 1];
    y[2 * i + 1] = in[4 * i + 2];
    cr[i] = in[4 * i + 3];
  }
  if (pairs == 0) return;
  for (int k = 2 * pairs; k < yPadded; ++k) y[k] = y[2 * pairs - 1];
  for (int k = pairs; k < cPadded; ++k) {
    cb[k] = cb[pairs - 1];
    cr[k] = cr[pairs - 1];
  }
}

}  // namespace

bool PreparePicture(DecodedPicture* picture, LONG width, LONG height) {
  picture->bytesWritten = 0;
  picture->rows = 0;
  if (width < 0 || (width & 1) != 0 || height < 0) {
    // Nothing to decode into: the decode of this frame fails.
    FreePicture(picture);
    return false;
  }
  const unsigned long long size = static_cast<unsigned long long>(width) * static_cast<unsigned long long>(height) * 2;
  if (size > 0xFFFFFFFFull) return false;
  if (picture->capacity < size || picture->data == nullptr) {
    std::free(picture->data);
    picture->data = static_cast<BYTE*>(std::malloc(size == 0 ? 1 : size));
    picture->capacity = picture->data != nullptr ? static_cast<DWORD>(size) : 0;
  }
  picture->width = width;
  picture->height = height;
  return picture->data != nullptr;
}

void FreePicture(DecodedPicture* picture) {
  std::free(picture->data);
  *picture = DecodedPicture{};
}

bool Decode(const BYTE* data, DWORD length, DecodedPicture* picture) {
  jpeg_decompress_struct cinfo;
  UnwindingErrorManager err;
  cinfo.mem = nullptr;
  InstallErrorManager(&cinfo.err, &err);
  if (setjmp(err.jump) != 0) {
    // A library error on the way: everything it allocated goes with the object.
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  AttachMemorySource(&cinfo, data, length);
  if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK || !Is422(cinfo.comp_info, cinfo.num_components)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  cinfo.raw_data_out = TRUE;
  cinfo.out_color_space = JCS_YCbCr;
  if (HasNoHuffmanTable(&cinfo)) InstallStandardHuffmanTables(&cinfo);
  jpeg_start_decompress(&cinfo);
  if (cinfo.output_width != static_cast<JDIMENSION>(picture->width) ||
      cinfo.output_height != static_cast<JDIMENSION>(picture->height) || picture->data == nullptr) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }

  // Plane rows for one block row, as wide as the library writes them.
  JSAMPARRAY planes[3];
  for (int c = 0; c < 3; ++c) {
    const JDIMENSION w = cinfo.comp_info[c].width_in_blocks * DCTSIZE;
    planes[c] = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE, w, kBlockRows);
  }
  const int width = picture->width;
  const int height = picture->height;
  while (cinfo.output_scanline < cinfo.output_height) {
    if (jpeg_read_raw_data(&cinfo, planes, kBlockRows) == 0) break;
    if (picture->rows + kBlockRows > height) continue;
    for (int r = 0; r < kBlockRows; ++r) {
      BYTE* out = picture->data + static_cast<size_t>(picture->rows + r) * width * 2;
      PlanesToYuy2(out, planes[0][r], planes[1][r], planes[2][r], width / 2);
    }
    picture->rows += kBlockRows;
    picture->bytesWritten += static_cast<DWORD>(width) * 16;
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return picture->rows == height && picture->data != nullptr;
}

DWORD Encode(const DecodedPicture& picture, BYTE* buffer, DWORD capacity) {
  // A zero capacity is refused here: the library writes its first byte before
  // it checks the room left, so it would write past an empty buffer.
  if (picture.data == nullptr || picture.width <= 0 || picture.height <= 0 || buffer == nullptr || capacity == 0) {
    return 0;
  }
  jpeg_compress_struct cinfo;
  UnwindingErrorManager err;
  MemoryDestination dest;
  cinfo.mem = nullptr;
  InstallErrorManager(&cinfo.err, &err);
  if (setjmp(err.jump) != 0) {
    // The JPEG did not fit, or the library failed.
    jpeg_destroy_compress(&cinfo);
    return 0;
  }
  jpeg_create_compress(&cinfo);
  dest.pub.init_destination = DestinationStart;
  dest.pub.empty_output_buffer = DestinationFull;
  dest.pub.term_destination = DestinationEnd;
  dest.buffer = buffer;
  dest.capacity = capacity;
  dest.result = 0;
  cinfo.dest = &dest.pub;

  cinfo.image_width = static_cast<JDIMENSION>(picture.width);
  cinfo.image_height = static_cast<JDIMENSION>(picture.height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_YCbCr;
  jpeg_set_defaults(&cinfo);
  cinfo.raw_data_in = TRUE;
  jpeg_set_colorspace(&cinfo, JCS_YCbCr);
  cinfo.comp_info[0].h_samp_factor = 2;
  cinfo.comp_info[0].v_samp_factor = 1;
  for (int c = 1; c < 3; ++c) {
    cinfo.comp_info[c].h_samp_factor = 1;
    cinfo.comp_info[c].v_samp_factor = 1;
  }
  jpeg_start_compress(&cinfo, TRUE);

  JSAMPARRAY planes[3];
  int padded[3];
  for (int c = 0; c < 3; ++c) {
    padded[c] = static_cast<int>(cinfo.comp_info[c].width_in_blocks * DCTSIZE);
    planes[c] = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                           static_cast<JDIMENSION>(padded[c]), kBlockRows);
  }
  const int width = picture.width;
  const int height = picture.height;
  while (cinfo.next_scanline < cinfo.image_height) {
    const int first = static_cast<int>(cinfo.next_scanline);
    for (int r = 0; r < kBlockRows; ++r) {
      // Rows past the bottom (heights that are not a multiple of 8) repeat the last row.
      const int row = first + r < height ? first + r : height - 1;
      const BYTE* in = picture.data + static_cast<size_t>(row) * width * 2;
      Yuy2ToPlanes(in, planes[0][r], planes[1][r], planes[2][r], width / 2, padded[0], padded[1]);
    }
    jpeg_write_raw_data(&cinfo, planes, kBlockRows);
  }
  jpeg_finish_compress(&cinfo);
  const DWORD result = static_cast<DWORD>(dest.result);
  jpeg_destroy_compress(&cinfo);
  return result;
}

}  // namespace zorcam::mjpeg
