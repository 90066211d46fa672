// The JPEG coder glue of the MJPEG path: decodes one camera JPEG into a packed
// YUY2 picture and encodes a YUY2 picture back into a JPEG, both through the
// JPEG library's raw-data interface (no colour conversion, no resampling).
//
// Assumptions: the JPEG is 4:2:2 (components Y, Cb, Cr sampled 2x1, 1x1, 1x1);
// widths are even (camera formats use multiples of 16) and heights are
// multiples of 8 for a complete decode. Neither function throws; library
// errors are caught inside and reported as failure.
#pragma once

#include "win32/types.h"

namespace zorcam::mjpeg {

// A working YUY2 picture for one frame. The data block is owned by the record
// and released by FreeDecodedPicture.
struct DecodedPicture {
  BYTE* data = nullptr;    // YUY2 bytes, width * height * 2; malloc'ed
  DWORD capacity = 0;      // bytes allocated at data
  DWORD bytesWritten = 0;  // YUY2 bytes produced so far (width * 16 per block row)
  int rows = 0;            // picture rows produced so far, in steps of 8
  int width = 0;
  int height = 0;
};

// Gets the picture ready for a frame of width x height: nothing is allocated
// when the width is odd or negative (the decode then fails); otherwise the
// block grows to width * height * 2 when it is smaller. Returns false when the
// picture has no memory afterwards.
bool PreparePicture(DecodedPicture* picture, LONG width, LONG height);
void FreePicture(DecodedPicture* picture);

// Decodes `length` bytes of JPEG into the prepared picture. Succeeds only when
// the JPEG is 4:2:2 with three components, its size equals the picture's, and
// every row arrived (rows == height). A JPEG without Huffman tables gets the
// standard ones; data that ends early is completed with an end-of-image marker.
bool Decode(const BYTE* data, DWORD length, DecodedPicture* picture);

// Encodes picture rows 0 .. height - 1 as a 4:2:2 JPEG (quality 75, standard
// tables, JFIF header) into `buffer`. Returns the JPEG's size, or 0 when it
// does not fit in `capacity` or the library failed. The buffer may be
// partly overwritten in either case.
DWORD Encode(const DecodedPicture& picture, BYTE* buffer, DWORD capacity);

}  // namespace zorcam::mjpeg
