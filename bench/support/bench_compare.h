// Pairs each measured benchmark with its anchor from the same run and prints
// the ratio (measured time / anchor time) and the target after the run.
#pragma once

#include <string>

namespace zorcam::bench {

// After the run: "name  <time>  anchor  <time>  ratio  target". Names are the
// benchmark names as registered (arguments included, e.g. "BM_Mirror/640").
// target <= 0 prints no target.
void Compare(const std::string& name, const std::string& anchor, double target = 0.0);

// Resident memory high-water mark of the process, in KiB (VmHWM).
long PeakRssKiB();

}  // namespace zorcam::bench
