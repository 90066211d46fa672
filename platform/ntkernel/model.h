// Internal state shared by the kernel model's source files. Not for drivers.
//
// Locks, outermost first (a thread never takes an earlier one while holding a
// later one): PnP operation lock -> PnP data lock -> object lock (devices,
// names) -> IRP registry lock -> pool lock; the dispatcher lock and the DPC /
// work-queue locks are leaves. No model lock is held while a driver routine
// runs, except where Windows itself holds one (the cancel spin lock around a
// cancel routine).
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <source_location>
#include <string>
#include <unordered_set>
#include <vector>

#include "ntkernel/iomanager.h"
#include "ntkernel/verifier.h"
#include "ntkernel/wdm.h"

// Model bookkeeping of a device object.
struct DEVOBJ_EXTENSION {
  std::wstring name;                 // "\Device\..." or empty; guarded by the object lock
  PDEVICE_OBJECT attachedTo = nullptr;  // device below; guarded by the object lock
  bool deleted = false;              // guarded by the object lock
  std::wstring sddl;
  GUID classGuid = GUID_NULL;
  SIZE_T extensionSize = 0;
  std::unordered_set<PIRP> irps;     // requests that entered this device; guarded by the IRP lock
};

// Model bookkeeping of a request.
struct IRP_MODEL_STATE {
  std::vector<IO_STACK_LOCATION> stack;
  std::vector<PDRIVER_OBJECT> routineOwner;  // per location: driver that set its completion routine
  std::atomic<int> refs{1};                  // the issuer's reference; +1 per temporary holder
  std::atomic<bool> completing{false};       // between IoCompleteRequest and the end of its run
  bool finished = false;                     // issuer's finish ran (guarded by the IRP lock)
  bool allocatedByDriver = false;            // IoAllocateIrp: the driver frees it
  std::function<void(PIRP)> finish;          // the issuer's final step
  ntkernel::io::FinishHook hook = nullptr;   // stream layer's final step (before finish)
  PVOID hookContext = nullptr;
  void* issuerOutput = nullptr;
  std::vector<PDEVICE_OBJECT> entered;       // devices the request was passed to; guarded by the IRP lock
  std::vector<std::pair<const char*, SIZE_T>> probeRanges;  // model copies a driver may probe
};

namespace ntkernel::detail {

// Clocks in 100 ns units.
LONGLONG MonotonicNow100ns();
LONGLONG SystemTimeNow100ns();

// The dispatcher lock guards every DISPATCHER_HEADER and the timer list.
std::mutex& DispatcherLock();
void WakeAllWaitersLocked();

// The driver whose code runs on this thread (pool ownership, reports).
PDRIVER_OBJECT CurrentDriver();
class DriverScope {
 public:
  explicit DriverScope(PDRIVER_OBJECT driver);
  ~DriverScope();
  DriverScope(const DriverScope&) = delete;
  DriverScope& operator=(const DriverScope&) = delete;

 private:
  PDRIVER_OBJECT previous_;
};
// Sets the thread's IRQL for the duration of a scope (DPCs run at DISPATCH).
class IrqlScope {
 public:
  explicit IrqlScope(KIRQL irql);
  ~IrqlScope();

 private:
  KIRQL previous_;
};
int SpinLocksHeld();

// Verifier helpers.
std::string Place(const std::source_location& where);
void Report(VerifierCheck check, const void* object, const char* service, const std::source_location& where,
            std::string detail);

// IRPs.
PIRP AllocateIrp(CCHAR stackSize);
void ReleaseIrp(PIRP irp);  // drops one reference; frees at zero
void AddIrpRef(PIRP irp);
// Requests being dispatched on this thread (not outstanding "elsewhere").
bool IsDispatchingOnThisThread(PIRP irp);

// Sends a request the model built and waits for it to finish; returns the
// final status (and Information).
NTSTATUS SendAndWait(PDEVICE_OBJECT device, PIRP irp, ULONG_PTR* information = nullptr);

// Work queues: runs `work` at PASSIVE_LEVEL on a model worker thread.
void QueueModelWork(std::function<void()> work);

// Pool ownership check at driver unload.
void CheckPoolAtUnload(PDRIVER_OBJECT driver);
void* PoolAllocate(SIZE_T bytes, ULONG tag, PDRIVER_OBJECT owner, bool zeroed);

// Objects.
std::mutex& ObjectLock();
PDEVICE_OBJECT ResolveUserPath(const std::wstring& userPath);  // referenced, or nullptr
PDEVICE_OBJECT BottomDevice(PDEVICE_OBJECT device);
bool IsDeviceObject(const void* object);
PDRIVER_OBJECT CreateDriverObject(const std::wstring& name);
// Whether any device object of `driver` still exists (deleted devices that are
// still referenced count: their requests still reach the driver).
bool DriverHasDevices(PDRIVER_OBJECT driver);
// Called (outside every model lock) when the last device object of a driver
// has been freed.
void PnpDriverDevicesGone(PDRIVER_OBJECT driver);
void DeleteDriverObject(PDRIVER_OBJECT driver);
// Timers/DPCs inside [begin, end): verifier check at device deletion.
void CheckTimersInRange(const char* begin, const char* end, const std::source_location& where);

// PnP hooks used by the I/O manager.
NTSTATUS PnpCheckOpen(PDEVICE_OBJECT bottom);  // STATUS_DELETE_PENDING after a surprise removal
void PnpFileOpened(PDEVICE_OBJECT bottom);
void PnpFileClosed(PDEVICE_OBJECT bottom);
bool PnpDriverKeyValue(PDEVICE_OBJECT pdo, const std::wstring& name, ULONG* value, bool* known);

// Kernel handles (threads, registry keys).
HANDLE InsertKernelHandle(void* object, int kind);
void* LookupKernelHandle(HANDLE handle, int kind);
bool CloseKernelHandle(HANDLE handle, int* kind, void** object);
constexpr int kHandleThread = 1;
constexpr int kHandleRegistryKey = 2;
void DereferenceThread(PKTHREAD thread);
void ReferenceThread(PKTHREAD thread);

// Probe ranges of live requests.
void RegisterProbeRange(const void* begin, SIZE_T length);
void UnregisterProbeRange(const void* begin);

// Debug break bookkeeping.
void DebugBreakHit();

}  // namespace ntkernel::detail
