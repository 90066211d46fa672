// Clocks, sleeping and the processor count.
#pragma once

#include "win32/types.h"

void Sleep(DWORD milliseconds);

// Milliseconds since an arbitrary start, 32 bits: wraps after 49.7 days, as on
// Windows. Callers compare tick counts by unsigned subtraction.
DWORD GetTickCount();

BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);

struct SYSTEM_INFO {
  DWORD dwPageSize;
  DWORD dwNumberOfProcessors;
};
void GetSystemInfo(SYSTEM_INFO* info);

namespace win32::testing {
// Adds `bias` to every later GetTickCount result, so that tests can place the
// clock just before the 32-bit wrap.
void SetTickCountBias(DWORD bias);
}  // namespace win32::testing
