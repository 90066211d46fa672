// The effect manager: the checks of OnFrame and their debug lines, the chain
// and its scratch-buffer rule, SetEffect's table, SelectEffect and
// GetEffectList, the lifecycle of Start/Stop and the stream-control seam.
#include <gtest/gtest.h>

#include <cstring>

#include "config/result_codes.h"
#include "effects/effect_mgr.h"
#include "manager_fixture.h"
#include "win32/debug.h"
#include "win32/text.h"

namespace zorcam::testing {
namespace {

// Runs the chain by hand on a copy of the picture: each effect in order,
// writing to a second buffer where the effect does so.
std::vector<BYTE> ApplyByHand(std::vector<BYTE> picture, int w, int h, std::initializer_list<IEffect*> chain) {
  std::vector<BYTE> other(picture.size());
  for (IEffect* e : chain) {
    e->Apply(other.data(), w * 2, picture.data(), w * 2, w, h);
    if (e->IsInPlace() != 1) std::swap(picture, other);
  }
  return picture;
}

class OnFrameTest : public ManagerTest {
 protected:
  void SetUp() override {
    ManagerTest::SetUp();
    ASSERT_EQ(S_OK, mgr.Start());
  }
  NBEffectMgr mgr;
};

struct CheckCase {
  const char* what;
  LONG width, height;
  DWORD bytesUsed;
  GUID subtype;
  const wchar_t* line;  // the line that ends the check, nullptr for none
  bool changed;
};

TEST_F(OnFrameTest, ChecksStopBadFramesWithTheirDebugLine) {
  const CheckCase cases[] = {
      {"empty marker", 640, 480, YUYV_EMPTY, MEDIASUBTYPE_YUY2, L"[123NBEffectMgr] dwBytesUsed == YUYV_EMPTY \n", false},
      {"no bytes", 640, 480, 0, MEDIASUBTYPE_YUY2, L"[123NBEffectMgr] dwBytesUsed == 0 \n", false},
      {"zero height", 640, 0, 100, MEDIASUBTYPE_YUY2, L"[123NBEffectMgr] dwHeight == 0 || dwWidth == 0\n", false},
      {"zero width", 0, 480, 100, MEDIASUBTYPE_YUY2, L"[123NBEffectMgr] dwHeight == 0 || dwWidth == 0\n", false},
      {"one byte short", 640, 480, 614399, MEDIASUBTYPE_YUY2,
       L"[123NBEffectMgr] checkYUY2Size failed, Receive error image size\n", false},
      {"0x3000 too long", 640, 480, 614400 + 0x3000, MEDIASUBTYPE_YUY2,
       L"[123NBEffectMgr] checkYUY2Size failed, Receive error image size\n", false},
      {"exact size", 640, 480, 614400, MEDIASUBTYPE_YUY2, L"[123NBEffectMgr] ByteUsed = standardSize OK!!\n", true},
      {"0x2FFF longer is accepted", 640, 480, 614400 + 0x2FFF, MEDIASUBTYPE_YUY2,
       L"[123NBEffectMgr]  ByteUsed > standardSize but acceptable OK!! \n", true},
      {"too large", 1280, 720, 1280 * 720 * 2, MEDIASUBTYPE_YUY2, L"[NBEffectMgr] Too high resolution\n", false},
      {"negative height counts as too large", 640, -480, 614400, MEDIASUBTYPE_MJPG,
       L"[NBEffectMgr] Too high resolution\n", false},
      {"unknown subtype", 320, 240, 1000, GUID_NULL,
       L"[NBEffectMgr] subformat Unknown, Used buffer size 1000, width 320, height 240\n", false},
  };
  ASSERT_EQ(S_OK, mgr.SetEffect(1, 1, 0, 0));  // mirror: any processed frame changes
  for (const CheckCase& c : cases) {
    SCOPED_TRACE(c.what);
    Yuy2Frame frame(std::max<LONG>(c.width, 2), std::max<LONG>(std::abs(c.height), 2),
                    std::max<DWORD>(c.bytesUsed == YUYV_EMPTY ? 0 : c.bytesUsed, 1));
    frame.desc.dwWidth = c.width;
    frame.desc.dwHeight = c.height;
    frame.desc.dwBytesUsed = c.bytesUsed;
    frame.desc.subtype = c.subtype;
    const std::vector<BYTE> before = frame.bytes;
    win32::DebugCapture capture;
    EXPECT_EQ(0, mgr.OnFrame(&frame.desc));
    EXPECT_TRUE(capture.Contains(c.line));
    EXPECT_EQ(c.bytesUsed, frame.desc.dwBytesUsed);
    EXPECT_EQ(c.changed, frame.bytes != before);
  }
  EXPECT_EQ(0, mgr.OnFrame(nullptr));
}

TEST_F(OnFrameTest, WithoutAnActiveEffectTheFrameIsLeftAlone) {
  Yuy2Frame frame(64, 48);
  const std::vector<BYTE> before = frame.bytes;
  win32::DebugCapture capture;
  EXPECT_EQ(0, mgr.OnFrame(&frame.desc));
  EXPECT_TRUE(capture.Contains(L"[NBEffectMgr] No effect, do nothing\n"));
  EXPECT_EQ(before, frame.bytes);
  // Zoom 100 % with a moved origin counts as active but changes nothing.
  ASSERT_EQ(S_OK, mgr.SetEffect(2, 100, 0.5f, 0.5f));
  capture.Clear();
  EXPECT_EQ(0, mgr.OnFrame(&frame.desc));
  EXPECT_TRUE(capture.Contains(L"[NBEffectMgr] subformat YUY2, Used buffer size 6144, width 64, height 48\n"));
  EXPECT_EQ(before, frame.bytes);
}

TEST_F(OnFrameTest, ChainResultEndsInTheFrameWhateverTheNumberOfCopyingEffects) {
  struct Setting {
    const char* what;
    int mirror, vertical, zoom;
  } settings[] = {
      {"mirror alone (scratch copied back)", 1, 0, 100},
      {"mirror and zoom (result already in the frame)", 1, 0, 200},
      {"flip both ways and zoom", 1, 1, 250},
      {"zoom alone", 0, 0, 300},
  };
  for (const Setting& s : settings) {
    SCOPED_TRACE(s.what);
    ASSERT_EQ(S_OK, mgr.SetEffect(1, s.mirror, 0, 0));
    ASSERT_EQ(S_OK, mgr.SetEffect(0, s.vertical, 0, 0));
    ASSERT_EQ(S_OK, mgr.SetEffect(2, s.zoom, 0.25f, 0.5f));
    CNBFlipEffect flip;
    flip.SetHorizontal(s.mirror);
    flip.SetVertical(s.vertical);
    CNBZoomEffect zoom;
    zoom.SetPercentage(s.zoom);
    zoom.SetOrigin(0.25f, 0.5f);
    Yuy2Frame frame(64, 48, 0, 100);
    const std::vector<BYTE> tail(frame.bytes.begin() + 6144, frame.bytes.end());
    const std::vector<BYTE> expected = ApplyByHand(frame.Picture(), 64, 48, {&flip, &zoom});
    EXPECT_EQ(0, mgr.OnFrame(&frame.desc));
    EXPECT_EQ(expected, frame.Picture());
    // Bytes past the picture are not the chain's business.
    EXPECT_EQ(tail, std::vector<BYTE>(frame.bytes.begin() + 6144, frame.bytes.end()));
    EXPECT_EQ(6144u, frame.desc.dwBytesUsed);
  }
}

TEST_F(OnFrameTest, BufferSmallerThanItsPictureIsNotTouched) {
  ASSERT_EQ(S_OK, mgr.SetEffect(1, 1, 0, 0));
  Yuy2Frame frame(64, 48);
  frame.desc.capacity = 6000;
  const std::vector<BYTE> before = frame.bytes;
  EXPECT_EQ(0, mgr.OnFrame(&frame.desc));
  EXPECT_EQ(before, frame.bytes);
}

TEST_F(ManagerTest, FrameRunBeforeTheLayersAreLoadedReportsUninited) {
  NBEffectMgr mgr;
  ASSERT_EQ(S_OK, mgr.SetEffect(1, 1, 0, 0));
  Yuy2Frame frame(64, 48);
  const std::vector<BYTE> before = frame.bytes;
  EXPECT_EQ(NBEM_E_UNINITED, mgr.OnFrame(&frame.desc));
  EXPECT_EQ(before, frame.bytes);
}

TEST_F(ManagerTest, ScreenCoverHidesEveryOtherEffect) {
  AddPair(programFolder, "ScreenCover", "Grey", 0x808080);
  AddPair(programFolder, "Frame", "Red", 0xFF0000, 40);
  NBEffectMgr mgr;
  ASSERT_EQ(S_OK, mgr.Start());
  ASSERT_EQ(S_OK, mgr.SetEffect(1, 1, 0, 0));
  ASSERT_EQ(S_OK, mgr.SelectEffect(0x20000));
  ASSERT_EQ(S_OK, mgr.SelectEffect(0x40000));
  Yuy2Frame frame(64, 48);
  EXPECT_EQ(0, mgr.OnFrame(&frame.desc));
  // An opaque grey cover: every pixel is the cover's, nothing mirrored.
  CScreenCoverEffect cover(win32::FromUtf8((programFolder / "Effect/ScreenCover/Grey.png").string()), L"", 0x40000);
  const std::vector<BYTE> expected = ApplyByHand(Yuy2Frame(64, 48).Picture(), 64, 48, {&cover});
  EXPECT_EQ(expected, frame.Picture());
  // Deselecting the cover brings back the mirror and the frame.
  ASSERT_EQ(S_OK, mgr.SelectEffect(0x4FFFF));
  Yuy2Frame second(64, 48);
  CNBFlipEffect mirror;
  mirror.SetHorizontal(1);
  CFrameEffect red(win32::FromUtf8((programFolder / "Effect/Frame/Red.png").string()), L"", 0x20000);
  const std::vector<BYTE> expected2 = ApplyByHand(second.Picture(), 64, 48, {&mirror, &red});
  EXPECT_EQ(0, mgr.OnFrame(&second.desc));
  EXPECT_EQ(expected2, second.Picture());
}

struct SetEffectCase {
  const char* what;
  int type, value;
  float x, y;
  HRESULT result;
  int vertical, horizontal, percentage;
  float originX, originY;
  int mode;
};

TEST_F(ManagerTest, SetEffectStoresWhatItsTableSays) {
  // Each row starts from: flips off, zoom 150 % at (0.25, 0.75), DeepTone 1.
  const SetEffectCase cases[] = {
      {"vertical flip on", 0, 1, 0, 0, S_OK, 1, 0, 150, 0.25f, 0.75f, 1},
      {"mirror on", 1, 1, 0, 0, S_OK, 0, 1, 150, 0.25f, 0.75f, 1},
      {"flip value 2", 0, 2, 0, 0, NBEM_E_BAD_PARAMS, 0, 0, 150, 0.25f, 0.75f, 1},
      {"mirror value -1", 1, -1, 0, 0, NBEM_E_BAD_PARAMS, 0, 0, 150, 0.25f, 0.75f, 1},
      {"zoom in range", 2, 400, 1.0f, 0.0f, S_OK, 0, 0, 400, 1.0f, 0.0f, 1},
      {"zoom 450 resets to 100, keeps origin", 2, 450, 0.5f, 0.5f, NBEM_E_BAD_PARAMS, 0, 0, 100, 0.25f, 0.75f, 1},
      {"zoom 99", 2, 99, 0.5f, 0.5f, NBEM_E_BAD_PARAMS, 0, 0, 100, 0.25f, 0.75f, 1},
      {"zoom 200 with x 1.5 keeps origin", 2, 200, 1.5f, 0.0f, NBEM_E_BAD_PARAMS, 0, 0, 200, 0.25f, 0.75f, 1},
      {"zoom with negative y", 2, 200, 0.0f, -0.1f, NBEM_E_BAD_PARAMS, 0, 0, 200, 0.25f, 0.75f, 1},
      {"DeepTone on", 4, 2, 0, 0, S_OK, 0, 0, 150, 0.25f, 0.75f, 2},
      {"DeepTone mode unchecked", 4, 9, 0, 0, S_OK, 0, 0, 150, 0.25f, 0.75f, 9},
      {"type 3", 3, 1, 0, 0, NBEM_E_BAD_PARAMS, 0, 0, 150, 0.25f, 0.75f, 1},
      {"type -1", -1, 1, 0, 0, NBEM_E_BAD_PARAMS, 0, 0, 150, 0.25f, 0.75f, 1},
  };
  for (const SetEffectCase& c : cases) {
    SCOPED_TRACE(c.what);
    NBEffectMgr mgr;
    ASSERT_EQ(S_OK, mgr.SetEffect(2, 150, 0.25f, 0.75f));
    EXPECT_EQ(c.result, mgr.SetEffect(c.type, c.value, c.x, c.y));
    EXPECT_EQ(c.vertical, mgr.Flip().GetVertical());
    EXPECT_EQ(c.horizontal, mgr.Flip().GetHorizontal());
    EXPECT_EQ(c.percentage, mgr.Zoom().GetPercentage());
    EXPECT_EQ(c.originX, mgr.Zoom().GetOriginX());
    EXPECT_EQ(c.originY, mgr.Zoom().GetOriginY());
    EXPECT_EQ(c.mode, mgr.GetDeepToneMode());
  }
}

TEST_F(ManagerTest, SelectEffectAndGetEffectListFollowTheLayers) {
  for (const char* name : {"Amber", "Blue", "Coral"}) AddPair(programFolder, "Frame", name, 0x336699, 30);
  AddPair(programFolder, "ScreenCover", "Plain", 0x123456);
  NBEffectMgr mgr;
  std::vector<EffectListEntry> list;
  EXPECT_EQ(NBEM_E_UNINITED, mgr.SelectEffect(0x20000));
  EXPECT_EQ(NBEM_E_UNINITED, mgr.GetEffectList(L"Thumbnail\\Frame", list));
  ASSERT_EQ(S_OK, mgr.Start());

  ASSERT_EQ(S_OK, mgr.GetEffectList(L"Thumbnail\\Frame", list));
  ASSERT_EQ(3u, list.size());
  EXPECT_EQ(0x20000, list[0].id);
  EXPECT_EQ(0x20002, list[2].id);
  EXPECT_EQ(win32::FromUtf8((programFolder / "Thumbnail/Frame/Coral.bmp").string()), list[2].thumbnailPath);
  ASSERT_EQ(S_OK, mgr.GetEffectList(L"Thumbnail\\ScreenCover", list));
  ASSERT_EQ(4u, list.size()) << "entries are appended";
  EXPECT_EQ(0x40000, list[3].id);
  list.clear();
  EXPECT_EQ(S_OK, mgr.GetEffectList(L"Thumbnail/Frame", list));
  EXPECT_TRUE(list.empty());

  EXPECT_EQ(S_OK, mgr.SelectEffect(0x20002));
  EXPECT_EQ(2, mgr.Frames().Current());
  EXPECT_EQ(S_OK, mgr.SelectEffect(0x3FFFF));  // no such layer: nothing changes
  EXPECT_EQ(2, mgr.Frames().Current());
  EXPECT_EQ(S_OK, mgr.SelectEffect(0x20005));  // past the end: none
  EXPECT_EQ(0xFFFF, mgr.Frames().Current());
  EXPECT_EQ(S_OK, mgr.SelectEffect(0x40000));
  EXPECT_EQ(0, mgr.Covers().Current());
  EXPECT_EQ(S_OK, mgr.SelectEffect(0x4FFFF));
  EXPECT_EQ(0xFFFF, mgr.Covers().Current());
}

// A stream-control object that records what the manager does with it.
struct StreamLog {
  int created = 0, started = 0, destroyed = 0;
  IEffectCallBack* callback = nullptr;
  HRESULT startResult = S_OK;
  bool failCreate = false;
};
StreamLog g_log;

class RecordingStreamCtrl : public IStreamCtrl {
 public:
  RecordingStreamCtrl() { ++g_log.created; }
  ~RecordingStreamCtrl() override { ++g_log.destroyed; }
  HRESULT Start(IEffectCallBack* callback) override {
    ++g_log.started;
    g_log.callback = callback;
    return g_log.startResult;
  }
  HRESULT Stop() override { return S_OK; }
};

IStreamCtrl* MakeRecording() { return g_log.failCreate ? nullptr : new RecordingStreamCtrl(); }

TEST_F(ManagerTest, StartAndStopDriveTheLayersAndTheStreamHook) {
  g_log = StreamLog{};
  SetStreamCtrlFactory(MakeRecording);
  AddPair(programFolder, "Frame", "Only", 0x00FF00, 20);
  auto* mgr = new NBEffectMgr();
  EXPECT_EQ(NBEM_E_UNINITED, mgr->Stop());
  ASSERT_EQ(S_OK, mgr->Start());
  EXPECT_EQ(1, mgr->IsStarted());
  EXPECT_TRUE(mgr->AreLayersLoaded());
  EXPECT_EQ(1u, mgr->Frames().Count());
  EXPECT_EQ(1, g_log.started);
  EXPECT_EQ(static_cast<IEffectCallBack*>(mgr), g_log.callback);

  // A second Start stops the manager and fails.
  EXPECT_EQ(NBEM_E_REINITED, mgr->Start());
  EXPECT_EQ(0, mgr->IsStarted());
  EXPECT_EQ(1, g_log.destroyed);
  EXPECT_TRUE(mgr->AreLayersLoaded()) << "Stop leaves the layers loaded";
  // The next Start finds the layers loaded: it unloads them and fails.
  EXPECT_EQ(NBEM_E_REINITED, mgr->Start());
  EXPECT_FALSE(mgr->AreLayersLoaded());
  // And the one after that loads and starts again.
  EXPECT_EQ(S_OK, mgr->Start());
  EXPECT_EQ(1u, mgr->Frames().Count());
  EXPECT_EQ(2, g_log.started);

  // A hook whose start fails leaves the manager stopped.
  EXPECT_EQ(S_OK, mgr->Stop());
  g_log.startResult = NBEM_E_FAIL;
  EXPECT_EQ(NBEM_E_REINITED, mgr->Start());  // layers were still loaded
  EXPECT_EQ(NBEM_E_FAIL, mgr->Start());
  EXPECT_EQ(0, mgr->IsStarted());
  g_log.failCreate = true;
  EXPECT_EQ(NBEM_E_REINITED, mgr->Start());
  EXPECT_EQ(E_POINTER, mgr->Start());
  EXPECT_EQ(nullptr, mgr->StreamCtrl());

  g_log = StreamLog{};
  ASSERT_EQ(S_OK, mgr->StartStreamHook());
  ASSERT_EQ(S_OK, mgr->StartStreamHook());  // replaces the object
  EXPECT_EQ(2, g_log.created);
  EXPECT_EQ(1, g_log.destroyed);
  EXPECT_EQ(S_OK, mgr->EndStreamHook());
  EXPECT_EQ(2, g_log.destroyed);
  delete mgr;
}

TEST_F(ManagerTest, WithoutAHookClientTheManagerStartsAndNoFrameArrives) {
  win32::DebugCapture capture;
  NBEffectMgr mgr;
  EXPECT_EQ(S_OK, mgr.Start());
  EXPECT_EQ(1, mgr.IsStarted());
  ASSERT_NE(nullptr, mgr.StreamCtrl());
  EXPECT_TRUE(capture.Contains(L"[NBEffectMgr] Open device control object Failed\r\n"));
  // The driverless object itself: a second start is refused, a null callback too.
  IStreamCtrl* ctrl = CreateStreamCtrl();
  EXPECT_EQ(NBEM_E_BAD_PARAMS, ctrl->Start(nullptr));
  EXPECT_EQ(S_OK, ctrl->Start(&mgr));
  EXPECT_EQ(NBEM_E_UNINITED, ctrl->Stop());
  delete ctrl;
}

TEST_F(ManagerTest, CreateEffectMgrHandsOutOneManagerUntilItIsDestroyed) {
  EXPECT_EQ(E_POINTER, CreateEffectMgr(nullptr));
  win32::DebugCapture capture;
  INBEffectMgr* a = nullptr;
  INBEffectMgr* b = nullptr;
  ASSERT_EQ(S_OK, CreateEffectMgr(&a));
  ASSERT_EQ(S_OK, CreateEffectMgr(&b));
  EXPECT_EQ(a, b);
  EXPECT_EQ(1u, capture.Count(L"[NBEffectMgr] Class NBEffectMgr Create!\r\n"));
  ASSERT_EQ(S_OK, a->SetEffect(1, 1, 0, 0));
  ASSERT_EQ(S_OK, a->Start());
  delete a;
  EXPECT_TRUE(capture.Contains(L"[NBEffectMgr] Class NBEffectMgr Delete!\r\n"));
  // A new manager, not the destroyed one: its mirror is off.
  ASSERT_EQ(S_OK, CreateEffectMgr(&b));
  EXPECT_EQ(2u, capture.Count(L"[NBEffectMgr] Class NBEffectMgr Create!\r\n"));
  EXPECT_EQ(0, static_cast<NBEffectMgr*>(b)->Flip().GetHorizontal());
  delete b;
}

}  // namespace
}  // namespace zorcam::testing
