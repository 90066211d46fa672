// The camera-application helper: kernel-streaming requests from user mode
// through CreateFileW/DeviceIoControl, and a reader thread that keeps
// several overlapped reads outstanding.
//
// Ownership: the reader thread owns the read buffers, headers and OVERLAPPED
// records; it frees them only after every read it issued has completed (it
// cancels them first when asked to stop).
#include "kscamera/camera_app.h"

#include <cstring>
#include <deque>

#include "ntkernel/pnp.h"
#include "win32/devio.h"
#include "win32/sync.h"

namespace kscamera {
namespace {

KSPROPERTY Property(const GUID& set, ULONG id, ULONG flags) { return KSPROPERTY{set, id, flags}; }

}  // namespace

CameraApp::~CameraApp() { Close(); }

bool CameraApp::Open(const std::wstring& friendlyName) {
  for (const auto& device : ntkernel::ListDevices(ntkernel::kCameraClass)) {
    if (friendlyName.empty() || device.friendlyName == friendlyName) return OpenInstance(device.instanceId);
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return false;
}

bool CameraApp::OpenInstance(const std::wstring& instanceId) {
  Close();
  std::wstring path = L"\\\\.\\" + instanceId;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  device_ = h;
  return true;
}

void CameraApp::Close() {
  Stop();
  if (device_ != nullptr) {
    CloseHandle(device_);
    device_ = nullptr;
  }
}

bool CameraApp::KsProperty(const void* property, ULONG propertyLength, void* data, ULONG dataLength, ULONG* returned) {
  DWORD bytes = 0;
  BOOL ok = DeviceIoControl(device_, IOCTL_KS_PROPERTY, const_cast<void*>(property), propertyLength, data, dataLength,
                            &bytes, nullptr);
  if (returned != nullptr) *returned = bytes;
  return ok != FALSE;
}

std::vector<KS_DATAFORMAT_VIDEOINFOHEADER> CameraApp::DataRanges() {
  std::vector<KS_DATAFORMAT_VIDEOINFOHEADER> ranges;
  KSP_PIN pin{Property(KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET), 0, 0};
  ULONG size = 0;
  if (KsProperty(&pin, sizeof pin, nullptr, 0, &size) || GetLastError() != ERROR_MORE_DATA || size == 0) {
    return ranges;
  }
  std::vector<BYTE> buffer(size);
  if (!KsProperty(&pin, sizeof pin, buffer.data(), size, &size) || size < sizeof(KSMULTIPLE_ITEM)) return ranges;
  KSMULTIPLE_ITEM item;
  std::memcpy(&item, buffer.data(), sizeof item);
  for (ULONG i = 0; i < item.Count; ++i) {
    size_t offset = sizeof item + i * sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);
    if (offset + sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) > size) break;
    KS_DATAFORMAT_VIDEOINFOHEADER range;
    std::memcpy(&range, buffer.data() + offset, sizeof range);
    ranges.push_back(range);
  }
  return ranges;
}

bool CameraApp::Negotiate(const VideoFormat& wanted, KS_DATAFORMAT_VIDEOINFOHEADER* result) {
  struct {
    KSP_PIN pin;
    KSMULTIPLE_ITEM item;
    KS_DATAFORMAT_VIDEOINFOHEADER range;
  } request{};
  request.pin = KSP_PIN{Property(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET), 0, 0};
  request.item = KSMULTIPLE_ITEM{static_cast<ULONG>(sizeof request.item + sizeof request.range), 1};
  request.range.DataFormat.FormatSize = sizeof request.range;
  request.range.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
  request.range.DataFormat.SubFormat = wanted.subtype;
  request.range.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  request.range.VideoInfoHeader.bmiHeader.biWidth = wanted.width;
  request.range.VideoInfoHeader.bmiHeader.biHeight = wanted.height;
  request.range.VideoInfoHeader.AvgTimePerFrame = wanted.interval;
  KS_DATAFORMAT_VIDEOINFOHEADER reply{};
  ULONG returned = 0;
  if (!KsProperty(&request, sizeof request, &reply, sizeof reply, &returned) || returned < sizeof reply) return false;
  frameBytes_ = reply.VideoInfoHeader.bmiHeader.biSizeImage;
  if (result != nullptr) *result = reply;
  return true;
}

bool CameraApp::SetState(KSSTATE state) {
  KSPROPERTY p = Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET);
  ULONG value = state;
  return KsProperty(&p, sizeof p, &value, sizeof value, nullptr);
}

bool CameraApp::GetState(KSSTATE* state) {
  KSPROPERTY p = Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_GET);
  ULONG value = 0;
  ULONG returned = 0;
  if (!KsProperty(&p, sizeof p, &value, sizeof value, &returned) || returned != sizeof value) return false;
  *state = static_cast<KSSTATE>(value);
  return true;
}

bool CameraApp::Start(FrameCallback callback, int outstanding) {
  if (device_ == nullptr || reader_.joinable() || outstanding < 1 ||
      outstanding >= static_cast<int>(MAXIMUM_WAIT_OBJECTS)) {
    return false;
  }
  if (frameBytes_ == 0 && !Negotiate(VideoFormat{GUID_NULL, 0, 0, 0}, nullptr)) return false;
  if (!SetState(KSSTATE_ACQUIRE) || !SetState(KSSTATE_PAUSE)) return false;
  callback_ = std::move(callback);
  stopping_ = false;
  stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  reader_ = std::thread([this, outstanding, ready] {
    SetEvent(ready);
    ReaderLoop(outstanding);
  });
  WaitForSingleObject(ready, INFINITE);
  CloseHandle(ready);
  return SetState(KSSTATE_RUN);
}

void CameraApp::Stop() {
  if (!reader_.joinable()) return;
  stopping_ = true;
  SetEvent(stopEvent_);
  reader_.join();
  CloseHandle(stopEvent_);
  stopEvent_ = nullptr;
  SetState(KSSTATE_STOP);
}

void CameraApp::ReaderLoop(int outstanding) {
  struct Slot {
    std::vector<BYTE> frame;
    KSSTREAM_HEADER header;
    OVERLAPPED overlapped;
    bool pending;
  };
  std::vector<Slot> slots(static_cast<size_t>(outstanding));
  auto submit = [&](Slot& s) {
    std::memset(&s.header, 0, sizeof s.header);
    s.header.Size = sizeof s.header;
    s.header.FrameExtent = static_cast<ULONG>(s.frame.size());
    s.header.Data = s.frame.data();
    BOOL done = DeviceIoControl(device_, IOCTL_KS_READ_STREAM, nullptr, 0, &s.header, sizeof s.header, nullptr,
                                &s.overlapped);
    s.pending = done || GetLastError() == ERROR_IO_PENDING;
  };
  for (Slot& s : slots) {
    s.frame.assign(frameBytes_, 0);
    std::memset(&s.overlapped, 0, sizeof s.overlapped);
    s.overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    submit(s);
  }
  // The camera completes reads oldest first, so the reader waits for the
  // oldest outstanding read: frames reach the callback in order.
  std::deque<size_t> order;
  for (size_t i = 0; i < slots.size(); ++i) {
    if (slots[i].pending) order.push_back(i);
  }
  for (;;) {
    if (order.empty() || stopping_) break;
    const size_t which = order.front();
    HANDLE waits[2] = {slots[which].overlapped.hEvent, stopEvent_};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) break;
    order.pop_front();
    Slot& s = slots[which];
    DWORD bytes = 0;
    GetOverlappedResult(device_, &s.overlapped, &bytes, TRUE);
    s.pending = false;
    auto status = static_cast<NTSTATUS>(static_cast<ULONG>(s.overlapped.Internal));
    if (callback_) {
      Frame frame{s.frame.data(), NT_SUCCESS(status) ? s.header.DataUsed : 0, s.header.FrameExtent,
                  s.header.PresentationTime.Time, status};
      callback_(frame);
    }
    if (NT_SUCCESS(status) && !stopping_) {
      submit(s);
      if (s.pending) order.push_back(which);
    }
  }
  // Cancel what is still outstanding and wait for it before the buffers go.
  CancelIo(device_);
  for (Slot& s : slots) {
    if (s.pending) {
      DWORD bytes = 0;
      GetOverlappedResult(device_, &s.overlapped, &bytes, TRUE);
    }
    CloseHandle(s.overlapped.hEvent);
  }
}

bool CameraApp::GetProcAmp(ULONG property, LONG* value, ULONG* flags) {
  KSPROPERTY_VIDEOPROCAMP_S request{Property(PROPSETID_VIDCAP_VIDEOPROCAMP, property, KSPROPERTY_TYPE_GET), 0, 0, 0};
  KSPROPERTY_VIDEOPROCAMP_S reply{};
  ULONG returned = 0;
  if (!KsProperty(&request, sizeof request, &reply, sizeof reply, &returned) || returned < sizeof reply) return false;
  *value = reply.Value;
  if (flags != nullptr) *flags = reply.Flags;
  return true;
}

bool CameraApp::SetProcAmp(ULONG property, LONG value, ULONG flags) {
  KSPROPERTY_VIDEOPROCAMP_S request{Property(PROPSETID_VIDCAP_VIDEOPROCAMP, property, KSPROPERTY_TYPE_SET), value,
                                    flags, 0};
  return KsProperty(&request, sizeof request, &request, sizeof request, nullptr);
}

bool CameraApp::RangeRequest(const void* property, ULONG length, ControlRange* range) {
  std::vector<BYTE> request(static_cast<const BYTE*>(property), static_cast<const BYTE*>(property) + length);
  KSPROPERTY p;
  std::memcpy(&p, request.data(), sizeof p);
  p.Flags = (p.Flags & KSPROPERTY_TYPE_TOPOLOGY) | KSPROPERTY_TYPE_BASICSUPPORT;
  std::memcpy(request.data(), &p, sizeof p);
  KS_PROPERTY_RANGE_REPLY ranges{};
  ULONG returned = 0;
  if (!KsProperty(request.data(), length, &ranges, sizeof ranges, &returned) || returned < sizeof ranges) return false;
  p.Flags = (p.Flags & KSPROPERTY_TYPE_TOPOLOGY) | KSPROPERTY_TYPE_DEFAULTVALUES;
  std::memcpy(request.data(), &p, sizeof p);
  KS_PROPERTY_DEFAULT_REPLY defaults{};
  if (!KsProperty(request.data(), length, &defaults, sizeof defaults, &returned) || returned < sizeof defaults) {
    return false;
  }
  *range = ControlRange{ranges.Stepping.Bounds.SignedMinimum, ranges.Stepping.Bounds.SignedMaximum,
                        static_cast<LONG>(ranges.Stepping.SteppingDelta), defaults.Default};
  return true;
}

bool CameraApp::GetProcAmpRange(ULONG property, ControlRange* range) {
  KSPROPERTY p = Property(PROPSETID_VIDCAP_VIDEOPROCAMP, property, 0);
  return RangeRequest(&p, sizeof p, range);
}

bool CameraApp::TopologyNodes(std::vector<GUID>* nodeTypes) {
  KSPROPERTY p = Property(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, KSPROPERTY_TYPE_GET);
  ULONG size = 0;
  if (KsProperty(&p, sizeof p, nullptr, 0, &size) || GetLastError() != ERROR_MORE_DATA) return false;
  std::vector<BYTE> buffer(size);
  if (!KsProperty(&p, sizeof p, buffer.data(), size, &size) || size < sizeof(KSMULTIPLE_ITEM)) return false;
  KSMULTIPLE_ITEM item;
  std::memcpy(&item, buffer.data(), sizeof item);
  nodeTypes->clear();
  for (ULONG i = 0; i < item.Count && sizeof item + (i + 1) * sizeof(GUID) <= size; ++i) {
    GUID g;
    std::memcpy(&g, buffer.data() + sizeof item + i * sizeof(GUID), sizeof g);
    nodeTypes->push_back(g);
  }
  return true;
}

bool CameraApp::NodeProperty(const GUID& set, ULONG id, ULONG node, ULONG flags, LONG* value, ULONG* valueFlags) {
  KSPROPERTY_CAMERACONTROL_NODE_S request{
      KSP_NODE{Property(set, id, flags | KSPROPERTY_TYPE_TOPOLOGY), node, 0}, *value, *valueFlags, 0};
  if (flags & KSPROPERTY_TYPE_SET) return KsProperty(&request, sizeof request, &request, sizeof request, nullptr);
  KSPROPERTY_CAMERACONTROL_NODE_S reply{};
  ULONG returned = 0;
  if (!KsProperty(&request, sizeof request, &reply, sizeof reply, &returned) || returned < sizeof reply) return false;
  *value = reply.Value;
  *valueFlags = reply.Flags;
  return true;
}

bool CameraApp::GetFocus(LONG* value, ULONG* flags) {
  *value = 0;
  *flags = 0;
  return NodeProperty(PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_FOCUS, 0, KSPROPERTY_TYPE_GET, value,
                      flags);
}

bool CameraApp::SetFocus(LONG value, ULONG flags) {
  return NodeProperty(PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_FOCUS, 0, KSPROPERTY_TYPE_SET, &value,
                      &flags);
}

bool CameraApp::GetPowerLineFrequency(LONG* value, ULONG* flags) {
  *value = 0;
  *flags = 0;
  return NodeProperty(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY, 1,
                      KSPROPERTY_TYPE_GET, value, flags);
}

bool CameraApp::SetPowerLineFrequency(LONG value, ULONG flags) {
  return NodeProperty(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY, 1,
                      KSPROPERTY_TYPE_SET, &value, &flags);
}

bool CameraApp::GetPowerLineFrequencyRange(ControlRange* range) {
  KSP_NODE node{Property(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY,
                         KSPROPERTY_TYPE_TOPOLOGY),
                1, 0};
  return RangeRequest(&node, sizeof node, range);
}

bool CameraApp::GetAutoExposurePriority(LONG* value) {
  KSPROPERTY_CAMERACONTROL_S request{
      Property(PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_AUTO_EXPOSURE_PRIORITY, KSPROPERTY_TYPE_GET),
      0, 0, 0};
  KSPROPERTY_CAMERACONTROL_S reply{};
  ULONG returned = 0;
  if (!KsProperty(&request, sizeof request, &reply, sizeof reply, &returned) || returned < sizeof reply) return false;
  *value = reply.Value;
  return true;
}

bool CameraApp::SetAutoExposurePriority(LONG value) {
  KSPROPERTY_CAMERACONTROL_S request{
      Property(PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_AUTO_EXPOSURE_PRIORITY, KSPROPERTY_TYPE_SET),
      value, 0, 0};
  return KsProperty(&request, sizeof request, &request, sizeof request, nullptr);
}

}  // namespace kscamera
