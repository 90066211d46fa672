// A cancel-safe request queue as a test driver keeps one: whoever clears a
// request's cancel routine (atomic exchange) owns it. Requests are linked
// through Irp->Tail.Overlay.ListEntry under a spin lock that is never held
// while a request is completed.
#pragma once

#include "ntkernel/wdm.h"

namespace kerneltest {

class PendingQueue {
 public:
  PendingQueue() {
    InitializeListHead(&head_);
    KeInitializeSpinLock(&lock_);
    Current() = this;
  }
  ~PendingQueue() { Current() = nullptr; }

  // Queues the request (pending) or completes it as cancelled if it was
  // cancelled before the cancel routine could be installed.
  NTSTATUS Queue(PIRP irp, bool cancellable = true) {
    KIRQL old;
    IoMarkIrpPending(irp);
    irp->Tail.Overlay.DriverContext[0] = cancellable ? this : nullptr;
    KeAcquireSpinLock(&lock_, &old);
    if (cancellable) {
      IoSetCancelRoutine(irp, CancelRoutine);
      if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        KeReleaseSpinLock(&lock_, old);
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
      }
    }
    InsertTailList(&head_, &irp->Tail.Overlay.ListEntry);
    ++count_;
    KeReleaseSpinLock(&lock_, old);
    return STATUS_PENDING;
  }

  // Completes the oldest request this code still owns; false if none.
  bool CompleteOne(NTSTATUS status, ULONG_PTR information = 0) {
    PIRP irp = Take();
    if (irp == nullptr) return false;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return true;
  }

  // Removes the oldest owned request; nullptr if none.
  PIRP Take() {
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    while (!IsListEmpty(&head_)) {
      PLIST_ENTRY entry = RemoveHeadList(&head_);
      --count_;
      PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
      const bool cancellable = irp->Tail.Overlay.DriverContext[0] != nullptr;
      if (cancellable && IoSetCancelRoutine(irp, nullptr) == nullptr) {
        // Its cancel routine is running and will complete it; leave the
        // entry self-linked so the routine's unlink is harmless.
        InitializeListHead(entry);
        continue;
      }
      KeReleaseSpinLock(&lock_, old);
      return irp;
    }
    KeReleaseSpinLock(&lock_, old);
    return nullptr;
  }

  int Count() {
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    int n = count_;
    KeReleaseSpinLock(&lock_, old);
    return n;
  }

 private:
  static PendingQueue*& Current() {
    static PendingQueue* current = nullptr;
    return current;
  }

  static void CancelRoutine(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PendingQueue* q = Current();
    KIRQL old;
    KeAcquireSpinLock(&q->lock_, &old);
    PLIST_ENTRY entry = &irp->Tail.Overlay.ListEntry;
    if (entry->Flink != entry) {
      RemoveEntryList(entry);
      --q->count_;
    }
    KeReleaseSpinLock(&q->lock_, old);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }

  LIST_ENTRY head_;
  KSPIN_LOCK lock_;
  int count_ = 0;  // guarded by lock_
};

}  // namespace kerneltest
