// Events, semaphores, threads, waits, critical sections and interlocked
// operations with their Windows semantics.
//
// All waitable objects share one dispatcher lock (as the Windows kernel's
// dispatcher database does), so WaitForMultipleObjects with wait-all checks
// and consumes every object in one atomic step, and an auto-reset event
// satisfies exactly one wait per SetEvent.
#pragma once

#include <atomic>
#include <vector>

#include "win32/handles.h"
#include "win32/types.h"

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES attributes, LONG initialCount, LONG maximumCount, LPCWSTR name);
BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LONG* previousCount);

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

// The C runtime's thread start: returns the thread handle (0 on failure). The
// handle is signalled when the start routine has returned; its exit code is
// the routine's result. Only initflag 0 (run at once) is supported.
std::uintptr_t _beginthreadex(void* security, unsigned stackSize, unsigned (*startAddress)(void*), void* argList,
                              unsigned initFlag, unsigned* threadId);
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);
DWORD GetCurrentThreadId();

// CRITICAL_SECTION: recursive, like its Windows namesake.
struct CRITICAL_SECTION {
  void* impl = nullptr;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;
void InitializeCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);
void DeleteCriticalSection(LPCRITICAL_SECTION section);

// Interlocked operations: sequentially consistent, return the new value
// (Increment/Decrement) or the previous value (Exchange/CompareExchange).
inline LONG InterlockedIncrement(volatile LONG* target) { return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(volatile LONG* target) { return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(volatile LONG* target, LONG value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(volatile LONG* target, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

namespace win32 {

// Base of every object a wait function accepts. The two hooks run under the
// dispatcher lock.
class Waitable : public KernelObject {
 public:
  ~Waitable() override;
  virtual bool IsSignalledLocked() const = 0;
  // A satisfied wait consumes the signal where the object says so
  // (auto-reset event, semaphore count).
  virtual void AcquireLocked() {}

 protected:
  // Wakes every waiter blocked on this object; call with the lock held.
  void WakeWaitersLocked();

 private:
  friend struct Dispatcher;
  std::vector<struct WaitBlock*> waiters_;
};

}  // namespace win32
