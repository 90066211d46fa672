// Registration of NBEffect with the kernel model's PnP manager.
#include "nbdriver/install.h"

#include <algorithm>

#include "nbdriver/nbdriver.h"
#include "ntkernel/pnp.h"

namespace nbdriver {

NTSTATUS InstallNBEffect() {
  NTSTATUS status = ntkernel::RegisterDriverModule(kServiceName, NbEffectDriverEntry);
  if (!NT_SUCCESS(status)) return status;
  const std::vector<std::wstring> filters = ntkernel::ClassUpperFilters(ntkernel::kCameraClass);
  if (std::find(filters.begin(), filters.end(), kServiceName) == filters.end()) {
    ntkernel::AddClassUpperFilter(ntkernel::kCameraClass, kServiceName);
  }
  return STATUS_SUCCESS;
}

void UninstallNBEffect() { ntkernel::RemoveClassUpperFilter(ntkernel::kCameraClass, kServiceName); }

}  // namespace nbdriver
