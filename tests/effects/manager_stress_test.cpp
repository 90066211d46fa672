// The effect manager under load: frames flow on an effect thread while the
// user-interface thread changes every setting, selects effects and adds and
// deletes user screen covers. Catches torn layer changes (a frame drawn with
// a half-built layer), races on the unlocked flags, and crashes.
#include <gtest/gtest.h>

#include <QImage>
#include <atomic>
#include <chrono>
#include <thread>

#include "effects/effect_mgr.h"
#include "effects/mjpeg_codec.h"
#include "manager_fixture.h"
#include "support/test_home.h"
#include "win32/text.h"

namespace zorcam::testing {
namespace {

TEST_F(ManagerTest, SettingsAndCoversChangeWhileFramesFlow) {
  AddPair(programFolder, "Frame", "Rim", 0xFFCC00, 12);
  AddPair(programFolder, "ScreenCover", "Grey", 0x777777);
  const std::filesystem::path picture = MakeTempDir("mine") / "me.png";
  QImage image(200, 150, QImage::Format_RGB32);
  image.fill(QColor(10, 200, 30));
  ASSERT_TRUE(image.save(QString::fromStdString(picture.string()), "PNG"));

  NBEffectMgr mgr;
  ASSERT_EQ(S_OK, mgr.Start());

  // An MJPEG frame of the same picture size, re-sent as it is.
  Yuy2Frame source(320, 240);
  mjpeg::DecodedPicture p;
  mjpeg::PreparePicture(&p, 320, 240);
  std::memcpy(p.data, source.bytes.data(), 320 * 240 * 2);
  std::vector<BYTE> jpeg(320 * 240 * 2);
  jpeg.resize(mjpeg::Encode(p, jpeg.data(), static_cast<DWORD>(jpeg.size())));
  mjpeg::FreePicture(&p);
  ASSERT_FALSE(jpeg.empty());

  std::atomic<bool> stop{false};
  std::atomic<int> frames{0};
  std::thread effectThread([&] {
    std::vector<BYTE> buffer(320 * 240 * 2 + 4096);
    while (!stop.load()) {
      const int n = frames.fetch_add(1);
      if (n % 3 == 2) {
        std::memcpy(buffer.data(), jpeg.data(), jpeg.size());
        FrameDescriptor d;
        d.data = buffer.data();
        d.capacity = static_cast<DWORD>(buffer.size());
        d.dwBytesUsed = static_cast<DWORD>(jpeg.size());
        d.dwWidth = 320;
        d.dwHeight = 240;
        d.subtype = MEDIASUBTYPE_MJPG;
        mgr.OnFrame(&d);
      } else if (n % 7 == 0) {
        Yuy2Frame large(800, 600);
        mgr.OnFrame(&large.desc);
      } else {
        Yuy2Frame frame(320, 240);
        EXPECT_EQ(0, mgr.OnFrame(&frame.desc));
      }
    }
  });

  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  int round = 0;
  while (std::chrono::steady_clock::now() < end) {
    ++round;
    mgr.SetEffect(1, round & 1, 0, 0);
    mgr.SetEffect(0, (round >> 1) & 1, 0, 0);
    mgr.SetEffect(2, 100 + (round * 37) % 300, (round % 10) / 10.0f, 0.5f);
    mgr.SetEffect(4, 1 + round % 3, 0, 0);
    mgr.SelectEffect(round % 4 == 0 ? 0x2FFFF : 0x20000);
    mgr.SelectEffect(round % 5 == 0 ? 0x40000 + round % 3 : 0x4FFFF);
    std::vector<EffectListEntry> list;
    mgr.GetEffectList(L"Thumbnail\\ScreenCover", list);
    if (round % 6 == 0) {
      EXPECT_EQ(S_OK, mgr.AddScreenCover(win32::FromUtf8(picture.string())));
    } else if (round % 6 == 3 && list.size() > 1) {
      mgr.DeleteScreenCover(static_cast<int>(list.size()) - 1);
    }
  }
  stop.store(true);
  effectThread.join();
  EXPECT_GT(frames.load(), 10);
  EXPECT_GT(round, 10);
  // Only user covers were deleted: the program's cover is still first.
  std::vector<EffectListEntry> list;
  ASSERT_EQ(S_OK, mgr.GetEffectList(L"Thumbnail\\ScreenCover", list));
  ASSERT_FALSE(list.empty());
  EXPECT_NE(std::wstring::npos, list[0].thumbnailPath.find(L"Grey.bmp"));
}

}  // namespace
}  // namespace zorcam::testing
