// IRQL, spin locks, dispatcher objects and waits, fast mutexes, timers,
// DPCs, work items and system threads of the kernel model.
//
// All dispatcher state (signal states, the timer list) is guarded by one
// dispatcher lock. Each thread in KeWaitForMultipleObjects waits on its own
// wait block (listed under that lock): setting an event wakes only the
// blocks that wait on it; other signals wake every block. The model's threads (timer, DPC, two work queues) are
// started on first use and live until the process ends.
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <unordered_map>

#include "ntkernel/model.h"
#include "ntkernel/pnp.h"

namespace ntkernel::detail {
namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local int t_spinlocks = 0;
thread_local PDRIVER_OBJECT t_driver = nullptr;
thread_local char t_threadTag = 0;  // its address identifies the thread as spin lock owner

// A thread inside KeWaitForMultipleObjects and the objects it waits on;
// linked into DispatcherState::waiters while it waits.
struct WaitBlock {
  std::condition_variable cv;
  PVOID* objects;
  ULONG count;
  WaitBlock* prev = nullptr;
  WaitBlock* next = nullptr;
};

struct DispatcherState {
  std::mutex lock;
  std::condition_variable cv;       // fast mutex waiters
  WaitBlock* waiters = nullptr;     // threads in KeWaitForMultipleObjects, guarded by lock
  std::condition_variable timerCv;  // the timer thread
  std::set<std::pair<LONGLONG, PKTIMER>> timers;  // (due, timer), guarded by lock
  bool timerThreadStarted = false;
};

DispatcherState& Dispatcher() {
  static DispatcherState* state = new DispatcherState;  // never destroyed: model threads outlive main()
  return *state;
}

ULONG_PTR ThreadTag() { return reinterpret_cast<ULONG_PTR>(&t_threadTag); }

}  // namespace

LONGLONG MonotonicNow100ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
             .count() /
         100;
}

LONGLONG SystemTimeNow100ns() {
  // 100 ns units since 1601-01-01.
  constexpr LONGLONG kEpochDelta = 116444736000000000LL;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
                 .count() /
             100 +
         kEpochDelta;
}

std::mutex& DispatcherLock() { return Dispatcher().lock; }
void WakeAllWaitersLocked() {
  Dispatcher().cv.notify_all();
  for (WaitBlock* b = Dispatcher().waiters; b != nullptr; b = b->next) b->cv.notify_one();
}

namespace {

// Wakes the threads waiting on `object` only. Dispatcher lock held.
void WakeWaitersOfLocked(const void* object) {
  for (WaitBlock* b = Dispatcher().waiters; b != nullptr; b = b->next) {
    for (ULONG i = 0; i < b->count; ++i) {
      if (b->objects[i] == object) {
        b->cv.notify_one();
        break;
      }
    }
  }
}

// Links a wait block for the life of one wait. Dispatcher lock held at both ends.
class WaitBlockLink {
 public:
  explicit WaitBlockLink(WaitBlock* block) : block_(block) {
    DispatcherState& d = Dispatcher();
    block->next = d.waiters;
    if (d.waiters != nullptr) d.waiters->prev = block;
    d.waiters = block;
  }
  ~WaitBlockLink() {
    DispatcherState& d = Dispatcher();
    if (block_->prev != nullptr) {
      block_->prev->next = block_->next;
    } else {
      d.waiters = block_->next;
    }
    if (block_->next != nullptr) block_->next->prev = block_->prev;
  }
  WaitBlockLink(const WaitBlockLink&) = delete;
  WaitBlockLink& operator=(const WaitBlockLink&) = delete;

 private:
  WaitBlock* block_;
};

}  // namespace

PDRIVER_OBJECT CurrentDriver() { return t_driver; }
DriverScope::DriverScope(PDRIVER_OBJECT driver) : previous_(t_driver) { t_driver = driver; }
DriverScope::~DriverScope() { t_driver = previous_; }
IrqlScope::IrqlScope(KIRQL irql) : previous_(t_irql) { t_irql = irql; }
IrqlScope::~IrqlScope() { t_irql = previous_; }
int SpinLocksHeld() { return t_spinlocks; }

}  // namespace ntkernel::detail

using namespace ntkernel;
using namespace ntkernel::detail;

// ---------------------------------------------------------------------------
// IRQL and spin locks
// ---------------------------------------------------------------------------

KIRQL KeGetCurrentIrql() { return t_irql; }
void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) {
  *oldIrql = t_irql;
  t_irql = newIrql;
}
void KeLowerIrql(KIRQL newIrql) { t_irql = newIrql; }
KIRQL KeRaiseIrqlToDpcLevel() {
  KIRQL old = t_irql;
  t_irql = DISPATCH_LEVEL;
  return old;
}

void KeInitializeSpinLock(PKSPIN_LOCK lock) { __atomic_store_n(lock, 0, __ATOMIC_RELEASE); }

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock, std::source_location where) {
  const ULONG_PTR me = ThreadTag();
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me) {
    Report(VerifierCheck::kSpinLockRecursion, lock, "KeAcquireSpinLock", where,
           "the thread already holds this spin lock; acquiring it again would deadlock");
    std::abort();
  }
  for (int spins = 0;; ++spins) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
    if (spins > 64) std::this_thread::yield();
  }
  ++t_spinlocks;
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock) {
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
  --t_spinlocks;
}

void KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql, std::source_location where) {
  KIRQL old = t_irql;
  if (t_irql < DISPATCH_LEVEL) t_irql = DISPATCH_LEVEL;
  KeAcquireSpinLockAtDpcLevel(lock, where);
  *oldIrql = old;
}

void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
  KeReleaseSpinLockFromDpcLevel(lock);
  t_irql = newIrql;
}

namespace {
KSPIN_LOCK g_cancelLock = 0;
}

void IoAcquireCancelSpinLock(PKIRQL irql, std::source_location where) { KeAcquireSpinLock(&g_cancelLock, irql, where); }
void IoReleaseCancelSpinLock(KIRQL irql) { KeReleaseSpinLock(&g_cancelLock, irql); }

// ---------------------------------------------------------------------------
// Events and waits
// ---------------------------------------------------------------------------

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  event->Header.Type = type == NotificationEvent ? DISPATCHER_NOTIFICATION_EVENT : DISPATCHER_SYNCHRONIZATION_EVENT;
  event->Header.Inserted = 0;
  event->Header.SignalState = state ? 1 : 0;
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN) {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 1;
  WakeWaitersOfLocked(event);
  return previous;
}

void KeClearEvent(PRKEVENT event) {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT event) {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 0;
  return previous;
}

LONG KeReadStateEvent(PRKEVENT event) {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  return event->Header.SignalState;
}

namespace {

bool SignalledLocked(const DISPATCHER_HEADER* h) { return h->SignalState > 0; }

void ConsumeLocked(DISPATCHER_HEADER* h) {
  if (h->Type == DISPATCHER_SYNCHRONIZATION_EVENT || h->Type == DISPATCHER_SYNCHRONIZATION_TIMER) h->SignalState = 0;
}

}  // namespace

NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID objects[], WAIT_TYPE waitType, KWAIT_REASON, KPROCESSOR_MODE,
                                  BOOLEAN, PLARGE_INTEGER timeout, PKWAIT_BLOCK, std::source_location where) {
  const bool poll = timeout != nullptr && timeout->QuadPart == 0;
  if (!poll && t_irql >= DISPATCH_LEVEL) {
    Report(VerifierCheck::kWaitAtDispatch, objects[0], "KeWaitForSingleObject/KeWaitForMultipleObjects", where,
           "a wait with a time limit other than 0 at IRQL " + std::to_string(t_irql) +
               (t_spinlocks > 0 ? " (a spin lock is held)" : " (DPC context)"));
  }
  auto header = [&](ULONG i) { return static_cast<DISPATCHER_HEADER*>(objects[i]); };
  std::unique_lock<std::mutex> lock(DispatcherLock());
  std::chrono::steady_clock::time_point deadline{};
  if (timeout != nullptr && !poll) {
    LONGLONG units = timeout->QuadPart < 0 ? -timeout->QuadPart
                                           : std::max<LONGLONG>(0, timeout->QuadPart - SystemTimeNow100ns());
    deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(units * 100);
  }
  bool timedOut = false;
  WaitBlock block;
  block.objects = objects;
  block.count = count;
  std::optional<WaitBlockLink> link;  // only once the thread is about to sleep; unlinked before `lock` goes
  for (;;) {
    if (waitType == WaitAny) {
      for (ULONG i = 0; i < count; ++i) {
        if (SignalledLocked(header(i))) {
          ConsumeLocked(header(i));
          return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
        }
      }
    } else {
      bool all = true;
      for (ULONG i = 0; i < count && all; ++i) all = SignalledLocked(header(i));
      if (all) {
        for (ULONG i = 0; i < count; ++i) ConsumeLocked(header(i));
        return STATUS_WAIT_0;
      }
    }
    // Not satisfied: a poll or an expired limit ends here (the objects were
    // looked at once more after the limit, under the lock).
    if (poll || timedOut) return STATUS_TIMEOUT;
    if (!link) link.emplace(&block);
    if (timeout == nullptr) {
      block.cv.wait(lock);
    } else {
      timedOut = block.cv.wait_until(lock, deadline) == std::cv_status::timeout;
    }
  }
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                               PLARGE_INTEGER timeout, std::source_location where) {
  PVOID objects[1] = {object};
  return KeWaitForMultipleObjects(1, objects, WaitAny, reason, mode, alertable, timeout, nullptr, where);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
  LONGLONG units = interval->QuadPart < 0 ? -interval->QuadPart
                                          : std::max<LONGLONG>(0, interval->QuadPart - SystemTimeNow100ns());
  std::this_thread::sleep_for(std::chrono::nanoseconds(units * 100));
  return STATUS_SUCCESS;
}

void KeStallExecutionProcessor(ULONG microseconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(microseconds);
  while (std::chrono::steady_clock::now() < end) {
  }
}

void KeQuerySystemTime(PLARGE_INTEGER currentTime) { currentTime->QuadPart = SystemTimeNow100ns(); }
ULONGLONG KeQueryInterruptTime() { return static_cast<ULONGLONG>(MonotonicNow100ns()); }
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER frequency) {
  if (frequency != nullptr) frequency->QuadPart = 10000000;
  LARGE_INTEGER now;
  now.QuadPart = MonotonicNow100ns();
  return now;
}

// ---------------------------------------------------------------------------
// Fast mutexes
// ---------------------------------------------------------------------------

void ExInitializeFastMutex(PFAST_MUTEX mutex) {
  mutex->Count.store(1);
  mutex->Owner.store(nullptr);
  mutex->OldIrql = PASSIVE_LEVEL;
  KeInitializeEvent(&mutex->Event, SynchronizationEvent, FALSE);
}

namespace {
bool CheckFastMutexIrql(PFAST_MUTEX mutex, const std::source_location& where) {
  if (t_irql < DISPATCH_LEVEL) return true;
  Report(VerifierCheck::kFastMutexAtDispatch, mutex, "ExAcquireFastMutex", where,
         "fast mutex acquired at IRQL " + std::to_string(t_irql) +
             (t_spinlocks > 0 ? " (a spin lock is held)" : " (DPC context)"));
  return false;
}
}  // namespace

void ExAcquireFastMutex(PFAST_MUTEX mutex, std::source_location where) {
  CheckFastMutexIrql(mutex, where);
  {
    std::unique_lock<std::mutex> lock(DispatcherLock());
    Dispatcher().cv.wait(lock, [&] { return mutex->Count.load() == 1; });
    mutex->Count.store(0);
    mutex->Owner.store(&t_threadTag);
  }
  mutex->OldIrql = t_irql;
  if (t_irql < APC_LEVEL) t_irql = APC_LEVEL;
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX mutex, std::source_location where) {
  CheckFastMutexIrql(mutex, where);
  {
    std::lock_guard<std::mutex> lock(DispatcherLock());
    if (mutex->Count.load() != 1) return FALSE;
    mutex->Count.store(0);
    mutex->Owner.store(&t_threadTag);
  }
  mutex->OldIrql = t_irql;
  if (t_irql < APC_LEVEL) t_irql = APC_LEVEL;
  return TRUE;
}

void ExReleaseFastMutex(PFAST_MUTEX mutex) {
  KIRQL old = mutex->OldIrql;
  {
    std::lock_guard<std::mutex> lock(DispatcherLock());
    mutex->Owner.store(nullptr);
    mutex->Count.store(1);
    WakeAllWaitersLocked();
  }
  t_irql = old;
}

// ---------------------------------------------------------------------------
// DPCs
// ---------------------------------------------------------------------------

namespace {

struct DpcState {
  std::mutex lock;
  std::condition_variable cv;
  std::deque<PKDPC> queue;  // guarded by lock
  bool running = false;     // a DPC routine is running; guarded by lock
  bool started = false;
  ULONGLONG generation = 0;  // DPCs run so far; guarded by lock
  std::unordered_map<PKDPC, PDRIVER_OBJECT> owners;  // driver that initialised each DPC; guarded by lock
};

DpcState& Dpcs() {
  static DpcState* state = new DpcState;  // never destroyed
  return *state;
}

void DpcThread() {
  IrqlScope irql(DISPATCH_LEVEL);
  DpcState& s = Dpcs();
  std::unique_lock<std::mutex> lock(s.lock);
  for (;;) {
    s.cv.wait(lock, [&] { return !s.queue.empty(); });
    PKDPC dpc = s.queue.front();
    s.queue.pop_front();
    dpc->Queued.store(0);
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext;
    PVOID a1 = dpc->SystemArgument1;
    PVOID a2 = dpc->SystemArgument2;
    auto owner = s.owners.find(dpc);
    PDRIVER_OBJECT driver = owner == s.owners.end() ? nullptr : owner->second;
    s.running = true;
    lock.unlock();
    {
      DriverScope scope(driver);
      routine(dpc, context, a1, a2);
    }
    lock.lock();
    s.running = false;
    ++s.generation;
    s.cv.notify_all();
  }
}

}  // namespace

void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context) {
  dpc->DeferredRoutine = routine;
  dpc->DeferredContext = context;
  dpc->SystemArgument1 = nullptr;
  dpc->SystemArgument2 = nullptr;
  dpc->Queued.store(0);
  std::lock_guard<std::mutex> guard(Dpcs().lock);
  Dpcs().owners[dpc] = t_driver;
}

BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID systemArgument1, PVOID systemArgument2) {
  DpcState& s = Dpcs();
  std::lock_guard<std::mutex> guard(s.lock);
  if (dpc->Queued.load() != 0) return FALSE;
  if (!s.started) {
    s.started = true;
    std::thread(DpcThread).detach();
  }
  dpc->Queued.store(1);
  dpc->SystemArgument1 = systemArgument1;
  dpc->SystemArgument2 = systemArgument2;
  s.queue.push_back(dpc);
  s.cv.notify_all();
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC dpc) {
  DpcState& s = Dpcs();
  std::lock_guard<std::mutex> guard(s.lock);
  if (dpc->Queued.load() == 0) return FALSE;
  for (auto it = s.queue.begin(); it != s.queue.end(); ++it) {
    if (*it == dpc) {
      s.queue.erase(it);
      break;
    }
  }
  dpc->Queued.store(0);
  return TRUE;
}

void KeFlushQueuedDpcs() {
  DpcState& s = Dpcs();
  std::unique_lock<std::mutex> lock(s.lock);
  s.cv.wait(lock, [&] { return s.queue.empty() && !s.running; });
}

// ---------------------------------------------------------------------------
// Timers
// ---------------------------------------------------------------------------

namespace {

void TimerThread() {
  DispatcherState& d = Dispatcher();
  std::unique_lock<std::mutex> lock(d.lock);
  for (;;) {
    if (d.timers.empty()) {
      d.timerCv.wait(lock);
      continue;
    }
    auto first = *d.timers.begin();
    LONGLONG now = MonotonicNow100ns();
    if (first.first > now) {
      d.timerCv.wait_for(lock, std::chrono::nanoseconds((first.first - now) * 100));
      continue;
    }
    d.timers.erase(d.timers.begin());
    PKTIMER timer = first.second;
    timer->Header.Inserted = 0;
    timer->Header.SignalState = 1;
    PKDPC dpc = timer->Dpc;
    if (timer->Period > 0) {
      timer->DueTime = first.first + static_cast<LONGLONG>(timer->Period) * 10000;
      timer->Header.Inserted = 1;
      d.timers.insert({timer->DueTime, timer});
    }
    WakeAllWaitersLocked();
    if (dpc != nullptr) KeInsertQueueDpc(dpc, nullptr, nullptr);  // DPC lock is a leaf
  }
}

// Removes `timer` from the list; TRUE if it was there. Dispatcher lock held.
BOOLEAN RemoveTimerLocked(PKTIMER timer) {
  if (!timer->Header.Inserted) return FALSE;
  Dispatcher().timers.erase({timer->DueTime, timer});
  timer->Header.Inserted = 0;
  return TRUE;
}

}  // namespace

void KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type) {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  timer->Header.Type = type == NotificationTimer ? DISPATCHER_NOTIFICATION_TIMER : DISPATCHER_SYNCHRONIZATION_TIMER;
  timer->Header.Inserted = 0;
  timer->Header.SignalState = 0;
  timer->DueTime = 0;
  timer->Period = 0;
  timer->Dpc = nullptr;
}

void KeInitializeTimer(PKTIMER timer) { KeInitializeTimerEx(timer, NotificationTimer); }

BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG periodMs, PKDPC dpc) {
  DispatcherState& d = Dispatcher();
  std::lock_guard<std::mutex> guard(d.lock);
  if (!d.timerThreadStarted) {
    d.timerThreadStarted = true;
    std::thread(TimerThread).detach();
  }
  BOOLEAN wasSet = RemoveTimerLocked(timer);
  LONGLONG now = MonotonicNow100ns();
  LONGLONG due = dueTime.QuadPart < 0 ? now - dueTime.QuadPart
                                      : now + std::max<LONGLONG>(0, dueTime.QuadPart - SystemTimeNow100ns());
  if (dueTime.QuadPart == 0) due = now;
  timer->Header.SignalState = 0;
  timer->DueTime = due;
  timer->Period = periodMs;
  timer->Dpc = dpc;
  timer->Header.Inserted = 1;
  d.timers.insert({due, timer});
  d.timerCv.notify_all();
  return wasSet;
}

BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc) { return KeSetTimerEx(timer, dueTime, 0, dpc); }

BOOLEAN KeCancelTimer(PKTIMER timer) {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  return RemoveTimerLocked(timer);
}

BOOLEAN KeReadStateTimer(PKTIMER timer) {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  return timer->Header.SignalState > 0;
}

void ntkernel::detail::CheckTimersInRange(const char* begin, const char* end, const std::source_location& where) {
  std::vector<const void*> timers;
  {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    for (const auto& entry : Dispatcher().timers) {
      const char* p = reinterpret_cast<const char*>(entry.second);
      if (p >= begin && p < end) timers.push_back(p);
    }
  }
  for (const void* t : timers) {
    Report(VerifierCheck::kTimerOrDpcAtDelete, t, "IoDeleteDevice", where,
           "a timer inside the device extension is still set");
  }
  std::vector<const void*> dpcs;
  {
    std::lock_guard<std::mutex> guard(Dpcs().lock);
    for (PKDPC dpc : Dpcs().queue) {
      const char* p = reinterpret_cast<const char*>(dpc);
      if (p >= begin && p < end) dpcs.push_back(p);
    }
    for (auto it = Dpcs().owners.begin(); it != Dpcs().owners.end();) {
      const char* p = reinterpret_cast<const char*>(it->first);
      it = (p >= begin && p < end) ? Dpcs().owners.erase(it) : std::next(it);
    }
  }
  for (const void* dpc : dpcs) {
    Report(VerifierCheck::kTimerOrDpcAtDelete, dpc, "IoDeleteDevice", where,
           "a DPC inside the device extension is still queued");
  }
}

// ---------------------------------------------------------------------------
// Work queues and work items
// ---------------------------------------------------------------------------

namespace {

struct WorkQueue {
  std::mutex lock;
  std::condition_variable cv;
  std::deque<std::function<void()>> items;  // guarded by lock
  bool started = false;
};

WorkQueue& Queue(int which) {
  static WorkQueue* queues = new WorkQueue[3];  // critical, delayed, model; never destroyed
  return queues[which];
}

void Worker(WorkQueue* q) {
  std::unique_lock<std::mutex> lock(q->lock);
  for (;;) {
    q->cv.wait(lock, [&] { return !q->items.empty(); });
    std::function<void()> work = std::move(q->items.front());
    q->items.pop_front();
    lock.unlock();
    work();
    lock.lock();
  }
}

void Enqueue(int which, std::function<void()> work) {
  WorkQueue& q = Queue(which);
  std::lock_guard<std::mutex> guard(q.lock);
  if (!q.started) {
    q.started = true;
    std::thread(Worker, &q).detach();
  }
  q.items.push_back(std::move(work));
  q.cv.notify_all();
}

}  // namespace

void ntkernel::detail::QueueModelWork(std::function<void()> work) { Enqueue(2, std::move(work)); }

struct IO_WORKITEM {
  PDEVICE_OBJECT device;
};

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT device) {
  void* memory = PoolAllocate(sizeof(IO_WORKITEM), MAKE_POOL_TAG("IoWI"), t_driver, true);
  if (memory == nullptr) return nullptr;
  auto* item = static_cast<PIO_WORKITEM>(memory);
  item->device = device;
  return item;
}

void IoFreeWorkItem(PIO_WORKITEM item) { ExFreePoolWithTag(item, MAKE_POOL_TAG("IoWI")); }

void IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queueType, PVOID context) {
  PDEVICE_OBJECT device = item->device;
  ObReferenceObject(device);  // keeps the device while queued
  Enqueue(queueType == CriticalWorkQueue ? 0 : 1, [device, routine, context] {
    {
      DriverScope scope(device->DriverObject);
      IrqlScope irql(PASSIVE_LEVEL);
      routine(device, context);
    }
    ObDereferenceObject(device);
  });
}

// ---------------------------------------------------------------------------
// System threads and kernel handles
// ---------------------------------------------------------------------------

struct _KTHREAD {
  DISPATCHER_HEADER Header;  // signalled when the thread has ended
  std::atomic<int> refs{0};
  NTSTATUS exitStatus = STATUS_PENDING;
};

namespace {

struct SystemThreadExit {
  NTSTATUS status;
};

thread_local PKTHREAD t_thread = nullptr;

struct HandleTable {
  std::mutex lock;
  std::unordered_map<ULONG_PTR, std::pair<int, void*>> entries;  // guarded by lock
  ULONG_PTR next = 0x80000004u;
};
HandleTable& Handles() {
  static HandleTable* table = new HandleTable;  // never destroyed
  return *table;
}

POBJECT_TYPE g_threadType = reinterpret_cast<POBJECT_TYPE>(&g_threadType);

}  // namespace

POBJECT_TYPE* PsThreadType = &g_threadType;

void ntkernel::detail::ReferenceThread(PKTHREAD thread) { thread->refs.fetch_add(1); }
void ntkernel::detail::DereferenceThread(PKTHREAD thread) {
  if (thread->refs.fetch_sub(1) == 1) delete thread;
}

HANDLE ntkernel::detail::InsertKernelHandle(void* object, int kind) {
  HandleTable& t = Handles();
  std::lock_guard<std::mutex> guard(t.lock);
  ULONG_PTR value = t.next;
  t.next += 4;
  t.entries[value] = {kind, object};
  return reinterpret_cast<HANDLE>(value);
}

void* ntkernel::detail::LookupKernelHandle(HANDLE handle, int kind) {
  HandleTable& t = Handles();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.entries.find(reinterpret_cast<ULONG_PTR>(handle));
  if (it == t.entries.end() || it->second.first != kind) return nullptr;
  return it->second.second;
}

bool ntkernel::detail::CloseKernelHandle(HANDLE handle, int* kind, void** object) {
  HandleTable& t = Handles();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.entries.find(reinterpret_cast<ULONG_PTR>(handle));
  if (it == t.entries.end()) return false;
  *kind = it->second.first;
  *object = it->second.second;
  t.entries.erase(it);
  return true;
}

NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE, PCLIENT_ID,
                              PKSTART_ROUTINE startRoutine, PVOID startContext) {
  auto* thread = new _KTHREAD;
  thread->Header.Type = DISPATCHER_THREAD;
  thread->Header.SignalState = 0;
  thread->refs.store(2);  // the handle and the running thread
  PDRIVER_OBJECT driver = t_driver;
  *threadHandle = InsertKernelHandle(thread, kHandleThread);
  std::thread([thread, driver, startRoutine, startContext] {
    t_thread = thread;
    NTSTATUS status = STATUS_SUCCESS;
    {
      DriverScope scope(driver);
      try {
        startRoutine(startContext);
      } catch (const SystemThreadExit& exit) {
        status = exit.status;
      }
    }
    {
      std::lock_guard<std::mutex> guard(DispatcherLock());
      thread->exitStatus = status;
      thread->Header.SignalState = 1;
      WakeAllWaitersLocked();
    }
    t_thread = nullptr;
    DereferenceThread(thread);
  }).detach();
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus) { throw SystemThreadExit{exitStatus}; }

PKTHREAD KeGetCurrentThread() { return t_thread; }
KPRIORITY KeSetPriorityThread(PKTHREAD, KPRIORITY priority) { return priority; }

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK, POBJECT_TYPE objectType, KPROCESSOR_MODE, PVOID* object,
                                   POBJECT_HANDLE_INFORMATION) {
  auto* thread = static_cast<PKTHREAD>(LookupKernelHandle(handle, kHandleThread));
  if (thread == nullptr) return STATUS_INVALID_HANDLE;
  if (objectType != nullptr && objectType != *PsThreadType) return STATUS_OBJECT_TYPE_MISMATCH;
  ReferenceThread(thread);
  *object = thread;
  return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE handle) {
  int kind = 0;
  void* object = nullptr;
  if (!CloseKernelHandle(handle, &kind, &object)) return STATUS_INVALID_HANDLE;
  if (kind == kHandleThread) DereferenceThread(static_cast<PKTHREAD>(object));
  if (kind == kHandleRegistryKey) delete static_cast<std::wstring*>(object);
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Small runtime services
// ---------------------------------------------------------------------------

void ExRaiseStatus(NTSTATUS status) { throw NT_EXCEPTION{status}; }

void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
  destination->Buffer = const_cast<PWSTR>(source);
  SIZE_T length = source == nullptr ? 0 : std::wcslen(source) * sizeof(WCHAR);
  destination->Length = static_cast<USHORT>(length);
  destination->MaximumLength = static_cast<USHORT>(source == nullptr ? 0 : length + sizeof(WCHAR));
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive) {
  if (a->Length != b->Length) return FALSE;
  size_t n = a->Length / sizeof(WCHAR);
  for (size_t i = 0; i < n; ++i) {
    wchar_t x = a->Buffer[i];
    wchar_t y = b->Buffer[i];
    if (caseInsensitive) {
      x = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(x)));
      y = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(y)));
    }
    if (x != y) return FALSE;
  }
  return TRUE;
}

SIZE_T RtlCompareMemory(const void* a, const void* b, SIZE_T n) {
  const auto* x = static_cast<const UCHAR*>(a);
  const auto* y = static_cast<const UCHAR*>(b);
  SIZE_T i = 0;
  while (i < n && x[i] == y[i]) ++i;
  return i;
}

BOOLEAN RtlIsNtDdiVersionAvailable(ULONG version) { return version <= NTDDI_WIN7 ? TRUE : FALSE; }

ULONG DbgPrint(const char* format, ...) {
  // Drivers of this system write no diagnostics; kept for completeness, silent.
  (void)format;
  return 0;
}

void DbgBreakPoint() { DebugBreakHit(); }
