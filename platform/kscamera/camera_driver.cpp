// The camera minidriver model: the "ZorcamCamera" driver, whose devices are
// the physical device objects at the bottom of camera stacks.
//
// Per camera (CameraState, reached through the device extension):
// - lock guards the read queue, the stream state, the formats, the controls
//   and the counters; it is never held while a request is completed or a
//   frame is drawn.
// - Reads are queued cancel-safely: whoever clears a read's cancel routine
//   owns it (the pacing thread, a state change to STOP, removal, or the
//   cancel routine).
// - The pacing thread (a system thread started at IRP_MN_START_DEVICE, ended
//   at IRP_MN_REMOVE_DEVICE) completes the oldest read once per frame
//   interval while the pin runs; a frame with no read waiting is dropped, as
//   a real camera drops it.
// - Each read gets a model frame buffer described by an MDL and a copy of
//   its stream header in the system buffer; the I/O manager's finish hook
//   copies both back to the issuer when the read has passed every driver.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "kscamera/camera.h"
#include "ntkernel/iomanager.h"

namespace kscamera {
namespace {

constexpr const wchar_t* kService = L"ZorcamCamera";
constexpr ULONG kTag = MAKE_POOL_TAG("ZCam");
constexpr NTSTATUS STATUS_NO_MATCH = static_cast<NTSTATUS>(0xC0000272u);

struct CameraState {
  PDEVICE_OBJECT device = nullptr;
  std::unique_ptr<FrameSource> source;
  std::wstring instanceId;
  double speed = 1.0;
  bool unpaced = false;           // answer each read at once (benchmarks)

  KSPIN_LOCK lock = 0;
  LIST_ENTRY reads{};             // queued reads, oldest first
  KSSTATE state = KSSTATE_STOP;
  bool removed = false;
  VideoFormat negotiated{};       // last data intersection
  VideoFormat active{};           // format of the running stream
  ULONGLONG frame = 0;            // frames produced since the stream started
  ULONGLONG delivered = 0;
  ULONGLONG cancelled = 0;
  LONGLONG nextDue = 0;           // steady clock, 100 ns units
  PictureControls controls{};
  LONG focus = 0;
  ULONG focusFlags = KSPROPERTY_CAMERACONTROL_FLAGS_AUTO;
  LONG powerLine = 2;             // 60 Hz
  LONG autoExposurePriority = 0;

  KEVENT stop{};                  // ends the pacing thread
  KEVENT wake{};                  // state changed: re-plan the next frame
  PVOID thread = nullptr;         // referenced thread object
};

struct CameraExtension {
  CameraState* camera;
};

CameraState* CameraOf(PDEVICE_OBJECT device) { return static_cast<CameraExtension*>(device->DeviceExtension)->camera; }

std::mutex g_registryLock;
std::map<std::wstring, CameraState*>& Registry() {
  static auto* cameras = new std::map<std::wstring, CameraState*>;  // guarded by g_registryLock
  return *cameras;
}

LONGLONG Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
             .count() /
         100;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// ---------------------------------------------------------------------------
// Reads
// ---------------------------------------------------------------------------

struct ReadBuffers {
  KSSTREAM_HEADER* header;  // system buffer: the header drivers see
  BYTE* frame;              // the frame buffer the MDL describes
};

// Finish hook: copy the header and the frame back to the issuer, free ours.
void FinishRead(PIRP irp, PVOID context) {
  auto* buffers = static_cast<ReadBuffers*>(context);
  auto* issuerHeader = static_cast<KSSTREAM_HEADER*>(irp->UserBuffer);
  if (issuerHeader != nullptr) {
    PVOID issuerData = issuerHeader->Data;
    ULONG extent = issuerHeader->FrameExtent;
    *issuerHeader = *buffers->header;
    issuerHeader->Data = issuerData;
    issuerHeader->FrameExtent = extent;
    if (NT_SUCCESS(irp->IoStatus.Status) && issuerData != nullptr) {
      ULONG n = std::min(buffers->header->DataUsed, extent);
      if (n > 0) std::memcpy(issuerData, buffers->frame, n);
    } else {
      issuerHeader->DataUsed = 0;
    }
  }
  irp->AssociatedIrp.SystemBuffer = nullptr;
  ExFreePoolWithTag(buffers->frame, kTag);
  ExFreePoolWithTag(buffers->header, kTag);
  ExFreePoolWithTag(buffers, kTag);
}

void CancelRead(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  CameraState* camera = CameraOf(device);
  KIRQL old;
  KeAcquireSpinLock(&camera->lock, &old);
  PLIST_ENTRY entry = &irp->Tail.Overlay.ListEntry;
  if (entry->Flink != entry) RemoveEntryList(entry);
  InitializeListHead(entry);
  ++camera->cancelled;
  KeReleaseSpinLock(&camera->lock, old);
  Complete(irp, STATUS_CANCELLED);
}

// Takes the oldest read this code can own; nullptr if none. Lock held.
PIRP TakeReadLocked(CameraState* camera) {
  while (!IsListEmpty(&camera->reads)) {
    PLIST_ENTRY entry = RemoveHeadList(&camera->reads);
    InitializeListHead(entry);  // a racing cancel routine's unlink stays harmless
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, nullptr) != nullptr) return irp;
  }
  return nullptr;
}

void CancelAllReads(CameraState* camera, NTSTATUS status) {
  for (;;) {
    KIRQL old;
    KeAcquireSpinLock(&camera->lock, &old);
    PIRP irp = TakeReadLocked(camera);
    if (irp != nullptr) ++camera->cancelled;
    KeReleaseSpinLock(&camera->lock, old);
    if (irp == nullptr) return;
    Complete(irp, status);
  }
}

NTSTATUS ReadStream(CameraState* camera, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(KSSTREAM_HEADER) || irp->UserBuffer == nullptr) {
    return Complete(irp, STATUS_INVALID_BUFFER_SIZE);
  }
  KSSTREAM_HEADER header;
  std::memcpy(&header, irp->UserBuffer, sizeof header);
  if (header.Data == nullptr || header.FrameExtent == 0) return Complete(irp, STATUS_INVALID_PARAMETER);
  VideoFormat format;
  KSSTATE state;
  bool removed;
  {
    KIRQL old;
    KeAcquireSpinLock(&camera->lock, &old);
    format = camera->state == KSSTATE_STOP ? camera->negotiated : camera->active;
    state = camera->state;
    removed = camera->removed;
    KeReleaseSpinLock(&camera->lock, old);
  }
  if (removed) return Complete(irp, STATUS_DEVICE_REMOVED);
  if (state == KSSTATE_STOP) return Complete(irp, STATUS_INVALID_DEVICE_STATE);
  if (header.FrameExtent < FrameBufferSize(format)) return Complete(irp, STATUS_BUFFER_TOO_SMALL);

  auto* buffers = static_cast<ReadBuffers*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ReadBuffers), kTag));
  if (buffers == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
  buffers->header = static_cast<KSSTREAM_HEADER*>(ExAllocatePoolWithTag(NonPagedPool, sizeof header, kTag));
  buffers->frame = static_cast<BYTE*>(ExAllocatePoolWithTag(NonPagedPool, header.FrameExtent, kTag));
  if (buffers->header == nullptr || buffers->frame == nullptr) {
    ExFreePoolWithTag(buffers->header, kTag);
    ExFreePoolWithTag(buffers->frame, kTag);
    ExFreePoolWithTag(buffers, kTag);
    return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
  }
  *buffers->header = header;
  buffers->header->Data = buffers->frame;
  buffers->header->DataUsed = 0;
  irp->AssociatedIrp.SystemBuffer = buffers->header;
  IoAllocateMdl(buffers->frame, header.FrameExtent, FALSE, FALSE, irp);
  MmBuildMdlForNonPagedPool(irp->MdlAddress);
  ntkernel::io::SetFinishHook(irp, FinishRead, buffers);

  IoMarkIrpPending(irp);
  KIRQL old;
  KeAcquireSpinLock(&camera->lock, &old);
  IoSetCancelRoutine(irp, CancelRead);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    KeReleaseSpinLock(&camera->lock, old);
    Complete(irp, STATUS_CANCELLED);
    return STATUS_PENDING;
  }
  InsertTailList(&camera->reads, &irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&camera->lock, old);
  if (camera->unpaced) KeSetEvent(&camera->wake, IO_NO_INCREMENT, FALSE);
  return STATUS_PENDING;
}

// ---------------------------------------------------------------------------
// Pacing thread
// ---------------------------------------------------------------------------

bool DeliverFrame(CameraState* camera, bool now);

void PacingThread(PVOID context) {
  auto* camera = static_cast<CameraState*>(context);
  PVOID objects[2] = {&camera->stop, &camera->wake};
  for (;;) {
    LONGLONG due = 0;
    bool running;
    {
      KIRQL old;
      KeAcquireSpinLock(&camera->lock, &old);
      running = camera->state == KSSTATE_RUN && !camera->removed;
      due = camera->nextDue;
      KeReleaseSpinLock(&camera->lock, old);
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -std::max<LONGLONG>(0, due - Now());
    const bool timed = running && !camera->unpaced;
    NTSTATUS wait =
        KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, timed ? &timeout : nullptr, nullptr);
    if (wait == STATUS_WAIT_0) break;
    if (camera->unpaced) {
      // Several wake-ups may have collapsed into one: look at the state now.
      while (DeliverFrame(camera, true)) {
      }
      continue;
    }
    if (!running || wait == STATUS_WAIT_0 + 1) continue;  // re-plan
    DeliverFrame(camera, false);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

// Completes the oldest read with the next frame if a frame is due (or at
// once when `now`). A due frame with no read waiting is dropped. Returns
// whether a read was completed.
bool DeliverFrame(CameraState* camera, bool now) {
  PIRP irp = nullptr;
  VideoFormat format;
  ULONGLONG frame;
  {
    KIRQL old;
    KeAcquireSpinLock(&camera->lock, &old);
    if (camera->state != KSSTATE_RUN || (!now && camera->nextDue > Now()) ||
        (now && IsListEmpty(&camera->reads))) {
      KeReleaseSpinLock(&camera->lock, old);
      return false;
    }
    format = camera->active;
    frame = camera->frame++;
    const LONGLONG interval = std::max<LONGLONG>(
        1, static_cast<LONGLONG>(static_cast<double>(format.interval) / camera->speed));
    camera->nextDue += interval;
    const LONGLONG clock = Now();
    if (!now && camera->nextDue <= clock) {
      // Frames whose time has passed are dropped, as a camera drops them:
      // no burst after a stall, and presentation times stay on the clock.
      const LONGLONG missed = (clock - camera->nextDue) / interval + 1;
      camera->frame += static_cast<ULONGLONG>(missed);
      camera->nextDue += missed * interval;
    }
    irp = TakeReadLocked(camera);
    KeReleaseSpinLock(&camera->lock, old);
  }
  if (irp == nullptr) return false;  // no read waiting: the frame is dropped
  auto* header = static_cast<KSSTREAM_HEADER*>(irp->AssociatedIrp.SystemBuffer);
  BYTE* buffer = static_cast<BYTE*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
  ULONG used = camera->source->Produce(format, frame, buffer, MmGetMdlByteCount(irp->MdlAddress));
  header->DataUsed = used;
  header->PresentationTime.Time = static_cast<LONGLONG>(frame) * format.interval;
  header->PresentationTime.Numerator = 1;
  header->PresentationTime.Denominator = 1;
  header->Duration = format.interval;
  header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
  {
    KIRQL old;
    KeAcquireSpinLock(&camera->lock, &old);
    if (used > 0) ++camera->delivered;
    KeReleaseSpinLock(&camera->lock, old);
  }
  Complete(irp, used > 0 ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL, sizeof(KSSTREAM_HEADER));
  return true;
}

// ---------------------------------------------------------------------------
// Properties
// ---------------------------------------------------------------------------

// Writes a reply of `size` bytes to the property's data buffer, with the
// kernel-streaming size protocol: no buffer asks for the size.
NTSTATUS Reply(PIRP irp, const void* data, ULONG size) {
  ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  if (length == 0) return Complete(irp, STATUS_BUFFER_OVERFLOW, size);
  if (length < size || irp->UserBuffer == nullptr) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
  std::memcpy(irp->UserBuffer, data, size);
  return Complete(irp, STATUS_SUCCESS, size);
}

KS_DATAFORMAT_VIDEOINFOHEADER MakeFormat(const VideoFormat& f) {
  KS_DATAFORMAT_VIDEOINFOHEADER d{};
  const ULONG bytes = FrameBufferSize(f);
  d.DataFormat.FormatSize = sizeof d;
  d.DataFormat.SampleSize = bytes;
  d.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
  d.DataFormat.SubFormat = f.subtype;
  d.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  d.VideoInfoHeader.rcSource = {0, 0, f.width, f.height};
  d.VideoInfoHeader.rcTarget = d.VideoInfoHeader.rcSource;
  d.VideoInfoHeader.AvgTimePerFrame = f.interval;
  d.VideoInfoHeader.dwBitRate = static_cast<DWORD>(static_cast<double>(bytes) * 8 * 1e7 / f.interval);
  auto& bmi = d.VideoInfoHeader.bmiHeader;
  bmi.biSize = sizeof bmi;
  bmi.biWidth = f.width;
  bmi.biHeight = f.height;
  bmi.biPlanes = 1;
  bmi.biBitCount = f.subtype == MEDIASUBTYPE_MJPG ? 24 : 16;
  bmi.biCompression = f.subtype.Data1;
  bmi.biSizeImage = bytes;
  return d;
}

std::vector<VideoFormat> AllFormats(const CameraState* camera) {
  std::vector<VideoFormat> all;
  for (const VideoFormat& f : camera->source->Formats()) {
    for (REFERENCE_TIME interval : camera->source->Intervals()) {
      VideoFormat g = f;
      g.interval = interval;
      all.push_back(g);
    }
  }
  return all;
}

NTSTATUS PinProperty(CameraState* camera, PIRP irp, const KSPROPERTY& p, const BYTE* in, ULONG inLength) {
  if (!(p.Flags & KSPROPERTY_TYPE_GET)) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  if (inLength < sizeof(KSP_PIN)) return Complete(irp, STATUS_INVALID_PARAMETER);
  KSP_PIN pin;
  std::memcpy(&pin, in, sizeof pin);
  if (p.Id == KSPROPERTY_PIN_CTYPES) {
    ULONG count = 1;
    return Reply(irp, &count, sizeof count);
  }
  if (pin.PinId != 0) return Complete(irp, STATUS_INVALID_PARAMETER);
  if (p.Id == KSPROPERTY_PIN_DATARANGES) {
    std::vector<VideoFormat> all = AllFormats(camera);
    std::vector<BYTE> reply(sizeof(KSMULTIPLE_ITEM) + all.size() * sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
    KSMULTIPLE_ITEM item{static_cast<ULONG>(reply.size()), static_cast<ULONG>(all.size())};
    std::memcpy(reply.data(), &item, sizeof item);
    for (size_t i = 0; i < all.size(); ++i) {
      KS_DATAFORMAT_VIDEOINFOHEADER d = MakeFormat(all[i]);
      std::memcpy(reply.data() + sizeof item + i * sizeof d, &d, sizeof d);
    }
    return Reply(irp, reply.data(), static_cast<ULONG>(reply.size()));
  }
  if (p.Id == KSPROPERTY_PIN_DATAINTERSECTION) {
    KSMULTIPLE_ITEM item{};
    if (inLength < sizeof(KSP_PIN) + sizeof item) return Complete(irp, STATUS_INVALID_PARAMETER);
    std::memcpy(&item, in + sizeof(KSP_PIN), sizeof item);
    const BYTE* ranges = in + sizeof(KSP_PIN) + sizeof item;
    const ULONG available = inLength - static_cast<ULONG>(sizeof(KSP_PIN) + sizeof item);
    std::vector<REFERENCE_TIME> intervals = camera->source->Intervals();
    for (ULONG i = 0; i < item.Count && (i + 1) * sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) <= available; ++i) {
      KS_DATAFORMAT_VIDEOINFOHEADER want;
      std::memcpy(&want, ranges + i * sizeof want, sizeof want);
      const auto& bmi = want.VideoInfoHeader.bmiHeader;
      for (const VideoFormat& f : camera->source->Formats()) {
        if (want.DataFormat.SubFormat != GUID_NULL && want.DataFormat.SubFormat != f.subtype) continue;
        if (bmi.biWidth != 0 && bmi.biWidth != f.width) continue;
        if (bmi.biHeight != 0 && std::abs(bmi.biHeight) != f.height) continue;
        VideoFormat chosen = f;
        REFERENCE_TIME asked = want.VideoInfoHeader.AvgTimePerFrame;
        if (asked > 0) {  // the offered interval nearest to the one asked for
          chosen.interval = intervals.front();
          for (REFERENCE_TIME t : intervals) {
            if (std::llabs(t - asked) < std::llabs(chosen.interval - asked)) chosen.interval = t;
          }
        }
        KS_DATAFORMAT_VIDEOINFOHEADER result = MakeFormat(chosen);
        ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
        if (length >= sizeof result) {
          KIRQL old;
          KeAcquireSpinLock(&camera->lock, &old);
          camera->negotiated = chosen;
          KeReleaseSpinLock(&camera->lock, old);
        }
        return Reply(irp, &result, sizeof result);
      }
    }
    return Complete(irp, STATUS_NO_MATCH);
  }
  return Complete(irp, STATUS_NOT_FOUND);
}

NTSTATUS StateProperty(CameraState* camera, PIRP irp, const KSPROPERTY& p) {
  if (p.Id != KSPROPERTY_CONNECTION_STATE) return Complete(irp, STATUS_NOT_FOUND);
  ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  if (p.Flags & KSPROPERTY_TYPE_GET) {
    KIRQL old;
    KeAcquireSpinLock(&camera->lock, &old);
    ULONG state = camera->state;
    KeReleaseSpinLock(&camera->lock, old);
    return Reply(irp, &state, sizeof state);
  }
  if (!(p.Flags & KSPROPERTY_TYPE_SET)) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  if (length < sizeof(ULONG) || irp->UserBuffer == nullptr) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
  ULONG wanted;
  std::memcpy(&wanted, irp->UserBuffer, sizeof wanted);
  if (wanted > KSSTATE_RUN) return Complete(irp, STATUS_INVALID_PARAMETER);
  bool stopping = false;
  {
    // Slow set-up of the source happens before the stream starts, so the
    // first frame is on time.
    KIRQL old;
    KeAcquireSpinLock(&camera->lock, &old);
    const bool leavingStop = camera->state == KSSTATE_STOP && wanted != KSSTATE_STOP;
    VideoFormat next = camera->negotiated;
    KeReleaseSpinLock(&camera->lock, old);
    if (leavingStop) camera->source->Prepare(next);
  }
  {
    KIRQL old;
    KeAcquireSpinLock(&camera->lock, &old);
    if (camera->removed) {
      KeReleaseSpinLock(&camera->lock, old);
      return Complete(irp, STATUS_DEVICE_REMOVED);
    }
    KSSTATE previous = camera->state;
    if (previous == KSSTATE_STOP && wanted != KSSTATE_STOP) {
      camera->active = camera->negotiated;
      camera->frame = 0;
    }
    if (wanted == KSSTATE_RUN && previous != KSSTATE_RUN) {
      LONGLONG interval = static_cast<LONGLONG>(static_cast<double>(camera->active.interval) / camera->speed);
      camera->nextDue = Now() + interval;
    }
    stopping = wanted == KSSTATE_STOP && previous != KSSTATE_STOP;
    camera->state = static_cast<KSSTATE>(wanted);
    KeReleaseSpinLock(&camera->lock, old);
  }
  KeSetEvent(&camera->wake, IO_NO_INCREMENT, FALSE);
  if (stopping) CancelAllReads(camera, STATUS_CANCELLED);
  return Complete(irp, STATUS_SUCCESS, 0);
}

// Range and default replies of a LONG property.
NTSTATUS RangeReply(PIRP irp, const KSPROPERTY& p, const ControlRange& range) {
  if (p.Flags & KSPROPERTY_TYPE_BASICSUPPORT) {
    KS_PROPERTY_RANGE_REPLY reply{};
    reply.Description.AccessFlags = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT |
                                    KSPROPERTY_TYPE_DEFAULTVALUES;
    reply.Description.DescriptionSize = sizeof reply;
    reply.Description.MembersListCount = 1;
    reply.Members.MembersFlags = KSPROPERTY_MEMBER_STEPPEDRANGES;
    reply.Members.MembersSize = sizeof(KSPROPERTY_STEPPING_LONG);
    reply.Members.MembersCount = 1;
    reply.Stepping.SteppingDelta = static_cast<ULONG>(range.step);
    reply.Stepping.Bounds = {range.minimum, range.maximum};
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    if (length == sizeof(ULONG)) return Reply(irp, &reply.Description.AccessFlags, sizeof(ULONG));
    return Reply(irp, &reply, sizeof reply);
  }
  KS_PROPERTY_DEFAULT_REPLY reply{};
  reply.Description.AccessFlags = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_DEFAULTVALUES;
  reply.Description.DescriptionSize = sizeof reply;
  reply.Description.MembersListCount = 1;
  reply.Members.MembersFlags = KSPROPERTY_MEMBER_VALUES;
  reply.Members.MembersSize = sizeof(LONG);
  reply.Members.MembersCount = 1;
  reply.Members.Flags = KSPROPERTY_MEMBER_FLAG_DEFAULT;
  reply.Default = range.defaultValue;
  return Reply(irp, &reply, sizeof reply);
}

// GET/SET of one LONG control whose value and flags live at `value`/`flags`.
// The reply (and, for SET, the request) is the property structure itself:
// header, then Value, Flags, Capabilities.
NTSTATUS ValueProperty(CameraState* camera, PIRP irp, const KSPROPERTY& p, ULONG headerSize, LONG* value,
                       ULONG* flags, const ControlRange& range, ULONG capabilities, bool pushControls) {
  if (p.Flags & (KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_DEFAULTVALUES)) return RangeReply(irp, p, range);
  const ULONG size = headerSize + 3 * sizeof(ULONG);
  ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  if (p.Flags & KSPROPERTY_TYPE_SET) {
    if (length < size || irp->UserBuffer == nullptr) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
    LONG wanted;
    ULONG wantedFlags;
    std::memcpy(&wanted, static_cast<BYTE*>(irp->UserBuffer) + headerSize, sizeof wanted);
    std::memcpy(&wantedFlags, static_cast<BYTE*>(irp->UserBuffer) + headerSize + 4, sizeof wantedFlags);
    const bool automatic = (wantedFlags & 1) != 0 && (capabilities & 1) != 0;
    const bool inRange = wanted >= range.minimum && wanted <= range.maximum;
    if (!automatic && !inRange) return Complete(irp, STATUS_INVALID_PARAMETER);
    PictureControls controls;
    {
      KIRQL old;
      KeAcquireSpinLock(&camera->lock, &old);
      if (inRange) *value = wanted;  // an automatic setting keeps a valid manual value too
      if (flags != nullptr) *flags = automatic ? 1u : 2u;
      controls = camera->controls;
      KeReleaseSpinLock(&camera->lock, old);
    }
    if (pushControls) camera->source->SetControls(controls);
    return Complete(irp, STATUS_SUCCESS, 0);
  }
  if (!(p.Flags & KSPROPERTY_TYPE_GET)) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  std::vector<BYTE> reply(size, 0);
  const auto* in = static_cast<const BYTE*>(IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer);
  std::memcpy(reply.data(), in, headerSize);
  KIRQL old;
  KeAcquireSpinLock(&camera->lock, &old);
  LONG v = *value;
  ULONG f = flags != nullptr ? *flags : 2u;
  KeReleaseSpinLock(&camera->lock, old);
  std::memcpy(reply.data() + headerSize, &v, 4);
  std::memcpy(reply.data() + headerSize + 4, &f, 4);
  std::memcpy(reply.data() + headerSize + 8, &capabilities, 4);
  return Reply(irp, reply.data(), size);
}

NTSTATUS PropertyRequest(CameraState* camera, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const auto* in = static_cast<const BYTE*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
  if (in == nullptr || inLength < sizeof(KSPROPERTY)) return Complete(irp, STATUS_INVALID_PARAMETER);
  KSPROPERTY p;
  std::memcpy(&p, in, sizeof p);
  const bool topology = (p.Flags & KSPROPERTY_TYPE_TOPOLOGY) != 0;
  ULONG node = ~0u;
  if (topology) {
    if (inLength < sizeof(KSP_NODE)) return Complete(irp, STATUS_INVALID_PARAMETER);
    KSP_NODE n;
    std::memcpy(&n, in, sizeof n);
    node = n.NodeId;
  }
  if (p.Set == KSPROPSETID_Pin) return PinProperty(camera, irp, p, in, inLength);
  if (p.Set == KSPROPSETID_Connection) return StateProperty(camera, irp, p);
  if (p.Set == KSPROPSETID_Topology && p.Id == KSPROPERTY_TOPOLOGY_NODES && (p.Flags & KSPROPERTY_TYPE_GET)) {
    struct {
      KSMULTIPLE_ITEM item;
      GUID nodes[2];
    } reply{{sizeof reply, 2}, {KSNODETYPE_VIDEO_CAMERA_TERMINAL, KSNODETYPE_VIDEO_PROCESSING}};
    return Reply(irp, &reply, sizeof reply);
  }
  if (p.Set == PROPSETID_VIDCAP_VIDEOPROCAMP) {
    if (!topology && p.Id < 10) {
      ControlRange range;
      if (!camera->source->ControlRangeOf(p.Id, &range)) return Complete(irp, STATUS_NOT_FOUND);
      return ValueProperty(camera, irp, p, sizeof(KSPROPERTY), &camera->controls.value[p.Id], nullptr, range,
                           KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL, true);
    }
    if (topology && node == 1 && p.Id == KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY) {
      return ValueProperty(camera, irp, p, sizeof(KSP_NODE), &camera->powerLine, nullptr, ControlRange{1, 2, 1, 2},
                           KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL, false);
    }
    return Complete(irp, STATUS_NOT_FOUND);
  }
  if (p.Set == PROPSETID_VIDCAP_CAMERACONTROL) {
    if (topology && node == 0 && p.Id == KSPROPERTY_CAMERACONTROL_FOCUS) {
      return ValueProperty(camera, irp, p, sizeof(KSP_NODE), &camera->focus, &camera->focusFlags,
                           ControlRange{0, 10, 1, 0},
                           KSPROPERTY_CAMERACONTROL_FLAGS_AUTO | KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL, false);
    }
    if (!topology && p.Id == KSPROPERTY_CAMERACONTROL_AUTO_EXPOSURE_PRIORITY) {
      return ValueProperty(camera, irp, p, sizeof(KSPROPERTY), &camera->autoExposurePriority, nullptr,
                           ControlRange{0, 1, 1, 0}, KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL, false);
    }
    return Complete(irp, STATUS_NOT_FOUND);
  }
  return Complete(irp, STATUS_NOT_FOUND);
}

// ---------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------

NTSTATUS DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
  CameraState* camera = CameraOf(device);
  KIRQL old;
  KeAcquireSpinLock(&camera->lock, &old);
  bool removed = camera->removed;
  KeReleaseSpinLock(&camera->lock, old);
  UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  return Complete(irp, removed && major == IRP_MJ_CREATE ? STATUS_DEVICE_REMOVED : STATUS_SUCCESS);
}

NTSTATUS DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
  CameraState* camera = CameraOf(device);
  switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_KS_PROPERTY: return PropertyRequest(camera, irp);
    case IOCTL_KS_READ_STREAM: return ReadStream(camera, irp);
    default: return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

void StartPacing(CameraState* camera) {
  if (camera->thread != nullptr) return;
  HANDLE handle = nullptr;
  if (!NT_SUCCESS(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, PacingThread, camera))) {
    return;
  }
  ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &camera->thread, nullptr);
  ZwClose(handle);
}

void StopPacing(CameraState* camera) {
  if (camera->thread == nullptr) return;
  KeSetEvent(&camera->stop, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(camera->thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(camera->thread);
  camera->thread = nullptr;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  CameraState* camera = CameraOf(device);
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      StartPacing(camera);
      return Complete(irp, camera->thread != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL: {
      KIRQL old;
      KeAcquireSpinLock(&camera->lock, &old);
      camera->removed = true;
      camera->state = KSSTATE_STOP;
      KeReleaseSpinLock(&camera->lock, old);
      KeSetEvent(&camera->wake, IO_NO_INCREMENT, FALSE);
      CancelAllReads(camera, STATUS_DEVICE_REMOVED);
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_REMOVE_DEVICE: {
      {
        KIRQL old;
        KeAcquireSpinLock(&camera->lock, &old);
        camera->removed = true;
        camera->state = KSSTATE_STOP;
        KeReleaseSpinLock(&camera->lock, old);
      }
      StopPacing(camera);
      CancelAllReads(camera, STATUS_DEVICE_REMOVED);
      {
        std::lock_guard<std::mutex> guard(g_registryLock);
        Registry().erase(camera->instanceId);
      }
      Complete(irp, STATUS_SUCCESS);
      IoDeleteDevice(device);
      delete camera;
      return STATUS_SUCCESS;
    }
    default: {
      NTSTATUS status = irp->IoStatus.Status;  // a bus driver leaves requests it does not handle as they are
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
  }
}

NTSTATUS DispatchPower(PDEVICE_OBJECT, PIRP irp) {
  PoStartNextPowerIrp(irp);
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS CameraDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->DriverUnload = [](PDRIVER_OBJECT) {};
  return STATUS_SUCCESS;
}

std::mutex g_plugLock;  // serialises instance naming
int g_nextInstance = 0;  // guarded by g_plugLock

}  // namespace

NTSTATUS PlugCamera(std::unique_ptr<FrameSource> source, const CameraOptions& options, std::wstring* instanceId) {
  if (!source) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> plug(g_plugLock);
  NTSTATUS status = ntkernel::RegisterDriverModule(kService, CameraDriverEntry);
  if (!NT_SUCCESS(status)) return status;
  PDRIVER_OBJECT driver = nullptr;
  status = ntkernel::LoadDriver(kService, &driver);
  if (!NT_SUCCESS(status)) return status;
  std::wstring id = options.instanceId;
  if (id.empty()) {
    do {
      id = L"ZorcamCamera" + std::to_wstring(g_nextInstance++);
    } while (ntkernel::FindDeviceByName(L"\\Device\\" + id) != nullptr);
  }
  std::wstring name = L"\\Device\\" + id;
  UNICODE_STRING deviceName;
  RtlInitUnicodeString(&deviceName, name.c_str());
  PDEVICE_OBJECT device = nullptr;
  status = IoCreateDevice(driver, sizeof(CameraExtension), &deviceName, FILE_DEVICE_KS, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* camera = new CameraState;
  camera->device = device;
  camera->instanceId = id;
  camera->speed = options.speed > 0 ? options.speed : 1.0;
  camera->unpaced = options.unpaced;
  camera->source = std::move(source);
  KeInitializeSpinLock(&camera->lock);
  InitializeListHead(&camera->reads);
  KeInitializeEvent(&camera->stop, NotificationEvent, FALSE);
  KeInitializeEvent(&camera->wake, SynchronizationEvent, FALSE);
  for (ULONG i = 0; i < 10; ++i) {
    ControlRange range{};
    camera->controls.value[i] = camera->source->ControlRangeOf(i, &range) ? range.defaultValue : 0;
  }
  camera->negotiated = camera->source->Formats().front();
  camera->active = camera->negotiated;
  static_cast<CameraExtension*>(device->DeviceExtension)->camera = camera;
  device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
  {
    std::lock_guard<std::mutex> guard(g_registryLock);
    Registry()[id] = camera;
  }
  ntkernel::DeviceDescription description;
  description.instanceId = id;
  description.friendlyName = camera->source->FriendlyName();
  description.upperFilters = options.upperFilters;
  description.driverKeyDwords = options.driverKeyDwords;
  status = ntkernel::DeviceArrived(description, device);  // on failure the stack (and the camera) is removed
  if (NT_SUCCESS(status) && instanceId != nullptr) *instanceId = id;
  return status;
}

NTSTATUS UnplugCamera(const std::wstring& instanceId, bool surprise) {
  return surprise ? ntkernel::SurpriseRemoveDevice(instanceId) : ntkernel::RemoveDevice(instanceId);
}

std::wstring EnsureDefaultCamera() {
  auto devices = ntkernel::ListDevices();
  if (!devices.empty()) return devices.front().instanceId;
  std::wstring id;
  PlugCamera(CreateVirtualCamera(), CameraOptions{}, &id);
  return id;
}

bool QueryCameraStats(const std::wstring& instanceId, CameraStats* stats) {
  std::lock_guard<std::mutex> guard(g_registryLock);
  auto it = Registry().find(instanceId);
  if (it == Registry().end()) return false;
  CameraState* camera = it->second;
  KIRQL old;
  KeAcquireSpinLock(&camera->lock, &old);
  *stats = CameraStats{camera->delivered, camera->cancelled, camera->state, camera->active};
  KeReleaseSpinLock(&camera->lock, old);
  return true;
}

}  // namespace kscamera
