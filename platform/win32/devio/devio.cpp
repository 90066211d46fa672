// CreateFileW, DeviceIoControl, GetOverlappedResult and CancelIo on the
// kernel model's I/O manager. A device handle is a DeviceFile in the Win32
// handle table; CloseHandle calls its OnClose, which hands the file object
// to the I/O manager's close path (cancel pending requests, cleanup, close).
//
// OVERLAPPED records are written by the completing thread: InternalHigh
// first, then Internal with release order, then the event is set; readers
// load Internal with acquire order.
#include "win32/devio/devio.h"

#include <condition_variable>
#include <mutex>
#include <string>

#include "ntkernel/iomanager.h"
#include "win32/debug.h"
#include "win32/time.h"

namespace {

class DeviceFile final : public win32::KernelObject {
 public:
  DeviceFile(std::shared_ptr<ntkernel::io::OpenFile> file, bool overlapped)
      : file_(std::move(file)), overlapped_(overlapped) {}
  void OnClose() override { file_->Close(); }
  ntkernel::io::OpenFile& File() { return *file_; }
  bool Overlapped() const { return overlapped_; }

 private:
  std::shared_ptr<ntkernel::io::OpenFile> file_;
  const bool overlapped_;
};

void StoreInternal(OVERLAPPED* o, ULONG_PTR value) { __atomic_store_n(&o->Internal, value, __ATOMIC_RELEASE); }
ULONG_PTR LoadInternal(const OVERLAPPED* o) { return __atomic_load_n(&o->Internal, __ATOMIC_ACQUIRE); }

BOOL FailWith(NTSTATUS status) {
  SetLastError(RtlNtStatusToDosError(status));
  return FALSE;
}

}  // namespace

DWORD RtlNtStatusToDosError(NTSTATUS status) { return ntkernel::io::NtStatusToWin32Error(status); }

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD, LPSECURITY_ATTRIBUTES, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE) {
  if (fileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::wstring path(fileName);
  if (path.compare(0, 4, L"\\\\.\\") != 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);  // only device paths are opened here
    return INVALID_HANDLE_VALUE;
  }
  if (creationDisposition != OPEN_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);  // devices are only ever opened, never created
    return INVALID_HANDLE_VALUE;
  }
  std::shared_ptr<ntkernel::io::OpenFile> file;
  NTSTATUS status = ntkernel::io::OpenDevice(path, desiredAccess, &file);
  if (!NT_SUCCESS(status)) {
    SetLastError(RtlNtStatusToDosError(status));
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle =
      win32::InsertHandle(std::make_shared<DeviceFile>(file, (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0));
  SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, DWORD* bytesReturned, LPOVERLAPPED overlapped) {
  auto file = win32::LookupHandleAs<DeviceFile>(device);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (overlapped != nullptr && file->Overlapped()) {
    overlapped->InternalHigh = 0;
    StoreInternal(overlapped, static_cast<ULONG_PTR>(STATUS_PENDING));
    if (overlapped->hEvent != nullptr) ResetEvent(overlapped->hEvent);
    NTSTATUS status = file->File().DeviceControl(
        ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize,
        [overlapped](NTSTATUS done, ULONG_PTR information) {
          // The record may be freed as soon as Internal leaves STATUS_PENDING:
          // read the event first.
          HANDLE event = overlapped->hEvent;
          overlapped->InternalHigh = information;
          StoreInternal(overlapped, static_cast<ULONG_PTR>(static_cast<ULONG>(done)));
          if (event != nullptr) SetEvent(event);
        });
    if (status == STATUS_PENDING) {
      SetLastError(ERROR_IO_PENDING);
      return FALSE;
    }
    // Completed at once: the record already holds the result.
    auto final = static_cast<NTSTATUS>(static_cast<ULONG>(LoadInternal(overlapped)));
    if (bytesReturned != nullptr) *bytesReturned = static_cast<DWORD>(overlapped->InternalHigh);
    if (!NT_SUCCESS(final)) return FailWith(final);
    return TRUE;
  }

  // Synchronous: wait for the completion whatever the dispatch returned.
  struct Result {
    std::mutex lock;
    std::condition_variable cv;
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
  };
  auto result = std::make_shared<Result>();
  file->File().DeviceControl(ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize,
                             [result](NTSTATUS done, ULONG_PTR information) {
                               std::lock_guard<std::mutex> guard(result->lock);
                               result->status = done;
                               result->information = information;
                               result->done = true;
                               result->cv.notify_all();
                             });
  std::unique_lock<std::mutex> lock(result->lock);
  result->cv.wait(lock, [&] { return result->done; });
  if (bytesReturned != nullptr) *bytesReturned = static_cast<DWORD>(result->information);
  if (!NT_SUCCESS(result->status)) return FailWith(result->status);
  return TRUE;
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, DWORD* bytesTransferred, BOOL wait) {
  if (overlapped == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  (void)file;
  while (LoadInternal(overlapped) == static_cast<ULONG_PTR>(STATUS_PENDING)) {
    if (!wait) {
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    if (overlapped->hEvent != nullptr) {
      WaitForSingleObject(overlapped->hEvent, INFINITE);
    } else {
      Sleep(1);  // no event: the record itself is polled
    }
  }
  auto status = static_cast<NTSTATUS>(static_cast<ULONG>(LoadInternal(overlapped)));
  if (bytesTransferred != nullptr) *bytesTransferred = static_cast<DWORD>(overlapped->InternalHigh);
  if (!NT_SUCCESS(status)) return FailWith(status);
  return TRUE;
}

BOOL CancelIo(HANDLE file) {
  auto device = win32::LookupHandleAs<DeviceFile>(file);
  if (!device) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  device->File().CancelAll();
  return TRUE;
}
