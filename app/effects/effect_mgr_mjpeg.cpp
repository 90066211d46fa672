// The MJPEG path of the effect manager: decode the camera's JPEG into a YUY2
// picture, run the normal chain on it, encode the result back into the
// frame's own buffer. A frame that cannot be decoded goes back untouched; a
// new JPEG that does not fit goes back with dwBytesUsed 0 (the driver then
// keeps the camera's frame).
#include "effects/effect_mgr.h"
#include "win32/debug.h"

int NBEffectMgr::RunMjpegPath(FrameDescriptor* frame) {
  if (frame->dwBytesUsed < 2) {
    OutputDebugStringW(L"[NBEffectMgr] MJPEG frame shorter than 2 bytes");
    return 0;
  }
  // A length past the buffer would make the decoder read beyond it.
  if (frame->data == nullptr || frame->dwBytesUsed > frame->capacity) {
    OutputDebugStringW(L"Error in MJPEG frame");
    return 0;
  }
  // The picture is kept between frames (effect thread only) and grows when a
  // larger frame arrives.
  zorcam::mjpeg::PreparePicture(&m_picture, frame->dwWidth, frame->dwHeight);
  if (!zorcam::mjpeg::Decode(frame->data, frame->dwBytesUsed, &m_picture)) {
    OutputDebugStringW(L"Error in MJPEG frame");
    return 0;
  }

  FrameDescriptor picture;
  picture.data = m_picture.data;
  picture.capacity = m_picture.capacity;
  picture.dwBytesUsed = m_picture.bytesWritten;
  picture.dwWidth = frame->dwWidth;
  picture.dwHeight = frame->dwHeight;
  picture.subtype = MEDIASUBTYPE_YUY2;
  // The chain's result does not matter: the picture is encoded either way,
  // from whichever buffer holds it (no copy back from the scratch buffer).
  const BYTE* finished = m_picture.data;
  RunChain(&picture, &finished);
  zorcam::mjpeg::DecodedPicture result = m_picture;
  result.data = const_cast<BYTE*>(finished);
  frame->dwBytesUsed = zorcam::mjpeg::Encode(result, frame->data, frame->capacity);
  return 0;
}
