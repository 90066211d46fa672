// Test seams of the NBEffect driver (null in normal operation).
#pragma once

struct FilterExtension;

// Called by the frame delivery between taking a waiting frame and taking the
// GET it is paired with (both locks released), so that tests can cancel the
// GET exactly there.
extern void (*g_NbDeliverBetweenLocksHook)(FilterExtension* Ext);
