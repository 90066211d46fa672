// Media subtype identifiers shared by the camera stack, the driver and the
// program (the "FOURCC" form: Data1 is the four-character code).
#pragma once

#include "win32/guid.h"

inline constexpr GUID MEDIASUBTYPE_YUY2 = {0x32595559, 0x0000, 0x0010,
                                           {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID MEDIASUBTYPE_MJPG = {0x47504A4D, 0x0000, 0x0010,
                                           {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
