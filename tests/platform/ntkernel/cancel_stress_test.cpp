// Races that are easy to get wrong: a cancel racing the driver's completion
// of the same request, thousands of times on two threads, at the kernel
// level (IoCancelIrp) and through the Win32 layer (CancelIo, CloseHandle).
// Every request must complete exactly once, as success or as cancelled, and
// the verifier must stay silent.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/ntkernel/pending_queue.h"
#include "platform/ntkernel/test_driver.h"
#include "win32/devio.h"
#include "win32/sync.h"

namespace kerneltest {
namespace {

constexpr ULONG kPend = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr int kRounds = 3000;

class CancelStress : public KernelTest {
 protected:
  void SetUp() override {
    device_ = CreateNamedDevice(LoadSlot(0), 0, L"StressTest");
    Slots()[0].dispatch[IRP_MJ_DEVICE_CONTROL] = [this](PDEVICE_OBJECT, PIRP irp) { return queue_.Queue(irp); };
  }
  void TearDown() override {
    while (queue_.CompleteOne(STATUS_CANCELLED)) {
    }
    DeleteNamedDevice(device_, L"StressTest");
    KernelTest::TearDown();
  }
  PDEVICE_OBJECT device_ = nullptr;
  PendingQueue queue_;
};

TEST_F(CancelStress, IoCancelIrpRacingCompletionCompletesEachRequestOnce) {
  // The test owns the requests (IoAllocateIrp): its completion routine stops
  // completion, so the memory stays valid for the canceller until freed here.
  struct Done {
    KEVENT event;
    std::atomic<int> runs{0};
  };
  int successes = 0;
  int cancels = 0;
  for (int round = 0; round < kRounds; ++round) {
    Done done;
    KeInitializeEvent(&done.event, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(device_->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = kPend;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
          auto* d = static_cast<Done*>(context);
          ++d->runs;
          KeSetEvent(&d->event, IO_NO_INCREMENT, FALSE);
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &done, TRUE, TRUE, TRUE);
    IoCallDriver(device_, irp);
    std::thread canceller([irp] { IoCancelIrp(irp); });
    queue_.CompleteOne(STATUS_SUCCESS);
    canceller.join();
    KeWaitForSingleObject(&done.event, Executive, KernelMode, FALSE, nullptr);
    ASSERT_EQ(done.runs.load(), 1);
    if (irp->IoStatus.Status == STATUS_SUCCESS) ++successes;
    if (irp->IoStatus.Status == STATUS_CANCELLED) ++cancels;
    IoFreeIrp(irp);
  }
  EXPECT_EQ(successes + cancels, kRounds);
  EXPECT_EQ(queue_.Count(), 0);
}

TEST_F(CancelStress, CancelIoRacingCompletionCompletesEachRequestOnce) {
  HANDLE h = CreateFileW(L"\\\\.\\StressTest", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  OVERLAPPED ov{};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  int successes = 0;
  int cancels = 0;
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_FALSE(DeviceIoControl(h, kPend, nullptr, 0, nullptr, 0, nullptr, &ov));
    std::thread completer([this] { queue_.CompleteOne(STATUS_SUCCESS); });
    CancelIo(h);
    completer.join();
    DWORD bytes = 0;
    if (GetOverlappedResult(h, &ov, &bytes, TRUE)) {
      ++successes;
    } else if (GetLastError() == ERROR_OPERATION_ABORTED) {
      ++cancels;
    }
  }
  EXPECT_EQ(successes + cancels, kRounds);
  EXPECT_GT(successes + cancels, 0);
  CloseHandle(ov.hEvent);
  CloseHandle(h);
}

TEST_F(CancelStress, CloseHandleRacingCompletionCompletesEachRequestOnce) {
  std::atomic<int> completions{0};
  for (int round = 0; round < kRounds / 3; ++round) {
    HANDLE h =
        CreateFileW(L"\\\\.\\StressTest", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_FALSE(DeviceIoControl(h, kPend, nullptr, 0, nullptr, 0, nullptr, &ov));
    std::thread completer([this] { queue_.CompleteOne(STATUS_SUCCESS); });
    CloseHandle(h);
    completer.join();
    ASSERT_EQ(WaitForSingleObject(ov.hEvent, 5000), WAIT_OBJECT_0);
    auto status = static_cast<NTSTATUS>(ov.Internal);
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << StatusText(status);
    ++completions;
    CloseHandle(ov.hEvent);
  }
  EXPECT_EQ(completions.load(), kRounds / 3);
}

}  // namespace
}  // namespace kerneltest
