// The kernel model's PnP manager: driver modules, device arrival and removal,
// device stacks, and the IRP sequences Windows sends for each event.
//
// How a driver module registers (in-process; nothing is loaded from disk):
//
//   NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
//   ntkernel::RegisterDriverModule(L"NBEffect", DriverEntry);
//   ntkernel::AddClassUpperFilter(ntkernel::kCameraClass, L"NBEffect");
//
// RegisterDriverModule makes a service known by name. AddClassUpperFilter puts
// it on the upper-filter list of a device class (appended: the first filter
// added sits lowest). When a device of that class arrives, the PnP manager
// loads each filter that is not loaded yet (a DRIVER_OBJECT is created and
// DriverEntry runs once), calls the filters' AddDevice bottom to top with the
// physical device object, and sends IRP_MN_START_DEVICE to the top of the
// stack. When the last device of a driver has been removed, its DriverUnload
// runs and the verifier checks the driver's pool; the next arrival loads it
// again. A driver module can also be listed for one device only
// (DeviceDescription::upperFilters).
//
// The bottom of a stack (the physical device object) is created by its own
// driver (the camera model, kscamera) and handed to DeviceArrived; the PnP
// manager names it and creates the link "\DosDevices\<instanceId>" so that
// user mode opens "\\.\<instanceId>". The bottom driver deletes its device
// when it handles IRP_MN_REMOVE_DEVICE.
//
// All functions here run at PASSIVE_LEVEL on the caller's thread (they block
// until the sequence has been handled by the stack). Not for drivers.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ntkernel/wdm.h"

namespace ntkernel {

using DriverEntryFn = NTSTATUS (*)(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

inline constexpr const wchar_t* kCameraClass = L"Camera";

// Registers a driver module under a service name. STATUS_OBJECT_NAME_COLLISION
// if the name is taken by a different entry point; registering the same pair
// again is a no-op.
NTSTATUS RegisterDriverModule(const std::wstring& serviceName, DriverEntryFn entry);
// Creates the driver object of an already-registered module and runs its
// DriverEntry if it is not loaded yet (bottom drivers load themselves this
// way before creating devices). *driver receives the driver object.
NTSTATUS LoadDriver(const std::wstring& serviceName, PDRIVER_OBJECT* driver);
// The class's upper filters, lowest first.
void AddClassUpperFilter(const std::wstring& deviceClass, const std::wstring& serviceName);
void RemoveClassUpperFilter(const std::wstring& deviceClass, const std::wstring& serviceName);
std::vector<std::wstring> ClassUpperFilters(const std::wstring& deviceClass);

struct DeviceDescription {
  std::wstring instanceId;    // unique, also the user-mode path name: "\\.\<instanceId>"
  std::wstring friendlyName;  // e.g. "Zorcam Virtual Camera"
  std::wstring deviceClass = kCameraClass;
  std::vector<std::wstring> upperFilters;  // device-specific filters, above the class filters
  // Initial values of the device's driver key (REG_DWORD), e.g. "BreakOnEntry".
  std::vector<std::pair<std::wstring, ULONG>> driverKeyDwords;
};

// A device arrived: builds the stack over `pdo` and starts it. The result is
// the first failing status (AddDevice or START_DEVICE); on failure the stack
// is torn down again (IRP_MN_REMOVE_DEVICE) and the device is not listed.
NTSTATUS DeviceArrived(const DeviceDescription& description, PDEVICE_OBJECT pdo);

// Orderly removal: IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_REMOVE_DEVICE on
// success or IRP_MN_CANCEL_REMOVE_DEVICE on failure (the device stays; the
// query's status is returned). Vetoed with STATUS_DEVICE_BUSY, before any
// request, while a file is open on the stack (as Windows vetoes outstanding
// opens); unplugging a device in use is a surprise removal.
NTSTATUS RemoveDevice(const std::wstring& instanceId);
// Surprise removal: IRP_MN_SURPRISE_REMOVAL at once; new opens fail with
// STATUS_DELETE_PENDING; IRP_MN_REMOVE_DEVICE follows when the last file
// object open on the stack has been closed (at once if none is open).
NTSTATUS SurpriseRemoveDevice(const std::wstring& instanceId);
// Resource rebalance: QUERY_STOP, STOP, START (QUERY_STOP failing: CANCEL_STOP).
NTSTATUS StopAndRestartDevice(const std::wstring& instanceId);
// A veto elsewhere: QUERY_STOP then CANCEL_STOP, or QUERY_REMOVE then CANCEL_REMOVE.
NTSTATUS QueryStopThenCancel(const std::wstring& instanceId);
NTSTATUS QueryRemoveThenCancel(const std::wstring& instanceId);
// Sends IRP_MJ_POWER/IRP_MN_SET_POWER (device power state) to the stack.
NTSTATUS SetDevicePower(const std::wstring& instanceId, DEVICE_POWER_STATE state);
// Sends any PnP minor request to the top of the stack and waits.
NTSTATUS SendPnpIrp(const std::wstring& instanceId, UCHAR minorFunction, ULONG_PTR* information = nullptr);

struct DeviceRecord {
  std::wstring instanceId;
  std::wstring friendlyName;
  std::wstring deviceClass;
  std::wstring path;  // "\\.\<instanceId>"
  PDEVICE_OBJECT pdo;
  bool started;
};
std::vector<DeviceRecord> ListDevices(const std::wstring& deviceClass = kCameraClass);

// Arrival (true) and removal (false) of devices; called after the event.
using DeviceNotification = std::function<void(const DeviceRecord& device, bool arrived)>;
int RegisterDeviceNotification(DeviceNotification callback);  // returns a cookie
void UnregisterDeviceNotification(int cookie);

// Driver key values (the PnP manager keeps them in memory per device).
NTSTATUS SetDriverKeyDword(const std::wstring& instanceId, const std::wstring& name, ULONG value);

// Debugger breaks (DbgBreakPoint): the hook runs on the breaking thread.
void SetDebugBreakHook(std::function<void()> hook);
ULONG DebugBreakCount();

// The SDDL string and class GUID a secure device was created with (empty
// string and GUID_NULL otherwise).
struct DeviceSecurity {
  std::wstring sddl;
  GUID classGuid;
};
DeviceSecurity QueryDeviceSecurity(PDEVICE_OBJECT device);
// "\Device\..." name of a device ("" when unnamed), and lookup by name.
std::wstring DeviceName(PDEVICE_OBJECT device);
PDEVICE_OBJECT FindDeviceByName(const std::wstring& name);  // not referenced
// Hides a routine from MmGetSystemRoutineAddress (tests of fallbacks).
void HideSystemRoutine(const std::wstring& name, bool hidden);

// Tears the model down for tests: removes every device (orderly; a device
// with open files is surprise-removed and goes when they are closed), unloads
// every driver, forgets modules and class filters. The verifier checks run.
void ResetForTesting();

}  // namespace ntkernel
