// The kernel model's driver interface: the objects, requests and services a
// WDM driver calls, with the names, arguments and semantics drivers rely on.
//
// The model runs in user space, inside the host process. Drivers are C++
// code compiled against this header; they are loaded by the PnP manager
// (ntkernel/pnp.h) through their DriverEntry. Everything a driver calls is
// declared here; the host-side interfaces (PnP manager, I/O manager's user
// side, verifier) live in separate headers.
//
// Model notes a driver writer must know:
// - IRQL is per thread. Spin locks raise it to DISPATCH_LEVEL; DPCs and timer
//   DPCs run at DISPATCH_LEVEL on the model's DPC thread; system threads and
//   work items run at PASSIVE_LEVEL. Completion routines run at the IRQL of
//   the thread that completes the request.
// - "Structured exception handling" is C++ exceptions: ProbeForRead/Write and
//   ExRaiseStatus throw NT_EXCEPTION; guard with try { } catch (const
//   NT_EXCEPTION& e) { e.Status ... } where a driver would use __try/__except.
// - PsTerminateSystemThread unwinds the calling system thread (an exception
//   that drivers must not catch with catch (...)).
// - Services that the verifier watches take a trailing, defaulted
//   std::source_location so that a report names the caller's file and line;
//   drivers never pass it.
// - Waitable objects (KEVENT, KTIMER, thread objects) begin with a
//   DISPATCHER_HEADER; all their state changes go through one dispatcher lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <source_location>

#include "win32/guid.h"
#include "win32/types.h"

// ---------------------------------------------------------------------------
// Basic kernel types
// ---------------------------------------------------------------------------

using KIRQL = UCHAR;
using PKIRQL = KIRQL*;
using CCHAR = char;
using CSHORT = SHORT;
using ACCESS_MASK = ULONG;
using KPRIORITY = LONG;
using PULONG = ULONG*;
using PLONG = LONG*;
using PUCHAR = UCHAR*;
using PCHAR = CHAR*;
using PWSTR = wchar_t*;
using PCWSTR = const wchar_t*;
using PHANDLE = HANDLE*;
using PBOOLEAN = BOOLEAN*;
using PLARGE_INTEGER = LARGE_INTEGER*;
using PNTSTATUS = NTSTATUS*;
using PSIZE_T = SIZE_T*;
using PGUID = GUID*;
using LPCGUID = const GUID*;
using KPROCESSOR_MODE = CCHAR;
using KSPIN_LOCK = ULONG_PTR;  // 0 = free; otherwise the owner's tag (model)
using PKSPIN_LOCK = KSPIN_LOCK*;
using SECURITY_INFORMATION = ULONG;
using PSECURITY_DESCRIPTOR = PVOID;
using VOID = void;

#define IN
#define OUT
#define OPTIONAL
#define UNREFERENCED_PARAMETER(p) ((void)(p))
#define CONTAINING_RECORD(address, type, field) \
  (reinterpret_cast<type*>(reinterpret_cast<char*>(address) - offsetof(type, field)))
#define NTAPI
#define DRIVER_DISPATCH_ROUTINE NTSTATUS

constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;
constexpr KIRQL HIGH_LEVEL = 15;

constexpr KPROCESSOR_MODE KernelMode = 0;
constexpr KPROCESSOR_MODE UserMode = 1;

constexpr CCHAR IO_NO_INCREMENT = 0;
constexpr CCHAR IO_VIDEO_INCREMENT = 1;

// NTSTATUS values used by the model and its drivers that the Win32 layer lacks.
constexpr NTSTATUS STATUS_ALERTED = 0x00000101;
constexpr NTSTATUS STATUS_CONTINUE_COMPLETION = STATUS_SUCCESS;
constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = static_cast<NTSTATUS>(0x80000005u);
constexpr NTSTATUS STATUS_NO_MORE_ENTRIES = static_cast<NTSTATUS>(0x8000001Au);
constexpr NTSTATUS STATUS_INVALID_HANDLE = static_cast<NTSTATUS>(0xC0000008u);
constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = static_cast<NTSTATUS>(0xC000000Eu);
constexpr NTSTATUS STATUS_NO_MEMORY = static_cast<NTSTATUS>(0xC0000017u);
constexpr NTSTATUS STATUS_OBJECT_NAME_INVALID = static_cast<NTSTATUS>(0xC0000033u);
constexpr NTSTATUS STATUS_OBJECT_TYPE_MISMATCH = static_cast<NTSTATUS>(0xC0000024u);
constexpr NTSTATUS STATUS_DEVICE_NOT_READY = static_cast<NTSTATUS>(0xC00000A3u);
constexpr NTSTATUS STATUS_DATATYPE_MISALIGNMENT = static_cast<NTSTATUS>(0x80000002u);
constexpr NTSTATUS STATUS_DEVICE_BUSY = static_cast<NTSTATUS>(0x80000011u);
constexpr NTSTATUS STATUS_NOT_FOUND = static_cast<NTSTATUS>(0xC0000225u);
constexpr NTSTATUS STATUS_DEVICE_NOT_CONNECTED = static_cast<NTSTATUS>(0xC000009Du);
constexpr NTSTATUS STATUS_INVALID_DEVICE_STATE = static_cast<NTSTATUS>(0xC0000184u);
constexpr NTSTATUS STATUS_OBJECT_PATH_NOT_FOUND = static_cast<NTSTATUS>(0xC000003Au);
constexpr NTSTATUS STATUS_INVALID_BUFFER_SIZE = static_cast<NTSTATUS>(0xC0000206u);
constexpr bool NT_INFORMATION(NTSTATUS s) { return (static_cast<ULONG>(s) >> 30) == 1; }
constexpr bool NT_WARNING(NTSTATUS s) { return (static_cast<ULONG>(s) >> 30) == 2; }
constexpr bool NT_ERROR(NTSTATUS s) { return (static_cast<ULONG>(s) >> 30) == 3; }

// The exception that ProbeForRead/ProbeForWrite/ExRaiseStatus throw.
struct NT_EXCEPTION {
  NTSTATUS Status;
};
[[noreturn]] void ExRaiseStatus(NTSTATUS status);

// ---------------------------------------------------------------------------
// Strings and lists
// ---------------------------------------------------------------------------

struct UNICODE_STRING {
  USHORT Length;         // bytes, without terminator
  USHORT MaximumLength;  // bytes
  PWSTR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;

void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive);

struct LIST_ENTRY {
  LIST_ENTRY* Flink;
  LIST_ENTRY* Blink;
};
using PLIST_ENTRY = LIST_ENTRY*;

inline void InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
inline BOOLEAN IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry) {
  PLIST_ENTRY next = entry->Flink;
  PLIST_ENTRY prev = entry->Blink;
  prev->Flink = next;
  next->Blink = prev;
  return next == prev;
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Flink;
  RemoveEntryList(entry);
  return entry;
}
inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Blink;
  RemoveEntryList(entry);
  return entry;
}
inline void InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY last = head->Blink;
  entry->Flink = head;
  entry->Blink = last;
  last->Flink = entry;
  head->Blink = entry;
}
inline void InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY first = head->Flink;
  entry->Flink = first;
  entry->Blink = head;
  first->Blink = entry;
  head->Flink = entry;
}

inline void RtlZeroMemory(void* d, SIZE_T n) { __builtin_memset(d, 0, n); }
inline void RtlCopyMemory(void* d, const void* s, SIZE_T n) { __builtin_memcpy(d, s, n); }
inline void RtlMoveMemory(void* d, const void* s, SIZE_T n) { __builtin_memmove(d, s, n); }
inline void RtlFillMemory(void* d, SIZE_T n, UCHAR fill) { __builtin_memset(d, fill, n); }
SIZE_T RtlCompareMemory(const void* a, const void* b, SIZE_T n);  // bytes that match

// ---------------------------------------------------------------------------
// IRQL, spin locks, the cancel spin lock
// ---------------------------------------------------------------------------

KIRQL KeGetCurrentIrql();
void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql);
void KeLowerIrql(KIRQL newIrql);
KIRQL KeRaiseIrqlToDpcLevel();

void KeInitializeSpinLock(PKSPIN_LOCK lock);
// Raises to DISPATCH_LEVEL and acquires; acquiring a lock the thread already
// holds is reported by the verifier (it would deadlock).
void KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql, std::source_location where = std::source_location::current());
void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql);
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock, std::source_location where = std::source_location::current());
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock);

// The system-wide cancel spin lock. Cancel routines are called with it held
// and must release it with IoReleaseCancelSpinLock(Irp->CancelIrql).
void IoAcquireCancelSpinLock(PKIRQL irql, std::source_location where = std::source_location::current());
void IoReleaseCancelSpinLock(KIRQL irql);

// ---------------------------------------------------------------------------
// Dispatcher objects: events, timers, thread objects; waits
// ---------------------------------------------------------------------------

enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };
enum TIMER_TYPE { NotificationTimer = 0, SynchronizationTimer = 1 };
enum KWAIT_REASON { Executive = 0, UserRequest = 6, Suspended = 5 };
enum WAIT_TYPE { WaitAll = 0, WaitAny = 1 };

// Type codes of DISPATCHER_HEADER::Type.
constexpr UCHAR DISPATCHER_NOTIFICATION_EVENT = 0;
constexpr UCHAR DISPATCHER_SYNCHRONIZATION_EVENT = 1;
constexpr UCHAR DISPATCHER_THREAD = 6;
constexpr UCHAR DISPATCHER_NOTIFICATION_TIMER = 8;
constexpr UCHAR DISPATCHER_SYNCHRONIZATION_TIMER = 9;

// Guarded by the model's dispatcher lock; drivers never touch it directly.
struct DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Inserted;  // timers: queued on the timer list
  UCHAR Reserved[2];
  LONG SignalState;
};

struct KEVENT {
  DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT*;
using PRKEVENT = KEVENT*;

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
// Returns the previous state. `wait` is accepted and ignored.
LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait);
void KeClearEvent(PRKEVENT event);
LONG KeResetEvent(PRKEVENT event);  // previous state
LONG KeReadStateEvent(PRKEVENT event);

struct KDPC;
using PKDPC = KDPC*;
using PRKDPC = KDPC*;
using PKDEFERRED_ROUTINE = void (*)(PKDPC dpc, PVOID deferredContext, PVOID systemArgument1, PVOID systemArgument2);

struct KDPC {
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  std::atomic<UCHAR> Queued;  // 1 while on the DPC queue (model bookkeeping)
};

void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context);
// FALSE if the DPC was already queued (it then runs once).
BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID systemArgument1, PVOID systemArgument2);
BOOLEAN KeRemoveQueueDpc(PRKDPC dpc);
// Waits until every DPC queued before the call has run. PASSIVE_LEVEL only.
void KeFlushQueuedDpcs();

struct KTIMER {
  DISPATCHER_HEADER Header;
  LONGLONG DueTime;  // model: expiry on the model's monotonic clock, 100 ns units
  LONG Period;       // milliseconds, 0 = one-shot
  PKDPC Dpc;
};
using PKTIMER = KTIMER*;

void KeInitializeTimer(PKTIMER timer);  // notification timer
void KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type);
// dueTime < 0: relative, in 100 ns units; > 0: absolute system time (as
// KeQuerySystemTime); 0: at once. Resets the signal state. Returns TRUE if
// the timer was already set (it is then re-armed).
BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc);
BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG periodMs, PKDPC dpc);
BOOLEAN KeCancelTimer(PKTIMER timer);  // TRUE if it was set
BOOLEAN KeReadStateTimer(PKTIMER timer);

// Thread objects (from ObReferenceObjectByHandle on a system-thread handle)
// are waitable: signalled when the thread has terminated.
struct _KTHREAD;
using PKTHREAD = _KTHREAD*;
using PETHREAD = _KTHREAD*;
using PRKTHREAD = _KTHREAD*;

struct KWAIT_BLOCK {
  PVOID Reserved[4];
};
using PKWAIT_BLOCK = KWAIT_BLOCK*;
constexpr ULONG THREAD_WAIT_OBJECTS = 3;

// timeout: nullptr = no limit; negative relative 100 ns; 0 = test only.
// Returns STATUS_WAIT_0 (+ index) or STATUS_TIMEOUT. A wait with a timeout
// other than 0 at DISPATCH_LEVEL or above is reported by the verifier.
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                               PLARGE_INTEGER timeout, std::source_location where = std::source_location::current());
NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID objects[], WAIT_TYPE waitType, KWAIT_REASON reason,
                                  KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER timeout,
                                  PKWAIT_BLOCK waitBlockArray,
                                  std::source_location where = std::source_location::current());
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER interval);
void KeStallExecutionProcessor(ULONG microseconds);
void KeQuerySystemTime(PLARGE_INTEGER currentTime);  // 100 ns units since 1601
ULONGLONG KeQueryInterruptTime();                    // 100 ns units since an arbitrary start
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER frequency);

// Fast mutexes: PASSIVE/APC level only; acquiring raises to APC_LEVEL.
// Taking one at DISPATCH_LEVEL (e.g. in a DPC) is reported by the verifier.
struct FAST_MUTEX {
  std::atomic<LONG> Count;    // 1 = free (model)
  std::atomic<PVOID> Owner;   // owning thread tag
  KIRQL OldIrql;
  KEVENT Event;               // waiters
};
using PFAST_MUTEX = FAST_MUTEX*;
void ExInitializeFastMutex(PFAST_MUTEX mutex);
void ExAcquireFastMutex(PFAST_MUTEX mutex, std::source_location where = std::source_location::current());
void ExReleaseFastMutex(PFAST_MUTEX mutex);
BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX mutex, std::source_location where = std::source_location::current());

// ---------------------------------------------------------------------------
// Pool
// ---------------------------------------------------------------------------

enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolMustSucceed = 2, NonPagedPoolNx = 512 };

// Memory owned by the calling driver (the driver whose code is running on
// this thread); not zeroed, as on Windows (ExAllocatePool2 zeroes). The tag is four characters in memory order; build it with
// MAKE_POOL_TAG("CVCF") (multi-character literals warn in our builds). Pool
// still allocated by a driver when it is unloaded is reported by the verifier
// with its tag.
constexpr ULONG MAKE_POOL_TAG(const char (&text)[5]) {
  return static_cast<ULONG>(static_cast<UCHAR>(text[0])) | (static_cast<ULONG>(static_cast<UCHAR>(text[1])) << 8) |
         (static_cast<ULONG>(static_cast<UCHAR>(text[2])) << 16) |
         (static_cast<ULONG>(static_cast<UCHAR>(text[3])) << 24);
}
PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag);
PVOID ExAllocatePool2(ULONGLONG flags, SIZE_T bytes, ULONG tag);  // flags: POOL_FLAG_*
constexpr ULONGLONG POOL_FLAG_NON_PAGED = 0x40;
constexpr ULONGLONG POOL_FLAG_PAGED = 0x100;
void ExFreePoolWithTag(PVOID p, ULONG tag, std::source_location where = std::source_location::current());
void ExFreePool(PVOID p);

// ---------------------------------------------------------------------------
// Objects: drivers, devices, files
// ---------------------------------------------------------------------------

struct DRIVER_OBJECT;
struct DEVICE_OBJECT;
struct IRP;
struct FILE_OBJECT;
struct MDL;
using PDRIVER_OBJECT = DRIVER_OBJECT*;
using PDEVICE_OBJECT = DEVICE_OBJECT*;
using PIRP = IRP*;
using PFILE_OBJECT = FILE_OBJECT*;
using PMDL = MDL*;

using PDRIVER_DISPATCH = NTSTATUS (*)(PDEVICE_OBJECT deviceObject, PIRP irp);
using PDRIVER_ADD_DEVICE = NTSTATUS (*)(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject);
using PDRIVER_UNLOAD = void (*)(PDRIVER_OBJECT driverObject);
using PDRIVER_INITIALIZE = NTSTATUS (*)(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
using PDRIVER_CANCEL = void (*)(PDEVICE_OBJECT deviceObject, PIRP irp);
using PIO_COMPLETION_ROUTINE = NTSTATUS (*)(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);

// Major functions.
constexpr UCHAR IRP_MJ_CREATE = 0x00;
constexpr UCHAR IRP_MJ_CLOSE = 0x02;
constexpr UCHAR IRP_MJ_READ = 0x03;
constexpr UCHAR IRP_MJ_WRITE = 0x04;
constexpr UCHAR IRP_MJ_FLUSH_BUFFERS = 0x09;
constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0e;
constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0f;
constexpr UCHAR IRP_MJ_SHUTDOWN = 0x10;
constexpr UCHAR IRP_MJ_CLEANUP = 0x12;
constexpr UCHAR IRP_MJ_POWER = 0x16;
constexpr UCHAR IRP_MJ_SYSTEM_CONTROL = 0x17;
constexpr UCHAR IRP_MJ_PNP = 0x1b;
constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1b;

// PnP minor functions.
constexpr UCHAR IRP_MN_START_DEVICE = 0x00;
constexpr UCHAR IRP_MN_QUERY_REMOVE_DEVICE = 0x01;
constexpr UCHAR IRP_MN_REMOVE_DEVICE = 0x02;
constexpr UCHAR IRP_MN_CANCEL_REMOVE_DEVICE = 0x03;
constexpr UCHAR IRP_MN_STOP_DEVICE = 0x04;
constexpr UCHAR IRP_MN_QUERY_STOP_DEVICE = 0x05;
constexpr UCHAR IRP_MN_CANCEL_STOP_DEVICE = 0x06;
constexpr UCHAR IRP_MN_QUERY_DEVICE_RELATIONS = 0x07;
constexpr UCHAR IRP_MN_QUERY_CAPABILITIES = 0x09;
constexpr UCHAR IRP_MN_DEVICE_USAGE_NOTIFICATION = 0x16;
constexpr UCHAR IRP_MN_SURPRISE_REMOVAL = 0x17;

// Power minor functions and types.
constexpr UCHAR IRP_MN_WAIT_WAKE = 0x00;
constexpr UCHAR IRP_MN_POWER_SEQUENCE = 0x01;
constexpr UCHAR IRP_MN_SET_POWER = 0x02;
constexpr UCHAR IRP_MN_QUERY_POWER = 0x03;
enum POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState = 1 };
enum DEVICE_POWER_STATE { PowerDeviceUnspecified = 0, PowerDeviceD0, PowerDeviceD1, PowerDeviceD2, PowerDeviceD3 };
enum SYSTEM_POWER_STATE { PowerSystemUnspecified = 0, PowerSystemWorking, PowerSystemSleeping1 = 2,
                          PowerSystemSleeping3 = 4, PowerSystemHibernate = 5, PowerSystemShutdown = 6 };
union POWER_STATE {
  SYSTEM_POWER_STATE SystemState;
  DEVICE_POWER_STATE DeviceState;
};
enum DEVICE_USAGE_NOTIFICATION_TYPE { DeviceUsageTypeUndefined = 0, DeviceUsageTypePaging, DeviceUsageTypeHibernation,
                                      DeviceUsageTypeDumpFile };

// Device types and characteristics.
using DEVICE_TYPE = ULONG;
constexpr DEVICE_TYPE FILE_DEVICE_UNKNOWN = 0x22;
constexpr DEVICE_TYPE FILE_DEVICE_KS = 0x2f;
constexpr ULONG FILE_REMOVABLE_MEDIA = 0x00000001;
constexpr ULONG FILE_DEVICE_SECURE_OPEN = 0x00000100;
constexpr ULONG FILE_AUTOGENERATED_DEVICE_NAME = 0x00000080;

// Device flags.
constexpr ULONG DO_VERIFY_VOLUME = 0x00000002;
constexpr ULONG DO_BUFFERED_IO = 0x00000004;
constexpr ULONG DO_EXCLUSIVE = 0x00000008;
constexpr ULONG DO_DIRECT_IO = 0x00000010;
constexpr ULONG DO_DEVICE_HAS_NAME = 0x00000040;
constexpr ULONG DO_DEVICE_INITIALIZING = 0x00000080;
constexpr ULONG DO_POWER_PAGABLE = 0x00002000;
constexpr ULONG DO_POWER_INRUSH = 0x00004000;

// Control codes.
constexpr ULONG METHOD_BUFFERED = 0;
constexpr ULONG METHOD_IN_DIRECT = 1;
constexpr ULONG METHOD_OUT_DIRECT = 2;
constexpr ULONG METHOD_NEITHER = 3;
constexpr ULONG FILE_ANY_ACCESS = 0;
constexpr ULONG FILE_READ_ACCESS = 1;
constexpr ULONG FILE_WRITE_ACCESS = 2;
constexpr ULONG CTL_CODE(ULONG deviceType, ULONG function, ULONG method, ULONG access) {
  return (deviceType << 16) | (access << 14) | (function << 2) | method;
}
constexpr ULONG METHOD_FROM_CTL_CODE(ULONG code) { return code & 3; }
constexpr ULONG DEVICE_TYPE_FROM_CTL_CODE(ULONG code) { return (code & 0xffff0000u) >> 16; }

// Access rights.
constexpr ACCESS_MASK DELETE = 0x00010000;
constexpr ACCESS_MASK SYNCHRONIZE = 0x00100000;
constexpr ACCESS_MASK THREAD_ALL_ACCESS = 0x001FFFFF;
constexpr ACCESS_MASK KEY_READ = 0x20019;
constexpr ACCESS_MASK KEY_ALL_ACCESS = 0xF003F;

struct DRIVER_EXTENSION {
  PDRIVER_OBJECT DriverObject;
  PDRIVER_ADD_DEVICE AddDevice;
  UNICODE_STRING ServiceKeyName;
};
using PDRIVER_EXTENSION = DRIVER_EXTENSION*;

struct DRIVER_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;  // list of this driver's devices through NextDevice
  ULONG Flags;
  PDRIVER_EXTENSION DriverExtension;
  UNICODE_STRING DriverName;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

// Model bookkeeping of a device (name, attachment, security); opaque.
struct DEVOBJ_EXTENSION;

struct DEVICE_OBJECT {
  CSHORT Type;
  USHORT Size;
  LONG ReferenceCount;
  PDRIVER_OBJECT DriverObject;
  PDEVICE_OBJECT NextDevice;
  PDEVICE_OBJECT AttachedDevice;  // device attached on top of this one
  PIRP CurrentIrp;
  ULONG Flags;
  ULONG Characteristics;
  PVOID DeviceExtension;  // zeroed, 16-byte aligned, owned by the model
  DEVICE_TYPE DeviceType;
  CCHAR StackSize;        // stack locations a request to this device needs
  ULONG AlignmentRequirement;
  DEVOBJ_EXTENSION* DeviceObjectExtension;
};

// File objects: one per CreateFileW; FsContext/FsContext2 are the driver's.
struct FILE_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;
  PVOID FsContext;
  PVOID FsContext2;
  ACCESS_MASK GrantedAccess;
};

// ---------------------------------------------------------------------------
// MDLs
// ---------------------------------------------------------------------------

constexpr CSHORT MDL_MAPPED_TO_SYSTEM_VA = 0x0001;
constexpr CSHORT MDL_PAGES_LOCKED = 0x0002;
constexpr CSHORT MDL_SOURCE_IS_NONPAGED_POOL = 0x0004;

enum MM_PAGE_PRIORITY { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 };
constexpr ULONG MdlMappingNoExecute = 0x40000000;
enum MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 };

// A memory descriptor list. In the model every MDL describes memory of the
// model (never the caller's), so MappedSystemVa is always the buffer.
struct MDL {
  MDL* Next;
  CSHORT Size;
  CSHORT MdlFlags;
  PVOID MappedSystemVa;
  PVOID StartVa;
  ULONG ByteCount;
  ULONG ByteOffset;
};

PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN chargeQuota, PIRP irp);
void IoFreeMdl(PMDL mdl);
void MmBuildMdlForNonPagedPool(PMDL mdl);
inline ULONG MmGetMdlByteCount(const MDL* mdl) { return mdl->ByteCount; }
inline PVOID MmGetMdlVirtualAddress(const MDL* mdl) {
  return static_cast<char*>(mdl->StartVa) + mdl->ByteOffset;
}
// nullptr if the MDL cannot be mapped (the model never fails a valid MDL).
PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG priority);
PVOID MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE mode, MEMORY_CACHING_TYPE cacheType, PVOID baseAddress,
                                   ULONG bugCheckOnFailure, ULONG priority);

// ---------------------------------------------------------------------------
// IRPs and stack locations
// ---------------------------------------------------------------------------

struct IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
};
using PIO_STATUS_BLOCK = IO_STATUS_BLOCK*;

// Stack location Control bits.
constexpr UCHAR SL_PENDING_RETURNED = 0x01;
constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;

struct IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      ACCESS_MASK DesiredAccess;
      ULONG Options;
      USHORT FileAttributes;
      USHORT ShareAccess;
    } Create;
    struct {
      ULONG Length;
      ULONG Key;
      LARGE_INTEGER ByteOffset;
    } Read;
    struct {
      ULONG Length;
      ULONG Key;
      LARGE_INTEGER ByteOffset;
    } Write;
    struct {
      ULONG OutputBufferLength;
      ULONG InputBufferLength;
      ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      BOOLEAN InPath;
      BOOLEAN Reserved[3];
      DEVICE_USAGE_NOTIFICATION_TYPE Type;
    } UsageNotification;
    struct {
      ULONG SystemContext;
      POWER_STATE_TYPE Type;
      POWER_STATE State;
      ULONG ShutdownType;
    } Power;
    struct {
      PVOID AllocatedResources;
      PVOID AllocatedResourcesTranslated;
    } StartDevice;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
};
using PIO_STACK_LOCATION = IO_STACK_LOCATION*;

// Model bookkeeping of a request (owner, user buffers, verifier state); opaque.
struct IRP_MODEL_STATE;

struct IRP {
  CSHORT Type;
  USHORT Size;
  PMDL MdlAddress;
  ULONG Flags;
  union {
    PIRP MasterIrp;
    PVOID SystemBuffer;  // METHOD_BUFFERED: max(input, output) bytes, input copied in
  } AssociatedIrp;
  LIST_ENTRY ThreadListEntry;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CHAR StackCount;
  CHAR CurrentLocation;  // StackCount + 1 before the first IoCallDriver
  std::atomic<BOOLEAN> Cancel;
  KIRQL CancelIrql;
  std::atomic<PDRIVER_CANCEL> CancelRoutine;  // use IoSetCancelRoutine
  PVOID UserBuffer;  // METHOD_NEITHER output buffer
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  struct {
    struct {
      PVOID DriverContext[4];
      LIST_ENTRY ListEntry;  // free for the current owner of the request
      PIO_STACK_LOCATION CurrentStackLocation;
      PFILE_OBJECT OriginalFileObject;
    } Overlay;
  } Tail;
  IRP_MODEL_STATE* ModelState;
};

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation; }
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation - 1; }
inline void IoSkipCurrentIrpStackLocation(PIRP irp) {
  irp->CurrentLocation++;
  irp->Tail.Overlay.CurrentStackLocation++;
}
inline void IoSetNextIrpStackLocation(PIRP irp) {
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
}
// Copies everything but the completion routine, its context and Control.
void IoCopyCurrentIrpStackLocationToNext(PIRP irp);
inline void IoMarkIrpPending(PIRP irp) { IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED; }
void IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context, BOOLEAN invokeOnSuccess,
                            BOOLEAN invokeOnError, BOOLEAN invokeOnCancel);
// Atomic exchange; returns the previous routine.
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine) { return irp->CancelRoutine.exchange(routine); }

// Passes the request to `device`: moves to the next stack location, records
// the device there and calls its driver's dispatch routine. A request with no
// stack location left is reported by the verifier.
NTSTATUS IoCallDriver(PDEVICE_OBJECT device, PIRP irp, std::source_location where = std::source_location::current());
// Completes the request: runs the completion routines bottom to top (stopping
// at STATUS_MORE_PROCESSING_REQUIRED), propagating pending marks, then
// finishes it for its issuer. The verifier reports a request completed twice,
// completed with a cancel routine set, completed with STATUS_PENDING, or
// completed while the thread holds a spin lock.
void IoCompleteRequest(PIRP irp, CCHAR priorityBoost, std::source_location where = std::source_location::current());
// Sets Cancel, takes the cancel routine (atomic exchange) and, if there was
// one, calls it with the cancel spin lock held. TRUE if a routine was called.
BOOLEAN IoCancelIrp(PIRP irp);

// Requests a driver builds itself. IoAllocateIrp requests are the driver's:
// its completion routine returns STATUS_MORE_PROCESSING_REQUIRED and frees
// them with IoFreeIrp.
PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota);
void IoFreeIrp(PIRP irp);
void IoReuseIrp(PIRP irp, NTSTATUS status);
// A METHOD_BUFFERED/NEITHER device-control request completed by the model:
// output copied back, *ioStatus set, event signalled, request freed.
PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT device, PVOID inputBuffer,
                                   ULONG inputBufferLength, PVOID outputBuffer, ULONG outputBufferLength,
                                   BOOLEAN internalDeviceIoControl, PKEVENT event, PIO_STATUS_BLOCK ioStatusBlock);

// ---------------------------------------------------------------------------
// Devices: creation, names, attachment
// ---------------------------------------------------------------------------

// Creates a device of `driver` with a zeroed extension. DO_DEVICE_INITIALIZING
// is set until the driver clears it; StackSize is 1. A named device collides
// with STATUS_OBJECT_NAME_COLLISION.
NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, DEVICE_TYPE type,
                        ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT* device);
// As IoCreateDevice; records the SDDL string and the class GUID on the device
// (visible to tests through ntkernel::QueryDeviceSecurity).
NTSTATUS IoCreateDeviceSecure(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, DEVICE_TYPE type,
                              ULONG characteristics, BOOLEAN exclusive, PCUNICODE_STRING defaultSddlString,
                              LPCGUID deviceClassGuid, PDEVICE_OBJECT* device);
// Removes the device's name and links it from its driver's list; the memory
// goes when the last reference is dropped. A request still outstanding on the
// device is reported by the verifier, as are timers and DPCs still queued
// inside its extension.
void IoDeleteDevice(PDEVICE_OBJECT device, std::source_location where = std::source_location::current());
// Attaches `source` on top of the stack that contains `target`; returns the
// device it was attached to (the previous top), or nullptr.
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target);
NTSTATUS IoAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT source, PDEVICE_OBJECT target, PDEVICE_OBJECT* attachedTo);
void IoDetachDevice(PDEVICE_OBJECT targetDevice);  // the device below the caller's
PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT device);           // top of the stack
PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT device);  // top, referenced
PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT device);        // referenced, or nullptr
void ObReferenceObject(PVOID object);    // device or thread object
void ObDereferenceObject(PVOID object);  // device or thread object
#define ObDereferenceObjectWithTag(o, t) ObDereferenceObject(o)

// Symbolic links in the object namespace: "\DosDevices\NAME" (also
// "\??\NAME") naming a "\Device\..." name. User mode opens "\\.\NAME".
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING symbolicLinkName, PUNICODE_STRING deviceName);
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING symbolicLinkName);

// Security descriptors (the fallback path of secure device creation).
NTSTATUS SeSddlSecurityDescriptorFromSDDL(PCUNICODE_STRING sddl, BOOLEAN ignored, PSECURITY_DESCRIPTOR* descriptor);
NTSTATUS ObSetSecurityObjectByPointer(PVOID object, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor);
constexpr SECURITY_INFORMATION DACL_SECURITY_INFORMATION = 4;

// Run-time lookup of a system routine by name ("IoCreateDeviceSecure", ...);
// nullptr for a routine the system lacks.
PVOID MmGetSystemRoutineAddress(PUNICODE_STRING systemRoutineName);

// Version check: the model reports a recent system.
constexpr ULONG NTDDI_WIN2K = 0x05000000;
constexpr ULONG NTDDI_WINXP = 0x05010000;
constexpr ULONG NTDDI_WIN7 = 0x06010000;
BOOLEAN RtlIsNtDdiVersionAvailable(ULONG version);

// ---------------------------------------------------------------------------
// Remove locks
// ---------------------------------------------------------------------------

struct IO_REMOVE_LOCK {
  std::atomic<BOOLEAN> Removed;
  std::atomic<LONG> IoCount;  // 1 (the bias) + holders
  KEVENT RemoveEvent;         // signalled when IoCount reaches 0
  ULONG AllocateTag;
  ULONG MaxLockedMinutes;
  ULONG HighWatermark;
};
using PIO_REMOVE_LOCK = IO_REMOVE_LOCK*;

void IoInitializeRemoveLock(PIO_REMOVE_LOCK lock, ULONG allocateTag, ULONG maxLockedMinutes, ULONG highWatermark);
// STATUS_SUCCESS, or STATUS_DELETE_PENDING once IoReleaseRemoveLockAndWait ran.
NTSTATUS IoAcquireRemoveLock(PIO_REMOVE_LOCK lock, PVOID tag);
// A release without a matching acquire is reported by the verifier.
void IoReleaseRemoveLock(PIO_REMOVE_LOCK lock, PVOID tag, std::source_location where = std::source_location::current());
// The caller holds one acquisition: marks the lock removed, releases it and
// waits until every other holder has released.
void IoReleaseRemoveLockAndWait(PIO_REMOVE_LOCK lock, PVOID tag,
                                std::source_location where = std::source_location::current());

// ---------------------------------------------------------------------------
// Work items, system threads
// ---------------------------------------------------------------------------

enum WORK_QUEUE_TYPE { CriticalWorkQueue = 0, DelayedWorkQueue = 1 };
struct IO_WORKITEM;
using PIO_WORKITEM = IO_WORKITEM*;
using PIO_WORKITEM_ROUTINE = void (*)(PDEVICE_OBJECT deviceObject, PVOID context);

// The work item holds a reference on the device while queued. The routine
// runs at PASSIVE_LEVEL on the queue's worker thread.
PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT device);
void IoFreeWorkItem(PIO_WORKITEM item);
void IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queueType, PVOID context);

struct OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
};
using POBJECT_ATTRIBUTES = OBJECT_ATTRIBUTES*;
constexpr ULONG OBJ_KERNEL_HANDLE = 0x00000200;
constexpr ULONG OBJ_CASE_INSENSITIVE = 0x00000040;
inline void InitializeObjectAttributes(POBJECT_ATTRIBUTES p, PUNICODE_STRING name, ULONG attributes, HANDLE root,
                                       PVOID securityDescriptor) {
  p->Length = sizeof(OBJECT_ATTRIBUTES);
  p->RootDirectory = root;
  p->ObjectName = name;
  p->Attributes = attributes;
  p->SecurityDescriptor = securityDescriptor;
  p->SecurityQualityOfService = nullptr;
}
struct CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
};
using PCLIENT_ID = CLIENT_ID*;
using PKSTART_ROUTINE = void (*)(PVOID startContext);

struct OBJECT_TYPE;
using POBJECT_TYPE = OBJECT_TYPE*;
extern POBJECT_TYPE* PsThreadType;
struct OBJECT_HANDLE_INFORMATION {
  ULONG HandleAttributes;
  ACCESS_MASK GrantedAccess;
};
using POBJECT_HANDLE_INFORMATION = OBJECT_HANDLE_INFORMATION*;

// Starts a system thread at PASSIVE_LEVEL running `startRoutine`; *threadHandle
// is a kernel handle (close it with ZwClose). The thread ends when the routine
// returns or calls PsTerminateSystemThread.
NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                              HANDLE processHandle, PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine,
                              PVOID startContext);
[[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus);
// Thread handles only: *object is the referenced thread object (PETHREAD).
NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE objectType,
                                   KPROCESSOR_MODE accessMode, PVOID* object,
                                   POBJECT_HANDLE_INFORMATION handleInformation);
NTSTATUS ZwClose(HANDLE handle);
PKTHREAD KeGetCurrentThread();
KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority);

// ---------------------------------------------------------------------------
// Caller buffers, registry, debugger, power
// ---------------------------------------------------------------------------

// Throws NT_EXCEPTION{STATUS_ACCESS_VIOLATION} unless [address, address +
// length) lies inside a buffer that the current request's issuer passed (the
// model's "user address space"); STATUS_DATATYPE_MISALIGNMENT for a bad
// alignment. A zero length never throws.
void ProbeForRead(const volatile void* address, SIZE_T length, ULONG alignment);
void ProbeForWrite(volatile void* address, SIZE_T length, ULONG alignment);

// The driver ("software") key of a device, kept by the PnP manager.
constexpr ULONG PLUGPLAY_REGKEY_DEVICE = 1;
constexpr ULONG PLUGPLAY_REGKEY_DRIVER = 2;
constexpr ULONG REG_NONE = 0;
constexpr ULONG REG_SZ = 1;
constexpr ULONG REG_BINARY = 3;
constexpr ULONG REG_DWORD = 4;
enum KEY_VALUE_INFORMATION_CLASS { KeyValueBasicInformation = 0, KeyValueFullInformation = 1,
                                   KeyValuePartialInformation = 2 };
struct KEY_VALUE_PARTIAL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataLength;
  UCHAR Data[1];
};
using PKEY_VALUE_PARTIAL_INFORMATION = KEY_VALUE_PARTIAL_INFORMATION*;

// `device` must be a physical device object known to the PnP manager.
NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT device, ULONG devInstKeyType, ACCESS_MASK desiredAccess,
                                 PHANDLE key);
// KeyValuePartialInformation only. STATUS_OBJECT_NAME_NOT_FOUND for a missing
// value, STATUS_BUFFER_TOO_SMALL / STATUS_BUFFER_OVERFLOW as on Windows.
NTSTATUS ZwQueryValueKey(HANDLE key, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS keyValueInformationClass,
                         PVOID keyValueInformation, ULONG length, PULONG resultLength);

// Breaks into the kernel debugger: calls the hook tests install
// (ntkernel::SetDebugBreakHook); without a hook it only counts the break.
void DbgBreakPoint();
ULONG DbgPrint(const char* format, ...);
#define KdBreakPoint() DbgBreakPoint()
#define KdPrint(x) ((void)0)

// Power requests: a filter calls PoStartNextPowerIrp and passes the request
// on with PoCallDriver (same semantics as IoCallDriver in the model).
void PoStartNextPowerIrp(PIRP irp);
NTSTATUS PoCallDriver(PDEVICE_OBJECT device, PIRP irp, std::source_location where = std::source_location::current());
POWER_STATE PoSetPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state);
