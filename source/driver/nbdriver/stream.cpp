// NBEffect: the stream watch, the four frame queues, FrameDeliveryThread and
// FrameReturnThread, the inactivity timer and the four hook requests.
//
// Ownership of a queued request: whoever clears its cancel routine (an atomic
// exchange) owns it and completes it; everyone else only frees the queue
// entry it unlinked. QueueLock is never held while a request is completed,
// memory is copied or a buffer is mapped.
#include "nbdriver/nbdriver.h"
#include "nbdriver/test_hooks.h"

void (*g_NbDeliverBetweenLocksHook)(FilterExtension* Ext) = nullptr;

namespace {

constexpr ULONG kHeaderSize = static_cast<ULONG>(HOOK_HEADER_SIZE);
constexpr ULONG kMaxWaitingFrames = 30;
constexpr LONGLONG kInactivityLimit = -10000000LL;  // one second, relative, 100 ns units

void CancelGetRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void CancelQueuedRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);

PDRIVER_CANCEL CancelRoutineOf(ULONG Queue) { return Queue == GetQueue ? CancelGetRequest : CancelQueuedRequest; }

// The filter extension a cancel routine works on: the control device's
// requests act on the filter that created it.
FilterExtension* FilterOf(PDEVICE_OBJECT DeviceObject) {
  auto* ext = static_cast<UCHAR*>(DeviceObject->DeviceExtension);
  if (*ext != 0) {
    auto* control = reinterpret_cast<ControlExtension*>(ext);
    return static_cast<FilterExtension*>(control->FilterDevice->DeviceExtension);
  }
  return reinterpret_cast<FilterExtension*>(ext);
}

HookIrpEntry* AllocateEntry(FilterExtension* Ext, PIRP Irp) {
  auto* entry = static_cast<HookIrpEntry*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(HookIrpEntry), NB_POOL_TAG));
  if (entry != nullptr) {
    entry->Irp = Irp;
    entry->Extension = Ext;
  }
  return entry;
}

void FreeEntry(HookIrpEntry* Entry) { ExFreePoolWithTag(Entry, NB_POOL_TAG); }

void CompleteWith(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// Arms the one-second inactivity timer unless removal has disabled it.
void ArmInactivityTimer(FilterExtension* Ext) {
  KIRQL irql;
  KeAcquireSpinLock(&Ext->QueueLock, &irql);
  if (!Ext->TimerDisabled) {
    LARGE_INTEGER due;
    due.QuadPart = kInactivityLimit;
    KeSetTimer(&Ext->InactivityTimer, due, &Ext->InactivityDpc);
  }
  KeReleaseSpinLock(&Ext->QueueLock, irql);
}

// Hook state as the frame path sees it. Called with QueueLock held: the
// control device is cleared under that lock before it is deleted, so its
// extension is valid here.
BOOLEAN HookOnLocked(FilterExtension* Ext) {
  PDEVICE_OBJECT control = Ext->ControlDevice;
  if (control == nullptr) return FALSE;
  return ReadUCharNoFence(&static_cast<ControlExtension*>(control->DeviceExtension)->HookOn) != 0;
}

BOOLEAN HookOnHint(FilterExtension* Ext) {
  KIRQL irql;
  KeAcquireSpinLock(&Ext->QueueLock, &irql);
  BOOLEAN on = HookOnLocked(Ext);
  KeReleaseSpinLock(&Ext->QueueLock, irql);
  return on;
}

// Appends the entry and installs the queue's cancel routine. FALSE when the
// request had been cancelled before the routine was in place and this code
// took the routine back: the entry is then freed and the caller finishes the
// request as cancelled. Caller holds QueueLock.
BOOLEAN InsertLocked(FilterExtension* Ext, HookIrpEntry* Entry, ULONG Queue, BOOLEAN AtHead = FALSE) {
  if (AtHead) {
    InsertHeadList(&Ext->Queues[Queue], &Entry->Links);
  } else {
    InsertTailList(&Ext->Queues[Queue], &Entry->Links);
  }
  IoSetCancelRoutine(Entry->Irp, CancelRoutineOf(Queue));
  if (Entry->Irp->Cancel && IoSetCancelRoutine(Entry->Irp, nullptr) != nullptr) {
    RemoveEntryList(&Entry->Links);
    return FALSE;
  }
  return TRUE;
}

BOOLEAN QueueRequest(FilterExtension* Ext, HookIrpEntry* Entry, ULONG Queue) {
  KIRQL irql;
  KeAcquireSpinLock(&Ext->QueueLock, &irql);
  BOOLEAN queued = InsertLocked(Ext, Entry, Queue);
  KeReleaseSpinLock(&Ext->QueueLock, irql);
  if (!queued) {
    FreeEntry(Entry);
    return FALSE;
  }
  KeSetEvent(&Ext->QueueEvents[Queue], IO_NO_INCREMENT, FALSE);
  return TRUE;
}

// Takes the head entry of a queue, or nullptr. *Owned tells whether this
// code took the request's cancel routine back (and so owns the request).
HookIrpEntry* TakeHead(FilterExtension* Ext, ULONG Queue, BOOLEAN* Owned) {
  KIRQL irql;
  KeAcquireSpinLock(&Ext->QueueLock, &irql);
  HookIrpEntry* entry = nullptr;
  if (!IsListEmpty(&Ext->Queues[Queue])) {
    entry = CONTAINING_RECORD(RemoveHeadList(&Ext->Queues[Queue]), HookIrpEntry, Links);
    *Owned = IoSetCancelRoutine(entry->Irp, nullptr) != nullptr;
  }
  KeReleaseSpinLock(&Ext->QueueLock, irql);
  return entry;
}

// Empties a queue: every request whose cancel routine is taken back is
// completed with `Status` (its byte count untouched); every entry is freed.
void ReleaseQueue(FilterExtension* Ext, ULONG Queue, NTSTATUS Status) {
  LIST_ENTRY taken;
  InitializeListHead(&taken);
  KIRQL irql;
  KeAcquireSpinLock(&Ext->QueueLock, &irql);
  while (!IsListEmpty(&Ext->Queues[Queue])) InsertTailList(&taken, RemoveHeadList(&Ext->Queues[Queue]));
  KeReleaseSpinLock(&Ext->QueueLock, irql);
  while (!IsListEmpty(&taken)) {
    auto* entry = CONTAINING_RECORD(RemoveHeadList(&taken), HookIrpEntry, Links);
    if (IoSetCancelRoutine(entry->Irp, nullptr) != nullptr) CompleteWith(entry->Irp, Status);
    FreeEntry(entry);
  }
}

void FlushAllQueues(FilterExtension* Ext) {
  ReleaseQueue(Ext, WaitingFrames, STATUS_CANCELLED);
  ReleaseQueue(Ext, LentFrames, STATUS_CANCELLED);
  ReleaseQueue(Ext, GetQueue, STATUS_CANCELLED);
  ReleaseQueue(Ext, PutQueue, STATUS_CANCELLED);
}

// The frame of a held camera read: its stream header (system buffer) and its
// buffer (first MDL).
KSSTREAM_HEADER* StreamHeaderOf(PIRP Frame) {
  return static_cast<KSSTREAM_HEADER*>(Frame->AssociatedIrp.SystemBuffer);
}

PUCHAR MapFrame(PIRP Frame, ULONG* ByteCount) {
  PMDL mdl = Frame->MdlAddress;
  *ByteCount = mdl != nullptr ? MmGetMdlByteCount(mdl) : 0;
  if (mdl == nullptr || *ByteCount == 0) return nullptr;
  if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
    return static_cast<PUCHAR>(mdl->MappedSystemVa);
  }
  return static_cast<PUCHAR>(
      MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority));
}

//
// Cancel routines: called with the cancel spin lock held.
//

// Unlinks the request from the given queues (if it is still there) and frees
// its entry. The request itself belongs to the cancel routine either way.
void UnlinkCancelled(FilterExtension* Ext, PIRP Irp, ULONG FirstQueue, ULONG LastQueue) {
  KIRQL irql;
  KeAcquireSpinLock(&Ext->QueueLock, &irql);
  HookIrpEntry* found = nullptr;
  for (ULONG q = FirstQueue; q <= LastQueue && found == nullptr; ++q) {
    for (PLIST_ENTRY link = Ext->Queues[q].Flink; link != &Ext->Queues[q]; link = link->Flink) {
      auto* entry = CONTAINING_RECORD(link, HookIrpEntry, Links);
      if (entry->Irp == Irp) {
        RemoveEntryList(link);
        found = entry;
        break;
      }
    }
  }
  KeReleaseSpinLock(&Ext->QueueLock, irql);
  if (found != nullptr) FreeEntry(found);
}

void CancelGetRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  FilterExtension* ext = FilterOf(DeviceObject);
  UnlinkCancelled(ext, Irp, GetQueue, GetQueue);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  Irp->IoStatus.Information = 0;
  CompleteWith(Irp, STATUS_CANCELLED);
  ArmInactivityTimer(ext);
}

void CancelQueuedRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  FilterExtension* ext = FilterOf(DeviceObject);
  UnlinkCancelled(ext, Irp, GetQueue, LentFrames);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  CompleteWith(Irp, STATUS_CANCELLED);
}

//
// Completion routines of the stream watch.
//

// A successful data intersection: remember the format it chose.
NTSTATUS PendingFormatCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  auto* ext = static_cast<FilterExtension*>(Context);
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (NT_SUCCESS(Irp->IoStatus.Status) && stack->Parameters.DeviceIoControl.OutputBufferLength != 0) {
    // Read only what the lower driver returned.
    KS_DATAFORMAT_VIDEOINFOHEADER format;
    BOOLEAN haveVideoInfo = FALSE;
    BOOLEAN haveHeader = FALSE;
    const ULONG_PTR returned = Irp->IoStatus.Information;
    try {
      if (Irp->UserBuffer != nullptr && returned >= sizeof(KSDATAFORMAT)) {
        ProbeForRead(Irp->UserBuffer, sizeof(KSDATAFORMAT), 1);
        RtlCopyMemory(&format.DataFormat, Irp->UserBuffer, sizeof(KSDATAFORMAT));
        haveHeader = TRUE;
        if (format.DataFormat.Specifier == KSDATAFORMAT_SPECIFIER_VIDEOINFO &&
            returned >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
          ProbeForRead(Irp->UserBuffer, sizeof(KS_DATAFORMAT_VIDEOINFOHEADER), 1);
          RtlCopyMemory(&format, Irp->UserBuffer, sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
          haveVideoInfo = TRUE;
        }
      }
    } catch (const NT_EXCEPTION&) {
      haveVideoInfo = FALSE;
    }
    KIRQL irql;
    KeAcquireSpinLock(&ext->QueueLock, &irql);
    ext->PendingFormat.Width = 0;
    ext->PendingFormat.Height = 0;
    if (haveHeader && haveVideoInfo) {
      ext->PendingFormat.Width = format.VideoInfoHeader.bmiHeader.biWidth;
      ext->PendingFormat.Height = format.VideoInfoHeader.bmiHeader.biHeight;
      ext->PendingFormat.DataFormat.MajorFormat = format.DataFormat.MajorFormat;
      ext->PendingFormat.DataFormat.SubFormat = format.DataFormat.SubFormat;
    }
    KeReleaseSpinLock(&ext->QueueLock, irql);
  }
  return Irp->IoStatus.Status;
}

// A completed camera read: hold the frame while the hook is on.
NTSTATUS HoldFrameCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  auto* ext = static_cast<FilterExtension*>(Context);
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  if (Irp->IoStatus.Status != STATUS_SUCCESS || Irp->IoStatus.Information == 0 || Irp->MdlAddress == nullptr) {
    return Irp->IoStatus.Status;
  }
  HookIrpEntry* entry = AllocateEntry(ext, Irp);
  if (entry == nullptr) return Irp->IoStatus.Status;

  LIST_ENTRY trimmed;
  InitializeListHead(&trimmed);
  BOOLEAN held = FALSE;
  BOOLEAN cancelled = FALSE;
  KIRQL irql;
  KeAcquireSpinLock(&ext->QueueLock, &irql);
  // The hook state is decided under the lock: a hook turned off (or a
  // control device deleted) before this point has already flushed the queue.
  if (HookOnLocked(ext)) {
    ULONG waiting = 0;
    for (PLIST_ENTRY link = ext->Queues[WaitingFrames].Flink; link != &ext->Queues[WaitingFrames];
         link = link->Flink) {
      ++waiting;
    }
    if (waiting >= kMaxWaitingFrames) {
      while (!IsListEmpty(&ext->Queues[WaitingFrames])) {
        InsertTailList(&trimmed, RemoveHeadList(&ext->Queues[WaitingFrames]));
      }
    }
    held = InsertLocked(ext, entry, WaitingFrames);
    cancelled = !held;
  }
  KeReleaseSpinLock(&ext->QueueLock, irql);

  // Frames trimmed at 30 go on to the camera application unchanged.
  while (!IsListEmpty(&trimmed)) {
    auto* old = CONTAINING_RECORD(RemoveHeadList(&trimmed), HookIrpEntry, Links);
    if (IoSetCancelRoutine(old->Irp, nullptr) != nullptr) CompleteWith(old->Irp, STATUS_SUCCESS);
    FreeEntry(old);
  }
  if (!held) {
    FreeEntry(entry);
    if (cancelled) {
      Irp->IoStatus.Status = STATUS_CANCELLED;
      Irp->IoStatus.Information = 0;
    }
    return Irp->IoStatus.Status;
  }
  KeSetEvent(&ext->QueueEvents[WaitingFrames], IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Reads the property header (set and identifier) of a property request.
BOOLEAN ReadPropertyHeader(PIO_STACK_LOCATION Stack, KSPROPERTY* Property) {
  if (Stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(KSPROPERTY)) return FALSE;
  PVOID input = Stack->Parameters.DeviceIoControl.Type3InputBuffer;
  if (input == nullptr) return FALSE;
  try {
    ProbeForRead(input, sizeof(KSPROPERTY), 1);
    RtlCopyMemory(Property, input, sizeof(KSPROPERTY));
  } catch (const NT_EXCEPTION&) {
    return FALSE;
  }
  return TRUE;
}

// A connection-state request carrying KSSTATE_RUN commits the format of the
// last data intersection.
void FormatCommit(FilterExtension* Ext, PIRP Irp, PIO_STACK_LOCATION Stack) {
  if (Stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG) || Irp->UserBuffer == nullptr) return;
  ULONG state = 0;
  try {
    ProbeForRead(Irp->UserBuffer, sizeof(ULONG), 1);
    RtlCopyMemory(&state, Irp->UserBuffer, sizeof(ULONG));
  } catch (const NT_EXCEPTION&) {
    return;
  }
  if (state != KSSTATE_RUN) return;
  KIRQL irql;
  KeAcquireSpinLock(&Ext->QueueLock, &irql);
  if (Ext->PendingFormat.Width != 0 && Ext->PendingFormat.Height != 0) {
    Ext->CommittedFormat.DataFormat.MajorFormat = Ext->PendingFormat.DataFormat.MajorFormat;
    Ext->CommittedFormat.DataFormat.SubFormat = Ext->PendingFormat.DataFormat.SubFormat;
    Ext->CommittedFormat.Width = Ext->PendingFormat.Width;
    Ext->CommittedFormat.Height = Ext->PendingFormat.Height;
  }
  KeReleaseSpinLock(&Ext->QueueLock, irql);
}

//
// The two frame threads.
//

// Pairs waiting frames with queued GETs while both exist.
void Deliver(FilterExtension* Ext) {
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&Ext->QueueLock, &irql);
    if (IsListEmpty(&Ext->Queues[GetQueue]) || IsListEmpty(&Ext->Queues[WaitingFrames])) {
      KeReleaseSpinLock(&Ext->QueueLock, irql);
      return;
    }
    auto* frameEntry = CONTAINING_RECORD(RemoveHeadList(&Ext->Queues[WaitingFrames]), HookIrpEntry, Links);
    BOOLEAN frameOwned = IoSetCancelRoutine(frameEntry->Irp, nullptr) != nullptr;
    KeReleaseSpinLock(&Ext->QueueLock, irql);
    if (!frameOwned) {  // its cancel routine completes it
      FreeEntry(frameEntry);
      continue;
    }
    PIRP frame = frameEntry->Irp;

    ULONG bufferSize = 0;
    PUCHAR frameData = MapFrame(frame, &bufferSize);
    if (frameData == nullptr) {
      FreeEntry(frameEntry);
      frame->IoStatus.Information = 0;
      CompleteWith(frame, STATUS_UNSUCCESSFUL);
      continue;
    }

    if (g_NbDeliverBetweenLocksHook != nullptr) g_NbDeliverBetweenLocksHook(Ext);

    KeAcquireSpinLock(&Ext->QueueLock, &irql);
    if (IsListEmpty(&Ext->Queues[GetQueue])) {
      // The GET went away (cancelled) while the frame was being mapped: the
      // frame goes back to the head of the waiting frames, in its place, for
      // the next GET (or the timeout, trim or hook end).
      BOOLEAN back = InsertLocked(Ext, frameEntry, WaitingFrames, TRUE);
      KeReleaseSpinLock(&Ext->QueueLock, irql);
      if (!back) {  // its application cancelled it meanwhile
        FreeEntry(frameEntry);
        frame->IoStatus.Information = 0;
        CompleteWith(frame, STATUS_CANCELLED);
      }
      return;
    }
    auto* getEntry = CONTAINING_RECORD(RemoveHeadList(&Ext->Queues[GetQueue]), HookIrpEntry, Links);
    BOOLEAN getOwned = IoSetCancelRoutine(getEntry->Irp, nullptr) != nullptr;
    KeReleaseSpinLock(&Ext->QueueLock, irql);
    if (!getOwned) {  // the GET is being cancelled: the frame passes unchanged
      FreeEntry(getEntry);
      FreeEntry(frameEntry);
      CompleteWith(frame, STATUS_SUCCESS);
      continue;
    }

    PIRP get = getEntry->Irp;
    const ULONG outputLength = IoGetCurrentIrpStackLocation(get)->Parameters.DeviceIoControl.OutputBufferLength;
    auto* reply = static_cast<PUCHAR>(get->AssociatedIrp.SystemBuffer);
    KSSTREAM_HEADER* streamHeader = StreamHeaderOf(frame);
    get->IoStatus.Information = 0;
    if (reply != nullptr && outputLength >= kHeaderSize && streamHeader != nullptr) {
      const ULONG space = outputLength - kHeaderSize;
      const ULONG copied = space < bufferSize ? space : bufferSize;
      HookFrameHeader header;
      RtlZeroMemory(&header, sizeof(header));
      header.dwStatus = space == bufferSize ? HOOK_STATUS_OK : HOOK_STATUS_SIZE_MISMATCH;
      header.dwBufferSize = bufferSize;
      KeAcquireSpinLock(&Ext->QueueLock, &irql);
      header.dwWidth = Ext->CommittedFormat.Width;
      header.dwHeight = Ext->CommittedFormat.Height;
      header.guidSubFormat = Ext->CommittedFormat.DataFormat.SubFormat;
      KeReleaseSpinLock(&Ext->QueueLock, irql);
      header.dwBytesUsed = streamHeader->DataUsed;
      RtlCopyMemory(reply, &header, kHeaderSize);
      RtlCopyMemory(reply + kHeaderSize, frameData, copied);
      get->IoStatus.Information = kHeaderSize + copied;
    }

    if (!QueueRequest(Ext, frameEntry, LentFrames)) {  // cancelled by its application meanwhile
      frame->IoStatus.Information = 0;
      CompleteWith(frame, STATUS_CANCELLED);
    }
    FreeEntry(getEntry);
    CompleteWith(get, STATUS_SUCCESS);
    ArmInactivityTimer(Ext);
  }
}

// Pairs queued PUTs with lent frames (oldest first) and writes them back.
void ReturnFrames(FilterExtension* Ext) {
  for (;;) {
    BOOLEAN putOwned = FALSE;
    HookIrpEntry* putEntry = TakeHead(Ext, PutQueue, &putOwned);
    if (putEntry == nullptr) return;
    if (!putOwned) {
      FreeEntry(putEntry);
      continue;
    }
    PIRP put = putEntry->Irp;

    BOOLEAN frameOwned = FALSE;
    HookIrpEntry* frameEntry = TakeHead(Ext, LentFrames, &frameOwned);
    if (frameEntry == nullptr || !frameOwned) {
      if (frameEntry != nullptr) FreeEntry(frameEntry);
      FreeEntry(putEntry);
      put->IoStatus.Information = 0;
      CompleteWith(put, STATUS_CANCELLED);
      continue;
    }
    PIRP frame = frameEntry->Irp;

    const ULONG inputLength = IoGetCurrentIrpStackLocation(put)->Parameters.DeviceIoControl.InputBufferLength;
    auto* request = static_cast<PUCHAR>(put->AssociatedIrp.SystemBuffer);
    KSSTREAM_HEADER* streamHeader = StreamHeaderOf(frame);
    if (request != nullptr && inputLength >= kHeaderSize && streamHeader != nullptr) {
      ULONG bufferSize = 0;
      PUCHAR frameData = MapFrame(frame, &bufferSize);
      if (frameData != nullptr) {
        HookFrameHeader header;
        RtlCopyMemory(&header, request, kHeaderSize);
        if (header.dwBytesUsed != 0 || header.guidSubFormat == MEDIASUBTYPE_YUY2) {
          const ULONG space = inputLength - kHeaderSize;
          const ULONG copied = space < bufferSize ? space : bufferSize;
          // The camera application never sees more used bytes than its buffer holds.
          streamHeader->DataUsed = header.dwBytesUsed < bufferSize ? header.dwBytesUsed : bufferSize;
          RtlCopyMemory(frameData, request + kHeaderSize, copied);
        }
      }
    }
    FreeEntry(frameEntry);
    CompleteWith(frame, STATUS_SUCCESS);
    FreeEntry(putEntry);
    put->IoStatus.Information = 0;
    CompleteWith(put, STATUS_SUCCESS);
  }
}

void FrameDeliveryThread(PVOID Context) {
  auto* ext = static_cast<FilterExtension*>(Context);
  PVOID events[3] = {&ext->StopEvents[DeliveryThread], &ext->QueueEvents[WaitingFrames], &ext->QueueEvents[GetQueue]};
  for (;;) {
    NTSTATUS woken =
        KeWaitForMultipleObjects(3, events, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
    if (woken == STATUS_WAIT_0) break;
    if (woken == STATUS_WAIT_0 + 1) {
      KeClearEvent(&ext->QueueEvents[WaitingFrames]);
    } else if (woken == STATUS_WAIT_0 + 2) {
      KeClearEvent(&ext->QueueEvents[GetQueue]);
      KIRQL irql;
      KeAcquireSpinLock(&ext->QueueLock, &irql);
      if (!IsListEmpty(&ext->Queues[GetQueue])) KeCancelTimer(&ext->InactivityTimer);
      KeReleaseSpinLock(&ext->QueueLock, irql);
    }
    Deliver(ext);
  }
  FlushAllQueues(ext);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

void FrameReturnThread(PVOID Context) {
  auto* ext = static_cast<FilterExtension*>(Context);
  PVOID events[2] = {&ext->StopEvents[ReturnThread], &ext->QueueEvents[PutQueue]};
  for (;;) {
    NTSTATUS woken =
        KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
    if (woken != STATUS_WAIT_0 + 1) break;
    KeClearEvent(&ext->QueueEvents[LentFrames]);
    KeClearEvent(&ext->QueueEvents[PutQueue]);
    ReturnFrames(ext);
  }
  FlushAllQueues(ext);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

//
// Inactivity: the timer's DPC queues a work item that turns the hook off and
// lets every held frame go on unchanged.
//

struct InactivityContext {
  PIO_WORKITEM WorkItem;
  FilterExtension* Extension;
};

void InactivityWorkItem(PDEVICE_OBJECT, PVOID Context) {
  auto* context = static_cast<InactivityContext*>(Context);
  FilterExtension* ext = context->Extension;

  KIRQL irql;
  KeAcquireSpinLock(&ext->QueueLock, &irql);
  PDEVICE_OBJECT control = ext->ControlDevice;
  KeReleaseSpinLock(&ext->QueueLock, irql);
  if (control != nullptr) {  // removal waits for this routine before it deletes the control device
    auto* controlExt = static_cast<ControlExtension*>(control->DeviceExtension);
    KeAcquireSpinLock(&controlExt->HookLock, &irql);
    WriteUCharRelease(&controlExt->HookOn, 0);
    KeReleaseSpinLock(&controlExt->HookLock, irql);
  }
  ReleaseQueue(ext, WaitingFrames, STATUS_SUCCESS);
  ReleaseQueue(ext, LentFrames, STATUS_SUCCESS);

  IoFreeWorkItem(context->WorkItem);
  ExFreePoolWithTag(context, NB_POOL_TAG);
  KeAcquireSpinLock(&ext->QueueLock, &irql);
  if (--ext->WorkItemsOutstanding == 0) KeSetEvent(&ext->WorkItemsIdle, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&ext->QueueLock, irql);
}

//
// The hook requests.
//

// Reply to a GET or PUT that gets no frame: a header with only dwStatus set
// when the caller's buffer holds one, else STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS ReplyWithoutFrame(PIRP Irp, BOOLEAN IsPut, ULONG Status) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const ULONG length =
      IsPut ? stack->Parameters.DeviceIoControl.InputBufferLength : stack->Parameters.DeviceIoControl.OutputBufferLength;
  if (length < kHeaderSize || Irp->AssociatedIrp.SystemBuffer == nullptr) {
    Irp->IoStatus.Information = 0;
    CompleteWith(Irp, STATUS_INSUFFICIENT_RESOURCES);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  HookFrameHeader header;
  RtlZeroMemory(&header, sizeof(header));
  header.dwStatus = Status;
  RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &header, kHeaderSize);
  // A PUT returns the header only into an output buffer that can take it.
  ULONG returned = kHeaderSize;
  if (IsPut && stack->Parameters.DeviceIoControl.OutputBufferLength < kHeaderSize) {
    returned = stack->Parameters.DeviceIoControl.OutputBufferLength;
  }
  Irp->IoStatus.Information = returned;
  CompleteWith(Irp, STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

BOOLEAN HookIsOn(ControlExtension* Control) {
  KIRQL irql;
  KeAcquireSpinLock(&Control->HookLock, &irql);
  BOOLEAN on = Control->HookOn != 0;
  KeReleaseSpinLock(&Control->HookLock, irql);
  return on;
}

NTSTATUS QueueHookRequest(ControlExtension* Control, FilterExtension* Ext, PIRP Irp, ULONG Queue) {
  const BOOLEAN isPut = Queue == PutQueue;
  if (!HookIsOn(Control)) return ReplyWithoutFrame(Irp, isPut, HOOK_STATUS_OFF);
  HookIrpEntry* entry = AllocateEntry(Ext, Irp);
  if (entry == nullptr) return ReplyWithoutFrame(Irp, isPut, HOOK_STATUS_NO_MEMORY);
  IoMarkIrpPending(Irp);
  if (!QueueRequest(Ext, entry, Queue)) {
    Irp->IoStatus.Information = 0;
    CompleteWith(Irp, STATUS_CANCELLED);
  }
  return STATUS_PENDING;
}

}  // namespace

//
// Exported to driver.cpp.
//

NTSTATUS NbStreamWatch(FilterExtension* Ext, PIRP Irp) {
  NTSTATUS status = IoAcquireRemoveLock(&Ext->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) {
    Irp->IoStatus.Information = 0;
    CompleteWith(Irp, status);
    return status;
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const BOOLEAN started = ReadNoFence(&Ext->PnpState) == Started;
  PIO_COMPLETION_ROUTINE completion = nullptr;

  if (code == IOCTL_KS_PROPERTY) {
    KSPROPERTY property;
    if (ReadPropertyHeader(stack, &property)) {
      if (property.Set == KSPROPSETID_Connection && property.Id == KSPROPERTY_CONNECTION_STATE) {
        FormatCommit(Ext, Irp, stack);
      } else if (property.Set == KSPROPSETID_Pin && property.Id == KSPROPERTY_PIN_DATAINTERSECTION && started) {
        completion = PendingFormatCompletion;
      }
    }
  } else if (code == IOCTL_KS_READ_STREAM && started && HookOnHint(Ext)) {
    completion = HoldFrameCompletion;
  }

  if (completion != nullptr) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, completion, Ext, TRUE, FALSE, FALSE);
  } else {
    IoSkipCurrentIrpStackLocation(Irp);
  }
  status = IoCallDriver(Ext->LowerDevice, Irp);
  IoReleaseRemoveLock(&Ext->RemoveLock, Irp);
  return status;
}

NTSTATUS NbHookControl(ControlExtension* Control, FilterExtension* Ext, PIRP Irp) {
  switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_HOOK_START: {
      KIRQL irql;
      KeAcquireSpinLock(&Control->HookLock, &irql);
      WriteUCharRelease(&Control->HookOn, 1);
      KeReleaseSpinLock(&Control->HookLock, irql);
      ArmInactivityTimer(Ext);
      CompleteWith(Irp, STATUS_SUCCESS);
      return STATUS_SUCCESS;
    }
    case IOCTL_HOOK_END:
      NbHookOff(Control, Ext);
      CompleteWith(Irp, STATUS_SUCCESS);
      return STATUS_SUCCESS;
    case IOCTL_HOOK_GET_FRAME:
      return QueueHookRequest(Control, Ext, Irp, GetQueue);
    case IOCTL_HOOK_PUT_FRAME:
      return QueueHookRequest(Control, Ext, Irp, PutQueue);
    default:
      CompleteWith(Irp, STATUS_INVALID_PARAMETER);
      return STATUS_INVALID_PARAMETER;
  }
}

void NbHookOff(ControlExtension* Control, FilterExtension* Ext) {
  KIRQL irql;
  KeAcquireSpinLock(&Control->HookLock, &irql);
  const BOOLEAN wasOn = Control->HookOn != 0;
  WriteUCharRelease(&Control->HookOn, 0);
  KeReleaseSpinLock(&Control->HookLock, irql);
  if (!wasOn) return;
  KeAcquireSpinLock(&Ext->QueueLock, &irql);
  KeCancelTimer(&Ext->InactivityTimer);
  KeReleaseSpinLock(&Ext->QueueLock, irql);
  FlushAllQueues(Ext);
}

NTSTATUS NbStartThreads(FilterExtension* Ext) {
  PKSTART_ROUTINE routines[NB_THREAD_COUNT] = {FrameDeliveryThread, FrameReturnThread};
  for (ULONG i = 0; i < NB_THREAD_COUNT; ++i) {
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routines[i], Ext);
    if (NT_SUCCESS(status)) {
      status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &Ext->Threads[i],
                                         nullptr);
      ZwClose(handle);
    }
    if (!NT_SUCCESS(status)) {
      NbStopThreads(Ext);
      return status;
    }
  }
  return STATUS_SUCCESS;
}

void NbStopThreads(FilterExtension* Ext) {
  for (ULONG i = 0; i < NB_THREAD_COUNT; ++i) {
    if (Ext->Threads[i] == nullptr) continue;
    KeSetEvent(&Ext->StopEvents[i], IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(Ext->Threads[i], Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(Ext->Threads[i]);
    Ext->Threads[i] = nullptr;
  }
}

void NbDisableInactivityTimer(FilterExtension* Ext) {
  KIRQL irql;
  KeAcquireSpinLock(&Ext->QueueLock, &irql);
  Ext->TimerDisabled = TRUE;
  KeCancelTimer(&Ext->InactivityTimer);
  KeReleaseSpinLock(&Ext->QueueLock, irql);
  KeFlushQueuedDpcs();  // a timer routine already running has queued its work item now
  KeWaitForSingleObject(&Ext->WorkItemsIdle, Executive, KernelMode, FALSE, nullptr);
}

void InactivityTimerDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
  auto* ext = static_cast<FilterExtension*>(DeferredContext);
  auto* context =
      static_cast<InactivityContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(InactivityContext), NB_POOL_TAG));
  if (context == nullptr) return;
  PIO_WORKITEM item = IoAllocateWorkItem(ext->Self);
  if (item == nullptr) {
    ExFreePoolWithTag(context, NB_POOL_TAG);
    return;
  }
  context->WorkItem = item;
  context->Extension = ext;
  KeAcquireSpinLockAtDpcLevel(&ext->QueueLock);
  if (ext->WorkItemsOutstanding++ == 0) KeClearEvent(&ext->WorkItemsIdle);
  KeReleaseSpinLockFromDpcLevel(&ext->QueueLock);
  IoQueueWorkItem(item, InactivityWorkItem, DelayedWorkQueue, context);
}
