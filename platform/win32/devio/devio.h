// Device I/O from user mode: CreateFileW on "\\.\NAME", DeviceIoControl
// (synchronous and overlapped), GetOverlappedResult, CancelIo. The device
// handle lives in the Win32 handle table; CloseHandle sends the device's
// cleanup (after cancelling the handle's pending requests) and close requests
// through the kernel model's I/O manager.
//
// Only device paths are opened here ("\\.\NAME"); any other path fails with
// ERROR_FILE_NOT_FOUND. Errors are the NTSTATUS of the request translated as
// Windows does (STATUS_CANCELLED -> ERROR_OPERATION_ABORTED, ...).
#pragma once

#include "win32/handles.h"
#include "win32/sync.h"
#include "win32/types.h"

// The record of an overlapped request. Internal holds the NTSTATUS (or
// STATUS_PENDING while the request runs), InternalHigh the byte count.
struct OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    } s;
    PVOID Pointer;
  } u;
  HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;

constexpr DWORD FILE_SHARE_READ = 0x00000001;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;

// Opens a device for I/O. With FILE_FLAG_OVERLAPPED the handle accepts
// overlapped requests; without it every request is synchronous.
HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);

// Synchronous (overlapped == nullptr, or a handle opened without
// FILE_FLAG_OVERLAPPED): waits for completion, *bytesReturned = Information.
// Overlapped: resets overlapped->hEvent, returns TRUE if the request
// completed at once, else FALSE with ERROR_IO_PENDING; on completion fills
// Internal/InternalHigh and sets hEvent.
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, DWORD* bytesReturned, LPOVERLAPPED overlapped);

// ERROR_IO_INCOMPLETE while pending and wait == FALSE; with wait == TRUE
// waits for the record's event.
BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, DWORD* bytesTransferred, BOOL wait);

// Cancels every pending request issued through this handle. Returns TRUE
// even when none was pending.
BOOL CancelIo(HANDLE file);

// Win32 error for an NTSTATUS.
DWORD RtlNtStatusToDosError(NTSTATUS status);

constexpr bool HasOverlappedIoCompleted(const OVERLAPPED* o) {
  return o->Internal != static_cast<ULONG_PTR>(0x00000103);
}
