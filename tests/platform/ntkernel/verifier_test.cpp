// Every verifier check fires on a deliberately broken driver, names the
// object concerned and the place in the driver's source.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "platform/ntkernel/test_driver.h"

namespace kerneltest {
namespace {

using ntkernel::VerifierCheck;
constexpr ULONG kIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct Broken {
  PDEVICE_OBJECT device = nullptr;
  const void* expectedObject = nullptr;  // what the report must name (nullptr: not checked)
  bool checkPlace = true;                // the report names this file
};

// Sends kIoctl to `device` from kernel mode and waits for its completion.
NTSTATUS Send(PDEVICE_OBJECT device, PIRP* sent = nullptr) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(kIoctl, device, nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
  if (sent != nullptr) *sent = irp;
  IoCallDriver(device, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return iosb.Status;
}

struct DpcCall {
  KDPC dpc;
  KEVENT ran;
  std::function<void()> body;
};

void RunBodyDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* call = static_cast<DpcCall*>(context);
  call->body();
  KeSetEvent(&call->ran, 0, FALSE);
}

// Runs `body` in a DPC and waits for it.
void InDpc(std::function<void()> body) {
  DpcCall call;
  call.body = std::move(body);
  KeInitializeEvent(&call.ran, NotificationEvent, FALSE);
  KeInitializeDpc(&call.dpc, RunBodyDpc, &call);
  KeInsertQueueDpc(&call.dpc, nullptr, nullptr);
  KeWaitForSingleObject(&call.ran, Executive, KernelMode, FALSE, nullptr);
  KeFlushQueuedDpcs();
}

struct VerifierCase {
  const char* name;
  VerifierCheck expected;
  std::function<void(Broken&)> provoke;
};

class VerifierChecks : public KernelTest, public ::testing::WithParamInterface<VerifierCase> {};

TEST_P(VerifierChecks, FireOnTheBrokenDriver) {
  const VerifierCase& c = GetParam();
  Broken broken;
  PDRIVER_OBJECT driver = LoadSlot(0);
  broken.device = CreateTestDevice(driver, 0, nullptr, sizeof(KTIMER) + sizeof(KDPC));
  std::vector<ntkernel::VerifierReport> reports;
  {
    ntkernel::ScopedVerifierCapture capture;
    c.provoke(broken);
    reports = capture.Reports();
  }
  ASSERT_FALSE(reports.empty()) << "no report";
  const auto& report = reports.front();
  EXPECT_EQ(report.check, c.expected) << report.ToString();
  if (broken.expectedObject != nullptr) {
    EXPECT_EQ(report.object, broken.expectedObject) << report.ToString();
  }
  if (broken.checkPlace) {
    EXPECT_NE(report.place.find("verifier_test.cpp"), std::string::npos) << report.ToString();
  }
  EXPECT_FALSE(report.service.empty());
  if (broken.device != nullptr) IoDeleteDevice(broken.device);
}

PIRP g_held = nullptr;

INSTANTIATE_TEST_SUITE_P(
    Cases, VerifierChecks,
    ::testing::Values(
        VerifierCase{"CompletedTwice", VerifierCheck::kDoubleCompletion,
                     [](Broken& b) {
                       static PIRP seen;
                       Slots()[0].dispatch[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
                         seen = irp;
                         irp->IoStatus.Status = STATUS_SUCCESS;
                         IoCompleteRequest(irp, IO_NO_INCREMENT);
                         IoCompleteRequest(irp, IO_NO_INCREMENT);
                         return STATUS_SUCCESS;
                       };
                       Send(b.device);
                       b.expectedObject = seen;
                     }},
        VerifierCase{"CompletedWithCancelRoutineSet", VerifierCheck::kCompletedWithCancelRoutine,
                     [](Broken& b) {
                       PIRP irp = nullptr;
                       Slots()[0].dispatch[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
                         IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) {
                           IoReleaseCancelSpinLock(irp->CancelIrql);
                         });
                         irp->IoStatus.Status = STATUS_SUCCESS;
                         IoCompleteRequest(irp, IO_NO_INCREMENT);
                         return STATUS_SUCCESS;
                       };
                       Send(b.device, &irp);
                       b.expectedObject = irp;
                     }},
        VerifierCase{"CompletedUnderSpinLock", VerifierCheck::kCompletedHoldingSpinLock,
                     [](Broken& b) {
                       Slots()[0].dispatch[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
                         static KSPIN_LOCK lock;
                         KeInitializeSpinLock(&lock);
                         KIRQL old;
                         KeAcquireSpinLock(&lock, &old);
                         irp->IoStatus.Status = STATUS_SUCCESS;
                         IoCompleteRequest(irp, IO_NO_INCREMENT);
                         KeReleaseSpinLock(&lock, old);
                         return STATUS_SUCCESS;
                       };
                       Send(b.device);
                     }},
        VerifierCase{"CompletedWithPendingStatus", VerifierCheck::kCompletedWithPendingStatus,
                     [](Broken& b) {
                       Slots()[0].dispatch[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
                         irp->IoStatus.Status = STATUS_PENDING;
                         IoCompleteRequest(irp, IO_NO_INCREMENT);
                         return STATUS_PENDING;
                       };
                       Send(b.device);
                     }},
        VerifierCase{"OutstandingAtDelete", VerifierCheck::kIrpOutstandingAtDelete,
                     [](Broken& b) {
                       KEVENT done;
                       KeInitializeEvent(&done, NotificationEvent, FALSE);
                       IO_STATUS_BLOCK iosb{};
                       PIRP irp = IoBuildDeviceIoControlRequest(kIoctl, b.device, nullptr, 0, nullptr, 0, FALSE,
                                                                &done, &iosb);
                       Slots()[0].dispatch[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
                         IoMarkIrpPending(irp);
                         g_held = irp;
                         return STATUS_PENDING;
                       };
                       IoCallDriver(b.device, irp);
                       IoDeleteDevice(b.device);  // broken: the request is still queued
                       b.device = nullptr;
                       b.expectedObject = irp;
                       g_held->IoStatus.Status = STATUS_CANCELLED;
                       IoCompleteRequest(g_held, IO_NO_INCREMENT);
                       KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
                     }},
        VerifierCase{"TimerStillSetAtDelete", VerifierCheck::kTimerOrDpcAtDelete,
                     [](Broken& b) {
                       auto* timer = reinterpret_cast<PKTIMER>(static_cast<char*>(b.device->DeviceExtension) +
                                                               sizeof(TestExtension));
                       KeInitializeTimer(timer);
                       LARGE_INTEGER due;
                       due.QuadPart = -10LL * 1000 * 10000;  // ten seconds
                       KeSetTimer(timer, due, nullptr);
                       b.expectedObject = timer;
                       ObReferenceObject(b.device);  // keeps the extension for the clean-up below
                       IoDeleteDevice(b.device);     // broken: the timer was not cancelled
                       KeCancelTimer(timer);
                       ObDereferenceObject(b.device);
                       b.device = nullptr;
                     }},
        VerifierCase{"WaitInDpc", VerifierCheck::kWaitAtDispatch,
                     [](Broken& b) {
                       static KEVENT event;
                       KeInitializeEvent(&event, NotificationEvent, TRUE);
                       b.expectedObject = &event;
                       InDpc([] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
                     }},
        VerifierCase{"WaitUnderSpinLock", VerifierCheck::kWaitAtDispatch,
                     [](Broken&) {
                       KEVENT event;
                       KeInitializeEvent(&event, NotificationEvent, TRUE);
                       KSPIN_LOCK lock;
                       KeInitializeSpinLock(&lock);
                       KIRQL old;
                       KeAcquireSpinLock(&lock, &old);
                       LARGE_INTEGER timeout;
                       timeout.QuadPart = -10000;
                       KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
                       KeReleaseSpinLock(&lock, old);
                     }},
        VerifierCase{"FastMutexInDpc", VerifierCheck::kFastMutexAtDispatch,
                     [](Broken& b) {
                       static FAST_MUTEX mutex;
                       ExInitializeFastMutex(&mutex);
                       b.expectedObject = &mutex;
                       InDpc([] {
                         ExAcquireFastMutex(&mutex);
                         ExReleaseFastMutex(&mutex);
                       });
                     }},
        VerifierCase{"PoolLeftAtUnload", VerifierCheck::kPoolLeakAtUnload,
                     [](Broken& b) {
                       // A driver whose DriverEntry allocates and whose Unload forgets to free.
                       static PVOID leaked;
                       Slots()[1].entry = [](PDRIVER_OBJECT) {
                         leaked = ExAllocatePoolWithTag(NonPagedPool, 48, MAKE_POOL_TAG("Leak"));
                         return STATUS_SUCCESS;
                       };
                       LoadSlot(1);
                       IoDeleteDevice(b.device);
                       b.device = nullptr;
                       ntkernel::ResetForTesting();  // unloads the drivers
                       b.expectedObject = leaked;
                       b.checkPlace = false;  // the place is the driver's name
                       std::free(leaked);     // stands in for the lost pool
                     }},
        VerifierCase{"RemoveLockReleasedTooOften", VerifierCheck::kRemoveLockOverRelease,
                     [](Broken& b) {
                       static IO_REMOVE_LOCK lock;
                       IoInitializeRemoveLock(&lock, MAKE_POOL_TAG("CVCF"), 1, 100);
                       ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);
                       IoReleaseRemoveLock(&lock, nullptr);
                       IoReleaseRemoveLock(&lock, nullptr);  // broken: one release too many
                       b.expectedObject = &lock;
                     }},
        VerifierCase{"NoStackLocationLeft", VerifierCheck::kStackOverflow,
                     [](Broken& b) {
                       PIRP irp = IoAllocateIrp(0, FALSE);  // broken: sized for no device
                       b.expectedObject = irp;
                       EXPECT_NE(IoCallDriver(b.device, irp), STATUS_SUCCESS);
                       IoFreeIrp(irp);
                     }}),
    [](const ::testing::TestParamInfo<VerifierCase>& info) { return info.param.name; });

TEST_F(KernelTest, ReportTextNamesCheckObjectServiceAndPlace) {
  ntkernel::VerifierReport report{VerifierCheck::kDoubleCompletion, reinterpret_cast<const void*>(0x1234),
                                  "IoCompleteRequest", "driver.cpp:42", "request already completed"};
  std::string text = report.ToString();
  for (const char* part : {"completed twice", "0x1234", "IoCompleteRequest", "driver.cpp:42"}) {
    EXPECT_NE(text.find(part), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace kerneltest
