// Handles: the process's table of kernel objects.
//
// A HANDLE is a small number (a multiple of 4, never 0 and never
// INVALID_HANDLE_VALUE) that names one entry of a process-wide table. Every
// object that the Win32 calls hand out as a handle (events, threads, devices
// opened by CreateFileW, ...) derives from KernelObject. The table keeps the
// object alive until CloseHandle; code that uses an object across a blocking
// call holds its own shared_ptr, so that a concurrent CloseHandle cannot pull
// the object away underneath it.
#pragma once

#include <memory>

#include "win32/types.h"

namespace win32 {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // Called once by CloseHandle, after the handle has left the table and
  // before the table's reference is dropped (a device file sends its cleanup
  // and close requests here).
  virtual void OnClose() {}
};

HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

// Number of handles open in the process (for leak checks in tests).
size_t OpenHandleCount();

}  // namespace win32

BOOL CloseHandle(HANDLE handle);
DWORD GetLastError();
void SetLastError(DWORD error);
