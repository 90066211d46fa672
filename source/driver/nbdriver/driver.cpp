// NBEffect: driver entry, the add-device routine, the control device, the
// request dispatch, Plug and Play and power handling.
//
// Every handler first looks at IsControl of the target device's extension.
#include "nbdriver/nbdriver.h"

LONG g_ControlDeviceCount = 0;
FAST_MUTEX g_ControlLock;
PDEVICE_OBJECT g_LastDeletedControlDevice = nullptr;

namespace {

NTSTATUS NbDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

bool IsControlDevice(PDEVICE_OBJECT DeviceObject) {
  return *static_cast<UCHAR*>(DeviceObject->DeviceExtension) != 0;
}

// Counts a request into and out of a control-device dispatch routine.
class ControlRequestScope {
 public:
  explicit ControlRequestScope(PDEVICE_OBJECT ControlDevice)
      : ext_(static_cast<ControlExtension*>(ControlDevice->DeviceExtension)) {
    KIRQL irql;
    KeAcquireSpinLock(&ext_->RequestLock, &irql);
    if (ext_->ActiveRequests++ == 0) KeClearEvent(&ext_->RequestsIdle);
    KeReleaseSpinLock(&ext_->RequestLock, irql);
  }
  ~ControlRequestScope() {
    KIRQL irql;
    KeAcquireSpinLock(&ext_->RequestLock, &irql);
    if (--ext_->ActiveRequests == 0) KeSetEvent(&ext_->RequestsIdle, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&ext_->RequestLock, irql);
  }
  ControlRequestScope(const ControlRequestScope&) = delete;
  ControlRequestScope& operator=(const ControlRequestScope&) = delete;

 private:
  ControlExtension* ext_;
};

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

void SetPnpState(FilterExtension* Ext, NB_PNP_STATE State) {
  InterlockedExchange(&Ext->PreviousPnpState, ReadNoFence(&Ext->PnpState));
  InterlockedExchange(&Ext->PnpState, State);
}

void RestorePnpState(FilterExtension* Ext) {
  InterlockedExchange(&Ext->PnpState, ReadNoFence(&Ext->PreviousPnpState));
}

// Passes the request down unchanged; the remove lock covers the call.
NTSTATUS ForwardUnchanged(FilterExtension* Ext, PIRP Irp) {
  NTSTATUS status = IoAcquireRemoveLock(&Ext->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) return CompleteRequest(Irp, status, 0);
  IoSkipCurrentIrpStackLocation(Irp);
  status = IoCallDriver(Ext->LowerDevice, Irp);
  IoReleaseRemoveLock(&Ext->RemoveLock, Irp);
  return status;
}

//
// Control device creation and deletion. Caller holds g_ControlLock.
//

using IoCreateDeviceSecureFn = NTSTATUS (*)(PDRIVER_OBJECT, ULONG, PUNICODE_STRING, DEVICE_TYPE, ULONG, BOOLEAN,
                                            PCUNICODE_STRING, LPCGUID, PDEVICE_OBJECT*);

// Secure device creation: the system's service when it has one, otherwise a
// plain device that gets the same security descriptor applied.
NTSTATUS CreateSecureDevice(PDRIVER_OBJECT Driver, ULONG ExtensionSize, PUNICODE_STRING Name, DEVICE_TYPE Type,
                            ULONG Characteristics, BOOLEAN Exclusive, PCUNICODE_STRING Sddl, LPCGUID ClassGuid,
                            PDEVICE_OBJECT* Device) {
  UNICODE_STRING routineName;
  RtlInitUnicodeString(&routineName, L"IoCreateDeviceSecure");
  auto createSecure = reinterpret_cast<IoCreateDeviceSecureFn>(MmGetSystemRoutineAddress(&routineName));
  if (createSecure != nullptr) {
    return createSecure(Driver, ExtensionSize, Name, Type, Characteristics, Exclusive, Sddl, ClassGuid, Device);
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  NTSTATUS status = SeSddlSecurityDescriptorFromSDDL(Sddl, FALSE, &descriptor);
  if (!NT_SUCCESS(status)) return status;
  status = IoCreateDevice(Driver, ExtensionSize, Name, Type, Characteristics, Exclusive, Device);
  if (NT_SUCCESS(status)) {
    status = ObSetSecurityObjectByPointer(*Device, DACL_SECURITY_INFORMATION, descriptor);
    if (!NT_SUCCESS(status)) {
      IoDeleteDevice(*Device);
      *Device = nullptr;
    }
  }
  ExFreePool(descriptor);
  return status;
}

NTSTATUS CreateControlDevice(FilterExtension* Ext) {
  if (g_ControlDeviceCount != 0) return STATUS_UNSUCCESSFUL;

  UNICODE_STRING deviceName;
  UNICODE_STRING linkName;
  UNICODE_STRING sddl;
  RtlInitUnicodeString(&deviceName, NBHOOK_DEVICE_NAME);
  RtlInitUnicodeString(&linkName, NBHOOK_LINK_NAME);
  RtlInitUnicodeString(&sddl, NBHOOK_DEVICE_SDDL);

  PDEVICE_OBJECT control = nullptr;
  NTSTATUS status = CreateSecureDevice(Ext->Self->DriverObject, sizeof(ControlExtension), &deviceName,
                                       FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &sddl,
                                       &NBHOOK_DEVICE_CLASS_GUID, &control);
  if (!NT_SUCCESS(status)) return status;
  // A request may still name the previous control device at this address.
  if (g_LastDeletedControlDevice == control) {
    WritePointerRelease(reinterpret_cast<PVOID volatile*>(&g_LastDeletedControlDevice), nullptr);
  }
  // Dispatch on the filter reads ControlDevice without a lock.
  WritePointerRelease(reinterpret_cast<PVOID volatile*>(&Ext->ControlDevice), control);
  control->Flags |= DO_BUFFERED_IO;

  status = IoCreateSymbolicLink(&linkName, &deviceName);
  if (!NT_SUCCESS(status) && status != STATUS_OBJECT_NAME_COLLISION) {
    WritePointerRelease(reinterpret_cast<PVOID volatile*>(&Ext->ControlDevice), nullptr);
    IoDeleteDevice(control);
    return status;
  }

  auto* controlExt = static_cast<ControlExtension*>(control->DeviceExtension);
  RtlZeroMemory(controlExt, sizeof(*controlExt));
  controlExt->IsControl = 1;
  controlExt->FilterDevice = Ext->Self;
  controlExt->Removed = 0;
  controlExt->HookOn = 0;
  KeInitializeSpinLock(&controlExt->HookLock);
  KeInitializeSpinLock(&controlExt->RequestLock);
  KeInitializeEvent(&controlExt->RequestsIdle, NotificationEvent, TRUE);
  controlExt->ActiveRequests = 0;

  control->Flags &= ~DO_DEVICE_INITIALIZING;
  control->StackSize = static_cast<CCHAR>(Ext->Self->StackSize + 1);
  g_ControlDeviceCount = 1;
  return STATUS_SUCCESS;
}

// Takes the control device out of use: refused from now on, its link gone,
// the filter no longer pointing at it. Caller holds g_ControlLock and then
// calls DeleteRetiredControlDevice without it. Returns the device, or null.
PDEVICE_OBJECT RetireControlDevice(FilterExtension* Ext) {
  PDEVICE_OBJECT control = Ext->ControlDevice;
  if (control == nullptr) return nullptr;
  auto* controlExt = static_cast<ControlExtension*>(control->DeviceExtension);
  InterlockedExchange(&controlExt->Removed, 1);
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&linkName, NBHOOK_LINK_NAME);
  IoDeleteSymbolicLink(&linkName);
  WritePointerRelease(reinterpret_cast<PVOID volatile*>(&g_LastDeletedControlDevice), control);
  // The completion path looks at the control device under QueueLock only.
  KIRQL irql;
  KeAcquireSpinLock(&Ext->QueueLock, &irql);
  WritePointerRelease(reinterpret_cast<PVOID volatile*>(&Ext->ControlDevice), nullptr);
  KeReleaseSpinLock(&Ext->QueueLock, irql);
  g_ControlDeviceCount = 0;
  return control;
}

// Deletes a retired control device once no request is inside one of its
// dispatch routines (requests that waited for the control lock find it
// removed and leave at once). Caller does not hold g_ControlLock.
void DeleteRetiredControlDevice(PDEVICE_OBJECT Control) {
  if (Control == nullptr) return;
  auto* controlExt = static_cast<ControlExtension*>(Control->DeviceExtension);
  KeWaitForSingleObject(&controlExt->RequestsIdle, Executive, KernelMode, FALSE, nullptr);
  IoDeleteDevice(Control);
}

// Ends the hook for good when the camera goes: timer, hook state and queues,
// both threads, then the control device. Runs once: the second call (remove
// after surprise removal) finds no control device.
void HookTeardown(FilterExtension* Ext) {
  // The timer goes first and for good (its routines run at PASSIVE_LEVEL
  // work, which is waited for here, outside the fast mutex).
  NbDisableInactivityTimer(Ext);
  PDEVICE_OBJECT retired = nullptr;
  ExAcquireFastMutex(&g_ControlLock);
  if (Ext->ControlDevice != nullptr) {
    auto* controlExt = static_cast<ControlExtension*>(Ext->ControlDevice->DeviceExtension);
    NbHookOff(controlExt, Ext);
    NbStopThreads(Ext);
    retired = RetireControlDevice(Ext);
  }
  ExReleaseFastMutex(&g_ControlLock);
  DeleteRetiredControlDevice(retired);
}

// Reads the REG_DWORD "BreakOnEntry" of the camera's driver key; a non-zero
// low byte breaks into the kernel debugger. Failures are ignored.
void CheckBreakOnEntry(FilterExtension* Ext) {
  HANDLE key = nullptr;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(Ext->Pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key))) return;
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, L"BreakOnEntry");
  const ULONG size = sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG);
  auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, size, NB_POOL_TAG));
  if (info != nullptr) {
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info, size, &resultLength);
    if (NT_SUCCESS(status) && info->Type == REG_DWORD && info->DataLength >= sizeof(ULONG) &&
        (info->Data[0] & 0xFF) != 0) {
      DbgBreakPoint();
    }
    ExFreePoolWithTag(info, NB_POOL_TAG);
  }
  ZwClose(key);
}

//
// Dispatch routines.
//

NTSTATUS NbDispatchPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IsControlDevice(DeviceObject)) {
    ControlRequestScope scope(DeviceObject);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
  }
  return ForwardUnchanged(static_cast<FilterExtension*>(DeviceObject->DeviceExtension), Irp);
}

NTSTATUS NbDispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!IsControlDevice(DeviceObject)) return NbDispatchDeviceControl(DeviceObject, Irp);
  ControlRequestScope scope(DeviceObject);
  auto* controlExt = static_cast<ControlExtension*>(DeviceObject->DeviceExtension);
  return CompleteRequest(Irp, ReadNoFence(&controlExt->Removed) ? STATUS_DEVICE_REMOVED : STATUS_SUCCESS, 0);
}

NTSTATUS NbDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!IsControlDevice(DeviceObject)) {
    auto* ext = static_cast<FilterExtension*>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL ||
        ReadPointerAcquire(reinterpret_cast<PVOID volatile*>(&ext->ControlDevice)) == nullptr) {
      return ForwardUnchanged(ext, Irp);
    }
    return NbStreamWatch(ext, Irp);
  }

  ControlRequestScope scope(DeviceObject);
  if (DeviceObject == ReadPointerAcquire(reinterpret_cast<PVOID volatile*>(&g_LastDeletedControlDevice))) {
    return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
  }
  auto* controlExt = static_cast<ControlExtension*>(DeviceObject->DeviceExtension);
  ExAcquireFastMutex(&g_ControlLock);
  NTSTATUS status;
  if (ReadNoFence(&controlExt->Removed)) {
    status = CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
  } else {
    auto* ext = static_cast<FilterExtension*>(controlExt->FilterDevice->DeviceExtension);
    if (ReadNoFence(&ext->PnpState) != Started) {
      IoSetCancelRoutine(Irp, nullptr);
      status = CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    } else {
      Irp->IoStatus.Information = 0;
      status = NbHookControl(controlExt, ext, Irp);
    }
  }
  ExReleaseFastMutex(&g_ControlLock);
  return status;
}

NTSTATUS NbDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IsControlDevice(DeviceObject)) {
    ControlRequestScope scope(DeviceObject);
    PoStartNextPowerIrp(Irp);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
  }
  auto* ext = static_cast<FilterExtension*>(DeviceObject->DeviceExtension);
  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) {
    Irp->IoStatus.Status = status;
    PoStartNextPowerIrp(Irp);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
  }
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  status = PoCallDriver(ext->LowerDevice, Irp);
  IoReleaseRemoveLock(&ext->RemoveLock, Irp);
  return status;
}

// Completion routine of a start request sent down synchronously: wakes the
// dispatch routine and keeps the request for it.
NTSTATUS NbStartCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  if (Irp->PendingReturned) KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Completion routine of a device-usage notification: follows the lower
// device's pageable-power flag and releases the remove lock.
NTSTATUS NbUsageCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID) {
  auto* ext = static_cast<FilterExtension*>(DeviceObject->DeviceExtension);
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  if (!(ext->LowerDevice->Flags & DO_POWER_PAGABLE)) DeviceObject->Flags &= ~DO_POWER_PAGABLE;
  IoReleaseRemoveLock(&ext->RemoveLock, Irp);
  return Irp->IoStatus.Status;
}

// Forwards a PnP request with the given status; releases the remove lock.
NTSTATUS ForwardPnp(FilterExtension* Ext, PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS status = IoCallDriver(Ext->LowerDevice, Irp);
  IoReleaseRemoveLock(&Ext->RemoveLock, Irp);
  return status;
}

NTSTATUS NbDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IsControlDevice(DeviceObject)) {
    ControlRequestScope scope(DeviceObject);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
  }
  auto* ext = static_cast<FilterExtension*>(DeviceObject->DeviceExtension);
  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) return CompleteRequest(Irp, status, 0);

  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      KEVENT started;
      KeInitializeEvent(&started, NotificationEvent, FALSE);
      IoCopyCurrentIrpStackLocationToNext(Irp);
      IoSetCompletionRoutine(Irp, NbStartCompletion, &started, TRUE, TRUE, TRUE);
      status = IoCallDriver(ext->LowerDevice, Irp);
      if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&started, Executive, KernelMode, FALSE, nullptr);
        status = Irp->IoStatus.Status;
      }
      if (NT_SUCCESS(status)) {
        SetPnpState(ext, Started);
        if (ext->LowerDevice->Characteristics & FILE_REMOVABLE_MEDIA) {
          DeviceObject->Characteristics |= FILE_REMOVABLE_MEDIA;
        }
      }
      Irp->IoStatus.Status = status;
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
      IoReleaseRemoveLock(&ext->RemoveLock, Irp);
      return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
      SetPnpState(ext, StopPending);
      return ForwardPnp(ext, Irp, STATUS_SUCCESS);
    case IRP_MN_CANCEL_STOP_DEVICE:
      if (ReadNoFence(&ext->PnpState) == StopPending) RestorePnpState(ext);
      return ForwardPnp(ext, Irp, STATUS_SUCCESS);
    case IRP_MN_STOP_DEVICE:
      SetPnpState(ext, Stopped);
      return ForwardPnp(ext, Irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      SetPnpState(ext, RemovePending);
      return ForwardPnp(ext, Irp, STATUS_SUCCESS);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      if (ReadNoFence(&ext->PnpState) == RemovePending) RestorePnpState(ext);
      return ForwardPnp(ext, Irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
      SetPnpState(ext, SurpriseRemovePending);
      HookTeardown(ext);
      return ForwardPnp(ext, Irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
      HookTeardown(ext);
      IoReleaseRemoveLockAndWait(&ext->RemoveLock, Irp);
      IoSkipCurrentIrpStackLocation(Irp);
      status = IoCallDriver(ext->LowerDevice, Irp);
      SetPnpState(ext, Deleted);
      IoDetachDevice(ext->LowerDevice);
      IoDeleteDevice(DeviceObject);
      return status;
    }
    case IRP_MN_DEVICE_USAGE_NOTIFICATION: {
      if (DeviceObject->AttachedDevice == nullptr || (DeviceObject->AttachedDevice->Flags & DO_POWER_PAGABLE)) {
        DeviceObject->Flags |= DO_POWER_PAGABLE;
      }
      IoCopyCurrentIrpStackLocationToNext(Irp);
      IoSetCompletionRoutine(Irp, NbUsageCompletion, nullptr, TRUE, TRUE, TRUE);
      return IoCallDriver(ext->LowerDevice, Irp);
    }
    default:
      return ForwardPnp(ext, Irp, Irp->IoStatus.Status);
  }
}

void NbUnload(PDRIVER_OBJECT) {}  // nothing is held driver-wide

}  // namespace

//
// Add-device routine: one filter device per camera; the first camera also
// gets the control device and the two frame threads.
//
NTSTATUS NbAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  DEVICE_TYPE deviceType = FILE_DEVICE_UNKNOWN;
  if (!RtlIsNtDdiVersionAvailable(NTDDI_WINXP)) {  // before Windows XP: the type of the stack's top device
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(PhysicalDeviceObject);
    deviceType = top->DeviceType;
    ObDereferenceObject(top);
  }

  PDEVICE_OBJECT filter = nullptr;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(FilterExtension), nullptr, deviceType,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &filter);
  if (!NT_SUCCESS(status)) return status;

  auto* ext = static_cast<FilterExtension*>(filter->DeviceExtension);
  RtlZeroMemory(ext, sizeof(*ext));
  ext->IsControl = 0;

  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(filter, PhysicalDeviceObject);
  if (lower == nullptr) {
    IoDeleteDevice(filter);
    return STATUS_UNSUCCESSFUL;
  }
  ext->Pdo = PhysicalDeviceObject;
  ext->LowerDevice = lower;
  ext->Self = filter;
  filter->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
  filter->DeviceType = lower->DeviceType;
  filter->Characteristics = lower->Characteristics;

  IoInitializeRemoveLock(&ext->RemoveLock, NB_POOL_TAG, 1, 100);
  ext->PnpState = NotStarted;
  ext->PreviousPnpState = NotStarted;
  filter->Flags &= ~DO_DEVICE_INITIALIZING;

  for (ULONG i = 0; i < NB_THREAD_COUNT; ++i) KeInitializeEvent(&ext->StopEvents[i], NotificationEvent, FALSE);
  for (ULONG i = 0; i < NB_QUEUE_COUNT; ++i) {
    KeInitializeEvent(&ext->QueueEvents[i], NotificationEvent, FALSE);
    InitializeListHead(&ext->Queues[i]);
  }
  KeInitializeSpinLock(&ext->QueueLock);
  KeInitializeTimerEx(&ext->InactivityTimer, NotificationTimer);
  KeInitializeDpc(&ext->InactivityDpc, InactivityTimerDpc, ext);
  KeInitializeEvent(&ext->WorkItemsIdle, NotificationEvent, TRUE);
  ext->WorkItemsOutstanding = 0;
  ext->TimerDisabled = FALSE;
  ext->ControlDevice = nullptr;
  RtlZeroMemory(&ext->CommittedFormat, sizeof(ext->CommittedFormat));
  RtlZeroMemory(&ext->PendingFormat, sizeof(ext->PendingFormat));

  ExAcquireFastMutex(&g_ControlLock);
  status = CreateControlDevice(ext);
  ExReleaseFastMutex(&g_ControlLock);
  if (NT_SUCCESS(status)) {
    status = NbStartThreads(ext);
    if (!NT_SUCCESS(status)) {
      ExAcquireFastMutex(&g_ControlLock);
      PDEVICE_OBJECT retired = RetireControlDevice(ext);
      ExReleaseFastMutex(&g_ControlLock);
      DeleteRetiredControlDevice(retired);
      IoDetachDevice(ext->LowerDevice);
      IoDeleteDevice(filter);
      return status;
    }
  }
  // Without a control device (another camera owns it, or it could not be
  // created) this instance is a plain pass-through filter.

  CheckBreakOnEntry(ext);
  return STATUS_SUCCESS;
}

NTSTATUS NbEffectDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
  g_ControlDeviceCount = 0;
  g_LastDeletedControlDevice = nullptr;
  ExInitializeFastMutex(&g_ControlLock);
  for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) DriverObject->MajorFunction[i] = NbDispatchPassThrough;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = NbDispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = NbDispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = NbDispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = NbDispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_POWER] = NbDispatchPower;
  DriverObject->MajorFunction[IRP_MJ_PNP] = NbDispatchPnp;
  DriverObject->DriverExtension->AddDevice = NbAddDevice;
  DriverObject->DriverUnload = NbUnload;
  return STATUS_SUCCESS;
}
