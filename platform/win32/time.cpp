#include "win32/time.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {
std::atomic<DWORD> g_tick_bias{0};
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD GetTickCount() {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now().time_since_epoch())
                .count();
  return static_cast<DWORD>(static_cast<std::uint64_t>(ms)) + g_tick_bias.load(std::memory_order_relaxed);
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
  if (!count) return FALSE;
  count->QuadPart = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  if (!frequency) return FALSE;
  frequency->QuadPart = 1000000000LL;
  return TRUE;
}

void GetSystemInfo(SYSTEM_INFO* info) {
  long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
  long page = ::sysconf(_SC_PAGESIZE);
  info->dwNumberOfProcessors = cpus > 0 ? static_cast<DWORD>(cpus) : 1;
  info->dwPageSize = page > 0 ? static_cast<DWORD>(page) : 4096;
}

namespace win32::testing {
void SetTickCountBias(DWORD bias) { g_tick_bias.store(bias, std::memory_order_relaxed); }
}  // namespace win32::testing
