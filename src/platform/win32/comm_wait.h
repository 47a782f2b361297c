// WaitCommEvent for drivers that cannot wait for comm events.
//
// A serial driver that cannot watch its line (Wine 8 on a pty: its
// modem-status query fails, and WaitCommEvent then completes at once with
// an empty mask) would make the reader thread spin. The first wait on a
// port is therefore a probe of the driver (serial.cpp): a driver that
// completes it at once with an empty mask, with no SetCommMask in between,
// cannot wait, and the port switches to a watched wait: the backend completes the
// OVERLAPPED itself, with EV_RXCHAR when the driver's input queue
// (ClearCommError's cbInQue) holds bytes, with an empty mask on
// SetCommMask, and as aborted on CancelIo or CloseHandle, as the system
// completes its own waits. A single watcher thread serves all such waits
// and ends when none is pending.
#pragma once

#include <cstdint>

#include "platform/file.h"
#include "platform/handle.h"

namespace eklv::pf::w32 {

enum class CommDriver { kUnknown, kProbing, kWaits, kCannotWait };
// What the probe found for the port (kUnknown before it, and after a close).
CommDriver PortDriver(Handle port);
// Claims the probe of a port no thread has probed or is probing; false when
// another thread got there first.
bool BeginProbe(Handle port);
// Records the probe's finding (kUnknown: it found nothing, the next wait
// probes again). Only the claimed probe's finding is kept: a close while
// the probe ran forgets the port, and a later handle may have its value.
// kCannotWait is logged with why.
void EndProbe(Handle port, CommDriver driver, std::uint32_t event_mask, const char* why = "");
// A port whose driver ended a system wait as cancelled on its own
// (DriverCancelledLastWait) is watched from now on; logged.
void MarkCannotWait(Handle port, std::uint32_t event_mask);

// A wait handed to the driver. A driver that ends it as cancelled on its
// own, with no CancelIo, SetCommMask, PurgeComm or close of ours since,
// cannot wait either (the probe may have been too quick to see it).
void NoteSystemWait(Handle port, const Overlapped* overlapped);
bool DriverCancelledLastWait(Handle port, const Overlapped* overlapped);
void ForgetSystemWait(Handle port);


// Serves WaitCommEvent for a marked port, with WaitCommEvent's answer.
bool WatchedWaitCommEvent(Handle port, std::uint32_t event_mask, std::uint32_t* mask, Overlapped* overlapped);

enum class CommWaitAbort { kCancel, kCancelAll, kClose, kMaskChanged };
// Completes the watched waits of the port: kCancel those the calling thread
// issued, the others all of them (kCancelAll only the one started with only,
// when that is given). kClose also forgets the port; kMaskChanged records
// new_mask as a marked port's event mask.
void AbortCommWaits(Handle port, CommWaitAbort reason, std::uint32_t new_mask = 0, const Overlapped* only = nullptr);

// Waits for the watcher thread to end when no wait is pending any more (it
// then ends within a millisecond); returns at once while one is.
void JoinCommWatcher();

}  // namespace eklv::pf::w32
