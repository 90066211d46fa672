// DeepToneEffect: forwards enhanced frames to the process-wide engine.
#include "effects/deeptone.h"

#include "effects/deeptone_engine.h"

namespace {

// The one engine and state of the process; created on first use and kept
// until the process ends. Guarded by the caller (the effect manager's lock).
struct Shared {
  deeptone::DeepToneEngine engine;
  deeptone::DeepToneState state;
};

Shared& TheShared() {
  // Never destroyed: a frame still being enhanced while the process exits
  // must not meet a destroyed engine.
  static Shared* const shared = new Shared();
  return *shared;
}

}  // namespace

int DeepToneEffect::IsActive() { return (m_mode == 2 || m_mode == 3) ? 1 : 0; }

int DeepToneEffect::IsInPlace() { return 1; }

int DeepToneEffect::Apply(BYTE*, int, BYTE* src, int srcStride, int width, int height) {
  if (m_mode != 2 && m_mode != 3) return 0;
  if (!src) return 0;
  Shared& shared = TheShared();
  shared.engine.Run(shared.state, src, srcStride, width, height, m_mode);
  return 0;
}
