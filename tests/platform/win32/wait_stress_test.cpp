// Hand-over between two threads through auto-reset events, as the frame hook
// client does it: no signal may be lost or delivered twice.
#include <gtest/gtest.h>

#include <thread>

#include "win32/windows.h"

namespace {

TEST(WaitStress, PingPongThroughAutoResetEventsLosesNothing) {
  HANDLE ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE pong = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE exitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  constexpr int kRounds = 20000;
  int served = 0;
  std::thread server([&] {
    HANDLE h[] = {exitEvent, ping};
    for (;;) {
      DWORD r = WaitForMultipleObjects(2, h, FALSE, INFINITE);
      if (r == WAIT_OBJECT_0) return;
      ++served;
      SetEvent(pong);
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    SetEvent(ping);
    ASSERT_EQ(WaitForSingleObject(pong, 10000), WAIT_OBJECT_0) << "round " << i;
  }
  SetEvent(exitEvent);
  server.join();
  EXPECT_EQ(served, kRounds);
  CloseHandle(ping);
  CloseHandle(pong);
  CloseHandle(exitEvent);
}

TEST(WaitStress, WaitAllAgainstCompetingSingleWaiters) {
  // Two auto-reset events; one thread waits for both together, two threads
  // steal each one alone. Every SetEvent is consumed exactly once.
  HANDLE a = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE b = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<long> takenA{0}, takenB{0};
  auto single = [&](HANDLE e, std::atomic<long>& taken) {
    HANDLE h[] = {stop, e};
    while (WaitForMultipleObjects(2, h, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) ++taken;
  };
  std::thread ta(single, a, std::ref(takenA));
  std::thread tb(single, b, std::ref(takenB));
  std::atomic<long> pairs{0};
  std::thread all([&] {
    HANDLE h[] = {a, b};
    for (;;) {
      if (WaitForMultipleObjects(2, h, TRUE, 1) == WAIT_OBJECT_0) ++pairs;
      if (WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return;
    }
  });
  constexpr int kSets = 5000;
  for (int i = 0; i < kSets; ++i) {
    SetEvent(a);
    SetEvent(b);
    if (i % 64 == 0) Sleep(0);
  }
  Sleep(100);
  SetEvent(stop);
  ta.join();
  tb.join();
  all.join();
  // Each set event was consumed at most once; a pair counts for both.
  EXPECT_LE(takenA + pairs, kSets);
  EXPECT_LE(takenB + pairs, kSets);
  CloseHandle(a);
  CloseHandle(b);
  CloseHandle(stop);
}

}  // namespace
