// The factory seam of the stream-control object and the object used while no
// frame hook client is registered: it acts as the client does when the
// camera filter driver cannot be opened.
#include "effects/stream_ctrl.h"

#include <atomic>

#include "config/result_codes.h"
#include "win32/debug.h"

namespace {

class DriverlessStreamCtrl final : public IStreamCtrl {
 public:
  HRESULT Start(IEffectCallBack* callback) override {
    if (started_ != 0) return NBEM_E_REINITED;
    if (callback == nullptr) return NBEM_E_BAD_PARAMS;
    // Opening the driver's control device fails: the program runs without
    // effects, and the start still counts as a success.
    OutputDebugStringW(L"[NBEffectMgr] Open device control object Failed\r\n");
    OutputDebugStringW(L"[NBEffectMgr] Close device control object\r\n");
    return S_OK;
  }
  HRESULT Stop() override { return started_ != 0 ? S_OK : NBEM_E_UNINITED; }

 private:
  int started_ = 0;  // stays 0: without a driver nothing is ever started
};

IStreamCtrl* MakeDriverless() { return new DriverlessStreamCtrl(); }

std::atomic<StreamCtrlFactory> g_factory{nullptr};

}  // namespace

void SetStreamCtrlFactory(StreamCtrlFactory factory) { g_factory.store(factory); }

IStreamCtrl* CreateStreamCtrl() {
  const StreamCtrlFactory factory = g_factory.load();
  return factory != nullptr ? factory() : MakeDriverless();
}
