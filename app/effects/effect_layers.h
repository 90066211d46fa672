// Effect layers: collections of still-image effects found on disk, of which at
// most one (the current one) takes part in the effect chain.
//
//   CNBFrameLayer:       decorative frames from the program folder,
//                        "Effect/Frame" + "Thumbnail/Frame", ids 0x20000 + i.
//   CNBScreenCoverLayer: screen covers from the program folder, then the
//                        user's own from the user data folder,
//                        "Effect/ScreenCover" + "Thumbnail/ScreenCover",
//                        ids 0x40000 + i (i counts across both folders).
//
// A collection is a pair of folders under a root: full pictures (*.png) and
// their 80 x 60 previews (*.bmp), matched by exact base name. Folders are
// listed in case-insensitive name order, so the indexes (which the settings
// store) are the same on every machine.
//
// Threads: Apply, IsActive and IsInPlace run on the effect thread, Select,
// Reload and Delete on the user-interface thread, all under the effect
// manager's lock; the first load (from the manager's Start) takes no lock.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "effects/effect.h"
#include "effects/still_image_effect.h"

using StillImageList = std::vector<std::unique_ptr<IStillImageEffect>>;

class CNBEffectLayer : public IEffect {
 public:
  CNBEffectLayer() = default;
  ~CNBEffectLayer() override;
  CNBEffectLayer(const CNBEffectLayer&) = delete;
  CNBEffectLayer& operator=(const CNBEffectLayer&) = delete;

  // 1 when an effect is current.
  int IsActive() override;
  // Forwards to the current effect; a current index past the end becomes
  // none (0xFFFF) here.
  int Apply(BYTE* dst, int dstStride, BYTE* src, int srcStride, int width, int height) override;
  // 1 with no current effect, else the current effect's answer.
  int IsInPlace() override;
  // Creates the layer's effects into an empty list.
  virtual HRESULT Enumerate(StillImageList& out) = 0;
  // current = the low 16 bits of id when that is a valid index, else none.
  virtual int Select(int id);

  // NBEM_E_REINITED when loaded; otherwise enumerates, keeps every effect,
  // and returns Enumerate's result (a negative one loads nothing).
  HRESULT Load();
  // Destroys every effect (releasing the picture files); current is kept.
  HRESULT Unload();

  bool IsLoaded() const { return m_loaded != 0; }
  size_t Count() const { return m_effects.size(); }
  IStillImageEffect* EffectAt(size_t index) const { return m_effects[index].get(); }
  WORD Current() const { return m_current; }

 protected:
  StillImageList m_effects;  // owned; position = index
  int m_loaded = 0;
  WORD m_current = 0xFFFF;   // 0xFFFF: none
};

class CNBFrameLayer final : public CNBEffectLayer {
 public:
  HRESULT Enumerate(StillImageList& out) override;
};

class CNBScreenCoverLayer final : public CNBEffectLayer {
 public:
  HRESULT Enumerate(StillImageList& out) override;
  // Unload, then load; returns 0.
  HRESULT Reload();
  // Deletes the picture and preview files of the cover at `index` and loads
  // the layer again (current keeps its number). E_INVALIDARG for a bad index.
  HRESULT Delete(int index);
};

// One picture with its preview, as found by a pair scan.
struct PicturePair {
  std::wstring picture;  // full path of the PNG
  std::wstring preview;  // full path of the BMP
};

// Appends the pairs of root + pictureFolder (*.png) and root + previewFolder
// (*.bmp) whose base names are equal (case-sensitive), in picture order.
// Missing folders or files give no pairs. `root` ends in '/'.
void PairScan(const std::wstring& root, const std::wstring& pictureFolder, const std::wstring& previewFolder,
              std::vector<PicturePair>& pairs);

// The files of `folder` whose names end in "." + extension (any case), in
// case-insensitive name order. 0; NBEM_E_DLL_PATH when nothing matches (or
// the folder cannot be read), with an empty list; NBEM_E_LOAD_DLL when the
// listing stops with an error, with the names found so far.
HRESULT FindFiles(const std::wstring& folder, const std::wstring& extension, std::vector<std::wstring>& paths);

// The folder of the running executable, ending in '/' (empty when unknown),
// or the folder set with SetProgramFolderOverride.
std::wstring GetProgramFolder();
// Makes `folder` the root of the program's collections instead of the
// executable's folder (the offline effects tool's --effects-dir, tests);
// an empty string restores the default.
void SetProgramFolderOverride(const std::wstring& folder);
