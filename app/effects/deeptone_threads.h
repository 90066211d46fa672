// How many OpenMP threads the DeepTone passes use for the next frame.
//
// On an idle machine the runtime's default team (one thread per processor) is
// fastest. On a busy one it can be many times slower than a single thread: a
// pass ends only when every team thread has done its rows, and a team thread
// that the scheduler has set aside holds up the whole frame. So the engine
// times its frames and keeps to the faster of the two team sizes. Now and then
// it runs one frame with the other size to notice a change of load: after
// kMinProbeInterval frames at first, twice as long each time the probe
// confirms the choice (up to kMaxProbeInterval), back to the minimum when the
// choice changes. The team size never affects the bytes of a frame.
#pragma once

#include <algorithm>
#include <cstdint>

namespace deeptone {

class TeamSizeChooser {
 public:
  static constexpr uint32_t kMinProbeInterval = 32;
  static constexpr uint32_t kMaxProbeInterval = 512;

  explicit TeamSizeChooser(int fullTeam) : m_full(std::max(fullTeam, 1)) {}

  // The team size for the next frame.
  int Next() {
    if (m_full == 1) return 1;
    // Measure each size once before comparing.
    if (m_cost[kFull] < 0) return m_full;
    if (m_cost[kSingle] < 0) return 1;
    const int preferred = Preferred();
    if (++m_sinceProbe >= m_interval) {
      m_sinceProbe = 0;
      m_probing = true;
      return preferred == 1 ? m_full : 1;
    }
    return preferred;
  }

  // The time one frame took with the given team size, per pixel.
  void Record(int teamSize, double nsPerPixel) {
    if (m_full == 1) return;
    double& cost = m_cost[teamSize == 1 ? kSingle : kFull];
    if (m_probing) {
      // A probe is the only recent sample of its size: it replaces the old one.
      const int before = Preferred();
      cost = nsPerPixel;
      m_interval = Preferred() == before ? std::min(2 * m_interval, kMaxProbeInterval) : kMinProbeInterval;
      m_probing = false;
      return;
    }
    cost = cost < 0 ? nsPerPixel : cost + (nsPerPixel - cost) / 4;  // moving average
  }

  int FullTeam() const { return m_full; }
  uint32_t ProbeInterval() const { return m_interval; }

 private:
  enum { kFull = 0, kSingle = 1 };
  int Preferred() const { return m_cost[kFull] <= m_cost[kSingle] ? m_full : 1; }

  int m_full;
  double m_cost[2] = {-1.0, -1.0};
  uint32_t m_interval = kMinProbeInterval;
  uint32_t m_sinceProbe = 0;
  bool m_probing = false;
};

}  // namespace deeptone
