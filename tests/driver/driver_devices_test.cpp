// NBEffect's devices: the control device's name and security, its life with
// the first camera, pure pass-through on a second camera, removal with a
// request pending, the debugger-break option, and the delivery race where a
// GET is cancelled while its frame is being prepared.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "camera_rig.h"
#include "nbdriver/test_hooks.h"
#include "ntkernel/pnp.h"

namespace nbtest {
namespace {

constexpr LONG kWidth = 64;
constexpr LONG kHeight = 48;

TEST(NBEffectDevices, ControlDeviceExistsOnlyWithAFilteredCamera) {
  KernelRig rig;
  HookDevice hook;
  EXPECT_FALSE(hook.Open());
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  rig.PlugPattern(L"cam0", {Yuy2(kWidth, kHeight)});
  PDEVICE_OBJECT control = ntkernel::FindDeviceByName(L"\\Device\\NBeffect");
  ASSERT_NE(control, nullptr);
  const ntkernel::DeviceSecurity security = ntkernel::QueryDeviceSecurity(control);
  EXPECT_EQ(security.sddl, NBHOOK_DEVICE_SDDL);
  EXPECT_EQ(security.classGuid, NBHOOK_DEVICE_CLASS_GUID);
  EXPECT_EQ(control->DeviceType, FILE_DEVICE_UNKNOWN);
  EXPECT_TRUE(control->Characteristics & FILE_DEVICE_SECURE_OPEN);
  EXPECT_TRUE(control->Flags & DO_BUFFERED_IO);
  EXPECT_FALSE(control->Flags & DO_DEVICE_INITIALIZING);
  EXPECT_TRUE(hook.Open());
  hook.Close();

  ASSERT_EQ(kscamera::UnplugCamera(L"cam0"), STATUS_SUCCESS);
  EXPECT_EQ(ntkernel::FindDeviceByName(L"\\Device\\NBeffect"), nullptr);
  EXPECT_FALSE(hook.Open());
}

TEST(NBEffectDevices, SecureCreationFallbackAppliesTheSameDescriptor) {
  ntkernel::HideSystemRoutine(L"IoCreateDeviceSecure", true);
  {
    KernelRig rig;
    rig.PlugPattern(L"cam0", {Yuy2(kWidth, kHeight)});
    PDEVICE_OBJECT control = ntkernel::FindDeviceByName(L"\\Device\\NBeffect");
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(ntkernel::QueryDeviceSecurity(control).sddl, NBHOOK_DEVICE_SDDL);
    HookDevice hook;
    EXPECT_TRUE(hook.Open());
  }
  ntkernel::HideSystemRoutine(L"IoCreateDeviceSecure", false);
}

TEST(NBEffectDevices, SecondCameraIsAPurePassThrough) {
  KernelRig rig;
  rig.PlugPattern(L"cam0", {Yuy2(kWidth, kHeight)}, 4.0, L"First Camera");
  rig.PlugPattern(L"cam1", {Yuy2(kWidth, kHeight)}, 4.0, L"Second Camera");
  RecordingApp first;
  RecordingApp second;
  ASSERT_TRUE(first.Start(L"First Camera", Yuy2(kWidth, kHeight)));
  ASSERT_TRUE(second.Start(L"Second Camera", Yuy2(kWidth, kHeight)));
  HookDevice hook;
  ASSERT_TRUE(hook.Open());
  ASSERT_TRUE(hook.Start().ok);
  // Let the reads sent before the start drain.
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  const size_t firstBefore = first.Count();
  const size_t secondBefore = second.Count();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  // No GET arrives: the first camera's frames are held, the second's flow.
  EXPECT_EQ(first.Count(), firstBefore);
  EXPECT_GE(second.Count(), secondBefore + 20);
  for (const ReceivedFrame& f : second.Frames()) EXPECT_TRUE(IsPatternFrame(f.bytes.data(), f.used, nullptr));
  // GETs always see the first camera.
  Reply get = hook.Get(HOOK_HEADER_SIZE + first.App().FrameBytes());
  ASSERT_TRUE(get.ok);
  EXPECT_EQ(get.Header().dwStatus, HOOK_STATUS_OK);
  hook.End();
}

// Plug and Play and power requests that leave the camera in place keep the
// hook as it was: after each, a GET is answered with a frame without a new
// IOCTL_HOOK_START.
TEST(NBEffectDevices, HookSurvivesRequestsThatKeepTheCamera) {
  struct Case {
    const char* name;
    NTSTATUS (*action)();
  } cases[] = {
      {"query stop, cancel stop", [] { return ntkernel::QueryStopThenCancel(L"cam0"); }},
      {"query remove, cancel remove", [] { return ntkernel::QueryRemoveThenCancel(L"cam0"); }},
      {"stop and restart", [] { return ntkernel::StopAndRestartDevice(L"cam0"); }},
      {"power D3, D0",
       [] {
         NTSTATUS status = ntkernel::SetDevicePower(L"cam0", PowerDeviceD3);
         return NT_SUCCESS(status) ? ntkernel::SetDevicePower(L"cam0", PowerDeviceD0) : status;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KernelRig rig;
    rig.PlugPattern(L"cam0", {Yuy2(kWidth, kHeight)}, 4.0);
    HookDevice hook;
    ASSERT_TRUE(hook.Open());
    ASSERT_TRUE(hook.Start().ok);
    // A GET waits for the first frame (it also holds off the one-second limit).
    AsyncRequest first;
    first.Issue(hook.Handle(), IOCTL_HOOK_GET_FRAME, {}, HOOK_HEADER_SIZE + kWidth * kHeight * 2);
    ASSERT_EQ(c.action(), STATUS_SUCCESS);
    RecordingApp camera;
    ASSERT_TRUE(camera.Start(L"Pattern Camera", Yuy2(kWidth, kHeight)));
    ASSERT_TRUE(first.Wait(3000));
    Reply got = first.Result();
    ASSERT_TRUE(got.ok) << got.error;
    EXPECT_EQ(got.Header().dwStatus, HOOK_STATUS_OK);
    ASSERT_TRUE(hook.Put(PutBuffer(0, MEDIASUBTYPE_MJPG, {})).ok);
    // Control requests work again as before.
    Reply next = hook.Get(HOOK_HEADER_SIZE + camera.App().FrameBytes());
    ASSERT_TRUE(next.ok) << next.error;
    EXPECT_EQ(next.Header().dwStatus, HOOK_STATUS_OK);
    ASSERT_TRUE(hook.Put(PutBuffer(0, MEDIASUBTYPE_MJPG, {})).ok);
    hook.End();
  }
}

TEST(NBEffectDevices, SurpriseRemovalWithAGetPending) {
  KernelRig rig;
  rig.PlugPattern(L"cam0", {Yuy2(kWidth, kHeight)});
  // A second camera keeps the driver loaded, so that the handle left open on
  // the deleted control device still reaches it.
  rig.PlugPattern(L"cam1", {Yuy2(kWidth, kHeight)}, 1.0, L"Other Camera");
  HookDevice hook;
  ASSERT_TRUE(hook.Open());
  ASSERT_TRUE(hook.Start().ok);
  AsyncRequest get;
  get.Issue(hook.Handle(), IOCTL_HOOK_GET_FRAME, {}, HOOK_HEADER_SIZE + 100);
  EXPECT_FALSE(get.Wait(100));

  ASSERT_EQ(kscamera::UnplugCamera(L"cam0", true), STATUS_SUCCESS);
  ASSERT_TRUE(get.Wait(2000));
  Reply cancelled = get.Result();
  EXPECT_FALSE(cancelled.ok);
  EXPECT_EQ(cancelled.error, RtlNtStatusToDosError(STATUS_CANCELLED));

  EXPECT_EQ(ntkernel::FindDeviceByName(L"\\Device\\NBeffect"), nullptr);
  HookDevice another;
  EXPECT_FALSE(another.Open());
  // The handle still open reaches the deleted device: refused.
  Reply later = hook.Get(HOOK_HEADER_SIZE + 100);
  EXPECT_FALSE(later.ok);
  EXPECT_EQ(later.error, RtlNtStatusToDosError(STATUS_UNSUCCESSFUL));
  EXPECT_FALSE(hook.Start().ok);
}

TEST(NBEffectDevices, BreakOnEntryBreaksOncePerCameraWhenSetUp) {
  struct Case {
    ULONG value;
    ULONG breaks;
  } cases[] = {{0, 0}, {1, 1}, {0x100, 0}, {0xFF01, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    KernelRig rig;
    bool controlExisted = false;
    ntkernel::SetDebugBreakHook(
        [&] { controlExisted = ntkernel::FindDeviceByName(L"\\Device\\NBeffect") != nullptr; });
    const ULONG before = ntkernel::DebugBreakCount();
    kscamera::CameraOptions options;
    options.instanceId = L"cam0";
    options.driverKeyDwords = {{L"BreakOnEntry", c.value}};
    std::wstring id;
    ASSERT_EQ(kscamera::PlugCamera(std::make_unique<PatternSource>(std::vector{Yuy2(kWidth, kHeight)}), options, &id),
              STATUS_SUCCESS);
    EXPECT_EQ(ntkernel::DebugBreakCount() - before, c.breaks);
    if (c.breaks) {
      EXPECT_TRUE(controlExisted);
    }
    ntkernel::SetDebugBreakHook(nullptr);
  }
}

// The GET that a waiting frame was about to be paired with is cancelled
// between the two queue-lock holds: the frame goes back to the head of the
// waiting frames and the next GET receives it.
TEST(NBEffectDevices, GetCancelledDuringDeliveryKeepsTheFrameForTheNextGet) {
  KernelRig rig;
  rig.PlugPattern(L"cam0", {Yuy2(kWidth, kHeight)}, 4.0);
  HookDevice hook;
  ASSERT_TRUE(hook.Open());
  ASSERT_TRUE(hook.Start().ok);

  static HANDLE s_device;
  static std::atomic<int> s_cancels;
  s_device = hook.Handle();
  s_cancels = 0;
  g_NbDeliverBetweenLocksHook = [](FilterExtension*) {
    if (s_cancels.fetch_add(1) == 0) CancelIo(s_device);
  };

  RecordingApp camera;
  AsyncRequest first;
  first.Issue(hook.Handle(), IOCTL_HOOK_GET_FRAME, {}, HOOK_HEADER_SIZE + 100);
  ASSERT_TRUE(camera.Start(L"Pattern Camera", Yuy2(kWidth, kHeight), 3, true));
  ASSERT_TRUE(first.Wait(3000));
  EXPECT_EQ(first.Result().error, RtlNtStatusToDosError(STATUS_CANCELLED));
  g_NbDeliverBetweenLocksHook = nullptr;
  EXPECT_GE(s_cancels.load(), 1);

  // The frame that was being delivered is the oldest waiting one again.
  const ULONG b = camera.App().FrameBytes();
  Reply next = hook.Get(HOOK_HEADER_SIZE + b);
  ASSERT_TRUE(next.ok);
  uint64_t number = 0;
  ASSERT_TRUE(IsPatternFrame(next.out.data() + HOOK_HEADER_SIZE, next.bytes - HOOK_HEADER_SIZE, &number));
  // No held frame reached the camera application: it got only frames older
  // than the one now lent.
  for (const ReceivedFrame& f : camera.Frames()) {
    uint64_t n;
    ASSERT_TRUE(IsPatternFrame(f.bytes.data(), f.used, &n));
    EXPECT_LT(n, number);
  }
  ASSERT_TRUE(hook.Put(PutBuffer(0, MEDIASUBTYPE_MJPG, {})).ok);
  ASSERT_TRUE(camera.WaitFrames(camera.Count() + 1));
  hook.End();
}

}  // namespace
}  // namespace nbtest
