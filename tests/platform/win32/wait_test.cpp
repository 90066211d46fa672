#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "win32/windows.h"

namespace {

using Clock = std::chrono::steady_clock;

// Events created for one test and closed after it.
class Events : public ::testing::Test {
 protected:
  HANDLE Make(bool manual, bool initial = false) {
    HANDLE h = CreateEventW(nullptr, manual ? TRUE : FALSE, initial ? TRUE : FALSE, nullptr);
    EXPECT_NE(h, nullptr);
    handles_.push_back(h);
    return h;
  }
  void TearDown() override {
    for (HANDLE h : handles_) CloseHandle(h);
  }
  std::vector<HANDLE> handles_;
};

TEST_F(Events, ManualResetStaysSignalledAutoResetIsConsumed) {
  HANDLE manual = Make(true, true);
  HANDLE automatic = Make(false, true);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
  ResetEvent(manual);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
}

TEST_F(Events, TimeoutsWaitAboutAsLongAsAsked) {
  HANDLE e = Make(true);
  auto t0 = Clock::now();
  EXPECT_EQ(WaitForSingleObject(e, 50), WAIT_TIMEOUT);
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
  EXPECT_GE(waited, 50);
  EXPECT_LT(waited, 2000);
  HANDLE two[] = {e, Make(false)};
  EXPECT_EQ(WaitForMultipleObjects(2, two, FALSE, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForMultipleObjects(2, two, TRUE, 10), WAIT_TIMEOUT);
}

TEST_F(Events, WaitAnyReturnsTheLowestSignalledIndex) {
  HANDLE h[] = {Make(false), Make(true), Make(false, true), Make(true, true)};
  EXPECT_EQ(WaitForMultipleObjects(4, h, FALSE, 0), WAIT_OBJECT_0 + 2);
  // Index 2 was auto-reset and is consumed; 3 is manual and stays.
  EXPECT_EQ(WaitForMultipleObjects(4, h, FALSE, 0), WAIT_OBJECT_0 + 3);
  EXPECT_EQ(WaitForMultipleObjects(4, h, FALSE, 0), WAIT_OBJECT_0 + 3);
}

TEST_F(Events, WaitAnyWakesWhenAnotherThreadSignals) {
  HANDLE h[] = {Make(false), Make(false), Make(false)};
  std::thread setter([&] {
    Sleep(30);
    SetEvent(h[1]);
  });
  EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 5000), WAIT_OBJECT_0 + 1);
  setter.join();
}

TEST_F(Events, WaitAllReturnsOnlyWhenEverythingIsSignalledAtOnce) {
  HANDLE a = Make(false);
  HANDLE b = Make(false);
  HANDLE both[] = {a, b};
  // a alone is not enough, and a wait-all that times out consumes nothing.
  SetEvent(a);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 20), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0) << "a must still be signalled";

  // a and b are set at different times and a is taken by another waiter in
  // between: the wait-all must not return with only b signalled.
  std::atomic<DWORD> result{0xDEAD};
  std::thread waiter([&] { result = WaitForMultipleObjects(2, both, TRUE, 5000); });
  SetEvent(a);
  Sleep(20);
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);  // steal a
  SetEvent(b);
  Sleep(50);
  EXPECT_EQ(result.load(), 0xDEADu) << "returned although a was no longer signalled";
  SetEvent(a);
  waiter.join();
  EXPECT_EQ(result.load(), WAIT_OBJECT_0);
  // Both auto-reset events were consumed together.
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_TIMEOUT);
}

TEST_F(Events, AutoResetSetWakesExactlyOneOfManyWaiters) {
  HANDLE e = Make(false);
  constexpr int kWaiters = 4;
  std::atomic<int> woken{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kWaiters; ++i)
    threads.emplace_back([&] {
      if (WaitForSingleObject(e, 3000) == WAIT_OBJECT_0) ++woken;
    });
  Sleep(50);  // let them block
  SetEvent(e);
  Sleep(200);
  EXPECT_EQ(woken.load(), 1);
  SetEvent(e);
  Sleep(200);
  EXPECT_EQ(woken.load(), 2);
  for (int i = 0; i < kWaiters; ++i) SetEvent(e), Sleep(20);
  for (auto& t : threads) t.join();
  EXPECT_EQ(woken.load(), kWaiters);
}

TEST_F(Events, BadArgumentsFail) {
  HANDLE e = Make(true);
  HANDLE dup[] = {e, e};
  EXPECT_EQ(WaitForMultipleObjects(2, dup, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitForMultipleObjects(0, dup, FALSE, 0), WAIT_FAILED);
  std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, e);
  EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(many.size()), many.data(), FALSE, 0), WAIT_FAILED);
}

unsigned SleepThenReturn(void* arg) {
  Sleep(50);
  return *static_cast<unsigned*>(arg);
}

TEST(Threads, HandleIsSignalledAtExitWithTheExitCode) {
  unsigned code = 42;
  unsigned id = 0;
  HANDLE t = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, SleepThenReturn, &code, 0, &id));
  ASSERT_NE(t, nullptr);
  EXPECT_NE(id, 0u);
  DWORD exit = 0;
  ASSERT_TRUE(GetExitCodeThread(t, &exit));
  EXPECT_EQ(exit, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0) << "a thread handle stays signalled";
  ASSERT_TRUE(GetExitCodeThread(t, &exit));
  EXPECT_EQ(exit, 42u);
  CloseHandle(t);
}

TEST(Threads, WaitAllOnTwoThreadsWithATimeout) {
  unsigned zero = 0;
  HANDLE t[2];
  t[0] = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, SleepThenReturn, &zero, 0, nullptr));
  t[1] = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, SleepThenReturn, &zero, 0, nullptr));
  EXPECT_EQ(WaitForMultipleObjects(2, t, TRUE, 5000), WAIT_OBJECT_0);
  CloseHandle(t[0]);
  CloseHandle(t[1]);
}

TEST(Threads, ClosingTheHandleEarlyDoesNotEndTheThread) {
  static std::atomic<bool> ran{false};
  ran = false;
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE t = reinterpret_cast<HANDLE>(_beginthreadex(
      nullptr, 0,
      [](void* arg) -> unsigned {
        Sleep(30);
        ran = true;
        SetEvent(static_cast<HANDLE>(arg));
        return 0;
      },
      done, 0, nullptr));
  ASSERT_NE(t, nullptr);
  CloseHandle(t);
  EXPECT_EQ(WaitForSingleObject(done, 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(ran.load());
  CloseHandle(done);
}

TEST(Semaphores, CountLimitsAndReleaseBeyondMaximumFails) {
  HANDLE s = CreateSemaphoreW(nullptr, 1, 2, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_TIMEOUT);
  LONG previous = -1;
  EXPECT_TRUE(ReleaseSemaphore(s, 2, &previous));
  EXPECT_EQ(previous, 0);
  EXPECT_FALSE(ReleaseSemaphore(s, 1, nullptr));
  CloseHandle(s);
}

TEST(CriticalSections, AreRecursiveAndExclude) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);  // the owner may enter again
  std::atomic<BOOL> other{TRUE};
  std::thread([&] { other = TryEnterCriticalSection(&cs); }).join();
  EXPECT_FALSE(other.load());
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  std::thread([&] {
    other = TryEnterCriticalSection(&cs);
    if (other) LeaveCriticalSection(&cs);
  }).join();
  EXPECT_TRUE(other.load());
  DeleteCriticalSection(&cs);
}

TEST(Interlocked, ReturnsNewValueForIncrementAndPreviousForExchange) {
  volatile LONG v = 0;
  EXPECT_EQ(InterlockedIncrement(&v), 1);
  EXPECT_EQ(InterlockedDecrement(&v), 0);
  EXPECT_EQ(InterlockedExchange(&v, 7), 0);
  EXPECT_EQ(InterlockedCompareExchange(&v, 9, 3), 7);  // no match: unchanged
  EXPECT_EQ(v, 7);
  EXPECT_EQ(InterlockedCompareExchange(&v, 9, 7), 7);
  EXPECT_EQ(v, 9);
}

}  // namespace
