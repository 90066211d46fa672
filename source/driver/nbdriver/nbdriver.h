// NBEffect: the camera upper filter driver that lends every completed video
// frame to the Zorcam program through the control device "\Device\NBeffect".
//
// Device objects:
//   filter device   one per camera, unnamed, on top of the camera's stack;
//                   passes everything down and, on the first camera only,
//                   watches the kernel-streaming requests (stream.cpp).
//   control device  at most one per system, created for the first camera;
//                   carries the frame hook requests of shared/nbhook.h.
// Both extensions start with IsControl so every handler can tell them apart.
//
// Locks, outermost first:
//   g_ControlLock (fast mutex)   control-device creation/deletion, every control
//                                request, the hook teardown on removal;
//   HookLock (spin lock)         HookOn;
//   QueueLock (spin lock)        the four queues and the two formats; never held
//                                while a request is completed, memory is copied
//                                or a buffer is mapped;
//   RemoveLock                   each filter device while a request is passed down.
#pragma once

#include "nbdriver/kernel.h"
#include "shared/nbhook.h"

// Pool tag "CVCF" (its four characters in memory order).
constexpr ULONG NB_POOL_TAG = MAKE_POOL_TAG("CVCF");

enum NB_PNP_STATE : ULONG {
  NotStarted = 0,
  Started = 1,
  StopPending = 2,
  Stopped = 3,
  RemovePending = 4,
  SurpriseRemovePending = 5,
  Deleted = 6,
};

enum NB_QUEUE_INDEX : ULONG {
  GetQueue = 0,       // pending IOCTL_HOOK_GET_FRAME requests
  PutQueue = 1,       // pending IOCTL_HOOK_PUT_FRAME requests
  WaitingFrames = 2,  // completed camera reads held, not yet lent
  LentFrames = 3,     // camera reads whose copy went to the program
  NB_QUEUE_COUNT = 4,
};

enum NB_THREAD_INDEX : ULONG {
  DeliveryThread = 0,  // FrameDeliveryThread: pairs waiting frames with GETs
  ReturnThread = 1,    // FrameReturnThread: pairs PUTs with lent frames
  NB_THREAD_COUNT = 2,
};

// The stream format: a data-format header (only the major format and
// subformat GUIDs are filled), then the frame size of the video-info header.
struct HookFormat {
  KSDATAFORMAT DataFormat;
  LONG Width;
  LONG Height;
};

struct FilterExtension {
  UCHAR IsControl;                      // 0
  PDEVICE_OBJECT Self;                  // this filter device
  PDEVICE_OBJECT Pdo;                   // physical device object of the camera
  PDEVICE_OBJECT LowerDevice;           // target of all forwarding
  volatile LONG PnpState;               // NB_PNP_STATE; read without a lock, written by the PnP handler
  volatile LONG PreviousPnpState;       // restored on cancel-stop and cancel-remove
  PDEVICE_OBJECT ControlDevice;         // the control device if this instance created it; cleared
                                        // under g_ControlLock and QueueLock before it is deleted
  PVOID Threads[NB_THREAD_COUNT];       // referenced thread objects
  KEVENT StopEvents[NB_THREAD_COUNT];   // notification: ends the matching thread
  KEVENT QueueEvents[NB_QUEUE_COUNT];   // notification: set when an entry is queued
  KTIMER InactivityTimer;               // the one-second limit
  KDPC InactivityDpc;                   // runs InactivityTimerDpc
  KSPIN_LOCK QueueLock;                 // guards Queues, CommittedFormat, PendingFormat
  LIST_ENTRY Queues[NB_QUEUE_COUNT];    // of HookIrpEntry, first in, first out
  IO_REMOVE_LOCK RemoveLock;            // held while a request is passed down
  HookFormat CommittedFormat;           // format since the stream last entered the run state
  HookFormat PendingFormat;             // format of the last successful data intersection
  // Removal stops the inactivity machinery for good before the devices go:
  // no timer is armed once TimerDisabled is set, and removal waits until no
  // inactivity work item is queued or running.
  BOOLEAN TimerDisabled;                // guarded by QueueLock
  LONG WorkItemsOutstanding;            // guarded by QueueLock
  KEVENT WorkItemsIdle;                 // notification: signalled while none is outstanding
};

struct ControlExtension {
  UCHAR IsControl;               // 1
  PDEVICE_OBJECT FilterDevice;   // the filter device that created it; control requests act on it
  volatile LONG Removed;         // 1 just before the device is deleted
  volatile UCHAR HookOn;         // 0 off, 1 on; written under HookLock, read as a hint without it
  KSPIN_LOCK HookLock;
  // Requests inside a dispatch routine of this device. The device is deleted
  // only once they have left (a request may wait for g_ControlLock while the
  // teardown holds it).
  LONG ActiveRequests;           // guarded by RequestLock
  KEVENT RequestsIdle;           // notification: signalled while ActiveRequests is 0
  KSPIN_LOCK RequestLock;
};

// One queued request (non-paged pool, NB_POOL_TAG).
struct HookIrpEntry {
  LIST_ENTRY Links;
  PIRP Irp;
  FilterExtension* Extension;
};

// Driver-wide state (driver.cpp).
extern LONG g_ControlDeviceCount;              // 0 or 1
extern FAST_MUTEX g_ControlLock;
extern PDEVICE_OBJECT g_LastDeletedControlDevice;  // requests still arriving on it are refused

// driver.cpp
NTSTATUS NbEffectDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);  // DriverEntry
NTSTATUS NbAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);

// stream.cpp: the stream watch on the filter device that owns the control device.
NTSTATUS NbStreamWatch(FilterExtension* Ext, PIRP Irp);
// stream.cpp: the four hook requests; called under g_ControlLock with the
// filter started. Returns the status the dispatch routine returns.
NTSTATUS NbHookControl(ControlExtension* Control, FilterExtension* Ext, PIRP Irp);
// stream.cpp: threads, hook state, queues.
NTSTATUS NbStartThreads(FilterExtension* Ext);
void NbStopThreads(FilterExtension* Ext);
void NbHookOff(ControlExtension* Control, FilterExtension* Ext);
// Cancels the inactivity timer for good and waits until no timer routine or
// work item of it can still run. PASSIVE_LEVEL.
void NbDisableInactivityTimer(FilterExtension* Ext);
void InactivityTimerDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
