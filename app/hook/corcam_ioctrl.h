// CorCamIoCtrl: the program's thin client of the NBEffect control device.
//
// Opens "\\.\NBeffect", turns the stream hook on and off with synchronous
// requests, posts the first asynchronous GET and closes the device. It holds
// no frame data and no threads; CorCamStreamCtrl owns one instance and drives
// the GET/PUT cycle on the handle.
//
// Not locked: the owner calls every operation from one thread and ends its
// own worker threads before EndStreamHook and CloseDevice.
#pragma once

#include "win32/devio.h"
#include "win32/types.h"

class CorCamIoCtrl {
 public:
  CorCamIoCtrl();
  virtual ~CorCamIoCtrl();
  CorCamIoCtrl(const CorCamIoCtrl&) = delete;
  CorCamIoCtrl& operator=(const CorCamIoCtrl&) = delete;

  // Opens the control device for overlapped I/O. False when the driver (or a
  // filtered camera) is absent; the handle then stays INVALID_HANDLE_VALUE.
  bool OpenDevice();
  // Cancels this handle's outstanding request and closes it; safe to call
  // without a handle (only the debug line is written then).
  void CloseDevice();
  // Synchronous IOCTL_HOOK_START / IOCTL_HOOK_END.
  bool StartStreamHook();
  bool EndStreamHook();
  // Posts an overlapped IOCTL_HOOK_GET_FRAME into `buffer`. True only when
  // the request completed at once; callers wait for the record's event.
  // Without a handle nothing is sent and the result is true.
  bool GetIRP(OVERLAPPED* overlapped, BYTE* buffer, DWORD size);

  HANDLE m_hDevice;  // INVALID_HANDLE_VALUE while no device is open
};
