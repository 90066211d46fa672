// The main() of every benchmark program: runs the registered benchmarks with
// the console (or requested) reporter, then prints the comparison table.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/bench_compare.h"

namespace zorcam::bench {
namespace {

struct Pair {
  std::string name, anchor;
  double target;
};
std::vector<Pair>& Pairs() {
  static std::vector<Pair> pairs;
  return pairs;
}

// Remembers the real time per iteration of every run, forwarding to the
// reporter the user chose.
class Collector : public benchmark::BenchmarkReporter {
 public:
  explicit Collector(benchmark::BenchmarkReporter* inner) : inner_(inner) {}
  bool ReportContext(const Context& c) override { return inner_->ReportContext(c); }
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration && r.iterations > 0)
        ns_[r.benchmark_name()] = r.GetAdjustedRealTime() * Multiplier(r.time_unit);
    inner_->ReportRuns(runs);
  }
  void Finalize() override { inner_->Finalize(); }
  std::map<std::string, double> ns_;

 private:
  static double Multiplier(benchmark::TimeUnit u) {
    switch (u) {
      case benchmark::kSecond: return 1e9;
      case benchmark::kMillisecond: return 1e6;
      case benchmark::kMicrosecond: return 1e3;
      default: return 1.0;
    }
  }
  benchmark::BenchmarkReporter* inner_;
};

}  // namespace

void Compare(const std::string& name, const std::string& anchor, double target) {
  Pairs().push_back({name, anchor, target});
}

long PeakRssKiB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmHWM:") {
      long kib = 0;
      status >> kib;
      return kib;
    }
    std::getline(status, key);
  }
  return -1;
}

}  // namespace zorcam::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::ConsoleReporter console;
  zorcam::bench::Collector collector(&console);
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();

  auto& ns = collector.ns_;
  bool header = false;
  for (const auto& p : zorcam::bench::Pairs()) {
    auto a = ns.find(p.name);
    auto b = ns.find(p.anchor);
    if (a == ns.end() || b == ns.end() || b->second <= 0) continue;
    if (!header) {
      std::printf("\n%-40s %12s  %-32s %12s %8s %8s\n", "benchmark", "ns", "anchor", "ns", "ratio", "target");
      header = true;
    }
    double ratio = a->second / b->second;
    char target[32] = "-";
    if (p.target > 0) std::snprintf(target, sizeof target, "%.2f %s", p.target, ratio <= p.target ? "ok" : "MISS");
    std::printf("%-40s %12.0f  %-32s %12.0f %8.3f %8s\n", p.name.c_str(), a->second, p.anchor.c_str(), b->second,
                ratio, target);
  }
  std::printf("peak RSS: %ld KiB\n", zorcam::bench::PeakRssKiB());
  return 0;
}
