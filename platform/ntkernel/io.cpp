// Devices, the object namespace, requests (IRPs), completion and cancel,
// MDLs, remove locks, pool and the probe of caller buffers.
//
// Lock rules: the object lock guards names, links, attachment and the driver
// device lists; the IRP lock guards the per-device request sets and the
// requests' "entered" lists; the pool lock guards the pool table. None is held
// while a driver routine runs.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unordered_map>

#include "ntkernel/model.h"
#include "ntkernel/pnp.h"

namespace ntkernel::detail {
namespace {

constexpr CSHORT kTypeDevice = 3;
constexpr CSHORT kTypeDriver = 4;
constexpr CSHORT kTypeIrp = 6;

struct ObjectTables {
  std::mutex lock;
  std::map<std::wstring, PDEVICE_OBJECT> devices;  // "\Device\..." -> device
  std::map<std::wstring, std::wstring> links;      // "\DosDevices\NAME" (upper case) -> device name
  std::unordered_set<const void*> liveDevices;     // every device object not yet freed
};
ObjectTables& Objects() {
  static ObjectTables* t = new ObjectTables;  // never destroyed
  return *t;
}

struct IrpTables {
  std::mutex lock;
  std::unordered_set<PIRP> live;  // requests not yet freed
};
IrpTables& Irps() {
  static IrpTables* t = new IrpTables;  // never destroyed
  return *t;
}

thread_local std::vector<PIRP> t_dispatching;

struct PoolBlock {
  ULONG tag;
  SIZE_T bytes;
  PDRIVER_OBJECT owner;
};
struct PoolTable {
  std::mutex lock;
  std::unordered_map<void*, PoolBlock> blocks;
};
PoolTable& Pool() {
  static PoolTable* t = new PoolTable;  // never destroyed
  return *t;
}

struct ProbeTable {
  std::mutex lock;
  std::map<const char*, SIZE_T> ranges;
};
ProbeTable& Probes() {
  static ProbeTable* t = new ProbeTable;  // never destroyed
  return *t;
}

std::string TagText(ULONG tag) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    s += (c >= 32 && c < 127) ? c : '?';
  }
  return s;
}

std::wstring Upper(std::wstring s) {
  for (auto& c : s) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  return s;
}

std::wstring FromUnicode(PCUNICODE_STRING s) {
  if (s == nullptr || s->Buffer == nullptr) return {};
  return std::wstring(s->Buffer, s->Length / sizeof(WCHAR));
}

// "\DosDevices\X" and "\??\X" name the same link.
std::wstring LinkKey(const std::wstring& name) {
  static const std::wstring kDos = L"\\DosDevices\\";
  static const std::wstring kQ = L"\\??\\";
  std::wstring rest = name;
  if (name.compare(0, kDos.size(), kDos) == 0) {
    rest = name.substr(kDos.size());
  } else if (name.compare(0, kQ.size(), kQ) == 0) {
    rest = name.substr(kQ.size());
  } else {
    return {};
  }
  return Upper(rest);
}

NTSTATUS DefaultDispatch(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

void FreeDevice(PDEVICE_OBJECT device) {
  PDRIVER_OBJECT driver = device->DriverObject;
  bool last = true;
  {
    std::lock_guard<std::mutex> guard(Objects().lock);
    Objects().liveDevices.erase(device);
    for (const void* other : Objects().liveDevices) {
      if (static_cast<const DEVICE_OBJECT*>(other)->DriverObject == driver) {
        last = false;
        break;
      }
    }
  }
  std::free(device->DeviceExtension);
  delete device->DeviceObjectExtension;
  delete device;
  if (last) PnpDriverDevicesGone(driver);
}

}  // namespace

std::string Place(const std::source_location& where) {
  return std::string(where.file_name()) + ":" + std::to_string(where.line());
}

void Report(VerifierCheck check, const void* object, const char* service, const std::source_location& where,
            std::string detail) {
  VerifierReportViolation(VerifierReport{check, object, service, Place(where), std::move(detail)});
}

std::mutex& ObjectLock() { return Objects().lock; }

bool DriverHasDevices(PDRIVER_OBJECT driver) {
  std::lock_guard<std::mutex> guard(Objects().lock);
  for (const void* device : Objects().liveDevices) {
    if (static_cast<const DEVICE_OBJECT*>(device)->DriverObject == driver) return true;
  }
  return false;
}

bool IsDeviceObject(const void* object) {
  std::lock_guard<std::mutex> guard(Objects().lock);
  return Objects().liveDevices.count(object) != 0;
}

PDEVICE_OBJECT BottomDevice(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(Objects().lock);
  while (device->DeviceObjectExtension->attachedTo != nullptr) device = device->DeviceObjectExtension->attachedTo;
  return device;
}

PDEVICE_OBJECT ResolveUserPath(const std::wstring& userPath) {
  static const std::wstring kPrefix = L"\\\\.\\";
  if (userPath.compare(0, kPrefix.size(), kPrefix) != 0) return nullptr;
  std::wstring key = Upper(userPath.substr(kPrefix.size()));
  std::lock_guard<std::mutex> guard(Objects().lock);
  auto link = Objects().links.find(key);
  if (link == Objects().links.end()) return nullptr;
  auto device = Objects().devices.find(link->second);
  if (device == Objects().devices.end() || device->second->DeviceObjectExtension->deleted) return nullptr;
  __atomic_add_fetch(&device->second->ReferenceCount, 1, __ATOMIC_SEQ_CST);
  return device->second;
}

namespace {
// The driver extension with the storage of the driver's name.
struct DriverExtensionModel : DRIVER_EXTENSION {
  std::wstring name;
};
}  // namespace

PDRIVER_OBJECT CreateDriverObject(const std::wstring& name) {
  auto* driver = new DRIVER_OBJECT{};
  driver->Type = kTypeDriver;
  driver->Size = sizeof(DRIVER_OBJECT);
  auto* extension = new DriverExtensionModel{};
  extension->DriverObject = driver;
  extension->name = L"\\Driver\\" + name;
  driver->DriverExtension = extension;
  driver->DriverName.Buffer = extension->name.data();
  driver->DriverName.Length = static_cast<USHORT>(extension->name.size() * sizeof(WCHAR));
  driver->DriverName.MaximumLength = driver->DriverName.Length;
  for (auto& f : driver->MajorFunction) f = DefaultDispatch;
  return driver;
}

void DeleteDriverObject(PDRIVER_OBJECT driver) {
  delete static_cast<DriverExtensionModel*>(driver->DriverExtension);
  delete driver;
}

// ---------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------

PIRP AllocateIrp(CCHAR stackSize) {
  auto* irp = new IRP{};
  auto* state = new IRP_MODEL_STATE;
  state->stack.resize(static_cast<size_t>(std::max<int>(stackSize, 0)));
  if (!state->stack.empty()) std::memset(state->stack.data(), 0, state->stack.size() * sizeof(IO_STACK_LOCATION));
  state->routineOwner.assign(state->stack.size(), nullptr);
  irp->Type = kTypeIrp;
  irp->Size = sizeof(IRP);
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = state->stack.data() + state->stack.size();
  irp->ModelState = state;
  irp->RequestorMode = KernelMode;
  std::lock_guard<std::mutex> guard(Irps().lock);
  Irps().live.insert(irp);
  return irp;
}

void AddIrpRef(PIRP irp) { irp->ModelState->refs.fetch_add(1); }

void ReleaseIrp(PIRP irp) {
  IRP_MODEL_STATE* state = irp->ModelState;
  if (state->refs.fetch_sub(1) != 1) return;
  {
    std::lock_guard<std::mutex> guard(Irps().lock);
    for (PDEVICE_OBJECT d : state->entered) d->DeviceObjectExtension->irps.erase(irp);
    Irps().live.erase(irp);
  }
  for (auto& range : state->probeRanges) UnregisterProbeRange(range.first);
  for (PDEVICE_OBJECT d : state->entered) ObDereferenceObject(d);
  delete state;
  delete irp;
}

bool IsDispatchingOnThisThread(PIRP irp) {
  return std::find(t_dispatching.begin(), t_dispatching.end(), irp) != t_dispatching.end();
}

void RegisterProbeRange(const void* begin, SIZE_T length) {
  std::lock_guard<std::mutex> guard(Probes().lock);
  Probes().ranges[static_cast<const char*>(begin)] = length;
}

void UnregisterProbeRange(const void* begin) {
  std::lock_guard<std::mutex> guard(Probes().lock);
  Probes().ranges.erase(static_cast<const char*>(begin));
}

namespace {

// The request has left the last completion routine: the issuer's steps.
void FinishIrp(PIRP irp) {
  IRP_MODEL_STATE* state = irp->ModelState;
  {
    std::lock_guard<std::mutex> guard(Irps().lock);
    state->finished = true;
    for (PDEVICE_OBJECT d : state->entered) d->DeviceObjectExtension->irps.erase(irp);
  }
  if (state->allocatedByDriver) return;  // the driver's completion routine should have kept it
  // The issuer's step may drop the last reference of its own; ours keeps the
  // request (and the step's captures) alive until it has returned.
  AddIrpRef(irp);
  if (state->hook != nullptr) state->hook(irp, state->hookContext);
  if (state->finish) state->finish(irp);
  ReleaseIrp(irp);
}

}  // namespace

void CheckPoolAtUnload(PDRIVER_OBJECT driver) {
  std::vector<std::pair<void*, PoolBlock>> leaked;
  {
    std::lock_guard<std::mutex> guard(Pool().lock);
    for (auto it = Pool().blocks.begin(); it != Pool().blocks.end();) {
      if (it->second.owner == driver) {
        leaked.emplace_back(it->first, it->second);
        it = Pool().blocks.erase(it);  // reported once; the memory stays lost, as it would be
      } else {
        ++it;
      }
    }
  }
  std::wstring wname = FromUnicode(&driver->DriverName);
  std::string name(wname.begin(), wname.end());
  for (auto& [p, block] : leaked) {
    VerifierReportViolation(VerifierReport{VerifierCheck::kPoolLeakAtUnload, p, "DriverUnload", name,
                                           "pool tag " + TagText(block.tag) + ", " + std::to_string(block.bytes) +
                                               " bytes still allocated"});
  }
}

void* PoolAllocate(SIZE_T bytes, ULONG tag, PDRIVER_OBJECT owner, bool zeroed) {
  void* p = zeroed ? std::calloc(1, std::max<SIZE_T>(bytes, 1)) : std::malloc(std::max<SIZE_T>(bytes, 1));
  if (p == nullptr) return nullptr;
  std::lock_guard<std::mutex> guard(Pool().lock);
  Pool().blocks[p] = PoolBlock{tag, bytes, owner};
  return p;
}

}  // namespace ntkernel::detail

using namespace ntkernel;
using namespace ntkernel::detail;

// ---------------------------------------------------------------------------
// Pool
// ---------------------------------------------------------------------------

PVOID ExAllocatePoolWithTag(POOL_TYPE, SIZE_T bytes, ULONG tag) {
  return PoolAllocate(bytes, tag, CurrentDriver(), false);
}

PVOID ExAllocatePool2(ULONGLONG, SIZE_T bytes, ULONG tag) { return PoolAllocate(bytes, tag, CurrentDriver(), true); }

namespace {
void FreePool(PVOID p, const ULONG* tag, const std::source_location& where) {
  if (p == nullptr) return;
  PoolBlock block{};
  bool found = false;
  {
    std::lock_guard<std::mutex> guard(Pool().lock);
    auto it = Pool().blocks.find(p);
    if (it != Pool().blocks.end()) {
      block = it->second;
      found = true;
      Pool().blocks.erase(it);
    }
  }
  if (!found) {
    Report(VerifierCheck::kPoolBadFree, p, "ExFreePoolWithTag", where, "block freed twice or never allocated");
    return;  // never free what we do not own
  }
  if (tag != nullptr && *tag != block.tag) {
    Report(VerifierCheck::kPoolBadFree, p, "ExFreePoolWithTag", where,
           "freed with tag " + TagText(*tag) + " but allocated with " + TagText(block.tag));
  }
  std::free(p);
}
}  // namespace

void ExFreePoolWithTag(PVOID p, ULONG tag, std::source_location where) { FreePool(p, &tag, where); }
void ExFreePool(PVOID p) { FreePool(p, nullptr, std::source_location::current()); }

// ---------------------------------------------------------------------------
// Devices and names
// ---------------------------------------------------------------------------

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, DEVICE_TYPE type,
                        ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT* device) {
  *device = nullptr;
  std::wstring deviceName = FromUnicode(name);
  auto* d = new DEVICE_OBJECT{};
  d->Type = kTypeDevice;
  d->Size = sizeof(DEVICE_OBJECT);
  d->ReferenceCount = 1;  // dropped by IoDeleteDevice
  d->DriverObject = driver;
  d->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0) | (deviceName.empty() ? 0 : DO_DEVICE_HAS_NAME);
  d->Characteristics = characteristics;
  d->DeviceType = type;
  d->StackSize = 1;
  d->DeviceObjectExtension = new DEVOBJ_EXTENSION;
  d->DeviceObjectExtension->name = deviceName;
  d->DeviceObjectExtension->extensionSize = extensionSize;
  if (extensionSize > 0) {
    SIZE_T rounded = (extensionSize + 15) / 16 * 16;
    d->DeviceExtension = std::aligned_alloc(16, rounded);
    if (d->DeviceExtension == nullptr) {
      delete d->DeviceObjectExtension;
      delete d;
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(d->DeviceExtension, 0, rounded);
  }
  {
    std::lock_guard<std::mutex> guard(Objects().lock);
    if (!deviceName.empty()) {
      if (Objects().devices.count(deviceName) != 0) {
        std::free(d->DeviceExtension);
        delete d->DeviceObjectExtension;
        delete d;
        return STATUS_OBJECT_NAME_COLLISION;
      }
      Objects().devices[deviceName] = d;
    }
    Objects().liveDevices.insert(d);
    d->NextDevice = driver->DeviceObject;
    driver->DeviceObject = d;
  }
  *device = d;
  return STATUS_SUCCESS;
}

NTSTATUS IoCreateDeviceSecure(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, DEVICE_TYPE type,
                              ULONG characteristics, BOOLEAN exclusive, PCUNICODE_STRING defaultSddlString,
                              LPCGUID deviceClassGuid, PDEVICE_OBJECT* device) {
  if (defaultSddlString == nullptr || defaultSddlString->Length == 0) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = IoCreateDevice(driver, extensionSize, name, type, characteristics, exclusive, device);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard<std::mutex> guard(Objects().lock);
  (*device)->DeviceObjectExtension->sddl = FromUnicode(defaultSddlString);
  if (deviceClassGuid != nullptr) (*device)->DeviceObjectExtension->classGuid = *deviceClassGuid;
  return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT device, std::source_location where) {
  // Requests still inside this device (other than the one being handled on
  // this thread, e.g. the remove request) are outstanding.
  std::vector<PIRP> outstanding;
  {
    std::lock_guard<std::mutex> guard(Irps().lock);
    for (PIRP irp : device->DeviceObjectExtension->irps) {
      if (!IsDispatchingOnThisThread(irp)) outstanding.push_back(irp);
    }
  }
  for (PIRP irp : outstanding) {
    Report(VerifierCheck::kIrpOutstandingAtDelete, irp, "IoDeleteDevice", where,
           "request still outstanding on the device being deleted");
  }
  if (device->DeviceExtension != nullptr) {
    const char* begin = static_cast<const char*>(device->DeviceExtension);
    CheckTimersInRange(begin, begin + device->DeviceObjectExtension->extensionSize, where);
  }
  {
    std::lock_guard<std::mutex> guard(Objects().lock);
    DEVOBJ_EXTENSION* ext = device->DeviceObjectExtension;
    ext->deleted = true;
    if (!ext->name.empty()) Objects().devices.erase(ext->name);
    PDRIVER_OBJECT driver = device->DriverObject;
    for (PDEVICE_OBJECT* p = &driver->DeviceObject; *p != nullptr; p = &(*p)->NextDevice) {
      if (*p == device) {
        *p = device->NextDevice;
        break;
      }
    }
  }
  ObDereferenceObject(device);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
  std::lock_guard<std::mutex> guard(Objects().lock);
  PDEVICE_OBJECT top = target;
  while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
  if (top->DeviceObjectExtension->deleted) return nullptr;
  top->AttachedDevice = source;
  source->DeviceObjectExtension->attachedTo = top;
  source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  source->AlignmentRequirement = top->AlignmentRequirement;
  return top;
}

NTSTATUS IoAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT source, PDEVICE_OBJECT target, PDEVICE_OBJECT* attachedTo) {
  *attachedTo = IoAttachDeviceToDeviceStack(source, target);
  return *attachedTo != nullptr ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
}

void IoDetachDevice(PDEVICE_OBJECT targetDevice) {
  std::lock_guard<std::mutex> guard(Objects().lock);
  PDEVICE_OBJECT upper = targetDevice->AttachedDevice;
  if (upper != nullptr) upper->DeviceObjectExtension->attachedTo = nullptr;
  targetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(Objects().lock);
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT top = IoGetAttachedDevice(device);
  ObReferenceObject(top);
  return top;
}

PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(Objects().lock);
  PDEVICE_OBJECT lower = device->DeviceObjectExtension->attachedTo;
  if (lower != nullptr) __atomic_add_fetch(&lower->ReferenceCount, 1, __ATOMIC_SEQ_CST);
  return lower;
}

void ObReferenceObject(PVOID object) {
  if (IsDeviceObject(object)) {
    __atomic_add_fetch(&static_cast<PDEVICE_OBJECT>(object)->ReferenceCount, 1, __ATOMIC_SEQ_CST);
  } else {
    ReferenceThread(static_cast<PKTHREAD>(object));
  }
}

void ObDereferenceObject(PVOID object) {
  if (IsDeviceObject(object)) {
    auto* device = static_cast<PDEVICE_OBJECT>(object);
    if (__atomic_sub_fetch(&device->ReferenceCount, 1, __ATOMIC_SEQ_CST) == 0) FreeDevice(device);
  } else {
    DereferenceThread(static_cast<PKTHREAD>(object));
  }
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING symbolicLinkName, PUNICODE_STRING deviceName) {
  std::wstring key = LinkKey(FromUnicode(symbolicLinkName));
  if (key.empty()) return STATUS_OBJECT_NAME_INVALID;
  std::lock_guard<std::mutex> guard(Objects().lock);
  if (Objects().links.count(key) != 0) return STATUS_OBJECT_NAME_COLLISION;
  Objects().links[key] = FromUnicode(deviceName);
  return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING symbolicLinkName) {
  std::wstring key = LinkKey(FromUnicode(symbolicLinkName));
  std::lock_guard<std::mutex> guard(Objects().lock);
  return Objects().links.erase(key) != 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

namespace {
struct SecurityDescriptorModel {
  wchar_t sddl[1];  // null-terminated, allocated to size
};
}  // namespace

NTSTATUS SeSddlSecurityDescriptorFromSDDL(PCUNICODE_STRING sddl, BOOLEAN, PSECURITY_DESCRIPTOR* descriptor) {
  std::wstring text = FromUnicode(sddl);
  if (text.empty() || text.compare(0, 2, L"D:") != 0) return STATUS_INVALID_PARAMETER;
  auto* sd = static_cast<SecurityDescriptorModel*>(
      ExAllocatePoolWithTag(PagedPool, (text.size() + 1) * sizeof(wchar_t), MAKE_POOL_TAG("SeSd")));
  if (sd == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::wmemcpy(sd->sddl, text.c_str(), text.size() + 1);
  *descriptor = sd;
  return STATUS_SUCCESS;
}

NTSTATUS ObSetSecurityObjectByPointer(PVOID object, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR descriptor) {
  if (!IsDeviceObject(object) || descriptor == nullptr) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(Objects().lock);
  static_cast<PDEVICE_OBJECT>(object)->DeviceObjectExtension->sddl =
      static_cast<SecurityDescriptorModel*>(descriptor)->sddl;
  return STATUS_SUCCESS;
}

namespace {
std::mutex g_routineLock;
std::unordered_set<std::wstring>& HiddenRoutines() {
  static auto* hidden = new std::unordered_set<std::wstring>;  // guarded by g_routineLock
  return *hidden;
}
}  // namespace

PVOID MmGetSystemRoutineAddress(PUNICODE_STRING systemRoutineName) {
  std::wstring name = FromUnicode(systemRoutineName);
  {
    std::lock_guard<std::mutex> guard(g_routineLock);
    if (HiddenRoutines().count(name) != 0) return nullptr;
  }
  if (name == L"IoCreateDeviceSecure") return reinterpret_cast<PVOID>(&IoCreateDeviceSecure);
  if (name == L"IoCreateDevice") return reinterpret_cast<PVOID>(&IoCreateDevice);
  if (name == L"SeSddlSecurityDescriptorFromSDDL") return reinterpret_cast<PVOID>(&SeSddlSecurityDescriptorFromSDDL);
  if (name == L"ObSetSecurityObjectByPointer") return reinterpret_cast<PVOID>(&ObSetSecurityObjectByPointer);
  return nullptr;
}

void ntkernel::HideSystemRoutine(const std::wstring& name, bool hidden) {
  std::lock_guard<std::mutex> guard(g_routineLock);
  if (hidden) {
    HiddenRoutines().insert(name);
  } else {
    HiddenRoutines().erase(name);
  }
}

ntkernel::DeviceSecurity ntkernel::QueryDeviceSecurity(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(Objects().lock);
  return DeviceSecurity{device->DeviceObjectExtension->sddl, device->DeviceObjectExtension->classGuid};
}

std::wstring ntkernel::DeviceName(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(Objects().lock);
  return device->DeviceObjectExtension->name;
}

PDEVICE_OBJECT ntkernel::FindDeviceByName(const std::wstring& name) {
  std::lock_guard<std::mutex> guard(Objects().lock);
  auto it = Objects().devices.find(name);
  return it == Objects().devices.end() ? nullptr : it->second;
}

// ---------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------

void IoCopyCurrentIrpStackLocationToNext(PIRP irp) {
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  std::memcpy(next, current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
  next->Control = 0;
}

void IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context, BOOLEAN invokeOnSuccess,
                            BOOLEAN invokeOnError, BOOLEAN invokeOnCancel) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->CompletionRoutine = routine;
  next->Context = context;
  next->Control = 0;
  if (invokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
  if (invokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
  if (invokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
  IRP_MODEL_STATE* state = irp->ModelState;
  size_t index = static_cast<size_t>(next - state->stack.data());
  if (index < state->routineOwner.size()) state->routineOwner[index] = CurrentDriver();
}

NTSTATUS IoCallDriver(PDEVICE_OBJECT device, PIRP irp, std::source_location where) {
  if (irp->CurrentLocation <= 1) {
    Report(VerifierCheck::kStackOverflow, irp, "IoCallDriver", where,
           "no stack location left for the next device (stack size too small)");
    return STATUS_INVALID_PARAMETER;
  }
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  stack->DeviceObject = device;
  {
    std::lock_guard<std::mutex> guard(Irps().lock);
    if (device->DeviceObjectExtension->irps.insert(irp).second) {
      irp->ModelState->entered.push_back(device);
      __atomic_add_fetch(&device->ReferenceCount, 1, __ATOMIC_SEQ_CST);
    }
  }
  PDRIVER_OBJECT driver = device->DriverObject;
  PDRIVER_DISPATCH dispatch = driver->MajorFunction[stack->MajorFunction];
  t_dispatching.push_back(irp);
  NTSTATUS status;
  {
    DriverScope scope(driver);
    status = dispatch(device, irp);
  }
  t_dispatching.pop_back();
  return status;
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT device, PIRP irp, std::source_location where) {
  return IoCallDriver(device, irp, where);
}
void PoStartNextPowerIrp(PIRP) {}
POWER_STATE PoSetPowerState(PDEVICE_OBJECT, POWER_STATE_TYPE, POWER_STATE state) { return state; }

void IoCompleteRequest(PIRP irp, CCHAR, std::source_location where) {
  {
    std::lock_guard<std::mutex> guard(Irps().lock);
    if (Irps().live.count(irp) == 0 || irp->ModelState->finished) {
      // Report without touching a request that may be gone.
      VerifierReportViolation(VerifierReport{VerifierCheck::kDoubleCompletion, irp, "IoCompleteRequest",
                                             Place(where), "request already completed"});
      return;
    }
  }
  IRP_MODEL_STATE* state = irp->ModelState;
  if (state->completing.exchange(true)) {
    Report(VerifierCheck::kDoubleCompletion, irp, "IoCompleteRequest", where,
           "request completed again while its completion is running or held");
    return;
  }
  if (irp->CancelRoutine.load() != nullptr) {
    Report(VerifierCheck::kCompletedWithCancelRoutine, irp, "IoCompleteRequest", where,
           "request completed with its cancel routine still set");
    irp->CancelRoutine.store(nullptr);
  }
  if (irp->IoStatus.Status == STATUS_PENDING) {
    Report(VerifierCheck::kCompletedWithPendingStatus, irp, "IoCompleteRequest", where,
           "request completed with STATUS_PENDING");
  }
  if (SpinLocksHeld() > 0) {
    Report(VerifierCheck::kCompletedHoldingSpinLock, irp, "IoCompleteRequest", where,
           "request completed while the thread holds a spin lock");
  }
  while (irp->CurrentLocation <= irp->StackCount) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    size_t index = static_cast<size_t>(stack - state->stack.data());
    irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    UCHAR control = stack->Control;
    stack->CompletionRoutine = nullptr;
    stack->Context = nullptr;
    stack->Control = 0;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    bool invoke = routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                         (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                         (irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    if (invoke) {
      PDEVICE_OBJECT device =
          irp->CurrentLocation > irp->StackCount ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
      PDRIVER_OBJECT owner = index < state->routineOwner.size() && state->routineOwner[index] != nullptr
                                 ? state->routineOwner[index]
                                 : (device != nullptr ? device->DriverObject : CurrentDriver());
      // While the routine runs its driver owns the request: a routine that
      // returns STATUS_MORE_PROCESSING_REQUIRED may hand it to another thread
      // that completes it again before this call has returned.
      state->completing.store(false);
      NTSTATUS result;
      {
        DriverScope scope(owner);
        result = routine(device, irp, context);
      }
      if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
      if (state->completing.exchange(true)) {
        Report(VerifierCheck::kDoubleCompletion, irp, "IoCompleteRequest", where,
               "completion routine let completion continue but the request was completed again meanwhile");
        return;
      }
    } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
      IoMarkIrpPending(irp);
    }
  }
  FinishIrp(irp);
}

BOOLEAN IoCancelIrp(PIRP irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = irp->CancelRoutine.exchange(nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  irp->CancelIrql = irql;
  PDEVICE_OBJECT device =
      irp->CurrentLocation <= irp->StackCount ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
  DriverScope scope(device != nullptr ? device->DriverObject : CurrentDriver());
  routine(device, irp);
  return TRUE;
}

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN) {
  PIRP irp = AllocateIrp(stackSize);
  irp->ModelState->allocatedByDriver = true;
  return irp;
}

void IoFreeIrp(PIRP irp) { ReleaseIrp(irp); }

void IoReuseIrp(PIRP irp, NTSTATUS status) {
  IRP_MODEL_STATE* state = irp->ModelState;
  if (!state->stack.empty()) std::memset(state->stack.data(), 0, state->stack.size() * sizeof(IO_STACK_LOCATION));
  irp->CurrentLocation = static_cast<CHAR>(irp->StackCount + 1);
  irp->Tail.Overlay.CurrentStackLocation = state->stack.data() + state->stack.size();
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  irp->Cancel = FALSE;
  irp->CancelRoutine.store(nullptr);
  irp->PendingReturned = FALSE;
  irp->MdlAddress = nullptr;
  std::vector<PDEVICE_OBJECT> entered;
  {
    // A reused request starts afresh: it is no longer inside the devices it passed.
    std::lock_guard<std::mutex> guard(Irps().lock);
    for (PDEVICE_OBJECT d : state->entered) d->DeviceObjectExtension->irps.erase(irp);
    entered.swap(state->entered);
    state->finished = false;
    state->completing.store(false);
  }
  for (PDEVICE_OBJECT d : entered) ObDereferenceObject(d);
}

PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT device, PVOID inputBuffer,
                                   ULONG inputBufferLength, PVOID outputBuffer, ULONG outputBufferLength,
                                   BOOLEAN internalDeviceIoControl, PKEVENT event, PIO_STATUS_BLOCK ioStatusBlock) {
  PIRP irp = AllocateIrp(device->StackSize);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = internalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = inputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = outputBufferLength;
  ULONG method = METHOD_FROM_CTL_CODE(ioControlCode);
  auto* buffer = new std::vector<char>;
  if (method == METHOD_BUFFERED) {
    buffer->assign(std::max(inputBufferLength, outputBufferLength), 0);
    if (inputBufferLength > 0) std::memcpy(buffer->data(), inputBuffer, inputBufferLength);
    irp->AssociatedIrp.SystemBuffer = buffer->empty() ? nullptr : buffer->data();
  } else {
    next->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
    irp->UserBuffer = outputBuffer;
    if (inputBuffer != nullptr && inputBufferLength > 0) {
      RegisterProbeRange(inputBuffer, inputBufferLength);
      irp->ModelState->probeRanges.emplace_back(static_cast<const char*>(inputBuffer), inputBufferLength);
    }
    if (outputBuffer != nullptr && outputBufferLength > 0) {
      RegisterProbeRange(outputBuffer, outputBufferLength);
      irp->ModelState->probeRanges.emplace_back(static_cast<const char*>(outputBuffer), outputBufferLength);
    }
  }
  irp->UserIosb = ioStatusBlock;
  irp->UserEvent = event;
  irp->ModelState->finish = [buffer, outputBuffer, outputBufferLength, method](PIRP done) {
    if (method == METHOD_BUFFERED && !NT_ERROR(done->IoStatus.Status) && outputBuffer != nullptr) {
      SIZE_T n = std::min<SIZE_T>(done->IoStatus.Information, outputBufferLength);
      if (n > 0) std::memcpy(outputBuffer, buffer->data(), n);
    }
    delete buffer;
    if (done->UserIosb != nullptr) *done->UserIosb = done->IoStatus;
    PKEVENT doneEvent = done->UserEvent;
    ReleaseIrp(done);
    if (doneEvent != nullptr) KeSetEvent(doneEvent, IO_NO_INCREMENT, FALSE);
  };
  return irp;
}

// ---------------------------------------------------------------------------
// MDLs
// ---------------------------------------------------------------------------

PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN, PIRP irp) {
  auto* mdl = new MDL{};
  mdl->Size = sizeof(MDL);
  mdl->StartVa = virtualAddress;
  mdl->ByteOffset = 0;
  mdl->ByteCount = length;
  mdl->MappedSystemVa = virtualAddress;
  mdl->MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL;
  if (irp != nullptr) {
    if (secondaryBuffer && irp->MdlAddress != nullptr) {
      PMDL last = irp->MdlAddress;
      while (last->Next != nullptr) last = last->Next;
      last->Next = mdl;
    } else {
      irp->MdlAddress = mdl;
    }
  }
  return mdl;
}

void IoFreeMdl(PMDL mdl) { delete mdl; }
void MmBuildMdlForNonPagedPool(PMDL mdl) { mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL; }

PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG) {
  if (mdl == nullptr) return nullptr;
  return mdl->MappedSystemVa;
}

PVOID MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE, MEMORY_CACHING_TYPE, PVOID, ULONG, ULONG) {
  if (mdl == nullptr) return nullptr;
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return mdl->MappedSystemVa;
}

// ---------------------------------------------------------------------------
// Remove locks
// ---------------------------------------------------------------------------

void IoInitializeRemoveLock(PIO_REMOVE_LOCK lock, ULONG allocateTag, ULONG maxLockedMinutes, ULONG highWatermark) {
  lock->Removed.store(FALSE);
  lock->IoCount.store(1);
  lock->AllocateTag = allocateTag;
  lock->MaxLockedMinutes = maxLockedMinutes;
  lock->HighWatermark = highWatermark;
  KeInitializeEvent(&lock->RemoveEvent, NotificationEvent, FALSE);
}

NTSTATUS IoAcquireRemoveLock(PIO_REMOVE_LOCK lock, PVOID) {
  lock->IoCount.fetch_add(1);
  if (lock->Removed.load()) {
    if (lock->IoCount.fetch_sub(1) == 1) KeSetEvent(&lock->RemoveEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_DELETE_PENDING;
  }
  return STATUS_SUCCESS;
}

void IoReleaseRemoveLock(PIO_REMOVE_LOCK lock, PVOID tag, std::source_location where) {
  LONG count = lock->IoCount.fetch_sub(1) - 1;
  if (count < 0 || (count == 0 && !lock->Removed.load())) {
    Report(VerifierCheck::kRemoveLockOverRelease, lock, "IoReleaseRemoveLock", where,
           "remove lock released more often than acquired (tag " + std::to_string(reinterpret_cast<ULONG_PTR>(tag)) +
               ")");
    lock->IoCount.fetch_add(1);  // keep the count sane for the rest of the run
    return;
  }
  if (count == 0) KeSetEvent(&lock->RemoveEvent, IO_NO_INCREMENT, FALSE);
}

void IoReleaseRemoveLockAndWait(PIO_REMOVE_LOCK lock, PVOID, std::source_location where) {
  lock->Removed.store(TRUE);
  LONG count = lock->IoCount.fetch_sub(1) - 1;  // the caller's acquisition
  if (count <= 0) {
    Report(VerifierCheck::kRemoveLockOverRelease, lock, "IoReleaseRemoveLockAndWait", where,
           "the caller did not hold the remove lock");
    lock->IoCount.fetch_add(1);
  }
  if (lock->IoCount.fetch_sub(1) - 1 > 0) {  // the bias
    KeWaitForSingleObject(&lock->RemoveEvent, Executive, KernelMode, FALSE, nullptr, where);
  }
}

// ---------------------------------------------------------------------------
// Probing caller buffers
// ---------------------------------------------------------------------------

namespace {
void Probe(const volatile void* address, SIZE_T length, ULONG alignment) {
  if (length == 0) return;
  auto p = reinterpret_cast<ULONG_PTR>(address);
  if (alignment > 1 && (p % alignment) != 0) ExRaiseStatus(STATUS_DATATYPE_MISALIGNMENT);
  const char* begin = reinterpret_cast<const char*>(p);
  std::lock_guard<std::mutex> guard(Probes().lock);
  auto it = Probes().ranges.upper_bound(begin);
  if (it == Probes().ranges.begin()) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
  --it;
  if (begin + length > it->first + it->second || begin + length < begin) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
}
}  // namespace

void ProbeForRead(const volatile void* address, SIZE_T length, ULONG alignment) { Probe(address, length, alignment); }
void ProbeForWrite(volatile void* address, SIZE_T length, ULONG alignment) { Probe(address, length, alignment); }

// ---------------------------------------------------------------------------
// I/O manager hooks for stream layers
// ---------------------------------------------------------------------------

void ntkernel::io::SetFinishHook(PIRP irp, FinishHook hook, PVOID context) {
  irp->ModelState->hook = hook;
  irp->ModelState->hookContext = context;
}

void* ntkernel::io::IssuerOutputBuffer(PIRP irp) { return irp->ModelState->issuerOutput; }
