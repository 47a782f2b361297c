// Scenarios of the exported functions that run the same on every OS, for a
// library copy loaded as a host loads it. Each checks codes and log lines
// with gtest expectations.
#pragma once

#include "support/lib_folder.h"

namespace eklv::test {

// Every device call and EKLVSetCoreLogging answer 14 and log their entry
// and exit lines; the caller's handle and strings stay untouched.
void ExpectDeviceCallsAnswer14BeforeInitialisation(LoadedLibrary& lib);

// ZORVAN_OnCall before initialisation: no block (6, nothing logged), an
// unknown opcode (3, result 2), an operation answering 14 (5), opcode 1.
// (Each device opcode's way to its operation is checked on a fake manager.)
void ExpectOpcodeEntryCodesBeforeInitialisation(LoadedLibrary& lib);

// EKLVInitialize on a machine without USB hubs: 1 at the device-id
// manager, no later step, the 1000 ms sleep, the uninitialisation it runs
// itself (13); a later EKLVUninitialize answers 13 too.
void ExpectStartWithoutHubsFails(LoadedLibrary& lib);

}  // namespace eklv::test
