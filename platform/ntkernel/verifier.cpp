// The verifier's report routing: the installed handler, captures, stderr.
#include "ntkernel/verifier.h"

#include <cstdio>

namespace ntkernel {
namespace {

std::mutex& HandlerLock() {
  static auto* lock = new std::mutex;  // never destroyed: model threads may report late
  return *lock;
}
VerifierHandler& Handler() {
  static auto* handler = new VerifierHandler;  // guarded by HandlerLock()
  return *handler;
}

}  // namespace

const char* VerifierCheckName(VerifierCheck check) {
  switch (check) {
    case VerifierCheck::kDoubleCompletion: return "request completed twice";
    case VerifierCheck::kCompletedWithCancelRoutine: return "request completed with a cancel routine set";
    case VerifierCheck::kCompletedWithPendingStatus: return "request completed with STATUS_PENDING";
    case VerifierCheck::kCompletedHoldingSpinLock: return "request completed while a spin lock is held";
    case VerifierCheck::kStackOverflow: return "no stack location left";
    case VerifierCheck::kIrpOutstandingAtDelete: return "request outstanding at device deletion";
    case VerifierCheck::kTimerOrDpcAtDelete: return "timer or DPC queued at device deletion";
    case VerifierCheck::kWaitAtDispatch: return "wait at DISPATCH_LEVEL";
    case VerifierCheck::kFastMutexAtDispatch: return "fast mutex at DISPATCH_LEVEL";
    case VerifierCheck::kSpinLockRecursion: return "spin lock acquired recursively";
    case VerifierCheck::kPoolLeakAtUnload: return "pool leaked at driver unload";
    case VerifierCheck::kPoolBadFree: return "bad pool free";
    case VerifierCheck::kRemoveLockOverRelease: return "remove lock released more often than acquired";
  }
  return "unknown check";
}

std::string VerifierReport::ToString() const {
  char address[32];
  std::snprintf(address, sizeof address, "%p", object);
  return std::string("kernel verifier: ") + VerifierCheckName(check) + " [" + address + "] in " + service + " at " +
         place + ": " + detail;
}

VerifierHandler SetVerifierHandler(VerifierHandler handler) {
  std::lock_guard<std::mutex> guard(HandlerLock());
  VerifierHandler previous = std::move(Handler());
  Handler() = std::move(handler);
  return previous;
}

void VerifierReportViolation(VerifierReport report) {
  VerifierHandler handler;
  {
    std::lock_guard<std::mutex> guard(HandlerLock());
    handler = Handler();
  }
  if (handler) {
    handler(report);
  } else {
    std::fprintf(stderr, "%s\n", report.ToString().c_str());
  }
}

ScopedVerifierCapture::ScopedVerifierCapture() {
  previous_ = SetVerifierHandler([this](const VerifierReport& report) {
    std::lock_guard<std::mutex> guard(lock_);
    reports_.push_back(report);
  });
}

ScopedVerifierCapture::~ScopedVerifierCapture() { SetVerifierHandler(std::move(previous_)); }

std::vector<VerifierReport> ScopedVerifierCapture::Reports() const {
  std::lock_guard<std::mutex> guard(lock_);
  return reports_;
}

bool ScopedVerifierCapture::Has(VerifierCheck check) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& r : reports_) {
    if (r.check == check) return true;
  }
  return false;
}

}  // namespace ntkernel
