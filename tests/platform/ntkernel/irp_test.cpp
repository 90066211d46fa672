// Request completion semantics: completion routines and when they run, the
// pending mark, STATUS_MORE_PROCESSING_REQUIRED, cancel routines and
// IoCancelIrp, buffered copies of kernel-built requests.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/ntkernel/test_driver.h"

namespace kerneltest {
namespace {

constexpr ULONG kIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

// bottom (slot 0) <- middle (slot 1) <- top (slot 2), attached by hand.
class IrpTest : public KernelTest {
 protected:
  void SetUp() override {
    PDRIVER_OBJECT d0 = LoadSlot(0);
    PDRIVER_OBJECT d1 = LoadSlot(1);
    PDRIVER_OBJECT d2 = LoadSlot(2);
    bottom_ = CreateTestDevice(d0, 0);
    middle_ = CreateTestDevice(d1, 1);
    top_ = CreateTestDevice(d2, 2);
    Ext(middle_)->lower = IoAttachDeviceToDeviceStack(middle_, bottom_);
    Ext(top_)->lower = IoAttachDeviceToDeviceStack(top_, bottom_);
    ASSERT_EQ(Ext(middle_)->lower, bottom_);
    ASSERT_EQ(Ext(top_)->lower, middle_);
    ASSERT_EQ(top_->StackSize, 3);
  }
  void TearDown() override {
    IoDetachDevice(middle_);
    IoDetachDevice(bottom_);
    IoDeleteDevice(top_);
    IoDeleteDevice(middle_);
    IoDeleteDevice(bottom_);
    KernelTest::TearDown();
  }

  // Sends kIoctl from "kernel mode" to the top and waits for completion.
  IO_STATUS_BLOCK Issue(void* in = nullptr, ULONG inLength = 0, void* out = nullptr, ULONG outLength = 0) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(kIoctl, top_, in, inLength, out, outLength, FALSE, &done, &iosb);
    IoCallDriver(top_, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return iosb;
  }

  PDEVICE_OBJECT bottom_ = nullptr;
  PDEVICE_OBJECT middle_ = nullptr;
  PDEVICE_OBJECT top_ = nullptr;
};

struct RoutineCase {
  const char* name;
  NTSTATUS status;  // what the bottom completes with
  bool cancel;      // the request is cancelled (bottom pends with a cancel routine)
  bool onSuccess, onError, onCancel;
  bool expectCalled;
};

class CompletionRoutineTable : public IrpTest, public ::testing::WithParamInterface<RoutineCase> {};

void CancelToCancelled(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

TEST_P(CompletionRoutineTable, RoutineRunsOnlyForItsConditions) {
  const RoutineCase c = GetParam();
  std::atomic<PIRP> held{nullptr};
  Slots()[0].dispatch[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    if (c.cancel) {
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, CancelToCancelled);
      held = irp;
      return STATUS_PENDING;
    }
    irp->IoStatus.Status = c.status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return c.status;
  };
  static std::atomic<int> calls;
  calls = 0;
  Slots()[1].dispatch[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
          ++calls;
          if (irp->PendingReturned) IoMarkIrpPending(irp);
          return STATUS_CONTINUE_COMPLETION;
        },
        nullptr, c.onSuccess, c.onError, c.onCancel);
    return IoCallDriver(Ext(device)->lower, irp);
  };
  std::thread canceller;
  if (c.cancel) {
    canceller = std::thread([&] {
      while (held.load() == nullptr) std::this_thread::yield();
      EXPECT_TRUE(IoCancelIrp(held.load()));
    });
  }
  IO_STATUS_BLOCK iosb = Issue();
  if (canceller.joinable()) canceller.join();
  EXPECT_EQ(iosb.Status, c.cancel ? STATUS_CANCELLED : c.status);
  EXPECT_EQ(calls.load(), c.expectCalled ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CompletionRoutineTable,
    ::testing::Values(RoutineCase{"SuccessOnSuccess", STATUS_SUCCESS, false, true, false, false, true},
                      RoutineCase{"SuccessOnErrorOnly", STATUS_SUCCESS, false, false, true, false, false},
                      RoutineCase{"ErrorOnError", STATUS_UNSUCCESSFUL, false, false, true, false, true},
                      RoutineCase{"ErrorOnSuccessOnly", STATUS_UNSUCCESSFUL, false, true, false, false, false},
                      RoutineCase{"WarningCountsAsError", STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
                      RoutineCase{"InformationalCountsAsSuccess", 0x40000000, false, true, false, false, true},
                      RoutineCase{"CancelledOnCancelOnly", STATUS_CANCELLED, true, false, false, true, true},
                      RoutineCase{"CancelledOnSuccessOnly", STATUS_CANCELLED, true, true, false, false, false}),
    [](const ::testing::TestParamInfo<RoutineCase>& info) { return info.param.name; });

TEST_F(IrpTest, PendingMarkPropagatesThroughLocationsWithoutRoutine) {
  // Bottom pends and completes from another thread; middle has a routine
  // that records PendingReturned; top skips its location.
  std::atomic<PIRP> held{nullptr};
  Slots()[0].dispatch[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  static std::atomic<int> seenPending;
  static std::atomic<PDEVICE_OBJECT> seenDevice;
  seenPending = -1;
  Slots()[1].dispatch[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT device, PIRP irp, PVOID) -> NTSTATUS {
          seenPending = irp->PendingReturned ? 1 : 0;
          seenDevice = device;
          if (irp->PendingReturned) IoMarkIrpPending(irp);
          return STATUS_CONTINUE_COMPLETION;
        },
        nullptr, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(Ext(device)->lower, irp);
    EXPECT_EQ(status, STATUS_PENDING);
    return status;
  };
  std::thread completer([&] {
    while (held.load() == nullptr) std::this_thread::yield();
    PIRP irp = held.load();
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  });
  IO_STATUS_BLOCK iosb = Issue();
  completer.join();
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(seenPending.load(), 1);
  EXPECT_EQ(seenDevice.load(), middle_) << "a routine gets the device of the driver that set it";
}

TEST_F(IrpTest, SynchronousCompletionLeavesPendingReturnedClear) {
  static std::atomic<int> seenPending;
  seenPending = -1;
  Slots()[1].dispatch[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
          seenPending = irp->PendingReturned ? 1 : 0;
          return STATUS_CONTINUE_COMPLETION;
        },
        nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(Ext(device)->lower, irp);
  };
  EXPECT_EQ(Issue().Status, STATUS_SUCCESS);
  EXPECT_EQ(seenPending.load(), 0);
}

TEST_F(IrpTest, MoreProcessingRequiredStopsCompletionUntilCompletedAgain) {
  // The middle driver forwards synchronously: its routine signals an event
  // and stops completion; the dispatch routine finishes the request itself.
  static std::atomic<int> bottomCompletions;
  bottomCompletions = 0;
  Slots()[0].dispatch[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    ++bottomCompletions;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 4;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  Slots()[1].dispatch[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT device, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
          KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(Ext(device)->lower, irp) == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    EXPECT_EQ(irp->IoStatus.Information, 4u);
    irp->IoStatus.Status = STATUS_DEVICE_BUSY;  // the middle driver's own verdict
    irp->IoStatus.Information = 2;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_BUSY;
  };
  char out[8] = {};
  IO_STATUS_BLOCK iosb = Issue(nullptr, 0, out, sizeof out);
  EXPECT_EQ(iosb.Status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(iosb.Information, 2u);
  EXPECT_EQ(bottomCompletions.load(), 1);
}

TEST_F(IrpTest, BufferedRequestCopiesInputInAndInformationBytesOut) {
  Slots()[0].dispatch[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
    EXPECT_EQ(stack->Parameters.DeviceIoControl.InputBufferLength, 5u);
    EXPECT_EQ(stack->Parameters.DeviceIoControl.OutputBufferLength, 8u);
    EXPECT_EQ(std::memcmp(buffer, "hello", 5), 0);
    std::memcpy(buffer, "WORLD!", 6);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 3;  // only three bytes are the answer
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  char in[] = "hello";
  char out[8];
  std::memset(out, '.', sizeof out);
  IO_STATUS_BLOCK iosb = Issue(in, 5, out, sizeof out);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(std::string(out, 8), "WOR.....");
}

TEST_F(IrpTest, CancelIrpCallsTheRoutineOnceWithTheCancelLockHeld) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  static std::atomic<int> calls;
  static std::atomic<int> irqlInside;
  calls = 0;
  EXPECT_FALSE(IoCancelIrp(irp)) << "no routine: nothing to call";
  EXPECT_TRUE(irp->Cancel);
  irp->Cancel = FALSE;
  PDRIVER_CANCEL routine = [](PDEVICE_OBJECT, PIRP irp) {
    ++calls;
    irqlInside = KeGetCurrentIrql();
    IoReleaseCancelSpinLock(irp->CancelIrql);
  };
  EXPECT_EQ(IoSetCancelRoutine(irp, routine), nullptr);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_FALSE(IoCancelIrp(irp)) << "the routine was taken by the first cancel";
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(irqlInside.load(), DISPATCH_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(IoSetCancelRoutine(irp, nullptr), nullptr);
  IoFreeIrp(irp);
}

TEST_F(IrpTest, DriverAllocatedRequestIsFreedByItsCompletionRoutine) {
  // The top driver builds its own request to the bottom and frees it.
  static std::atomic<int> routineRuns;
  routineRuns = 0;
  PIRP irp = IoAllocateIrp(bottom_->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = kIoctl;
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT device, PIRP irp, PVOID) -> NTSTATUS {
        EXPECT_EQ(device, nullptr) << "the issuer's own location has no device";
        ++routineRuns;
        IoFreeIrp(irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      nullptr, TRUE, TRUE, TRUE);
  IoCallDriver(bottom_, irp);
  EXPECT_EQ(routineRuns.load(), 1);
}

TEST_F(IrpTest, ReusedRequestIsNoLongerInsideTheDevicesItPassed) {
  PDEVICE_OBJECT target = CreateTestDevice(Slots()[0].driver, 0);
  PIRP irp = IoAllocateIrp(1, FALSE);
  for (int round = 0; round < 2; ++round) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr, TRUE,
        TRUE, TRUE);
    IoCallDriver(target, irp);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    IoReuseIrp(irp, STATUS_SUCCESS);
  }
  ntkernel::ScopedVerifierCapture capture;
  IoDeleteDevice(target);  // the request is kept for reuse, not outstanding there
  for (const auto& report : capture.Reports()) ADD_FAILURE() << report.ToString();
  IoFreeIrp(irp);
}

}  // namespace
}  // namespace kerneltest
