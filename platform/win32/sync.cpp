#include "win32/sync.h"

#include <unistd.h>
#include <sys/syscall.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "win32/debug.h"

namespace win32 {

struct WaitBlock {
  std::condition_variable cv;
};

struct Dispatcher {
  static std::mutex& Lock() {
    static std::mutex* lock = new std::mutex;  // never destroyed: threads may outlive main()
    return *lock;
  }
  static void Register(Waitable* object, WaitBlock* block) { object->waiters_.push_back(block); }
  static void Unregister(Waitable* object, WaitBlock* block) {
    auto& w = object->waiters_;
    w.erase(std::remove(w.begin(), w.end(), block), w.end());
  }
};

Waitable::~Waitable() = default;

void Waitable::WakeWaitersLocked() {
  for (WaitBlock* block : waiters_) block->cv.notify_one();
}

namespace {

void Fail(const wchar_t* what, DWORD error) {
  wchar_t line[160];
  std::swprintf(line, 160, L"[win32] %ls failed (error %u)\r\n", what, static_cast<unsigned>(error));
  OutputDebugStringW(line);
  SetLastError(error);
}

// Named objects are shared between processes on Windows; none of the callers
// of these functions names one, so a name is refused rather than ignored.
bool RejectName(LPCWSTR name, const wchar_t* what) {
  if (name == nullptr) return false;
  Fail(what, ERROR_NOT_SUPPORTED);
  return true;
}

class Event final : public Waitable {
 public:
  Event(bool manual, bool state) : manual_(manual), state_(state) {}
  bool IsSignalledLocked() const override { return state_; }
  void AcquireLocked() override {
    if (!manual_) state_ = false;
  }
  void Set() {
    std::lock_guard<std::mutex> guard(Dispatcher::Lock());
    state_ = true;
    WakeWaitersLocked();
  }
  void Reset() {
    std::lock_guard<std::mutex> guard(Dispatcher::Lock());
    state_ = false;
  }

 private:
  const bool manual_;
  bool state_;  // guarded by the dispatcher lock
};

class Semaphore final : public Waitable {
 public:
  Semaphore(LONG count, LONG maximum) : count_(count), maximum_(maximum) {}
  bool IsSignalledLocked() const override { return count_ > 0; }
  void AcquireLocked() override { --count_; }
  bool Release(LONG n, LONG* previous) {
    std::lock_guard<std::mutex> guard(Dispatcher::Lock());
    if (n <= 0 || count_ > maximum_ - n) return false;
    if (previous) *previous = count_;
    count_ += n;
    WakeWaitersLocked();
    return true;
  }

 private:
  LONG count_;  // guarded by the dispatcher lock
  const LONG maximum_;
};

class Thread final : public Waitable {
 public:
  bool IsSignalledLocked() const override { return exited_; }
  void Exit(DWORD code) {
    std::lock_guard<std::mutex> guard(Dispatcher::Lock());
    exit_code_ = code;
    exited_ = true;
    WakeWaitersLocked();
  }
  DWORD ExitCode() {
    std::lock_guard<std::mutex> guard(Dispatcher::Lock());
    return exited_ ? exit_code_ : STILL_ACTIVE;
  }

 private:
  bool exited_ = false;  // guarded by the dispatcher lock
  DWORD exit_code_ = STILL_ACTIVE;
};

}  // namespace
}  // namespace win32

using namespace win32;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  if (RejectName(name, L"CreateEventW with a name")) return nullptr;
  return InsertHandle(std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE handle) {
  auto event = LookupHandleAs<Event>(handle);
  if (!event) {
    Fail(L"SetEvent", ERROR_INVALID_HANDLE);
    return FALSE;
  }
  event->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
  auto event = LookupHandleAs<Event>(handle);
  if (!event) {
    Fail(L"ResetEvent", ERROR_INVALID_HANDLE);
    return FALSE;
  }
  event->Reset();
  return TRUE;
}

HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES, LONG initialCount, LONG maximumCount, LPCWSTR name) {
  if (RejectName(name, L"CreateSemaphoreW with a name")) return nullptr;
  if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
    Fail(L"CreateSemaphoreW", ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return InsertHandle(std::make_shared<Semaphore>(initialCount, maximumCount));
}

BOOL ReleaseSemaphore(HANDLE handle, LONG releaseCount, LONG* previousCount) {
  auto semaphore = LookupHandleAs<Semaphore>(handle);
  if (!semaphore) {
    Fail(L"ReleaseSemaphore", ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!semaphore->Release(releaseCount, previousCount)) {
    SetLastError(ERROR_INVALID_PARAMETER);  // "too many posts": an expected outcome, not logged
    return FALSE;
  }
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    Fail(L"WaitForMultipleObjects", ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<Waitable>> objects(count);
  for (DWORD i = 0; i < count; ++i) {
    objects[i] = LookupHandleAs<Waitable>(handles[i]);
    if (!objects[i]) {
      Fail(L"WaitForMultipleObjects", ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    // Windows refuses the same object twice in a wait-all.
    if (waitAll) {
      for (DWORD j = 0; j < i; ++j) {
        if (objects[j] == objects[i]) {
          Fail(L"WaitForMultipleObjects (duplicate object in wait-all)", ERROR_INVALID_PARAMETER);
          return WAIT_FAILED;
        }
      }
    }
  }

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  WaitBlock block;
  bool registered = false;
  DWORD result = WAIT_TIMEOUT;

  std::unique_lock<std::mutex> lock(Dispatcher::Lock());
  for (;;) {
    if (waitAll) {
      bool all = std::all_of(objects.begin(), objects.end(), [](auto& o) { return o->IsSignalledLocked(); });
      if (all) {
        for (auto& o : objects) o->AcquireLocked();
        result = WAIT_OBJECT_0;
        break;
      }
    } else {
      bool found = false;
      for (DWORD i = 0; i < count; ++i) {
        if (objects[i]->IsSignalledLocked()) {
          objects[i]->AcquireLocked();
          result = WAIT_OBJECT_0 + i;
          found = true;
          break;
        }
      }
      if (found) break;
    }
    if (milliseconds != INFINITE && Clock::now() >= deadline) {
      result = WAIT_TIMEOUT;
      break;
    }
    if (!registered) {
      for (auto& o : objects) Dispatcher::Register(o.get(), &block);
      registered = true;
    }
    if (milliseconds == INFINITE)
      block.cv.wait(lock);
    else
      block.cv.wait_until(lock, deadline);
  }
  if (registered) {
    for (auto& o : objects) Dispatcher::Unregister(o.get(), &block);
  }
  return result;
}

std::uintptr_t _beginthreadex(void*, unsigned, unsigned (*startAddress)(void*), void* argList, unsigned initFlag,
                              unsigned* threadId) {
  if (startAddress == nullptr || initFlag != 0) {
    Fail(L"_beginthreadex", ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto thread = std::make_shared<Thread>();
  HANDLE handle = InsertHandle(thread);
  std::mutex started_lock;
  std::condition_variable started_cv;
  unsigned id = 0;
  bool started = false;
  try {
    std::thread([thread, startAddress, argList, &started_lock, &started_cv, &id, &started] {
      {
        // Notify under the lock: once it is released the creator may return
        // and the lock and condition variable on its stack are gone.
        std::lock_guard<std::mutex> guard(started_lock);
        id = GetCurrentThreadId();
        started = true;
        started_cv.notify_one();
      }
      unsigned code = startAddress(argList);
      thread->Exit(code);
    }).detach();
  } catch (const std::system_error&) {
    CloseHandle(handle);
    Fail(L"_beginthreadex", ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  {
    std::unique_lock<std::mutex> guard(started_lock);
    started_cv.wait(guard, [&] { return started; });
  }
  if (threadId) *threadId = id;
  return reinterpret_cast<std::uintptr_t>(handle);
}

BOOL GetExitCodeThread(HANDLE handle, DWORD* exitCode) {
  auto thread = LookupHandleAs<Thread>(handle);
  if (!thread || exitCode == nullptr) {
    Fail(L"GetExitCodeThread", ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *exitCode = thread->ExitCode();
  return TRUE;
}

DWORD GetCurrentThreadId() { return static_cast<DWORD>(::syscall(SYS_gettid)); }

void InitializeCriticalSection(LPCRITICAL_SECTION section) { section->impl = new std::recursive_mutex; }

void EnterCriticalSection(LPCRITICAL_SECTION section) {
  static_cast<std::recursive_mutex*>(section->impl)->lock();
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
  return static_cast<std::recursive_mutex*>(section->impl)->try_lock() ? TRUE : FALSE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) {
  static_cast<std::recursive_mutex*>(section->impl)->unlock();
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) {
  delete static_cast<std::recursive_mutex*>(section->impl);
  section->impl = nullptr;
}
