// The effect-enable rules: two small guards that the effect manager evaluates
// for every frame, after the size checks and before its enabled test.
//   CNBResolutionRule: effects only on frames of at most 640 x 480 pixels.
//   CNBMJPEGRule:      no DeepTone on frames that are not YUY2.
// A rule trips on the first frame that breaks it (switching part of the
// engine off and, when it matters, posting one notice to the notice window)
// and restores silently on the first frame that satisfies it again.
//
// Threads: evaluation runs on the effect thread, re-arming on the user-
// interface thread. `tripped` is a 32-bit flag written by both without a lock
// (atomic, relaxed: each write stands alone).
#pragma once

#include <atomic>

#include "effects/effect.h"

class NBEffectMgr;

class CNBEffectEnableRule {
 public:
  explicit CNBEffectEnableRule(NBEffectMgr* manager) : manager(manager) {}
  CNBEffectEnableRule(const CNBEffectEnableRule&) = delete;
  CNBEffectEnableRule& operator=(const CNBEffectEnableRule&) = delete;

  // 1 when the frame satisfies the rule, 0 when it breaks it.
  virtual int Test(const FrameDescriptor* frame) = 0;
  // 1 when the frame may go on through OnFrame, 0 when OnFrame must stop.
  virtual int Proceed(const FrameDescriptor* frame) = 0;
  // Called once when the rule trips.
  virtual void OnTrip() = 0;
  // Called when the rule restores and when the manager re-arms it.
  virtual void OnRestore() = 0;

  // Tests the frame, trips or restores on a change of state, and returns
  // Proceed's answer.
  int Evaluate(const FrameDescriptor* frame);
  // OnRestore and back to untripped, whatever the state was: the next frame
  // that breaks the rule trips it (and notifies) again.
  void Rearm();

  int IsTripped() const { return tripped.load(std::memory_order_relaxed); }

 protected:
  ~CNBEffectEnableRule() = default;

  std::atomic<int> tripped{0};  // 1 while the rule is in its tripped state
  NBEffectMgr* manager;         // the owning manager (not owned)
};

class CNBResolutionRule final : public CNBEffectEnableRule {
 public:
  using CNBEffectEnableRule::CNBEffectEnableRule;
  int Test(const FrameDescriptor* frame) override;
  int Proceed(const FrameDescriptor* frame) override;
  // Disables the manager; posts NB_SERVICE_EFFECT_OFF when an effect is on.
  void OnTrip() override;
  void OnRestore() override;
};

class CNBMJPEGRule final : public CNBEffectEnableRule {
 public:
  using CNBEffectEnableRule::CNBEffectEnableRule;
  int Test(const FrameDescriptor* frame) override;
  int Proceed(const FrameDescriptor* frame) override;
  // Leaves DeepTone out of the chain; posts NB_SERVICE_DEEP_TONE_OFF when
  // DeepTone is on (mode 2 or 3).
  void OnTrip() override;
  void OnRestore() override;
};
