// The kernel services NBEffect is built on: the WDM model and the
// kernel-streaming definitions, plus the few plain-memory accessors a driver
// uses for fields that are read outside their lock.
#pragma once

#include "kscamera/ks.h"
#include "ntkernel/wdm.h"
#include "win32/sync.h"

// A read of a field another processor may write at the same time: never torn,
// no ordering implied (a hint; decisions are re-checked under the lock).
inline LONG ReadNoFence(const volatile LONG* source) { return __atomic_load_n(source, __ATOMIC_RELAXED); }
inline UCHAR ReadUCharNoFence(const volatile UCHAR* source) { return __atomic_load_n(source, __ATOMIC_RELAXED); }
inline void WriteUCharRelease(volatile UCHAR* target, UCHAR value) { __atomic_store_n(target, value, __ATOMIC_SEQ_CST); }
inline PVOID ReadPointerAcquire(PVOID const volatile* source) { return __atomic_load_n(source, __ATOMIC_ACQUIRE); }
inline void WritePointerRelease(PVOID volatile* target, PVOID value) {
  __atomic_store_n(target, value, __ATOMIC_RELEASE);
}
