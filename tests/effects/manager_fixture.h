// Shared pieces of the effect manager, rules and layers tests: a program
// folder with small picture collections, a notice window that records what
// is posted to it, and YUY2 frames.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "effects/effect_mgr.h"
#include "effects/notice_window.h"

namespace zorcam::testing {

// Writes a 640 x 480 PNG: an opaque colour everywhere, or (frame) a
// coloured border of `border` pixels with a transparent middle.
void WritePicture(const std::filesystem::path& png, unsigned rgb, int border = 0);
// Writes an 80 x 60 BMP preview.
void WritePreview(const std::filesystem::path& bmp, unsigned rgb);

// Adds the pair <root>/Effect/<kind>/<name>.png + <root>/Thumbnail/<kind>/<name>.bmp.
void AddPair(const std::filesystem::path& root, const std::string& kind, const std::string& name, unsigned rgb,
             int border = 0);

// The user data folder of the current test home ("<appdata>/corvane/Zorcam").
std::filesystem::path UserDataFolder();

// A notice window that records every posted message.
class RecordingNoticeWindow : public INoticeWindow {
 public:
  explicit RecordingNoticeWindow(bool hasHandle = true) : hasHandle_(hasHandle) {}
  bool HasWindowHandle() const override { return hasHandle_; }
  void PostMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
  // (wParam as a result code) of every WM_USER+7 posted; fails on other messages.
  std::vector<HRESULT> Codes() const;

 private:
  bool hasHandle_;
  mutable std::mutex lock_;
  std::vector<std::pair<UINT, std::pair<WPARAM, LPARAM>>> posted_;
};

// A YUY2 frame that owns its bytes: a deterministic, non-symmetric pattern.
struct Yuy2Frame {
  Yuy2Frame(int width, int height, DWORD bytesUsed = 0, DWORD extraCapacity = 0);
  std::vector<BYTE> bytes;
  FrameDescriptor desc;
  std::vector<BYTE> Picture() const {
    return std::vector<BYTE>(bytes.begin(), bytes.begin() + static_cast<long>(desc.dwWidth) * desc.dwHeight * 2);
  }
};

// Test base: a program folder override (empty collections unless a test adds
// pairs), a notice recorder and a debug capture.
class ManagerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::filesystem::path programFolder;
  RecordingNoticeWindow notices;
};

}  // namespace zorcam::testing
