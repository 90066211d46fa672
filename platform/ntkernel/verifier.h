// The kernel model's verifier: always on. Each check names the request (or
// object) and the place (the service and the caller's file and line).
//
// Checks: a request completed twice; completed with a cancel routine still
// set; completed with STATUS_PENDING; completed while the thread holds a spin
// lock; passed down with no stack location left; still outstanding when its
// device is deleted; a timer or DPC still queued inside a deleted device's
// extension; a wait or a fast mutex taken at DISPATCH_LEVEL (DPC context);
// a spin lock acquired twice by one thread; pool still allocated by a driver
// when it is unloaded; pool freed twice or with the wrong tag; a remove lock
// released more often than it was acquired.
//
// What happens to a report: every report goes to the installed handler. The
// test support library ntkernel_verifier_gtest installs one that fails the
// running test (ADD_FAILURE with the report); without a handler a report is
// written to standard error. ScopedVerifierCapture collects reports instead
// (tests that break a rule on purpose).
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ntkernel {

enum class VerifierCheck {
  kDoubleCompletion,
  kCompletedWithCancelRoutine,
  kCompletedWithPendingStatus,
  kCompletedHoldingSpinLock,
  kStackOverflow,
  kIrpOutstandingAtDelete,
  kTimerOrDpcAtDelete,
  kWaitAtDispatch,
  kFastMutexAtDispatch,
  kSpinLockRecursion,
  kPoolLeakAtUnload,
  kPoolBadFree,
  kRemoveLockOverRelease,
};

const char* VerifierCheckName(VerifierCheck check);

struct VerifierReport {
  VerifierCheck check;
  const void* object;   // the IRP (or device, pool block, lock) concerned
  std::string service;  // e.g. "IoCompleteRequest"
  std::string place;    // "file:line" of the caller
  std::string detail;   // what was found, e.g. "pool tag CVCF, 64 bytes"
  std::string ToString() const;
};

using VerifierHandler = std::function<void(const VerifierReport&)>;
// Installs the process-wide handler (nullptr: standard error). Returns the
// previous one.
VerifierHandler SetVerifierHandler(VerifierHandler handler);

// Collects reports while alive, in place of the handler; nests.
class ScopedVerifierCapture {
 public:
  ScopedVerifierCapture();
  ~ScopedVerifierCapture();
  ScopedVerifierCapture(const ScopedVerifierCapture&) = delete;
  ScopedVerifierCapture& operator=(const ScopedVerifierCapture&) = delete;
  std::vector<VerifierReport> Reports() const;
  bool Has(VerifierCheck check) const;

 private:
  VerifierHandler previous_;
  mutable std::mutex lock_;
  std::vector<VerifierReport> reports_;  // guarded by lock_
};

// Used by the model itself.
void VerifierReportViolation(VerifierReport report);

}  // namespace ntkernel
