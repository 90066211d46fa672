// The MJPEG path of the effect manager on arbitrary camera data: the first
// byte picks the announced frame size, the rest is the frame. Decode, the
// effect chain (mirror and zoom on) and the re-encode into the frame buffer
// must stay inside their buffers whatever the bytes are.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "effects/effect_mgr.h"

namespace {

NBEffectMgr& Manager() {
  static NBEffectMgr* mgr = [] {
    auto* m = new NBEffectMgr();
    m->Start();
    m->SetEffect(1, 1, 0, 0);
    m->SetEffect(2, 150, 0.5f, 0.5f);
    return m;
  }();
  return *mgr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const int sizes[][2] = {{16, 8}, {32, 16}, {64, 48}, {160, 120}, {320, 240}, {48, 8}, {30, 10}, {640, 480}};
  const int* wh = sizes[data[0] & 7];
  const size_t frameBytes = size - 1;
  // The buffer is exactly what the frame announces, plus room the driver
  // would give for a raw frame of that size only when the low bit says so.
  const size_t capacity = (data[0] & 8) != 0 ? frameBytes : std::max<size_t>(frameBytes, wh[0] * wh[1] * 2);
  std::vector<uint8_t> buffer(capacity + 1);
  std::memcpy(buffer.data(), data + 1, frameBytes);
  FrameDescriptor frame;
  frame.data = buffer.data();
  frame.capacity = static_cast<DWORD>(capacity);
  frame.dwBytesUsed = static_cast<DWORD>(frameBytes);
  frame.dwWidth = wh[0];
  frame.dwHeight = wh[1];
  frame.subtype = MEDIASUBTYPE_MJPG;
  Manager().OnFrame(&frame);
  if (frame.dwBytesUsed > capacity) __builtin_trap();
  return 0;
}
