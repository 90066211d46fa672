// The PnP manager: stack building, driver loading and unloading, the request
// sequences of each PnP event, two devices at once, surprise removal with an
// open handle, the device's driver key, names and links, secure devices.
#include <gtest/gtest.h>

#include <thread>

#include "ntkernel/iomanager.h"
#include "platform/ntkernel/test_driver.h"

namespace kerneltest {
namespace {

const char* MinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE: return "START";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE";
    case IRP_MN_STOP_DEVICE: return "STOP";
    case IRP_MN_QUERY_STOP_DEVICE: return "QUERY_STOP";
    case IRP_MN_CANCEL_STOP_DEVICE: return "CANCEL_STOP";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE_REMOVAL";
    default: return "OTHER";
  }
}

// Slot 0: bus driver of the PDOs. Slots 1 and 2: class filters, lowest
// first. Every driver logs "<slot>:<minor>" for each PnP request it sees.
class PnpTest : public KernelTest {
 protected:
  void SetUp() override {
    for (int n = 0; n < 3; ++n) {
      RegisterSlot(n, L"Pnp" + std::to_wstring(n));
      Slots()[n].dispatch[IRP_MJ_PNP] = [this, n](PDEVICE_OBJECT device, PIRP irp) {
        UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
        log_.Add(std::to_string(n) + ":" + MinorName(minor));
        if (n == 0 && veto_ != 0 && minor == veto_) {
          irp->IoStatus.Status = STATUS_DEVICE_BUSY;
          IoCompleteRequest(irp, IO_NO_INCREMENT);
          return STATUS_DEVICE_BUSY;
        }
        return DefaultHandling(device, irp);
      };
    }
    MakeFilter(1, &log_);
    MakeFilter(2, &log_);
    ntkernel::AddClassUpperFilter(ntkernel::kCameraClass, L"Pnp1");
    ntkernel::AddClassUpperFilter(ntkernel::kCameraClass, L"Pnp2");
  }

  NTSTATUS Arrive(const std::wstring& id, std::vector<std::pair<std::wstring, ULONG>> values = {}) {
    PDEVICE_OBJECT pdo = CreatePdo(0, id);
    ntkernel::DeviceDescription description;
    description.instanceId = id;
    description.friendlyName = L"Camera " + id;
    description.driverKeyDwords = std::move(values);
    return ntkernel::DeviceArrived(description, pdo);
  }

  EventLog log_;
  UCHAR veto_ = 0;
};

using Seq = std::vector<std::string>;

TEST_F(PnpTest, ArrivalBuildsTheStackBottomToTopLoadsEachDriverOnceAndStarts) {
  ASSERT_EQ(Arrive(L"CamA"), STATUS_SUCCESS);
  EXPECT_EQ(log_.Take(), (Seq{"add 1", "add 2", "2:START", "1:START", "0:START"}));
  ASSERT_EQ(Arrive(L"CamB"), STATUS_SUCCESS);
  EXPECT_EQ(log_.Take(), (Seq{"add 1", "add 2", "2:START", "1:START", "0:START"}));
  EXPECT_EQ(Slots()[1].entries, 1) << "a loaded filter is not loaded again";
  auto devices = ntkernel::ListDevices();
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].friendlyName, L"Camera CamA");
  EXPECT_EQ(devices[1].path, L"\\\\.\\CamB");
  EXPECT_TRUE(devices[1].started);
  PDEVICE_OBJECT top = IoGetAttachedDevice(devices[0].pdo);
  EXPECT_EQ(top->DriverObject, Slots()[2].driver);
  EXPECT_EQ(top->StackSize, 3);
}

struct SequenceCase {
  const char* name;
  std::function<NTSTATUS(const std::wstring&)> operation;
  UCHAR veto;  // minor the bus driver fails, 0 = none
  NTSTATUS expected;
  Seq sequence;  // as seen by the top filter (slot 2)
};

class PnpSequences : public PnpTest, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(PnpSequences, SendsTheRequestsWindowsSends) {
  const SequenceCase& c = GetParam();
  ASSERT_EQ(Arrive(L"Cam"), STATUS_SUCCESS);
  log_.Take();
  veto_ = c.veto;
  EXPECT_EQ(c.operation(L"Cam"), c.expected);
  Seq top;
  for (const auto& e : log_.Take()) {
    if (e.rfind("2:", 0) == 0) top.push_back(e.substr(2));
  }
  EXPECT_EQ(top, c.sequence);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PnpSequences,
    ::testing::Values(
        SequenceCase{"OrderlyRemoval", ntkernel::RemoveDevice, 0, STATUS_SUCCESS, {"QUERY_REMOVE", "REMOVE"}},
        SequenceCase{"VetoedRemoval", ntkernel::RemoveDevice, IRP_MN_QUERY_REMOVE_DEVICE, STATUS_DEVICE_BUSY,
                     {"QUERY_REMOVE", "CANCEL_REMOVE"}},
        SequenceCase{"SurpriseRemovalWithoutHandles", ntkernel::SurpriseRemoveDevice, 0, STATUS_SUCCESS,
                     {"SURPRISE_REMOVAL", "REMOVE"}},
        SequenceCase{"Rebalance", ntkernel::StopAndRestartDevice, 0, STATUS_SUCCESS,
                     {"QUERY_STOP", "STOP", "START"}},
        SequenceCase{"VetoedStop", ntkernel::StopAndRestartDevice, IRP_MN_QUERY_STOP_DEVICE, STATUS_DEVICE_BUSY,
                     {"QUERY_STOP", "CANCEL_STOP"}},
        SequenceCase{"QueryStopCancelled", ntkernel::QueryStopThenCancel, 0, STATUS_SUCCESS,
                     {"QUERY_STOP", "CANCEL_STOP"}},
        SequenceCase{"QueryRemoveCancelled", ntkernel::QueryRemoveThenCancel, 0, STATUS_SUCCESS,
                     {"QUERY_REMOVE", "CANCEL_REMOVE"}}),
    [](const ::testing::TestParamInfo<SequenceCase>& info) { return info.param.name; });

TEST_F(PnpTest, LastRemovalUnloadsTheFiltersAndTheNextArrivalLoadsThemAgain) {
  ASSERT_EQ(Arrive(L"CamA"), STATUS_SUCCESS);
  ASSERT_EQ(Arrive(L"CamB"), STATUS_SUCCESS);
  EXPECT_EQ(ntkernel::RemoveDevice(L"CamA"), STATUS_SUCCESS);
  EXPECT_EQ(Slots()[1].unloads, 0) << "still filtering CamB";
  EXPECT_EQ(ntkernel::RemoveDevice(L"CamB"), STATUS_SUCCESS);
  EXPECT_EQ(Slots()[1].unloads, 1);
  EXPECT_EQ(Slots()[2].unloads, 1);
  EXPECT_TRUE(ntkernel::ListDevices().empty());
  ASSERT_EQ(Arrive(L"CamC"), STATUS_SUCCESS);
  EXPECT_EQ(Slots()[1].entries, 2);
}

TEST_F(PnpTest, SurpriseRemovalWaitsForTheLastHandleBeforeRemove) {
  ASSERT_EQ(Arrive(L"Cam"), STATUS_SUCCESS);
  std::shared_ptr<ntkernel::io::OpenFile> file;
  ASSERT_EQ(ntkernel::io::OpenDevice(L"\\\\.\\Cam", GENERIC_READ, &file), STATUS_SUCCESS);
  log_.Take();
  EXPECT_EQ(ntkernel::RemoveDevice(L"Cam"), STATUS_DEVICE_BUSY) << "an orderly removal is vetoed while open";
  EXPECT_TRUE(log_.Take().empty());
  EXPECT_EQ(ntkernel::SurpriseRemoveDevice(L"Cam"), STATUS_SUCCESS);
  std::shared_ptr<ntkernel::io::OpenFile> second;
  EXPECT_EQ(ntkernel::io::OpenDevice(L"\\\\.\\Cam", GENERIC_READ, &second), STATUS_DELETE_PENDING);
  EXPECT_EQ(log_.Take(), (Seq{"2:SURPRISE_REMOVAL", "1:SURPRISE_REMOVAL", "0:SURPRISE_REMOVAL"}));
  file->Close();
  file.reset();
  EXPECT_EQ(log_.Take(), (Seq{"2:REMOVE", "1:REMOVE", "0:REMOVE"}));
  std::shared_ptr<ntkernel::io::OpenFile> third;
  EXPECT_EQ(ntkernel::io::OpenDevice(L"\\\\.\\Cam", GENERIC_READ, &third), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(PnpTest, FailingAddDeviceTearsTheStackDownAndListsNothing) {
  Slots()[2].addDevice = [](PDRIVER_OBJECT, PDEVICE_OBJECT) { return STATUS_INSUFFICIENT_RESOURCES; };
  EXPECT_EQ(Arrive(L"Cam"), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(log_.Take(), (Seq{"add 1", "1:REMOVE", "0:REMOVE"}));
  EXPECT_TRUE(ntkernel::ListDevices().empty());
}

TEST_F(PnpTest, PowerRequestsAreForwardedDownTheStack) {
  ASSERT_EQ(Arrive(L"Cam"), STATUS_SUCCESS);
  for (int n = 1; n < 3; ++n) {
    Slots()[n].dispatch[IRP_MJ_POWER] = [this, n](PDEVICE_OBJECT device, PIRP irp) {
      PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
      log_.Add(std::to_string(n) + ":D" + std::to_string(stack->Parameters.Power.State.DeviceState));
      PoStartNextPowerIrp(irp);
      IoSkipCurrentIrpStackLocation(irp);
      return PoCallDriver(Ext(device)->lower, irp);
    };
  }
  Slots()[0].dispatch[IRP_MJ_POWER] = [this](PDEVICE_OBJECT, PIRP irp) {
    log_.Add("0:power");
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  log_.Take();
  EXPECT_EQ(ntkernel::SetDevicePower(L"Cam", PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(log_.Take(), (Seq{"2:D4", "1:D4", "0:power"}));
}

TEST_F(PnpTest, DriverStaysLoadedWhileItsDeletedDeviceIsStillOpen) {
  // The top filter also owns a named device (as a driver's control device),
  // deleted when the camera goes while an application still has it open.
  static PDEVICE_OBJECT control;
  control = nullptr;
  auto add = Slots()[2].addDevice;
  Slots()[2].addDevice = [add](PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    control = CreateNamedDevice(driver, 2, L"Ctl");
    return add(driver, pdo);
  };
  Slots()[2].dispatch[IRP_MJ_PNP] = [](PDEVICE_OBJECT device, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE && control != nullptr) {
      DeleteNamedDevice(control, L"Ctl");
      control = nullptr;
    }
    return DefaultHandling(device, irp);
  };
  ASSERT_EQ(Arrive(L"Cam"), STATUS_SUCCESS);
  std::shared_ptr<ntkernel::io::OpenFile> file;
  ASSERT_EQ(ntkernel::io::OpenDevice(L"\\\\.\\Ctl", GENERIC_READ, &file), STATUS_SUCCESS);
  ASSERT_EQ(ntkernel::RemoveDevice(L"Cam"), STATUS_SUCCESS);
  EXPECT_EQ(Slots()[1].unloads, 1);
  EXPECT_EQ(Slots()[2].unloads, 0) << "its device is still open";
  NTSTATUS seen = STATUS_PENDING;
  EXPECT_EQ(file->DeviceControl(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr, 0,
                                nullptr, 0, [&](NTSTATUS status, ULONG_PTR) { seen = status; }),
            STATUS_SUCCESS);
  EXPECT_EQ(seen, STATUS_SUCCESS) << "requests on the open handle still reach the driver";
  file->Close();
  file.reset();
  for (int i = 0; i < 500 && Slots()[2].unloads == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(Slots()[2].unloads, 1) << "unloaded once the device was freed";
}

TEST_F(PnpTest, DriverKeyValuesAreReadThroughTheDeviceRegistryKey) {
  ASSERT_EQ(Arrive(L"Cam", {{L"BreakOnEntry", 0x101}}), STATUS_SUCCESS);
  PDEVICE_OBJECT pdo = ntkernel::ListDevices()[0].pdo;
  HANDLE key = nullptr;
  ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"BreakOnEntry");
  UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 8];
  ULONG length = 0;
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, 4, &length), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, 12, &length), STATUS_BUFFER_OVERFLOW);
  ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &length), STATUS_SUCCESS);
  auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  EXPECT_EQ(info->Type, REG_DWORD);
  EXPECT_EQ(info->DataLength, 4u);
  EXPECT_EQ(*reinterpret_cast<ULONG*>(info->Data), 0x101u);
  UNICODE_STRING missing;
  RtlInitUnicodeString(&missing, L"Nothing");
  EXPECT_EQ(ZwQueryValueKey(key, &missing, KeyValuePartialInformation, buffer, sizeof buffer, &length),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  HANDLE none = nullptr;
  PDRIVER_OBJECT driver = LoadSlot(3);
  PDEVICE_OBJECT loose = CreateTestDevice(driver, 3);
  EXPECT_NE(IoOpenDeviceRegistryKey(loose, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &none), STATUS_SUCCESS);
  IoDeleteDevice(loose);
}

TEST_F(PnpTest, DebugBreakCallsTheHook) {
  int hits = 0;
  ntkernel::SetDebugBreakHook([&] { ++hits; });
  DbgBreakPoint();
  EXPECT_EQ(hits, 1);
  EXPECT_EQ(ntkernel::DebugBreakCount(), 1u);
}

TEST_F(PnpTest, NamesAndLinksCollideSecureDevicesKeepTheirDescriptor) {
  PDRIVER_OBJECT driver = LoadSlot(3);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\Thing");
  UNICODE_STRING sddl;
  RtlInitUnicodeString(&sddl, L"D:P(A;;GA;;;SY)");
  const GUID classGuid = {0x7E9CDDE7, 0xC6A8, 0x4A7D, {0x80, 0x77, 0x1C, 0x76, 0x56, 0xD9, 0x8F, 0xE5}};
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDeviceSecure(driver, 8, &name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &sddl,
                                 &classGuid, &device),
            STATUS_SUCCESS);
  EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
  EXPECT_EQ(device->Characteristics, FILE_DEVICE_SECURE_OPEN);
  auto security = ntkernel::QueryDeviceSecurity(device);
  EXPECT_EQ(security.sddl, L"D:P(A;;GA;;;SY)");
  EXPECT_EQ(security.classGuid, classGuid);
  PDEVICE_OBJECT twin = nullptr;
  EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &twin), STATUS_OBJECT_NAME_COLLISION);
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, L"\\DosDevices\\Thing");
  EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
  UNICODE_STRING routine;
  RtlInitUnicodeString(&routine, L"IoCreateDeviceSecure");
  EXPECT_NE(MmGetSystemRoutineAddress(&routine), nullptr);
  ntkernel::HideSystemRoutine(L"IoCreateDeviceSecure", true);
  EXPECT_EQ(MmGetSystemRoutineAddress(&routine), nullptr);
  ntkernel::HideSystemRoutine(L"IoCreateDeviceSecure", false);
  IoDeleteDevice(device);
  EXPECT_EQ(ntkernel::FindDeviceByName(L"\\Device\\Thing"), nullptr);
}

TEST_F(PnpTest, SecureDescriptorFallbackAppliesTheSameSddl) {
  PDRIVER_OBJECT driver = LoadSlot(3);
  PDEVICE_OBJECT device = CreateTestDevice(driver, 3);
  UNICODE_STRING sddl;
  RtlInitUnicodeString(&sddl, L"D:P(A;;GA;;;BU)");
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_EQ(SeSddlSecurityDescriptorFromSDDL(&sddl, FALSE, &sd), STATUS_SUCCESS);
  EXPECT_EQ(ObSetSecurityObjectByPointer(device, DACL_SECURITY_INFORMATION, sd), STATUS_SUCCESS);
  ExFreePool(sd);
  EXPECT_EQ(ntkernel::QueryDeviceSecurity(device).sddl, L"D:P(A;;GA;;;BU)");
  IoDeleteDevice(device);
}

}  // namespace
}  // namespace kerneltest
