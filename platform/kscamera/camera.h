// The camera minidriver model: the bottom driver of a camera device stack,
// and the frame-source interface beneath it.
//
// A camera is a physical device object of the "ZorcamCamera" driver, named
// "\Device\<instanceId>", reported to the PnP manager, which builds the stack
// over it (the class upper filters) and starts it. The driver answers the
// kernel-streaming requests of ks.h on its one capture pin (pin 0):
// - IOCTL_KS_PROPERTY: Pin CTYPES / DATARANGES / DATAINTERSECTION,
//   Connection STATE (get/set; reads are accepted only in KSSTATE_RUN),
//   the proc-amp set (values 0..9 on the filter, get/set/ranges/defaults),
//   Topology NODES (node 0 camera terminal, node 1 processing unit), focus on
//   node 0 (value and auto flag), power-line frequency on node 1 (1 = 50 Hz,
//   2 = 60 Hz), camera control 19 (auto-exposure priority) on the filter.
// - IOCTL_KS_READ_STREAM: queued cancel-safely; a pacing thread completes the
//   oldest read at each frame interval of the negotiated format with the
//   source's next frame (DataUsed = frame length, PresentationTime = stream
//   time). A read whose buffer is smaller than FrameBufferSize fails with
//   STATUS_BUFFER_TOO_SMALL; reads are queued in ACQUIRE, PAUSE and RUN
//   (frames flow only in RUN) and fail with STATUS_INVALID_DEVICE_STATE in
//   STOP; going to STOP cancels the queued reads. After removal reads fail
//   with STATUS_DEVICE_REMOVED.
// The format is the result of the last data intersection (it is what the
// graph asked for); before any intersection it is the source's first format.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kscamera/ks.h"
#include "ntkernel/pnp.h"

namespace kscamera {

struct VideoFormat {
  GUID subtype;             // MEDIASUBTYPE_YUY2 or MEDIASUBTYPE_MJPG
  LONG width;
  LONG height;
  REFERENCE_TIME interval;  // 100 ns per frame (333333 = 30 fps, 1250000 = 8 fps)
};

// Bytes of one YUY2 frame; the buffer size a read needs for any format
// (MJPEG frames never exceed the YUY2 size of the same picture).
ULONG FrameBufferSize(const VideoFormat& format);

// One proc-amp property as the camera offers it.
struct ControlRange {
  LONG minimum;
  LONG maximum;
  LONG step;
  LONG defaultValue;
};

// The picture controls a source reacts to (the proc-amp values by index
// KSPROPERTY_VIDEOPROCAMP_*, 0..9).
struct PictureControls {
  LONG value[10];
};

// What produces a camera's frames. Called by the camera's pacing thread only
// (never concurrently with itself); SetControls may come from any thread.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  virtual std::wstring FriendlyName() const = 0;
  // Every format offered, in preference order, with the default interval.
  virtual std::vector<VideoFormat> Formats() const = 0;
  // Frame intervals offered for every size (first = default).
  virtual std::vector<REFERENCE_TIME> Intervals() const = 0;
  // Proc-amp ranges by property index 0..9; `supported` false leaves one out.
  virtual bool ControlRangeOf(ULONG property, ControlRange* range) const = 0;
  virtual void SetControls(const PictureControls& controls) = 0;
  // A stream of this format is about to start: do slow set-up work here, off
  // the frame path (called by the camera when the pin leaves STOP).
  virtual void Prepare(const VideoFormat& format) { (void)format; }
  // Writes frame number `frame` of `format` into `buffer` (capacity bytes);
  // returns the frame length, 0 if it does not fit.
  virtual ULONG Produce(const VideoFormat& format, ULONGLONG frame, BYTE* buffer, ULONG capacity) = 0;
};

// The virtual camera: "Zorcam Virtual Camera" (or the given name), YUY2 and
// MJPG (JPEG 4:2:2) at 320x240, 640x480 and 1280x720, 30 and 8 frames per
// second, a moving, detailed test picture that follows brightness, contrast,
// hue, saturation, sharpness, gamma and back-light compensation.
std::unique_ptr<FrameSource> CreateVirtualCamera(const std::wstring& friendlyName = L"Zorcam Virtual Camera");

struct CameraOptions {
  std::wstring instanceId;  // empty: "ZorcamCamera<n>"
  std::vector<std::wstring> upperFilters;  // device-specific, above the class filters
  std::vector<std::pair<std::wstring, ULONG>> driverKeyDwords;
  // Frames are paced by the format's interval; tests may scale time (2.0 =
  // twice as fast) to keep their run short.
  double speed = 1.0;
  // No pacing: every read is answered as soon as it is queued (benchmarks
  // that measure the stack, not the frame rate).
  bool unpaced = false;
};

// Plugs a camera in: creates its device, reports it to the PnP manager (which
// builds and starts the stack). *instanceId receives the instance id.
NTSTATUS PlugCamera(std::unique_ptr<FrameSource> source, const CameraOptions& options, std::wstring* instanceId);
// Unplugs it: orderly (query remove + remove) or surprise removal.
NTSTATUS UnplugCamera(const std::wstring& instanceId, bool surprise = false);

// The default camera the program uses when nothing else is configured:
// plugs one virtual camera if no camera is present. Returns its instance id.
std::wstring EnsureDefaultCamera();

// Counters of one camera for tests: frames delivered, reads cancelled.
struct CameraStats {
  ULONGLONG framesDelivered;
  ULONGLONG readsCancelled;
  KSSTATE state;
  VideoFormat format;
};
bool QueryCameraStats(const std::wstring& instanceId, CameraStats* stats);

}  // namespace kscamera
