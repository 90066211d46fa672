// The frame hook protocol between the NBEffect driver and the Zorcam program:
// the control device's names, its four control codes and the 36-byte frame
// header that leads every GET reply and PUT request. Both sides are built
// against this header and nothing else is shared between them.
//
// All integers are little-endian; the header has no padding.
#pragma once

#include <cstddef>
#include <cstdint>

#include "win32/guid.h"

// Kernel name, symbolic link and the path the program opens.
#define NBHOOK_DEVICE_NAME L"\\Device\\NBeffect"
#define NBHOOK_LINK_NAME L"\\DosDevices\\NBeffect"
#define NBHOOK_USER_PATH L"\\\\.\\NBeffect"

// Control device: FILE_DEVICE_UNKNOWN, secure-open, buffered I/O, full access
// for the local system, administrators, users and guests.
#define NBHOOK_DEVICE_SDDL L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;BU)(A;;GA;;;BG)"
// {7E9CDDE7-C6A8-4A7D-8077-1C7656D98FE5}
inline constexpr GUID NBHOOK_DEVICE_CLASS_GUID = {0x7E9CDDE7, 0xC6A8, 0x4A7D,
                                                  {0x80, 0x77, 0x1C, 0x76, 0x56, 0xD9, 0x8F, 0xE5}};

// Control codes: device type in bits 16-31, required access in bits 14-15,
// function in bits 2-13, transfer method in bits 0-1.
constexpr std::uint32_t NbHookCtlCode(std::uint32_t deviceType, std::uint32_t function, std::uint32_t method,
                                      std::uint32_t access) {
  return (deviceType << 16) | (access << 14) | (function << 2) | method;
}
constexpr std::uint32_t NBHOOK_DEVICE_TYPE = 0x0800;
constexpr std::uint32_t NBHOOK_METHOD_BUFFERED = 0;
constexpr std::uint32_t NBHOOK_READ_ACCESS = 1;   // FILE_READ_ACCESS
constexpr std::uint32_t NBHOOK_WRITE_ACCESS = 2;  // FILE_WRITE_ACCESS

constexpr std::uint32_t IOCTL_HOOK_START =
    NbHookCtlCode(NBHOOK_DEVICE_TYPE, 0x00A, NBHOOK_METHOD_BUFFERED, NBHOOK_WRITE_ACCESS);
constexpr std::uint32_t IOCTL_HOOK_END =
    NbHookCtlCode(NBHOOK_DEVICE_TYPE, 0x00B, NBHOOK_METHOD_BUFFERED, NBHOOK_WRITE_ACCESS);
constexpr std::uint32_t IOCTL_HOOK_GET_FRAME =
    NbHookCtlCode(NBHOOK_DEVICE_TYPE, 0x00C, NBHOOK_METHOD_BUFFERED, NBHOOK_READ_ACCESS);
constexpr std::uint32_t IOCTL_HOOK_PUT_FRAME =
    NbHookCtlCode(NBHOOK_DEVICE_TYPE, 0x00D, NBHOOK_METHOD_BUFFERED, NBHOOK_WRITE_ACCESS);
static_assert(IOCTL_HOOK_START == 0x08008028u);
static_assert(IOCTL_HOOK_END == 0x0800802Cu);
static_assert(IOCTL_HOOK_GET_FRAME == 0x08004030u);
static_assert(IOCTL_HOOK_PUT_FRAME == 0x08008034u);

// dwStatus of a GET reply (values 2 to 4 are not used).
constexpr std::uint32_t HOOK_STATUS_OK = 0;             // frame copied; buffer space == dwBufferSize
constexpr std::uint32_t HOOK_STATUS_SIZE_MISMATCH = 1;  // frame copied; only min(space, dwBufferSize) bytes
constexpr std::uint32_t HOOK_STATUS_OFF = 5;            // hook is off; no frame
constexpr std::uint32_t HOOK_STATUS_NO_MEMORY = 6;      // driver could not queue the request; no frame

#pragma pack(push, 1)
struct HookFrameHeader {
  std::uint32_t dwStatus;      // GET reply: a HOOK_STATUS_ value; PUT: ignored
  std::uint32_t dwBufferSize;  // GET reply: size of the camera's whole frame buffer; PUT: ignored
  std::int32_t dwWidth;        // GET reply: width of the running format; PUT: ignored
  std::int32_t dwHeight;       // GET reply: height of the running format (sign kept); PUT: ignored
  std::uint32_t dwBytesUsed;   // valid bytes of the frame (both directions)
  GUID guidSubFormat;          // media subtype of the stream / of the returned frame
};
#pragma pack(pop)

constexpr std::size_t HOOK_HEADER_SIZE = 36;
static_assert(sizeof(HookFrameHeader) == HOOK_HEADER_SIZE, "the frame header is 36 bytes on the wire");
static_assert(offsetof(HookFrameHeader, dwBufferSize) == 4);
static_assert(offsetof(HookFrameHeader, dwWidth) == 8);
static_assert(offsetof(HookFrameHeader, dwHeight) == 12);
static_assert(offsetof(HookFrameHeader, dwBytesUsed) == 16);
static_assert(offsetof(HookFrameHeader, guidSubFormat) == 20);
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the frame header is little-endian");
