// Installing NBEffect on the kernel model, as the driver's setup does on a
// real system: the driver module becomes known under its service name and is
// put on the upper-filter list of the camera device class, so every camera
// stack built afterwards has it on top.
#pragma once

#include "ntkernel/wdm.h"

namespace nbdriver {

inline constexpr const wchar_t* kServiceName = L"NBEffect";

// Registers the module and the class filter; calling it again changes nothing.
NTSTATUS InstallNBEffect();
// Takes NBEffect off the camera class (stacks built later lack it).
void UninstallNBEffect();

}  // namespace nbdriver
