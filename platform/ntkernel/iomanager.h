// The I/O manager's user-mode side: opening a device by its user-mode path,
// sending device-control requests, cancelling and closing. The Win32 layer
// (win32/devio) builds CreateFileW, DeviceIoControl, CancelIo and CloseHandle
// on it; nothing else in user mode calls the kernel model directly.
//
// The boundary is copy-only: user buffers are never handed to drivers.
// METHOD_BUFFERED: the input is copied into Irp->AssociatedIrp.SystemBuffer
// (max(input, output) bytes) and, on completion without an error status,
// min(Information, output length) bytes are copied back. METHOD_NEITHER:
// Type3InputBuffer and UserBuffer point at model copies of the caller's input
// and output buffers (ProbeForRead/Write accept exactly those ranges); the
// output copy goes back as for buffered requests. METHOD_IN/OUT_DIRECT: the
// input is buffered and the output is described by Irp->MdlAddress (a model
// buffer, copied back like a buffered output).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "ntkernel/wdm.h"

namespace ntkernel::io {

// Called once per request, on the completing thread, after the output has
// been copied back: the final status and Information.
using Completion = std::function<void(NTSTATUS status, ULONG_PTR information)>;

// One FILE_OBJECT opened on a device. Thread-safe.
class OpenFile {
 public:
  virtual ~OpenFile() = default;
  // Sends IRP_MJ_DEVICE_CONTROL to the device the file was opened on and
  // returns the dispatch routine's status (STATUS_PENDING: `done` runs later;
  // otherwise `done` has already run). `in` is copied before this returns;
  // `out` must stay valid until `done` has run.
  virtual NTSTATUS DeviceControl(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                                 Completion done) = 0;
  // Cancels every request of this file that has not completed yet.
  virtual void CancelAll() = 0;
  // The handle is going: cancels the pending requests, sends IRP_MJ_CLEANUP,
  // and sends IRP_MJ_CLOSE once the last request of the file has completed
  // (at once if none is pending). Later DeviceControl calls fail with
  // STATUS_INVALID_HANDLE.
  virtual void Close() = 0;
  // Requests of this file that have not completed.
  virtual size_t PendingCount() const = 0;
};

// Opens "\\.\NAME" (the link "\DosDevices\NAME"): sends IRP_MJ_CREATE to the
// top of the device's stack. STATUS_OBJECT_NAME_NOT_FOUND for an unknown name,
// STATUS_DELETE_PENDING for a device being removed, the driver's status if it
// fails the create.
NTSTATUS OpenDevice(const std::wstring& userPath, ACCESS_MASK desiredAccess, std::shared_ptr<OpenFile>* file);

// NTSTATUS -> Win32 error (as RtlNtStatusToDosError).
ULONG NtStatusToWin32Error(NTSTATUS status);

// For the bottom driver of a stream stack: runs once when `irp` finishes,
// after all completion routines and before the output is copied back to the
// issuer (the kernel-streaming layer copies frames out here).
using FinishHook = void (*)(PIRP irp, PVOID context);
void SetFinishHook(PIRP irp, FinishHook hook, PVOID context);
// The user-mode buffer the issuer passed as output (not accessible to
// drivers: for finish hooks that copy to the issuer's own memory).
void* IssuerOutputBuffer(PIRP irp);

}  // namespace ntkernel::io
