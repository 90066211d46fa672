// Scriptable test drivers for the kernel model's tests.
//
// Four driver slots (0..3), each a registered driver module whose dispatch
// routines, AddDevice and Unload call std::functions set by the test. A slot
// without a function for a major code passes the request down (filters) or
// completes it with STATUS_SUCCESS (no lower device). Helpers build the usual
// pieces: a bus "PDO" driver, a pass-through filter, a named device with a
// link. KernelTest resets the model and the slots after each test.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ntkernel/pnp.h"
#include "ntkernel/verifier.h"
#include "ntkernel/wdm.h"

namespace kerneltest {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// Every test device's extension starts with this.
struct TestExtension {
  PDEVICE_OBJECT lower;  // device below (filters), or nullptr
  int slot;
  void* user;            // free for the test
};

struct Slot {
  std::wstring service;
  std::map<UCHAR, Dispatch> dispatch;
  std::function<NTSTATUS(PDRIVER_OBJECT, PDEVICE_OBJECT)> addDevice;
  std::function<void(PDRIVER_OBJECT)> unload;
  std::function<NTSTATUS(PDRIVER_OBJECT)> entry;  // extra DriverEntry work
  PDRIVER_OBJECT driver = nullptr;
  std::atomic<int> entries{0};
  std::atomic<int> unloads{0};  // a deferred unload runs on a model worker

  void Reset() {
    service.clear();
    dispatch.clear();
    addDevice = nullptr;
    unload = nullptr;
    entry = nullptr;
    driver = nullptr;
    entries = 0;
    unloads = 0;
  }
};

inline std::array<Slot, 4>& Slots() {
  static std::array<Slot, 4> slots;
  return slots;
}

// A log of events that tests compare with expected sequences.
class EventLog {
 public:
  void Add(std::string event) {
    std::lock_guard<std::mutex> guard(lock_);
    events_.push_back(std::move(event));
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> guard(lock_);
    return std::move(events_);
  }
  std::vector<std::string> Events() const {
    std::lock_guard<std::mutex> guard(lock_);
    return events_;
  }

 private:
  mutable std::mutex lock_;
  std::vector<std::string> events_;
};

inline TestExtension* Ext(PDEVICE_OBJECT device) { return static_cast<TestExtension*>(device->DeviceExtension); }

// What a slot does without a scripted routine: a filter passes the request
// down (and detaches and deletes itself at IRP_MN_REMOVE_DEVICE); a device
// without a lower device completes it with success (and deletes itself at
// IRP_MN_REMOVE_DEVICE).
inline NTSTATUS DefaultHandling(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const bool remove = stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
  TestExtension* ext = Ext(device);
  if (ext != nullptr && ext->lower != nullptr) {
    PDEVICE_OBJECT lower = ext->lower;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (remove) {
      IoDetachDevice(lower);
      IoDeleteDevice(device);
    }
    return status;
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  if (remove) IoDeleteDevice(device);
  return STATUS_SUCCESS;
}

template <int N>
NTSTATUS SlotDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  auto it = Slots()[N].dispatch.find(stack->MajorFunction);
  if (it != Slots()[N].dispatch.end() && it->second) return it->second(device, irp);
  return DefaultHandling(device, irp);
}

template <int N>
NTSTATUS SlotAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  return Slots()[N].addDevice ? Slots()[N].addDevice(driver, pdo) : STATUS_SUCCESS;
}

template <int N>
void SlotUnload(PDRIVER_OBJECT driver) {
  ++Slots()[N].unloads;
  if (Slots()[N].unload) Slots()[N].unload(driver);
}

template <int N>
NTSTATUS SlotEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  Slot& slot = Slots()[N];
  slot.driver = driver;
  ++slot.entries;
  for (auto& f : driver->MajorFunction) f = SlotDispatch<N>;
  driver->DriverExtension->AddDevice = SlotAddDevice<N>;
  driver->DriverUnload = SlotUnload<N>;
  return slot.entry ? slot.entry(driver) : STATUS_SUCCESS;
}

inline ntkernel::DriverEntryFn EntryOf(int slot) {
  static const ntkernel::DriverEntryFn entries[4] = {SlotEntry<0>, SlotEntry<1>, SlotEntry<2>, SlotEntry<3>};
  return entries[slot];
}

// Registers slot `n` as module `service` and returns its name.
inline std::wstring RegisterSlot(int n, const std::wstring& service) {
  Slots()[n].service = service;
  EXPECT_EQ(ntkernel::RegisterDriverModule(service, EntryOf(n)), STATUS_SUCCESS);
  return service;
}

// Loads slot `n` (registering it as "TestDriver<n>" if needed).
inline PDRIVER_OBJECT LoadSlot(int n) {
  if (Slots()[n].service.empty()) RegisterSlot(n, L"TestDriver" + std::to_wstring(n));
  PDRIVER_OBJECT driver = nullptr;
  EXPECT_EQ(ntkernel::LoadDriver(Slots()[n].service, &driver), STATUS_SUCCESS);
  return driver;
}

// Creates a device of slot `n`'s driver with a TestExtension (+ extra bytes).
inline PDEVICE_OBJECT CreateTestDevice(PDRIVER_OBJECT driver, int n, const wchar_t* name = nullptr,
                                       ULONG extra = 0) {
  UNICODE_STRING u;
  if (name != nullptr) RtlInitUnicodeString(&u, name);
  PDEVICE_OBJECT device = nullptr;
  EXPECT_EQ(IoCreateDevice(driver, sizeof(TestExtension) + extra, name ? &u : nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                           &device),
            STATUS_SUCCESS);
  if (device == nullptr) return nullptr;
  Ext(device)->slot = n;
  return device;
}

// A named device "\Device\<name>" with the link "\DosDevices\<name>", ready.
inline PDEVICE_OBJECT CreateNamedDevice(PDRIVER_OBJECT driver, int n, const std::wstring& name) {
  std::wstring deviceName = L"\\Device\\" + name;
  std::wstring linkName = L"\\DosDevices\\" + name;
  PDEVICE_OBJECT device = CreateTestDevice(driver, n, deviceName.c_str());
  UNICODE_STRING link;
  UNICODE_STRING target;
  RtlInitUnicodeString(&link, linkName.c_str());
  RtlInitUnicodeString(&target, deviceName.c_str());
  EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  device->Flags |= DO_BUFFERED_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return device;
}

inline void DeleteNamedDevice(PDEVICE_OBJECT device, const std::wstring& name) {
  std::wstring linkName = L"\\DosDevices\\" + name;
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, linkName.c_str());
  IoDeleteSymbolicLink(&link);
  IoDeleteDevice(device);
}

// Makes slot `n` a pass-through upper filter: AddDevice creates and attaches.
inline void MakeFilter(int n, EventLog* log = nullptr) {
  Slots()[n].addDevice = [n, log](PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = CreateTestDevice(driver, n);
    if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    Ext(device)->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (Ext(device)->lower == nullptr) {
      IoDeleteDevice(device);
      return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= Ext(device)->lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    if (log != nullptr) log->Add("add " + std::to_string(n));
    return STATUS_SUCCESS;
  };
}

// A physical device object of slot `n`, named "\Device\<instanceId>".
inline PDEVICE_OBJECT CreatePdo(int n, const std::wstring& instanceId) {
  PDRIVER_OBJECT driver = LoadSlot(n);
  std::wstring name = L"\\Device\\" + instanceId;
  PDEVICE_OBJECT pdo = CreateTestDevice(driver, n, name.c_str());
  pdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  return pdo;
}

inline std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

class KernelTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ntkernel::ResetForTesting();
    for (auto& slot : Slots()) slot.Reset();
  }
};

}  // namespace kerneltest
