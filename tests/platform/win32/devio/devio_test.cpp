// User-mode device I/O through the Win32 layer: opening "\\.\NAME",
// synchronous and overlapped DeviceIoControl, GetOverlappedResult, CancelIo,
// CloseHandle's cancel/cleanup/close sequence and the error translation.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/ntkernel/pending_queue.h"
#include "platform/ntkernel/test_driver.h"
#include "win32/devio.h"
#include "win32/sync.h"

namespace kerneltest {
namespace {

constexpr ULONG kEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kFail = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kPend = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kHold = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr const wchar_t* kPath = L"\\\\.\\DevioTest";

// A driver with one named device: echo (reversed), fail with a chosen
// status, pend (cancel-safe), hold (not cancellable), and a METHOD_NEITHER
// request that probes its caller's buffers.
class DevioTest : public KernelTest {
 protected:
  void SetUp() override {
    driver_ = LoadSlot(0);
    device_ = CreateNamedDevice(driver_, 0, L"DevioTest");
    auto& d = Slots()[0].dispatch;
    d[IRP_MJ_CREATE] = [this](PDEVICE_OBJECT, PIRP irp) {
      log_.Add("create");
      irp->IoStatus.Status = createStatus_;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return createStatus_;
    };
    for (UCHAR major : {IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
      d[major] = [this, major](PDEVICE_OBJECT, PIRP irp) {
        log_.Add(major == IRP_MJ_CLEANUP ? "cleanup queued=" + std::to_string(pending_.Count()) : "close");
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
      };
    }
    d[IRP_MJ_DEVICE_CONTROL] = [this](PDEVICE_OBJECT, PIRP irp) { return Control(irp); };
  }
  void TearDown() override {
    while (pending_.CompleteOne(STATUS_CANCELLED)) {
    }
    DeleteNamedDevice(device_, L"DevioTest");
    KernelTest::TearDown();
  }

  NTSTATUS Control(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const auto& p = stack->Parameters.DeviceIoControl;
    auto* buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    switch (p.IoControlCode) {
      case kEcho: {
        ULONG n = std::min(p.InputBufferLength, p.OutputBufferLength);
        std::string in(buffer, p.InputBufferLength);
        for (ULONG i = 0; i < n; ++i) buffer[i] = in[p.InputBufferLength - 1 - i];
        information = n;
        break;
      }
      case kFail:
        status = failStatus_;
        if (p.OutputBufferLength >= 2) {
          std::memcpy(buffer, "ok", 2);
          information = 2;
        }
        break;
      case kPend:
        return pending_.Queue(irp);
      case kHold:
        return pending_.Queue(irp, false);
      case kNeither: {
        try {
          ProbeForRead(p.Type3InputBuffer, p.InputBufferLength, 1);
          ProbeForWrite(irp->UserBuffer, p.OutputBufferLength, 1);
          std::memcpy(irp->UserBuffer, p.Type3InputBuffer, std::min(p.InputBufferLength, p.OutputBufferLength));
          information = std::min(p.InputBufferLength, p.OutputBufferLength);
          char local[4] = {};
          ProbeForRead(local, sizeof local, 1);  // never a caller buffer
          status = STATUS_UNSUCCESSFUL;
        } catch (const NT_EXCEPTION& e) {
          status = e.Status == STATUS_ACCESS_VIOLATION ? STATUS_SUCCESS : e.Status;
        }
        break;
      }
      default:
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }

  static HANDLE Open(DWORD flags = FILE_FLAG_OVERLAPPED) {
    return CreateFileW(kPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, flags, nullptr);
  }

  // Waits until the driver's log holds `event` (close runs on a worker).
  bool WaitForEvent(const std::string& event) {
    for (int i = 0; i < 500; ++i) {
      for (const auto& e : log_.Events()) {
        if (e == event) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }

  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  EventLog log_;
  PendingQueue pending_;
  NTSTATUS createStatus_ = STATUS_SUCCESS;
  NTSTATUS failStatus_ = STATUS_UNSUCCESSFUL;
};

struct Overlapped {
  Overlapped() { o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
  ~Overlapped() { CloseHandle(o.hEvent); }
  bool Signalled() { return WaitForSingleObject(o.hEvent, 0) == WAIT_OBJECT_0; }
  OVERLAPPED o{};
};

TEST_F(DevioTest, SynchronousRequestCopiesInputAndReturnsTheDriversBytes) {
  HANDLE h = Open(0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char in[] = "abcdef";
  char out[4] = {};
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(h, kEcho, in, 6, out, sizeof out, &returned, nullptr));
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(std::string(out, 4), "fedc");
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(log_.Take(), (std::vector<std::string>{"create", "cleanup queued=0", "close"}));
}

struct ErrorCase {
  NTSTATUS status;
  DWORD error;
  bool copiesData;  // warnings still copy the output
};

class DevioErrors : public DevioTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(DevioErrors, FailureStatusIsTranslated) {
  failStatus_ = GetParam().status;
  HANDLE h = Open();
  char out[2] = {'-', '-'};
  DWORD returned = 99;
  EXPECT_FALSE(DeviceIoControl(h, kFail, nullptr, 0, out, sizeof out, &returned, nullptr));
  EXPECT_EQ(GetLastError(), GetParam().error);
  EXPECT_EQ(std::string(out, 2), GetParam().copiesData ? "ok" : "--");
  CloseHandle(h);
}

INSTANTIATE_TEST_SUITE_P(Statuses, DevioErrors,
                         ::testing::Values(ErrorCase{STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE, false},
                                           ErrorCase{STATUS_INSUFFICIENT_RESOURCES, 1450, false},
                                           ErrorCase{STATUS_CANCELLED, ERROR_OPERATION_ABORTED, false},
                                           ErrorCase{STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER, false},
                                           ErrorCase{STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED, false},
                                           ErrorCase{STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION, false},
                                           ErrorCase{STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA, true}));

TEST_F(DevioTest, OverlappedRequestPendsAndSignalsItsEventOnCompletion) {
  HANDLE h = Open();
  Overlapped ov;
  SetEvent(ov.o.hEvent);  // DeviceIoControl resets it
  char out[8];
  std::memcpy(out, "xxxxxxxx", 8);
  EXPECT_FALSE(DeviceIoControl(h, kPend, nullptr, 0, out, sizeof out, nullptr, &ov.o));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_FALSE(ov.Signalled());
  DWORD bytes = 0;
  EXPECT_FALSE(GetOverlappedResult(h, &ov.o, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  std::thread completer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    PIRP irp = pending_.Take();
    std::memcpy(irp->AssociatedIrp.SystemBuffer, "frame!", 6);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 6;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  });
  EXPECT_TRUE(GetOverlappedResult(h, &ov.o, &bytes, TRUE));
  completer.join();
  EXPECT_EQ(bytes, 6u);
  EXPECT_EQ(std::string(out, 8), "frame!xx");
  EXPECT_TRUE(ov.Signalled());
  CloseHandle(h);
}

TEST_F(DevioTest, OverlappedRequestCompletedAtOnceReturnsTrueAndSignals) {
  HANDLE h = Open();
  Overlapped ov;
  char out[3] = {};
  DWORD returned = 0;
  EXPECT_TRUE(DeviceIoControl(h, kEcho, const_cast<char*>("xyz"), 3, out, 3, &returned, &ov.o));
  EXPECT_EQ(returned, 3u);
  EXPECT_TRUE(ov.Signalled());
  EXPECT_EQ(std::string(out, 3), "zyx");
  CloseHandle(h);
}

TEST_F(DevioTest, CancelIoCancelsOnlyTheCallingHandlesRequests) {
  HANDLE a = Open();
  HANDLE b = Open();
  Overlapped oa;
  Overlapped ob;
  EXPECT_FALSE(DeviceIoControl(a, kPend, nullptr, 0, nullptr, 0, nullptr, &oa.o));
  EXPECT_FALSE(DeviceIoControl(b, kPend, nullptr, 0, nullptr, 0, nullptr, &ob.o));
  EXPECT_TRUE(CancelIo(a));
  DWORD bytes = 0;
  EXPECT_FALSE(GetOverlappedResult(a, &oa.o, &bytes, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(ob.Signalled());
  EXPECT_EQ(pending_.Count(), 1);
  EXPECT_TRUE(CancelIo(b));
  EXPECT_FALSE(GetOverlappedResult(b, &ob.o, &bytes, TRUE));
  EXPECT_TRUE(CancelIo(b)) << "nothing pending is not an error";
  CloseHandle(a);
  CloseHandle(b);
}

TEST_F(DevioTest, CloseHandleCancelsPendingRequestsThenCleansUpThenCloses) {
  HANDLE h = Open();
  Overlapped first;
  Overlapped second;
  DeviceIoControl(h, kPend, nullptr, 0, nullptr, 0, nullptr, &first.o);
  DeviceIoControl(h, kPend, nullptr, 0, nullptr, 0, nullptr, &second.o);
  log_.Take();
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_TRUE(first.Signalled());
  EXPECT_TRUE(second.Signalled());
  EXPECT_EQ(static_cast<NTSTATUS>(first.o.Internal), STATUS_CANCELLED);
  EXPECT_TRUE(WaitForEvent("close"));
  EXPECT_EQ(log_.Take(), (std::vector<std::string>{"cleanup queued=0", "close"}));
  EXPECT_FALSE(DeviceIoControl(h, kEcho, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(DevioTest, CloseWaitsForARequestThatCannotBeCancelled) {
  HANDLE h = Open();
  Overlapped ov;
  DeviceIoControl(h, kHold, nullptr, 0, nullptr, 0, nullptr, &ov.o);
  log_.Take();
  CloseHandle(h);
  EXPECT_EQ(log_.Take(), (std::vector<std::string>{"cleanup queued=1"})) << "close must wait for the request";
  pending_.CompleteOne(STATUS_SUCCESS);
  EXPECT_TRUE(ov.Signalled());
  EXPECT_TRUE(WaitForEvent("close"));
}

TEST_F(DevioTest, SynchronousHandleWaitsForAPendingRequest) {
  HANDLE h = Open(0);
  std::thread completer([&] {
    while (pending_.Count() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    pending_.CompleteOne(STATUS_SUCCESS, 0);
  });
  DWORD returned = 7;
  EXPECT_TRUE(DeviceIoControl(h, kPend, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(returned, 0u);
  completer.join();
  CloseHandle(h);
}

TEST_F(DevioTest, NeitherMethodGivesTheDriverProbeableCopiesOfTheCallerBuffers) {
  HANDLE h = Open();
  char in[] = "1234";
  char out[4] = {};
  DWORD returned = 0;
  EXPECT_TRUE(DeviceIoControl(h, kNeither, in, 4, out, 4, &returned, nullptr));
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(std::string(out, 4), "1234");
  CloseHandle(h);
}

TEST_F(DevioTest, OpenFailuresCarryTheirWin32Errors) {
  struct Case {
    const wchar_t* path;
    NTSTATUS createStatus;
    DWORD error;
  };
  for (const Case& c : {Case{L"\\\\.\\NoSuchDevice", STATUS_SUCCESS, ERROR_FILE_NOT_FOUND},
                        Case{L"/tmp/some/file", STATUS_SUCCESS, ERROR_FILE_NOT_FOUND},
                        Case{kPath, STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
                        Case{kPath, STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED}}) {
    createStatus_ = c.createStatus;
    HANDLE h = CreateFileW(c.path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_FALSE(DeviceIoControl(reinterpret_cast<HANDLE>(0x7777), kEcho, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CancelIo(reinterpret_cast<HANDLE>(0x7777)));
}

}  // namespace
}  // namespace kerneltest
