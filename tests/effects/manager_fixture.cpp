#include "manager_fixture.h"

#include <QColor>
#include <QImage>
#include <QPainter>

#include "effects/effect_layers.h"
#include "support/test_home.h"

namespace zorcam::testing {

namespace fs = std::filesystem;

void WritePicture(const fs::path& png, unsigned rgb, int border) {
  fs::create_directories(png.parent_path());
  QImage image(640, 480, QImage::Format_ARGB32);
  const QColor color(QRgb(0xFF000000u | rgb));
  if (border == 0) {
    image.fill(color);
  } else {
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.fillRect(0, 0, 640, border, color);
    p.fillRect(0, 480 - border, 640, border, color);
    p.fillRect(0, 0, border, 480, color);
    p.fillRect(640 - border, 0, border, 480, color);
  }
  ASSERT_TRUE(image.save(QString::fromStdString(png.string()), "PNG"));
}

void WritePreview(const fs::path& bmp, unsigned rgb) {
  fs::create_directories(bmp.parent_path());
  QImage image(80, 60, QImage::Format_RGB32);
  image.fill(QColor(QRgb(0xFF000000u | rgb)));
  ASSERT_TRUE(image.save(QString::fromStdString(bmp.string()), "BMP"));
}

void AddPair(const fs::path& root, const std::string& kind, const std::string& name, unsigned rgb, int border) {
  WritePicture(root / "Effect" / kind / (name + ".png"), rgb, border);
  WritePreview(root / "Thumbnail" / kind / (name + ".bmp"), rgb);
}

fs::path UserDataFolder() { return TestHome() / ".local/share/corvane/Zorcam"; }

void RecordingNoticeWindow::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  std::lock_guard<std::mutex> hold(lock_);
  posted_.push_back({message, {wParam, lParam}});
}

std::vector<HRESULT> RecordingNoticeWindow::Codes() const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<HRESULT> codes;
  for (const auto& m : posted_) {
    EXPECT_EQ(m.first, 0x407u);
    EXPECT_EQ(m.second.second, 0);
    codes.push_back(static_cast<HRESULT>(static_cast<DWORD>(m.second.first)));
  }
  return codes;
}

Yuy2Frame::Yuy2Frame(int width, int height, DWORD bytesUsed, DWORD extraCapacity) {
  const size_t picture = static_cast<size_t>(width) * height * 2;
  const DWORD used = bytesUsed != 0 ? bytesUsed : static_cast<DWORD>(picture);
  bytes.resize(std::max<size_t>(picture, used) + extraCapacity);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<BYTE>((i * 7 + (i / 1280) * 13) & 0xFF);
  }
  desc.data = bytes.data();
  desc.capacity = static_cast<DWORD>(bytes.size());
  desc.dwBytesUsed = used;
  desc.dwWidth = width;
  desc.dwHeight = height;
  desc.subtype = MEDIASUBTYPE_YUY2;
}

void ManagerTest::SetUp() {
  programFolder = MakeTempDir("program");
  SetProgramFolderOverride(std::wstring(programFolder.wstring()) + L"/");
  SetNoticeWindow(&notices);
}

void ManagerTest::TearDown() {
  SetNoticeWindow(nullptr);
  SetProgramFolderOverride(L"");
  SetStreamCtrlFactory(nullptr);
}

}  // namespace zorcam::testing
