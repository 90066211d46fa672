// Still-image effects: a picture laid over every camera frame. The picture is
// decoded once at construction (Qt Gui), stretched to the frame size and
// converted to a YUY2 overlay plus a per-pixel opacity plane on the first
// Apply of every new frame size, then alpha-blended into each frame in place:
//   frame = floor(overlay * a / 255) + floor(frame * (255 - a) / 255)
// for the luma and the chroma byte of each pixel. A picture that cannot be
// loaded gives opacity 0 everywhere, so the frame is never changed.
//
// CFrameEffect (decorative frames) and CScreenCoverEffect (screen covers)
// differ only in their kind text.
#pragma once

#include <QImage>
#include <memory>
#include <string>
#include <vector>

#include "effects/effect.h"

// The interface the effect layers hold; slot order: destructor, IsActive,
// Apply, IsInPlace, GetThumbnailPath, GetImagePath, GetId.
class IStillImageEffect : public IEffect {
 public:
  ~IStillImageEffect() override = default;
  virtual std::wstring GetThumbnailPath() = 0;
  virtual std::wstring GetImagePath() = 0;
  virtual int GetId() = 0;
};

class CStillImageEffect : public IStillImageEffect {
 public:
  // Copies the texts and decodes the picture at imagePath at once.
  CStillImageEffect(const std::wstring& kind, const std::wstring& imagePath, const std::wstring& thumbnailPath,
                    int id);
  ~CStillImageEffect() override;
  CStillImageEffect(const CStillImageEffect&) = delete;
  CStillImageEffect& operator=(const CStillImageEffect&) = delete;

  int IsActive() override;  // always 1
  // Blends the overlay into src in place (rows width * 2 bytes apart); dst,
  // dstStride and srcStride are ignored. Returns 0.
  int Apply(BYTE* dst, int dstStride, BYTE* src, int srcStride, int width, int height) override;
  int IsInPlace() override;  // always 1
  std::wstring GetThumbnailPath() override;
  std::wstring GetImagePath() override;
  int GetId() override;

  const std::wstring& Kind() const { return m_kind; }
  // True when the picture file was decoded.
  bool HasPicture() const { return !m_picture.image.isNull(); }
  // How many times the overlay was built (once per change of frame size).
  int OverlayBuilds() const { return m_picture.builds; }
  // The prepared overlay and opacity planes of the cached size (empty before
  // the first Apply).
  const std::vector<BYTE>& Overlay() const { return m_picture.overlay; }
  const std::vector<BYTE>& Alpha() const { return m_picture.alpha; }

  // Colour conversion of one picture pixel, in double precision, truncated
  // toward zero and clamped to 0..255.
  static BYTE RgbToY(int r, int g, int b);
  static BYTE RgbToU(int r, int g, int b);
  static BYTE RgbToV(int r, int g, int b);

 private:
  void PrepareOverlay(int width, int height);

  std::wstring m_kind;
  std::wstring m_imagePath;
  std::wstring m_thumbnailPath;
  int m_id = 0;

  // The picture record, owned by the effect.
  struct Picture {
    std::wstring path;
    QImage image;               // decoded picture; null when loading failed
    std::vector<BYTE> overlay;  // width * height * 2, YUY2 at the cached size
    std::vector<BYTE> alpha;    // width * height, opacity 0..255
    // Blend operands derived from overlay and alpha, per frame byte:
    // premul = floor(overlay * a / 255), keep = 255 - a.
    std::vector<BYTE> premul;
    std::vector<BYTE> keep;
    bool anyOpaque = false;     // some pixel has opacity > 0
    int cachedWidth = 0;
    int cachedHeight = 0;
    int builds = 0;
  } m_picture;
};

// A decorative frame from the frame collection.
class CFrameEffect : public CStillImageEffect {
 public:
  CFrameEffect(const std::wstring& imagePath, const std::wstring& thumbnailPath, int id)
      : CStillImageEffect(L"Thumbnail\\Frame", imagePath, thumbnailPath, id) {}
};

// A screen cover that hides the camera image.
class CScreenCoverEffect : public CStillImageEffect {
 public:
  CScreenCoverEffect(const std::wstring& imagePath, const std::wstring& thumbnailPath, int id)
      : CStillImageEffect(L"Thumbnail\\ScreenCover", imagePath, thumbnailPath, id) {}
};
