// The modem emulator lives with the rig in tools/rig (eklvctl's demo uses
// it too); this name stays for tests written before it moved.
#pragma once

#include "rig/modem_emulator.h"
