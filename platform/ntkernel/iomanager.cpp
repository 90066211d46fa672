// The I/O manager's user-mode side: file objects, create/cleanup/close,
// device-control requests with their buffer copies, cancel, and NTSTATUS to
// Win32 error translation.
//
// Ownership: a FileObjectModel is shared by the handle (OpenFile) and every
// request in flight on it; IRP_MJ_CLOSE goes down when the handle is closed
// and the last request has finished. The file's lock guards its pending set
// and flags; it is never held while a driver routine runs.
#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

#include "ntkernel/iomanager.h"
#include "ntkernel/model.h"

namespace ntkernel::detail {

namespace {

struct Waiter {
  std::mutex lock;
  std::condition_variable cv;
  bool done = false;  // guarded by lock
};

}  // namespace

NTSTATUS SendAndWait(PDEVICE_OBJECT device, PIRP irp, ULONG_PTR* information) {
  auto waiter = std::make_shared<Waiter>();
  NTSTATUS finalStatus = STATUS_PENDING;
  ULONG_PTR finalInformation = 0;
  irp->ModelState->finish = [waiter, &finalStatus, &finalInformation](PIRP done) {
    std::lock_guard<std::mutex> guard(waiter->lock);
    finalStatus = done->IoStatus.Status;
    finalInformation = done->IoStatus.Information;
    waiter->done = true;
    waiter->cv.notify_all();
  };
  AddIrpRef(irp);  // held across the call so a double completion is seen, not a freed request
  IoCallDriver(device, irp);
  {
    std::unique_lock<std::mutex> lock(waiter->lock);
    waiter->cv.wait(lock, [&] { return waiter->done; });
  }
  ReleaseIrp(irp);
  ReleaseIrp(irp);
  if (information != nullptr) *information = finalInformation;
  return finalStatus;
}

}  // namespace ntkernel::detail

namespace ntkernel::io {
namespace {

using namespace ntkernel::detail;

class FileObjectModel : public OpenFile, public std::enable_shared_from_this<FileObjectModel> {
 public:
  FileObjectModel(PDEVICE_OBJECT device, PDEVICE_OBJECT top, PDEVICE_OBJECT bottom)
      : device_(device), top_(top), bottom_(bottom) {
    file_.Type = 5;
    file_.Size = sizeof(FILE_OBJECT);
    file_.DeviceObject = device;
  }

  ~FileObjectModel() override {
    ObDereferenceObject(top_);
    ObDereferenceObject(device_);
  }

  PFILE_OBJECT File() { return &file_; }
  PDEVICE_OBJECT Top() { return top_; }

  NTSTATUS SendSimple(UCHAR major, ACCESS_MASK access) {
    PIRP irp = AllocateIrp(top_->StackSize);
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = &file_;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = &file_;
    if (major == IRP_MJ_CREATE) next->Parameters.Create.DesiredAccess = access;
    return SendAndWait(top_, irp);
  }

  NTSTATUS DeviceControl(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                         Completion done) override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (closing_) return STATUS_INVALID_HANDLE;
    }
    PIRP irp = AllocateIrp(top_->StackSize);
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = &file_;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->FileObject = &file_;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = inLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outLength;

    // Model copies of the caller's buffers; freed with the request.
    auto buffers = std::make_shared<Buffers>();
    const ULONG method = METHOD_FROM_CTL_CODE(code);
    if (in == nullptr) inLength = 0;
    if (out == nullptr) outLength = 0;
    if (method == METHOD_BUFFERED) {
      // The input fills the front of the system buffer; only the rest starts as zeros.
      const ULONG size = std::max(inLength, outLength);
      if (size > 0) {
        buffers->systemBuffer = std::make_unique_for_overwrite<char[]>(size);
        if (inLength > 0) std::memcpy(buffers->systemBuffer.get(), in, inLength);
        std::memset(buffers->systemBuffer.get() + inLength, 0, size - inLength);
      }
      irp->AssociatedIrp.SystemBuffer = buffers->systemBuffer.get();
    } else if (method == METHOD_NEITHER) {
      buffers->input.assign(static_cast<const char*>(in), static_cast<const char*>(in) + inLength);
      buffers->output.assign(static_cast<const char*>(out), static_cast<const char*>(out) + outLength);
      next->Parameters.DeviceIoControl.Type3InputBuffer = buffers->input.empty() ? nullptr : buffers->input.data();
      irp->UserBuffer = buffers->output.empty() ? nullptr : buffers->output.data();
      for (auto* v : {&buffers->input, &buffers->output}) {
        if (v->empty()) continue;
        RegisterProbeRange(v->data(), v->size());
        irp->ModelState->probeRanges.emplace_back(v->data(), v->size());
      }
    } else {  // direct: input buffered, output described by an MDL
      buffers->system.assign(inLength, 0);
      if (inLength > 0) std::memcpy(buffers->system.data(), in, inLength);
      irp->AssociatedIrp.SystemBuffer = buffers->system.empty() ? nullptr : buffers->system.data();
      buffers->output.assign(static_cast<const char*>(out), static_cast<const char*>(out) + outLength);
      if (outLength > 0) IoAllocateMdl(buffers->output.data(), outLength, FALSE, FALSE, irp);
    }
    irp->ModelState->issuerOutput = out;

    auto self = shared_from_this();
    irp->ModelState->finish = [self, buffers, method, out, outLength, done = std::move(done)](PIRP irp) {
      NTSTATUS status = irp->IoStatus.Status;
      ULONG_PTR information = irp->IoStatus.Information;
      if (!NT_ERROR(status) && out != nullptr) {
        SIZE_T n = std::min<SIZE_T>(information, outLength);
        const char* source = method == METHOD_BUFFERED ? buffers->systemBuffer.get() : buffers->output.data();
        if (n > 0) std::memcpy(out, source, n);
      }
      for (PMDL mdl = irp->MdlAddress; mdl != nullptr;) {
        PMDL next = mdl->Next;
        IoFreeMdl(mdl);
        mdl = next;
      }
      irp->MdlAddress = nullptr;
      self->RequestFinished(irp);
      // The request's reference goes before the issuer hears of it: a caller
      // that closes its handle right after a synchronous request then sends
      // IRP_MJ_CLOSE itself, before anything can remove the stack.
      self->DropReference(false);
      if (done) done(status, information);
      ReleaseIrp(irp);
    };
    {
      std::lock_guard<std::mutex> guard(lock_);
      pending_.insert(irp);
      ++references_;
    }
    AddIrpRef(irp);  // held across the call: a driver that completes twice is reported, not a crash
    NTSTATUS status = IoCallDriver(top_, irp);
    ReleaseIrp(irp);
    return status;
  }

  void CancelAll() override {
    std::vector<PIRP> irps;
    {
      std::lock_guard<std::mutex> guard(lock_);
      for (PIRP irp : pending_) {
        AddIrpRef(irp);
        irps.push_back(irp);
      }
    }
    for (PIRP irp : irps) {
      IoCancelIrp(irp);
      ReleaseIrp(irp);
    }
  }

  void Close() override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (closing_) return;
      closing_ = true;
    }
    CancelAll();
    SendSimple(IRP_MJ_CLEANUP, 0);
    DropReference(true);  // the handle's
  }

  size_t PendingCount() const override {
    std::lock_guard<std::mutex> guard(lock_);
    return pending_.size();
  }

  void Opened() {
    std::lock_guard<std::mutex> guard(lock_);
    references_ = 1;
  }

 private:
  struct Buffers {
    std::unique_ptr<char[]> systemBuffer;  // METHOD_BUFFERED: max(input, output) bytes
    std::vector<char> system;              // direct I/O: the input
    std::vector<char> input;
    std::vector<char> output;
  };

  void RequestFinished(PIRP irp) {
    std::lock_guard<std::mutex> guard(lock_);
    pending_.erase(irp);
  }

  // The last reference sends IRP_MJ_CLOSE: at once on the closing thread, or
  // from a model worker when a request finishes last (its completion may run
  // at DISPATCH_LEVEL or inside a driver's routine).
  void DropReference(bool onClosingThread) {
    bool last;
    {
      std::lock_guard<std::mutex> guard(lock_);
      last = --references_ == 0;
    }
    if (!last) return;
    auto self = shared_from_this();
    if (onClosingThread && KeGetCurrentIrql() == PASSIVE_LEVEL) {
      self->SendClose();
    } else {
      QueueModelWork([self] { self->SendClose(); });
    }
  }

  void SendClose() {
    SendSimple(IRP_MJ_CLOSE, 0);
    PnpFileClosed(bottom_);
  }

  PDEVICE_OBJECT device_;  // the named device opened (referenced)
  PDEVICE_OBJECT top_;     // top of its stack at open time (referenced); all requests go here
  PDEVICE_OBJECT bottom_;  // bottom of the stack (PnP bookkeeping)
  FILE_OBJECT file_{};
  mutable std::mutex lock_;
  std::set<PIRP> pending_;  // guarded by lock_
  int references_ = 0;      // the handle + each pending request; guarded by lock_
  bool closing_ = false;    // guarded by lock_
};

}  // namespace

NTSTATUS OpenDevice(const std::wstring& userPath, ACCESS_MASK desiredAccess, std::shared_ptr<OpenFile>* file) {
  file->reset();
  PDEVICE_OBJECT device = ResolveUserPath(userPath);
  if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  PDEVICE_OBJECT bottom = BottomDevice(device);
  NTSTATUS status = PnpCheckOpen(bottom);
  if (!NT_SUCCESS(status)) {
    ObDereferenceObject(device);
    return status;
  }
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  if (top->Flags & DO_DEVICE_INITIALIZING) {
    ObDereferenceObject(top);
    ObDereferenceObject(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  auto model = std::make_shared<FileObjectModel>(device, top, bottom);
  status = model->SendSimple(IRP_MJ_CREATE, desiredAccess);
  if (!NT_SUCCESS(status)) return status;
  model->Opened();
  PnpFileOpened(bottom);
  *file = model;
  return STATUS_SUCCESS;
}

ULONG NtStatusToWin32Error(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS: return ERROR_SUCCESS;
    case STATUS_PENDING: return ERROR_IO_PENDING;
    case STATUS_TIMEOUT: return 1460;  // ERROR_TIMEOUT
    case STATUS_BUFFER_OVERFLOW: return ERROR_MORE_DATA;
    case STATUS_UNSUCCESSFUL: return ERROR_GEN_FAILURE;
    case STATUS_NOT_IMPLEMENTED: return ERROR_INVALID_FUNCTION;
    case STATUS_INVALID_HANDLE: return ERROR_INVALID_HANDLE;
    case STATUS_INVALID_PARAMETER: return ERROR_INVALID_PARAMETER;
    case STATUS_NO_SUCH_DEVICE: return ERROR_FILE_NOT_FOUND;
    case STATUS_INVALID_DEVICE_REQUEST: return ERROR_INVALID_FUNCTION;
    case STATUS_NO_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
    case STATUS_ACCESS_DENIED: return ERROR_ACCESS_DENIED;
    case STATUS_BUFFER_TOO_SMALL: return ERROR_INSUFFICIENT_BUFFER;
    case STATUS_OBJECT_NAME_INVALID: return 123;  // ERROR_INVALID_NAME
    case STATUS_OBJECT_NAME_NOT_FOUND: return ERROR_FILE_NOT_FOUND;
    case STATUS_OBJECT_NAME_COLLISION: return ERROR_ALREADY_EXISTS;
    case STATUS_OBJECT_PATH_NOT_FOUND: return ERROR_PATH_NOT_FOUND;
    case STATUS_DELETE_PENDING: return ERROR_ACCESS_DENIED;
    case STATUS_INSUFFICIENT_RESOURCES: return 1450;  // ERROR_NO_SYSTEM_RESOURCES
    case STATUS_DEVICE_NOT_READY: return ERROR_NOT_READY;
    case STATUS_NOT_SUPPORTED: return ERROR_NOT_SUPPORTED;
    case STATUS_CANCELLED: return ERROR_OPERATION_ABORTED;
    case STATUS_INVALID_DEVICE_STATE: return 5023;  // ERROR_INVALID_STATE
    case STATUS_DEVICE_NOT_CONNECTED: return 1167;  // ERROR_DEVICE_NOT_CONNECTED
    case STATUS_NOT_FOUND: return 1168;             // ERROR_NOT_FOUND
    case STATUS_DEVICE_REMOVED: return ERROR_DEVICE_REMOVED;
    case STATUS_ACCESS_VIOLATION: return 998;  // ERROR_NOACCESS
    case STATUS_INVALID_USER_BUFFER: return 1784;  // ERROR_INVALID_USER_BUFFER
    case STATUS_DATATYPE_MISALIGNMENT: return 998;
    default: break;
  }
  return 317;  // ERROR_MR_MID_NOT_FOUND: no Win32 equivalent
}

}  // namespace ntkernel::io
