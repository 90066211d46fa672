// The frame record and the effect interfaces: the few types that every part
// of the frame path shares. They carry no behaviour of their own.
//
// YUY2 frames are packed 4:2:2, 2 bytes per pixel, rows of exactly width * 2
// bytes, each pixel pair stored as Y0 U Y1 V. Every effect is called with a
// row stride of width * 2.
#pragma once

#include <string>

#include "win32/guid.h"
#include "win32/media_guids.h"
#include "win32/types.h"

// dwBytesUsed value that marks an empty buffer (not a frame of that length).
constexpr DWORD YUYV_EMPTY = 0x80008000u;

// One camera frame on its way through the program, filled by the frame hook
// client from the driver's frame header. The frame bytes belong to the caller.
struct FrameDescriptor {
  BYTE* data = nullptr;    // first byte of the frame image
  DWORD capacity = 0;      // bytes available at data
  DWORD dwBytesUsed = 0;   // valid bytes; OnFrame may rewrite it (MJPEG re-encode)
  LONG dwWidth = 0;        // pixels per row (compared as unsigned)
  DWORD reserved = 0;      // not set by the stream client, not read
  LONG dwHeight = 0;       // rows (compared as unsigned: a negative height is too large)
  GUID subtype = GUID_NULL;  // MEDIASUBTYPE_YUY2 or MEDIASUBTYPE_MJPG
};

// The interface of every effect and effect layer. The slot order is part of
// the interface: destructor, IsActive, Apply, IsInPlace.
class IEffect {
 public:
  virtual ~IEffect() = default;
  // 1 when the effect would change a frame.
  virtual int IsActive() = 0;
  // dst and src are two buffers of the same size; strides are in bytes.
  virtual int Apply(BYTE* dst, int dstStride, BYTE* src, int srcStride, int width, int height) = 0;
  // 1 when Apply left its result in src (or did nothing), 0 when in dst.
  virtual int IsInPlace() = 0;
};

// How a frame source hands frames to the effect manager. Returning 0 sends the
// frame back with the descriptor's dwBytesUsed; anything else with 0.
class IEffectCallBack {
 public:
  virtual ~IEffectCallBack() = default;
  virtual int OnFrame(FrameDescriptor* frame) = 0;
};

// Effect ids: the high 16 bits name the layer, the low 16 bits the index of
// the effect in that layer; index 0xFFFF means none.
constexpr int EFFECT_LAYER_FRAME = 2;
constexpr int EFFECT_LAYER_SCREENCOVER = 4;
constexpr int EFFECT_INDEX_NONE = 0xFFFF;

constexpr int MakeEffectId(int layer, int index) { return (layer << 16) | (index & 0xFFFF); }
constexpr int EffectLayerOf(int id) { return (id >> 16) & 0xFFFF; }
constexpr int EffectIndexOf(int id) { return id & 0xFFFF; }

struct EffectListEntry {
  int id = 0;
  std::wstring thumbnailPath;
};
