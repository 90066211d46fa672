// Umbrella header of the Win32 core layer.
#pragma once

#include "win32/debug.h"
#include "win32/guid.h"
#include "win32/handles.h"
#include "win32/sync.h"
#include "win32/text.h"
#include "win32/time.h"
#include "win32/types.h"
