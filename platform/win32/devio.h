// Device I/O from user mode; see win32/devio/devio.h.
#pragma once

#include "win32/devio/devio.h"
