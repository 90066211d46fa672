// CorCamIoCtrl: opening, starting, ending and closing the frame hook device.
#include "hook/corcam_ioctrl.h"

#include "shared/nbhook.h"
#include "win32/debug.h"

// COM is not used by anything on this side of the hook here, so the COM
// initialisation of the calling thread has no counterpart on this platform.
CorCamIoCtrl::CorCamIoCtrl() : m_hDevice(INVALID_HANDLE_VALUE) {}

CorCamIoCtrl::~CorCamIoCtrl() {
  if (m_hDevice != INVALID_HANDLE_VALUE) {
    CloseHandle(m_hDevice);
    m_hDevice = INVALID_HANDLE_VALUE;
  }
}

bool CorCamIoCtrl::OpenDevice() {
  m_hDevice = CreateFileW(NBHOOK_USER_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (m_hDevice == INVALID_HANDLE_VALUE) {
    (void)GetLastError();
    OutputDebugStringW(L"[NBEffectMgr] Open device control object Failed\r\n");
    return false;
  }
  OutputDebugStringW(L"[NBEffectMgr] Open device control object OK\r\n");
  return true;
}

void CorCamIoCtrl::CloseDevice() {
  if (m_hDevice != INVALID_HANDLE_VALUE) {
    CancelIo(m_hDevice);
    CloseHandle(m_hDevice);
    m_hDevice = INVALID_HANDLE_VALUE;
  }
  OutputDebugStringW(L"[NBEffectMgr] Close device control object\r\n");
}

bool CorCamIoCtrl::StartStreamHook() {
  if (m_hDevice == INVALID_HANDLE_VALUE) {
    OutputDebugStringW(L"[NBEffectMgr] Start Stream Hook FAIL, m_hDevice = INVALID_HANDLE_VALUE\r\n");
    return false;
  }
  DWORD returned = 0;
  if (!DeviceIoControl(m_hDevice, IOCTL_HOOK_START, nullptr, 0, nullptr, 0, &returned, nullptr)) {
    (void)GetLastError();
    OutputDebugStringW(L"[NBEffectMgr] Start Stream Hook FAIL\r\n");
    return false;
  }
  OutputDebugStringW(L"[NBEffectMgr] Start Stream Hook OK\r\n");
  return true;
}

bool CorCamIoCtrl::EndStreamHook() {
  DWORD returned = 0;
  if (m_hDevice == INVALID_HANDLE_VALUE ||
      !DeviceIoControl(m_hDevice, IOCTL_HOOK_END, nullptr, 0, nullptr, 0, &returned, nullptr)) {
    OutputDebugStringW(L"[NBEffectMgr] End Stream Hook FAIL\r\n");
    return false;
  }
  OutputDebugStringW(L"[NBEffectMgr] End Stream Hook OK\r\n");
  return true;
}

bool CorCamIoCtrl::GetIRP(OVERLAPPED* overlapped, BYTE* buffer, DWORD size) {
  if (m_hDevice == INVALID_HANDLE_VALUE) return true;
  return DeviceIoControl(m_hDevice, IOCTL_HOOK_GET_FRAME, nullptr, 0, buffer, size, nullptr, overlapped) != FALSE;
}
