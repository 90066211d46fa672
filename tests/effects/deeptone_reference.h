// A plain, unoptimised DeepTone written straight from the arithmetic of the
// algorithm: 32-bit planes allocated per frame, one pixel at a time, no
// tables other than the ones the algorithm names. The tests compare the
// optimised engine against it byte for byte, state included.
#pragma once

#include <cstdint>
#include <vector>

namespace deeptone_reference {

struct State {
  bool created = false;
  int32_t curves[16][32] = {};
  int32_t strength[16] = {};
  int32_t lift[16] = {};
  uint32_t frameCount = 0;
};

// Enhances a YUY2 frame in place (mode 2 whole picture, mode 3 left half).
// Frames below 8 x 8 are left alone, as by the engine.
void Run(State& state, uint8_t* frame, int stride, int width, int height, int mode);

// The tables, built from their formulas.
int32_t Reciprocal16(int i);
int32_t Reciprocal18(int i);
int32_t Power15(int i);
int32_t Lift(int i);

}  // namespace deeptone_reference
