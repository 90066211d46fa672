// User screen covers: any picture file becomes an 80 x 60 BMP preview and a
// 640 x 480 PNG cover in the user data folder, named "USERSC" + the current
// seconds, and joins the cover layer as its last entry.
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QString>
#include <filesystem>

#include "capture/data_folders.h"
#include "config/result_codes.h"
#include "effects/effect_mgr.h"
#include "win32/text.h"

namespace {

QString ToQString(const std::wstring& text) { return QString::fromStdWString(text); }

bool HasEncoder(const char* mimeType) { return QImageWriter::supportedMimeTypes().contains(QByteArray(mimeType)); }

bool Exists(const std::wstring& path) {
  std::error_code ec;
  return std::filesystem::exists(win32::ToUtf8(path), ec);
}

}  // namespace

HRESULT NBEffectMgr::AddScreenCover(const std::wstring& imagePath) {
  QImageReader reader(ToQString(imagePath));
  reader.setAutoTransform(true);
  const QImage source = reader.read();
  if (source.isNull()) return NBEM_E_FAIL;
  // Both sizes are fixed; the aspect ratio is not kept.
  const QImage preview = source.scaled(80, 60, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  const QImage picture = source.scaled(640, 480, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  if (preview.isNull() || picture.isNull() || !HasEncoder("image/bmp")) return NBEM_E_FAIL;

  std::wstring name;
  MakeTimeName(name);
  if (CreateDataFolders() != S_OK) return NBEM_E_FAIL;
  std::wstring folder;
  GetDataFolder(folder);
  if (folder.empty()) return NBEM_E_FAIL;
  std::wstring previewPath = folder + L"Thumbnail/ScreenCover/" + name + L".bmp";
  std::wstring picturePath = folder + L"Effect/ScreenCover/" + name + L".png";
  // Two covers made within the same second would share a name and the
  // second would replace the first: take the next free second instead.
  while (Exists(previewPath) || Exists(picturePath)) {
    const long long seconds = std::stoll(name.substr(6)) + 1;
    name = L"USERSC" + std::to_wstring(seconds);
    previewPath = folder + L"Thumbnail/ScreenCover/" + name + L".bmp";
    picturePath = folder + L"Effect/ScreenCover/" + name + L".png";
  }

  if (!preview.save(ToQString(previewPath), "BMP")) return NBEM_E_FAIL;
  if (!HasEncoder("image/png") || !picture.save(ToQString(picturePath), "PNG")) return NBEM_E_FAIL;

  Hold hold(&m_set.lock);
  m_set.covers.Reload();
  return S_OK;
}
