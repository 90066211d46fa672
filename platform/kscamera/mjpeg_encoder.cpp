// MJPEG encoding of YUY2 frames with libjpeg-turbo's raw-data interface.
//
// Error handling: the library's error exit longjmps back into RunCompress,
// the one function that calls setjmp; no C++ object with a destructor lives
// in that frame across the jump. The destination manager writes into the
// caller's buffer and stops the compression (error exit) when it is full.
#include "kscamera/mjpeg_encoder.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace kscamera {
namespace {

struct ErrorManager {
  jpeg_error_mgr pub;  // first member: the library sees a jpeg_error_mgr
  std::jmp_buf jump;
};

void ErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  std::longjmp(err->jump, 1);
}

void OutputMessage(j_common_ptr) {}  // the camera reports nothing

struct Destination {
  jpeg_destination_mgr pub;  // first member
  size_t capacity;
};

void InitDestination(j_compress_ptr) {}
boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
  // The frame buffer is full: the frame does not fit.
  (*cinfo->err->error_exit)(reinterpret_cast<j_common_ptr>(cinfo));
  return FALSE;
}
void TermDestination(j_compress_ptr) {}

struct Job {
  const uint8_t* yuy2;
  int width;
  int height;
  uint8_t* out;
  size_t capacity;
  int quality;
  uint8_t* planes;  // 8 * width (Y) + 2 * 8 * width / 2 (Cb, Cr)
};

// Returns the JPEG length or 0. Everything here is plain C data.
size_t RunCompress(const Job& job) {
  jpeg_compress_struct cinfo;
  ErrorManager err;
  Destination dest;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = ErrorExit;
  err.pub.output_message = OutputMessage;
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&cinfo);
    return 0;
  }
  jpeg_create_compress(&cinfo);
  dest.pub.next_output_byte = job.out;
  dest.pub.free_in_buffer = job.capacity;
  dest.pub.init_destination = InitDestination;
  dest.pub.empty_output_buffer = EmptyOutputBuffer;
  dest.pub.term_destination = TermDestination;
  dest.capacity = job.capacity;
  cinfo.dest = &dest.pub;
  cinfo.image_width = static_cast<JDIMENSION>(job.width);
  cinfo.image_height = static_cast<JDIMENSION>(job.height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_YCbCr;
  jpeg_set_defaults(&cinfo);
  jpeg_set_colorspace(&cinfo, JCS_YCbCr);
  jpeg_set_quality(&cinfo, job.quality, TRUE);
  cinfo.raw_data_in = TRUE;
  cinfo.dct_method = JDCT_ISLOW;
  cinfo.comp_info[0].h_samp_factor = 2;
  cinfo.comp_info[0].v_samp_factor = 1;
  cinfo.comp_info[1].h_samp_factor = 1;
  cinfo.comp_info[1].v_samp_factor = 1;
  cinfo.comp_info[2].h_samp_factor = 1;
  cinfo.comp_info[2].v_samp_factor = 1;
  jpeg_start_compress(&cinfo, TRUE);

  const int w = job.width;
  const int cw = w / 2;
  uint8_t* yPlane = job.planes;
  uint8_t* uPlane = yPlane + 8 * w;
  uint8_t* vPlane = uPlane + 8 * cw;
  JSAMPROW yRows[8];
  JSAMPROW uRows[8];
  JSAMPROW vRows[8];
  for (int r = 0; r < 8; ++r) {
    yRows[r] = yPlane + r * w;
    uRows[r] = uPlane + r * cw;
    vRows[r] = vPlane + r * cw;
  }
  JSAMPARRAY planes[3] = {yRows, uRows, vRows};
  while (cinfo.next_scanline < cinfo.image_height) {
    const int first = static_cast<int>(cinfo.next_scanline);
    for (int r = 0; r < 8; ++r) {
      const int row = first + r < job.height ? first + r : job.height - 1;
      const uint8_t* src = job.yuy2 + static_cast<size_t>(row) * w * 2;
      for (int x = 0; x < cw; ++x) {
        yRows[r][2 * x] = src[4 * x];
        uRows[r][x] = src[4 * x + 1];
        yRows[r][2 * x + 1] = src[4 * x + 2];
        vRows[r][x] = src[4 * x + 3];
      }
    }
    jpeg_write_raw_data(&cinfo, planes, 8);
  }
  jpeg_finish_compress(&cinfo);
  size_t length = job.capacity - dest.pub.free_in_buffer;
  jpeg_destroy_compress(&cinfo);
  return length;
}

}  // namespace

size_t MjpegEncoder::Encode(const uint8_t* yuy2, int width, int height, uint8_t* out, size_t capacity) {
  if (width <= 0 || height <= 0 || (width % 2) != 0 || out == nullptr || capacity == 0) return 0;
  planes_.resize(static_cast<size_t>(8) * width * 2);
  Job job{yuy2, width, height, out, capacity, quality_, planes_.data()};
  return RunCompress(job);
}

}  // namespace kscamera
