// Cost of one hand-over between two threads through auto-reset events (the
// frame hook client's hand-shake), against the same hand-over done with a
// std::mutex and std::condition_variable.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "support/bench_compare.h"
#include "win32/windows.h"

namespace {

void BM_EventPingPong(benchmark::State& state) {
  HANDLE ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE pong = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread server([&] {
    HANDLE h[] = {stop, ping};
    while (WaitForMultipleObjects(2, h, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) SetEvent(pong);
  });
  for (auto _ : state) {
    SetEvent(ping);
    WaitForSingleObject(pong, INFINITE);
  }
  SetEvent(stop);
  server.join();
  CloseHandle(ping);
  CloseHandle(pong);
  CloseHandle(stop);
}
BENCHMARK(BM_EventPingPong)->UseRealTime();

void BM_CondvarPingPong(benchmark::State& state) {
  std::mutex m;
  std::condition_variable cv;
  int turn = 0;  // 0 idle, 1 ping, 2 pong, 3 stop
  std::thread server([&] {
    std::unique_lock<std::mutex> lock(m);
    for (;;) {
      cv.wait(lock, [&] { return turn == 1 || turn == 3; });
      if (turn == 3) return;
      turn = 2;
      cv.notify_all();
    }
  });
  for (auto _ : state) {
    std::unique_lock<std::mutex> lock(m);
    turn = 1;
    cv.notify_all();
    cv.wait(lock, [&] { return turn == 2; });
  }
  {
    std::lock_guard<std::mutex> lock(m);
    turn = 3;
  }
  cv.notify_all();
  server.join();
}
BENCHMARK(BM_CondvarPingPong)->UseRealTime();

const bool registered = (zorcam::bench::Compare("BM_EventPingPong/real_time", "BM_CondvarPingPong/real_time"), true);

}  // namespace
