// The enable rules: evaluation against a frame, re-arming, and what each
// rule switches off or on when it trips or restores.
#include "effects/effect_rules.h"

#include "config/result_codes.h"
#include "effects/effect_mgr.h"
#include "effects/notice_window.h"

int CNBEffectEnableRule::Evaluate(const FrameDescriptor* frame) {
  const int satisfied = Test(frame);
  if (satisfied == 0 && tripped.load(std::memory_order_relaxed) == 0) {
    OnTrip();
    tripped.store(1, std::memory_order_relaxed);
  } else if (satisfied == 1 && tripped.load(std::memory_order_relaxed) == 1) {
    OnRestore();
    tripped.store(0, std::memory_order_relaxed);
  }
  return Proceed(frame);
}

void CNBEffectEnableRule::Rearm() {
  OnRestore();
  tripped.store(0, std::memory_order_relaxed);
}

int CNBResolutionRule::Test(const FrameDescriptor* frame) {
  return static_cast<DWORD>(frame->dwWidth) <= 640 && static_cast<DWORD>(frame->dwHeight) <= 480 ? 1 : 0;
}

int CNBResolutionRule::Proceed(const FrameDescriptor* frame) { return Test(frame); }

void CNBResolutionRule::OnTrip() {
  manager->SetEnabled(0);
  if (manager->IsChainActive()) PostNoticeMessage(NB_SERVICE_EFFECT_OFF);
}

void CNBResolutionRule::OnRestore() { manager->SetEnabled(1); }

int CNBMJPEGRule::Test(const FrameDescriptor* frame) { return frame->subtype == MEDIASUBTYPE_YUY2 ? 1 : 0; }

int CNBMJPEGRule::Proceed(const FrameDescriptor*) { return 1; }

void CNBMJPEGRule::OnTrip() {
  manager->SetContrastAllowed(0);
  const int mode = manager->GetDeepToneMode();
  if (mode == 2 || mode == 3) PostNoticeMessage(NB_SERVICE_DEEP_TONE_OFF);
}

void CNBMJPEGRule::OnRestore() { manager->SetContrastAllowed(1); }
