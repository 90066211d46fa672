// The stream-control object through which the effect manager starts and ends
// the frame hook, and the factory seam that makes it.
//
// The manager owns at most one instance: to start the hook it deletes any
// existing one, creates a new one through CreateStreamCtrl and calls Start
// with its own IEffectCallBack view; to end the hook it deletes the instance
// (the destructor stops the hook, so deleting is the only call needed).
//
// The frame hook client registers its factory with SetStreamCtrlFactory at
// start-up. Until one is registered, CreateStreamCtrl returns an object that
// behaves as the client does when the camera filter driver is absent: Start
// succeeds, nothing is started and no frame ever arrives.
#pragma once

#include "effects/effect.h"
#include "win32/types.h"

class IStreamCtrl {
 public:
  // Stops the hook (as Stop) when it is running.
  virtual ~IStreamCtrl() = default;
  // 0 when the hook runs or the driver is absent; NBEM_E_REINITED when
  // already started, NBEM_E_BAD_PARAMS without a callback, NBEM_E_FAIL or
  // E_POINTER when the client's threads or buffers cannot be made.
  // `callback` is not owned and must outlive the started hook.
  virtual HRESULT Start(IEffectCallBack* callback) = 0;
  // 0, or NBEM_E_UNINITED when not started.
  virtual HRESULT Stop() = 0;
};

// Makes a new stream-control object (owned by the caller), or nullptr.
using StreamCtrlFactory = IStreamCtrl* (*)();

// Registers the factory CreateStreamCtrl uses; nullptr restores the built-in
// driverless one. Call before the effect manager starts.
void SetStreamCtrlFactory(StreamCtrlFactory factory);

// A new stream-control object from the registered factory (caller owns it).
IStreamCtrl* CreateStreamCtrl();
