// The PnP manager: driver modules and their loading, class upper filters,
// device nodes (stack building, start, stop, removal), device driver keys,
// device notifications and the debugger-break hook.
//
// Lock rules: the operation lock serialises every sequence that calls into
// drivers (arrival, removal, stop, power, loading); the data lock guards the
// tables and is never held while a driver routine runs. Order: operation ->
// data.
#include <algorithm>
#include <cstring>
#include <map>

#include "ntkernel/model.h"
#include "ntkernel/pnp.h"

namespace ntkernel {
namespace {

using namespace ntkernel::detail;

struct Module {
  DriverEntryFn entry = nullptr;
  PDRIVER_OBJECT driver = nullptr;  // loaded driver object, or nullptr
  int devices = 0;                  // device nodes whose stack holds this driver
};

struct Node {
  DeviceDescription description;
  PDEVICE_OBJECT pdo = nullptr;
  std::vector<std::wstring> services;  // drivers in the stack (filters, then the bottom driver)
  std::map<std::wstring, ULONG> driverKey;
  bool started = false;
  bool surpriseRemoved = false;
  bool removePending = false;  // REMOVE_DEVICE waits for the last file to close
  int openFiles = 0;
};

struct PnpState {
  std::mutex operation;
  std::mutex data;
  std::map<std::wstring, Module> modules;                         // guarded by data
  std::map<std::wstring, std::vector<std::wstring>> classFilters;  // guarded by data
  std::vector<std::shared_ptr<Node>> nodes;                        // guarded by data
  std::map<int, DeviceNotification> notifications;                 // guarded by data
  int nextCookie = 1;                                               // guarded by data
  std::function<void()> breakHook;                                  // guarded by data
  ULONG breaks = 0;                                                 // guarded by data
  // Drivers whose last PnP device went while device objects of theirs were
  // still referenced (e.g. a deleted control device with an open handle):
  // unloaded when the last one is freed. Guarded by data.
  std::map<PDRIVER_OBJECT, std::wstring> pendingUnload;
};

PnpState& Pnp() {
  static PnpState* state = new PnpState;  // never destroyed: model threads may call late
  return *state;
}

std::shared_ptr<Node> FindNodeLocked(const std::wstring& instanceId) {
  for (auto& node : Pnp().nodes) {
    if (node->description.instanceId == instanceId) return node;
  }
  return nullptr;
}

std::shared_ptr<Node> FindNodeByPdoLocked(PDEVICE_OBJECT pdo) {
  for (auto& node : Pnp().nodes) {
    if (node->pdo == pdo) return node;
  }
  return nullptr;
}

std::shared_ptr<Node> FindNode(const std::wstring& instanceId) {
  std::lock_guard<std::mutex> guard(Pnp().data);
  return FindNodeLocked(instanceId);
}

DeviceRecord RecordOf(const Node& node) {
  return DeviceRecord{node.description.instanceId, node.description.friendlyName, node.description.deviceClass,
                      L"\\\\.\\" + node.description.instanceId, node.pdo, node.started};
}

void Notify(const DeviceRecord& record, bool arrived) {
  std::vector<DeviceNotification> callbacks;
  {
    std::lock_guard<std::mutex> guard(Pnp().data);
    for (auto& [cookie, callback] : Pnp().notifications) callbacks.push_back(callback);
  }
  for (auto& callback : callbacks) callback(record, arrived);
}

// Operation lock held.
NTSTATUS LoadDriverLocked(const std::wstring& serviceName, PDRIVER_OBJECT* driver) {
  DriverEntryFn entry = nullptr;
  {
    std::lock_guard<std::mutex> guard(Pnp().data);
    auto it = Pnp().modules.find(serviceName);
    if (it == Pnp().modules.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (it->second.driver != nullptr) {
      *driver = it->second.driver;
      return STATUS_SUCCESS;
    }
    entry = it->second.entry;
  }
  PDRIVER_OBJECT object = CreateDriverObject(serviceName);
  std::wstring registryPath = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + serviceName;
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, registryPath.c_str());
  NTSTATUS status;
  {
    DriverScope scope(object);
    status = entry(object, &path);
  }
  if (!NT_SUCCESS(status)) {
    CheckPoolAtUnload(object);
    DeleteDriverObject(object);
    return status;
  }
  std::lock_guard<std::mutex> guard(Pnp().data);
  Pnp().modules[serviceName].driver = object;
  *driver = object;
  return STATUS_SUCCESS;
}

// Operation lock held.
NTSTATUS SendPnpLocked(const Node& node, UCHAR minor, ULONG_PTR* information = nullptr) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(node.pdo);
  PIRP irp = AllocateIrp(top->StackSize);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = minor;
  NTSTATUS status = SendAndWait(top, irp, information);
  ObDereferenceObject(top);
  return status;
}

// Unloads a driver that no device node uses any more: DriverUnload, the
// verifier's pool check, the driver object. A driver whose device objects
// still exist stays loaded until the last one is freed. Operation lock held.
void UnloadOrDeferLocked(PDRIVER_OBJECT driver, const std::wstring& service) {
  if (DriverHasDevices(driver)) {
    std::lock_guard<std::mutex> guard(Pnp().data);
    Pnp().pendingUnload[driver] = service;
    return;
  }
  if (driver->DriverUnload != nullptr) {
    DriverScope scope(driver);
    driver->DriverUnload(driver);
  }
  CheckPoolAtUnload(driver);
  {
    std::lock_guard<std::mutex> guard(Pnp().data);
    Pnp().pendingUnload.erase(driver);
    auto it = Pnp().modules.find(service);
    if (it != Pnp().modules.end() && it->second.driver == driver) it->second.driver = nullptr;
  }
  DeleteDriverObject(driver);
}

// After IRP_MN_REMOVE_DEVICE: forget the node, unload drivers left without
// devices. Operation lock held.
void FinishRemovalLocked(const std::shared_ptr<Node>& node) {
  std::wstring link = L"\\DosDevices\\" + node->description.instanceId;
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&linkName, link.c_str());
  IoDeleteSymbolicLink(&linkName);
  std::vector<PDRIVER_OBJECT> unload;
  std::vector<std::wstring> unloadNames;
  {
    std::lock_guard<std::mutex> guard(Pnp().data);
    auto& nodes = Pnp().nodes;
    nodes.erase(std::remove(nodes.begin(), nodes.end(), node), nodes.end());
    for (const auto& service : node->services) {
      auto it = Pnp().modules.find(service);
      if (it == Pnp().modules.end()) continue;
      if (--it->second.devices == 0 && it->second.driver != nullptr) {
        unload.push_back(it->second.driver);
        unloadNames.push_back(service);
      }
    }
  }
  for (size_t i = 0; i < unload.size(); ++i) UnloadOrDeferLocked(unload[i], unloadNames[i]);
}

// Operation lock held.
NTSTATUS RemoveLocked(const std::shared_ptr<Node>& node) {
  NTSTATUS status = SendPnpLocked(*node, IRP_MN_REMOVE_DEVICE);
  DeviceRecord record = RecordOf(*node);
  FinishRemovalLocked(node);
  Notify(record, false);
  return status;
}

}  // namespace

NTSTATUS RegisterDriverModule(const std::wstring& serviceName, DriverEntryFn entry) {
  std::lock_guard<std::mutex> guard(Pnp().data);
  auto it = Pnp().modules.find(serviceName);
  if (it != Pnp().modules.end()) return it->second.entry == entry ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
  Pnp().modules[serviceName].entry = entry;
  return STATUS_SUCCESS;
}

NTSTATUS LoadDriver(const std::wstring& serviceName, PDRIVER_OBJECT* driver) {
  std::lock_guard<std::mutex> op(Pnp().operation);
  return LoadDriverLocked(serviceName, driver);
}

void AddClassUpperFilter(const std::wstring& deviceClass, const std::wstring& serviceName) {
  std::lock_guard<std::mutex> guard(Pnp().data);
  auto& filters = Pnp().classFilters[deviceClass];
  if (std::find(filters.begin(), filters.end(), serviceName) == filters.end()) filters.push_back(serviceName);
}

void RemoveClassUpperFilter(const std::wstring& deviceClass, const std::wstring& serviceName) {
  std::lock_guard<std::mutex> guard(Pnp().data);
  auto& filters = Pnp().classFilters[deviceClass];
  filters.erase(std::remove(filters.begin(), filters.end(), serviceName), filters.end());
}

std::vector<std::wstring> ClassUpperFilters(const std::wstring& deviceClass) {
  std::lock_guard<std::mutex> guard(Pnp().data);
  return Pnp().classFilters[deviceClass];
}

NTSTATUS DeviceArrived(const DeviceDescription& description, PDEVICE_OBJECT pdo) {
  std::unique_lock<std::mutex> op(Pnp().operation);
  auto node = std::make_shared<Node>();
  node->description = description;
  node->pdo = pdo;
  for (const auto& [name, value] : description.driverKeyDwords) node->driverKey[name] = value;
  std::vector<std::wstring> filters;
  std::wstring bottomService;
  {
    std::lock_guard<std::mutex> guard(Pnp().data);
    if (FindNodeLocked(description.instanceId) != nullptr) return STATUS_OBJECT_NAME_COLLISION;
    filters = Pnp().classFilters[description.deviceClass];
    for (const auto& [name, module] : Pnp().modules) {
      if (module.driver == pdo->DriverObject) bottomService = name;
    }
    Pnp().nodes.push_back(node);
  }
  filters.insert(filters.end(), description.upperFilters.begin(), description.upperFilters.end());
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  std::wstring deviceName = DeviceName(pdo);
  if (!deviceName.empty()) {
    std::wstring link = L"\\DosDevices\\" + description.instanceId;
    UNICODE_STRING linkName;
    UNICODE_STRING target;
    RtlInitUnicodeString(&linkName, link.c_str());
    RtlInitUnicodeString(&target, deviceName.c_str());
    IoCreateSymbolicLink(&linkName, &target);
  }
  auto countDriver = [&](const std::wstring& service) {
    std::lock_guard<std::mutex> guard(Pnp().data);
    node->services.push_back(service);
    ++Pnp().modules[service].devices;
  };
  if (!bottomService.empty()) countDriver(bottomService);
  NTSTATUS status = STATUS_SUCCESS;
  for (const auto& service : filters) {
    PDRIVER_OBJECT driver = nullptr;
    status = LoadDriverLocked(service, &driver);
    if (!NT_SUCCESS(status)) break;
    countDriver(service);
    if (driver->DriverExtension->AddDevice == nullptr) continue;
    DriverScope scope(driver);
    status = driver->DriverExtension->AddDevice(driver, pdo);
    if (!NT_SUCCESS(status)) break;
  }
  if (NT_SUCCESS(status)) status = SendPnpLocked(*node, IRP_MN_START_DEVICE);
  if (!NT_SUCCESS(status)) {
    SendPnpLocked(*node, IRP_MN_REMOVE_DEVICE);
    FinishRemovalLocked(node);
    return status;
  }
  DeviceRecord record;
  {
    std::lock_guard<std::mutex> guard(Pnp().data);
    node->started = true;
    record = RecordOf(*node);
  }
  op.unlock();
  Notify(record, true);
  return STATUS_SUCCESS;
}

NTSTATUS RemoveDevice(const std::wstring& instanceId) {
  std::lock_guard<std::mutex> op(Pnp().operation);
  auto node = FindNode(instanceId);
  if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
  {
    // An orderly removal is vetoed while files are open on the stack (their
    // requests would reach deleted devices); unplugging is a surprise removal.
    std::lock_guard<std::mutex> guard(Pnp().data);
    if (node->openFiles > 0 && !node->surpriseRemoved) return STATUS_DEVICE_BUSY;
  }
  if (!node->surpriseRemoved) {
    NTSTATUS status = SendPnpLocked(*node, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
      SendPnpLocked(*node, IRP_MN_CANCEL_REMOVE_DEVICE);
      return status;
    }
  }
  return RemoveLocked(node);
}

NTSTATUS SurpriseRemoveDevice(const std::wstring& instanceId) {
  std::lock_guard<std::mutex> op(Pnp().operation);
  auto node = FindNode(instanceId);
  if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
  bool removeNow;
  {
    std::lock_guard<std::mutex> guard(Pnp().data);
    if (node->surpriseRemoved) return STATUS_DELETE_PENDING;
    node->surpriseRemoved = true;
    node->started = false;
  }
  NTSTATUS status = SendPnpLocked(*node, IRP_MN_SURPRISE_REMOVAL);
  {
    std::lock_guard<std::mutex> guard(Pnp().data);
    removeNow = node->openFiles == 0;
    node->removePending = !removeNow;
  }
  if (removeNow) RemoveLocked(node);
  return status;
}

NTSTATUS StopAndRestartDevice(const std::wstring& instanceId) {
  std::lock_guard<std::mutex> op(Pnp().operation);
  auto node = FindNode(instanceId);
  if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
  NTSTATUS status = SendPnpLocked(*node, IRP_MN_QUERY_STOP_DEVICE);
  if (!NT_SUCCESS(status)) {
    SendPnpLocked(*node, IRP_MN_CANCEL_STOP_DEVICE);
    return status;
  }
  SendPnpLocked(*node, IRP_MN_STOP_DEVICE);
  status = SendPnpLocked(*node, IRP_MN_START_DEVICE);
  std::lock_guard<std::mutex> guard(Pnp().data);
  node->started = NT_SUCCESS(status);
  return status;
}

NTSTATUS QueryStopThenCancel(const std::wstring& instanceId) {
  std::lock_guard<std::mutex> op(Pnp().operation);
  auto node = FindNode(instanceId);
  if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
  NTSTATUS status = SendPnpLocked(*node, IRP_MN_QUERY_STOP_DEVICE);
  SendPnpLocked(*node, IRP_MN_CANCEL_STOP_DEVICE);
  return status;
}

NTSTATUS QueryRemoveThenCancel(const std::wstring& instanceId) {
  std::lock_guard<std::mutex> op(Pnp().operation);
  auto node = FindNode(instanceId);
  if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
  NTSTATUS status = SendPnpLocked(*node, IRP_MN_QUERY_REMOVE_DEVICE);
  SendPnpLocked(*node, IRP_MN_CANCEL_REMOVE_DEVICE);
  return status;
}

NTSTATUS SetDevicePower(const std::wstring& instanceId, DEVICE_POWER_STATE state) {
  std::lock_guard<std::mutex> op(Pnp().operation);
  auto node = FindNode(instanceId);
  if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(node->pdo);
  PIRP irp = AllocateIrp(top->StackSize);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = IRP_MN_SET_POWER;
  next->Parameters.Power.Type = DevicePowerState;
  next->Parameters.Power.State.DeviceState = state;
  NTSTATUS status = SendAndWait(top, irp);
  ObDereferenceObject(top);
  return status;
}

NTSTATUS SendPnpIrp(const std::wstring& instanceId, UCHAR minorFunction, ULONG_PTR* information) {
  std::lock_guard<std::mutex> op(Pnp().operation);
  auto node = FindNode(instanceId);
  if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
  return SendPnpLocked(*node, minorFunction, information);
}

std::vector<DeviceRecord> ListDevices(const std::wstring& deviceClass) {
  std::lock_guard<std::mutex> guard(Pnp().data);
  std::vector<DeviceRecord> records;
  for (auto& node : Pnp().nodes) {
    if (node->description.deviceClass == deviceClass && !node->surpriseRemoved) records.push_back(RecordOf(*node));
  }
  return records;
}

int RegisterDeviceNotification(DeviceNotification callback) {
  std::lock_guard<std::mutex> guard(Pnp().data);
  int cookie = Pnp().nextCookie++;
  Pnp().notifications[cookie] = std::move(callback);
  return cookie;
}

void UnregisterDeviceNotification(int cookie) {
  std::lock_guard<std::mutex> guard(Pnp().data);
  Pnp().notifications.erase(cookie);
}

NTSTATUS SetDriverKeyDword(const std::wstring& instanceId, const std::wstring& name, ULONG value) {
  std::lock_guard<std::mutex> guard(Pnp().data);
  auto node = FindNodeLocked(instanceId);
  if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
  node->driverKey[name] = value;
  return STATUS_SUCCESS;
}

void SetDebugBreakHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> guard(Pnp().data);
  Pnp().breakHook = std::move(hook);
}

ULONG DebugBreakCount() {
  std::lock_guard<std::mutex> guard(Pnp().data);
  return Pnp().breaks;
}

void ResetForTesting() {
  std::vector<std::wstring> ids;
  {
    std::lock_guard<std::mutex> guard(Pnp().data);
    for (auto& node : Pnp().nodes) ids.push_back(node->description.instanceId);
  }
  for (const auto& id : ids) {
    bool open;
    {
      std::lock_guard<std::mutex> guard(Pnp().data);
      auto node = FindNodeLocked(id);
      open = node != nullptr && node->openFiles > 0;
    }
    if (open) {
      SurpriseRemoveDevice(id);  // removed when its last file is closed
      continue;
    }
    std::lock_guard<std::mutex> op(Pnp().operation);
    auto node = FindNode(id);
    if (node != nullptr) RemoveLocked(node);
  }
  std::lock_guard<std::mutex> op(Pnp().operation);
  std::vector<std::pair<PDRIVER_OBJECT, std::wstring>> drivers;
  {
    std::lock_guard<std::mutex> guard(Pnp().data);
    for (auto& [name, module] : Pnp().modules) {
      if (module.driver != nullptr) drivers.emplace_back(module.driver, name);
    }
    Pnp().modules.clear();
    Pnp().classFilters.clear();
    Pnp().breakHook = nullptr;
    Pnp().breaks = 0;
  }
  for (auto& [driver, service] : drivers) UnloadOrDeferLocked(driver, service);
}

}  // namespace ntkernel

// ---------------------------------------------------------------------------
// Hooks for the rest of the model, and the registry services
// ---------------------------------------------------------------------------

namespace ntkernel::detail {

NTSTATUS PnpCheckOpen(PDEVICE_OBJECT bottom) {
  std::lock_guard<std::mutex> guard(Pnp().data);
  auto node = FindNodeByPdoLocked(bottom);
  if (node != nullptr && node->surpriseRemoved) return STATUS_DELETE_PENDING;
  return STATUS_SUCCESS;
}

void PnpFileOpened(PDEVICE_OBJECT bottom) {
  std::lock_guard<std::mutex> guard(Pnp().data);
  auto node = FindNodeByPdoLocked(bottom);
  if (node != nullptr) ++node->openFiles;
}

void PnpFileClosed(PDEVICE_OBJECT bottom) {
  std::shared_ptr<Node> node;
  {
    std::lock_guard<std::mutex> guard(Pnp().data);
    node = FindNodeByPdoLocked(bottom);
    if (node == nullptr) return;
    if (--node->openFiles > 0 || !node->removePending) return;
    node->removePending = false;
  }
  std::lock_guard<std::mutex> op(Pnp().operation);
  RemoveLocked(node);
}

void PnpDriverDevicesGone(PDRIVER_OBJECT driver) {
  {
    std::lock_guard<std::mutex> guard(Pnp().data);
    if (Pnp().pendingUnload.count(driver) == 0) return;
  }
  // Possibly inside a driver routine: unload from a model worker.
  QueueModelWork([driver] {
    std::lock_guard<std::mutex> op(Pnp().operation);
    std::wstring service;
    {
      std::lock_guard<std::mutex> guard(Pnp().data);
      auto it = Pnp().pendingUnload.find(driver);
      if (it == Pnp().pendingUnload.end()) return;
      service = it->second;
      auto module = Pnp().modules.find(service);
      if (module != Pnp().modules.end() && module->second.devices > 0) {  // in use again
        Pnp().pendingUnload.erase(it);
        return;
      }
    }
    UnloadOrDeferLocked(driver, service);
  });
}

void DebugBreakHit() {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> guard(Pnp().data);
    ++Pnp().breaks;
    hook = Pnp().breakHook;
  }
  if (hook) hook();
}

}  // namespace ntkernel::detail

using namespace ntkernel;
using namespace ntkernel::detail;

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT device, ULONG devInstKeyType, ACCESS_MASK, PHANDLE key) {
  *key = nullptr;
  if (devInstKeyType != PLUGPLAY_REGKEY_DRIVER && devInstKeyType != PLUGPLAY_REGKEY_DEVICE) {
    return STATUS_INVALID_PARAMETER;
  }
  std::lock_guard<std::mutex> guard(Pnp().data);
  auto node = FindNodeByPdoLocked(device);
  if (node == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  *key = InsertKernelHandle(new std::wstring(node->description.instanceId), kHandleRegistryKey);
  return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE key, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS keyValueInformationClass,
                         PVOID keyValueInformation, ULONG length, PULONG resultLength) {
  auto* instanceId = static_cast<std::wstring*>(LookupKernelHandle(key, kHandleRegistryKey));
  if (instanceId == nullptr) return STATUS_INVALID_HANDLE;
  if (keyValueInformationClass != KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;
  std::wstring name(valueName->Buffer, valueName->Length / sizeof(WCHAR));
  ULONG value = 0;
  {
    std::lock_guard<std::mutex> guard(Pnp().data);
    auto node = FindNodeLocked(*instanceId);
    if (node == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    auto it = node->driverKey.find(name);
    if (it == node->driverKey.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    value = it->second;
  }
  constexpr ULONG kHeader = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
  const ULONG needed = kHeader + sizeof(ULONG);
  if (resultLength != nullptr) *resultLength = needed;
  if (length < kHeader) return STATUS_BUFFER_TOO_SMALL;
  auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(keyValueInformation);
  info->TitleIndex = 0;
  info->Type = REG_DWORD;
  info->DataLength = sizeof(ULONG);
  if (length < needed) return STATUS_BUFFER_OVERFLOW;
  std::memcpy(info->Data, &value, sizeof value);
  return STATUS_SUCCESS;
}
