// Constant tables of DeepTone (all entries signed 32-bit).
//   reciprocal16[i] = floor(65536 / i), entry 0 = 65536           (256 entries)
//   reciprocal18[i] = floor(2^18 / max(i, 4) + 0.5)               (1024 entries)
//   power15[i]      = min(1023, floor(i^1.5 / 16 + 0.5))          (1024 entries)
//   liftTable[i]    = trunc(96 * (i / 96)^0.5 - i + 0.5)          (97 entries)
//   gainTable[k]    = (k * 2^18) / (halfW * halfH), per tile size
// The gain table is specified for k = 0..256; it is filled up to kGainEntries
// with the same formula because a blended curve point may exceed 1023 by a few
// units (8-bit value 256 or 257), which would otherwise index past its end.
#pragma once

#include <cstdint>

namespace deeptone {

constexpr int kGainEntries = 512;

struct Tables {
  int32_t reciprocal16[256];
  int32_t reciprocal18[1024];
  int32_t power15[1024];
  int32_t liftTable[97];
};

// Built once, on first use; immutable afterwards.
const Tables& GetTables();

// Fills gain[0..kGainEntries-1] for the given half-tile size.
void FillGainTable(int32_t* gain, int halfW, int halfH);

}  // namespace deeptone
