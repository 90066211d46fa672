// DeepTone tables, computed in double precision exactly as their formulas
// state; built once per process on first use.
#include "effects/deeptone_tables.h"

#include <algorithm>
#include <cmath>

namespace deeptone {
namespace {

Tables Build() {
  Tables t{};
  t.reciprocal16[0] = 65536;
  for (int i = 1; i < 256; ++i) t.reciprocal16[i] = 65536 / i;
  for (int i = 0; i < 1024; ++i) {
    t.reciprocal18[i] = static_cast<int32_t>(std::floor(262144.0 / std::max(i, 4) + 0.5));
    t.power15[i] = std::min(1023, static_cast<int32_t>(std::floor(std::pow(static_cast<double>(i), 1.5) / 16.0 + 0.5)));
  }
  for (int i = 0; i <= 96; ++i)
    t.liftTable[i] = static_cast<int32_t>(96.0 * std::pow(i / 96.0, 0.5) - i + 0.5);
  return t;
}

}  // namespace

const Tables& GetTables() {
  static const Tables tables = Build();
  return tables;
}

void FillGainTable(int32_t* gain, int halfW, int halfH) {
  const int64_t area = static_cast<int64_t>(halfW) * halfH;
  for (int k = 0; k < kGainEntries; ++k) gain[k] = static_cast<int32_t>((static_cast<int64_t>(k) << 18) / area);
}

}  // namespace deeptone
