// Synchronisation and execution services: events and waits, fast mutexes,
// timers with DPCs, work items, system threads, remove locks, pool, probes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/ntkernel/test_driver.h"

namespace kerneltest {
namespace {

using Clock = std::chrono::steady_clock;

LARGE_INTEGER RelativeMs(LONGLONG ms) {
  LARGE_INTEGER due;
  due.QuadPart = -ms * 10000;
  return due;
}

class SyncTest : public KernelTest {};

TEST_F(SyncTest, NotificationEventReleasesEveryWaiterSynchronizationEventOne) {
  KEVENT notification;
  KEVENT synchronization;
  KeInitializeEvent(&notification, NotificationEvent, FALSE);
  KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_EQ(KeSetEvent(&notification, 0, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&notification, 0, FALSE), 1) << "previous state is returned";
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  KeSetEvent(&synchronization, 0, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT)
      << "a satisfied wait consumes a synchronization event";
  KeClearEvent(&notification);
  EXPECT_EQ(KeReadStateEvent(&notification), 0);
}

TEST_F(SyncTest, WaitAnyReturnsTheFirstSignalledIndexWaitAllNeedsAll) {
  KEVENT events[3];
  PVOID objects[3];
  for (int i = 0; i < 3; ++i) {
    KeInitializeEvent(&events[i], SynchronizationEvent, FALSE);
    objects[i] = &events[i];
  }
  LARGE_INTEGER shortWait = RelativeMs(20);
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &shortWait, nullptr),
            STATUS_TIMEOUT);
  KeSetEvent(&events[2], 0, FALSE);
  KeSetEvent(&events[1], 0, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
            STATUS_WAIT_0 + 1);
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &shortWait, nullptr),
            STATUS_TIMEOUT);
  EXPECT_EQ(KeReadStateEvent(&events[2]), 1) << "a failed wait-all consumes nothing";
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    KeSetEvent(&events[0], 0, FALSE);
    KeSetEvent(&events[1], 0, FALSE);
  });
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr),
            STATUS_WAIT_0);
  setter.join();
  for (auto& e : events) EXPECT_EQ(KeReadStateEvent(&e), 0);
}

TEST_F(SyncTest, FastMutexExcludesAndRaisesToApcLevel) {
  FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);
  int counter = 0;
  auto work = [&] {
    for (int i = 0; i < 2000; ++i) {
      ExAcquireFastMutex(&mutex);
      EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
      ++counter;
      ExReleaseFastMutex(&mutex);
    }
  };
  std::thread a(work);
  std::thread b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 4000);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  ExAcquireFastMutex(&mutex);
  std::thread([&] { EXPECT_FALSE(ExTryToAcquireFastMutex(&mutex)); }).join();
  ExReleaseFastMutex(&mutex);
}

struct TimerContext {
  std::atomic<int> runs{0};
  std::atomic<int> irql{-1};
  Clock::time_point fired;
  KEVENT done;
};

void CountingDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* c = static_cast<TimerContext*>(context);
  c->irql = KeGetCurrentIrql();
  c->fired = Clock::now();
  ++c->runs;
  KeSetEvent(&c->done, 0, FALSE);
}

TEST_F(SyncTest, RelativeTimerRunsItsDpcAtDispatchLevelAfterTheDueTime) {
  KTIMER timer;
  KDPC dpc;
  TimerContext context;
  KeInitializeEvent(&context.done, NotificationEvent, FALSE);
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, CountingDpc, &context);
  auto start = Clock::now();
  EXPECT_FALSE(KeSetTimer(&timer, RelativeMs(30), &dpc));
  KeWaitForSingleObject(&context.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_GE(context.fired - start, std::chrono::milliseconds(30));
  EXPECT_EQ(context.irql.load(), DISPATCH_LEVEL);
  EXPECT_TRUE(KeReadStateTimer(&timer)) << "an expired notification timer stays signalled";
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  KeFlushQueuedDpcs();
  EXPECT_EQ(context.runs.load(), 1);
}

TEST_F(SyncTest, CancelledOrReArmedTimerDoesNotFireTwice) {
  KTIMER timer;
  KDPC dpc;
  TimerContext context;
  KeInitializeEvent(&context.done, NotificationEvent, FALSE);
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, CountingDpc, &context);
  EXPECT_FALSE(KeSetTimer(&timer, RelativeMs(200), &dpc));
  EXPECT_TRUE(KeCancelTimer(&timer)) << "it was set";
  EXPECT_FALSE(KeCancelTimer(&timer)) << "no longer set";
  EXPECT_FALSE(KeSetTimer(&timer, RelativeMs(300), &dpc));
  EXPECT_TRUE(KeSetTimer(&timer, RelativeMs(20), &dpc)) << "re-arming reports the timer was set";
  KeWaitForSingleObject(&context.done, Executive, KernelMode, FALSE, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));  // past the first due time
  KeFlushQueuedDpcs();
  EXPECT_EQ(context.runs.load(), 1);
}

TEST_F(SyncTest, PeriodicTimerFiresRepeatedly) {
  KTIMER timer;
  KDPC dpc;
  TimerContext context;
  KeInitializeEvent(&context.done, NotificationEvent, FALSE);
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  KeInitializeDpc(&dpc, CountingDpc, &context);
  KeSetTimerEx(&timer, RelativeMs(5), 5, &dpc);
  auto deadline = Clock::now() + std::chrono::seconds(2);
  while (context.runs.load() < 3 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  KeCancelTimer(&timer);
  KeFlushQueuedDpcs();
  EXPECT_GE(context.runs.load(), 3);
}

TEST_F(SyncTest, WorkItemRunsAtPassiveLevelAndKeepsItsDeviceAlive) {
  PDRIVER_OBJECT driver = LoadSlot(0);
  PDEVICE_OBJECT device = CreateTestDevice(driver, 0);
  struct Context {
    KEVENT go;
    KEVENT done;
    std::atomic<PDEVICE_OBJECT> device{nullptr};
    std::atomic<int> irql{-1};
    PIO_WORKITEM item;
  } context;
  KeInitializeEvent(&context.go, NotificationEvent, FALSE);
  KeInitializeEvent(&context.done, NotificationEvent, FALSE);
  context.item = IoAllocateWorkItem(device);
  ASSERT_NE(context.item, nullptr);
  IoQueueWorkItem(
      context.item,
      [](PDEVICE_OBJECT device, PVOID p) {
        auto* c = static_cast<Context*>(p);
        KeWaitForSingleObject(&c->go, Executive, KernelMode, FALSE, nullptr);
        c->device = device;
        c->irql = KeGetCurrentIrql();
        EXPECT_EQ(Ext(device)->slot, 0) << "the extension is still there";
        IoFreeWorkItem(c->item);
        KeSetEvent(&c->done, 0, FALSE);
      },
      DelayedWorkQueue, &context);
  IoDeleteDevice(device);  // the queued item holds a reference
  KeSetEvent(&context.go, 0, FALSE);
  KeWaitForSingleObject(&context.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(context.device.load(), device);
  EXPECT_EQ(context.irql.load(), PASSIVE_LEVEL);
}

TEST_F(SyncTest, SystemThreadIsWaitableAndCanTerminateItself) {
  struct Context {
    std::atomic<int> afterTerminate{0};
    std::atomic<int> irql{-1};
  } context;
  HANDLE handle = nullptr;
  ASSERT_EQ(PsCreateSystemThread(
                &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                [](PVOID p) {
                  auto* c = static_cast<Context*>(p);
                  c->irql = KeGetCurrentIrql();
                  PsTerminateSystemThread(STATUS_SUCCESS);
                  c->afterTerminate = 1;  // never reached
                },
                &context),
            STATUS_SUCCESS);
  PVOID thread = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  ObDereferenceObject(thread);
  EXPECT_EQ(context.afterTerminate.load(), 0);
  EXPECT_EQ(context.irql.load(), PASSIVE_LEVEL);
}

TEST_F(SyncTest, RemoveLockReleaseAndWaitDrainsHoldersAndRefusesNewOnes) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, MAKE_POOL_TAG("CVCF"), 1, 100);
  ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);  // the remover's own
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &lock), STATUS_SUCCESS);    // a request in flight
  std::atomic<bool> drained{false};
  std::thread remover([&] {
    IoReleaseRemoveLockAndWait(&lock, nullptr);
    drained = true;
  });
  while (!lock.Removed.load()) std::this_thread::yield();  // the remover has begun
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(drained.load()) << "a holder is still inside";
  EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_DELETE_PENDING);
  IoReleaseRemoveLock(&lock, &lock);
  remover.join();
  EXPECT_TRUE(drained.load());
}

TEST_F(SyncTest, Pool2IsZeroedAndTaggedFreesAreChecked) {
  auto* p = static_cast<UCHAR*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, MAKE_POOL_TAG("Test")));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(p[i], 0);
  ntkernel::ScopedVerifierCapture capture;
  ExFreePoolWithTag(p, MAKE_POOL_TAG("Oops"));
  EXPECT_TRUE(capture.Has(ntkernel::VerifierCheck::kPoolBadFree)) << "wrong tag";
  ExFreePoolWithTag(p, MAKE_POOL_TAG("Test"));
  EXPECT_EQ(capture.Reports().size(), 2u) << "second free of the same block";
}

TEST_F(SyncTest, ProbeAcceptsOnlyBuffersOfTheCurrentRequests) {
  char local[16] = {};
  bool thrown = false;
  try {
    ProbeForRead(local, sizeof local, 1);
  } catch (const NT_EXCEPTION& e) {
    thrown = true;
    EXPECT_EQ(e.Status, STATUS_ACCESS_VIOLATION);
  }
  EXPECT_TRUE(thrown) << "memory no request passed is not a caller buffer";
  EXPECT_NO_THROW(ProbeForRead(local, 0, 4)) << "a zero length is never probed";
}

TEST_F(SyncTest, SpinLockRaisesIrqlAndRestoresIt) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

}  // namespace
}  // namespace kerneltest
