// Serial-port control, shaped like the COMM functions of the Windows kernel:
// the device control block with its bit fields, the time-out block, the
// status block, purge flags, event masks and escape codes keep their values
// and layouts. A port is a handle from CreateFileA ("\\.\<port>" or a serial
// interface's symbolic name); ReadFile, WriteFile, GetOverlappedResult and
// CancelIo of platform/file.h move its data.
//
// Errors: every call answers false with the last error set. A port whose
// device has gone (unplugged, far end hung up) fails with
// kErrorDeviceNotConnected; "no data yet" is never an error.
#pragma once

#include <cstdint>

#include "platform/file.h"
#include "platform/handle.h"

namespace eklv::pf {

// DCB: the line settings of a port, 28 bytes.
struct Dcb {
    std::uint32_t DCBlength;
    std::uint32_t BaudRate;
    std::uint32_t fBinary : 1;
    std::uint32_t fParity : 1;  // check parity of received bytes
    std::uint32_t fOutxCtsFlow : 1;
    std::uint32_t fOutxDsrFlow : 1;
    std::uint32_t fDtrControl : 2;
    std::uint32_t fDsrSensitivity : 1;
    std::uint32_t fTXContinueOnXoff : 1;
    std::uint32_t fOutX : 1;
    std::uint32_t fInX : 1;
    std::uint32_t fErrorChar : 1;
    std::uint32_t fNull : 1;
    std::uint32_t fRtsControl : 2;
    std::uint32_t fAbortOnError : 1;
    std::uint32_t fDummy2 : 17;
    std::uint16_t wReserved;
    std::uint16_t XonLim;
    std::uint16_t XoffLim;
    std::uint8_t ByteSize;
    std::uint8_t Parity;
    std::uint8_t StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    std::uint16_t wReserved1;
};
static_assert(sizeof(Dcb) == 28, "DCB layout");

// COMMTIMEOUTS, milliseconds. A blocking read ends when its buffer is full,
// when ReadIntervalTimeout passes between two bytes (after the first), or
// when multiplier * size + constant has passed; all zero waits for a full
// buffer. ReadIntervalTimeout = kMaxDword with both totals 0 answers at once
// with what has arrived; with multiplier kMaxDword and a constant it answers
// as soon as anything has arrived, waiting up to the constant. Writes end
// after multiplier * size + constant (never when both are 0).
struct CommTimeouts {
    std::uint32_t ReadIntervalTimeout;
    std::uint32_t ReadTotalTimeoutMultiplier;
    std::uint32_t ReadTotalTimeoutConstant;
    std::uint32_t WriteTotalTimeoutMultiplier;
    std::uint32_t WriteTotalTimeoutConstant;
};
static_assert(sizeof(CommTimeouts) == 20, "COMMTIMEOUTS layout");

// COMSTAT, 12 bytes.
struct ComStat {
    std::uint32_t fCtsHold : 1;
    std::uint32_t fDsrHold : 1;
    std::uint32_t fRlsdHold : 1;
    std::uint32_t fXoffHold : 1;
    std::uint32_t fXoffSent : 1;
    std::uint32_t fEof : 1;
    std::uint32_t fTxim : 1;
    std::uint32_t fReserved : 25;
    std::uint32_t cbInQue;   // received bytes not read yet
    std::uint32_t cbOutQue;  // bytes written but not sent yet
};
static_assert(sizeof(ComStat) == 12, "COMSTAT layout");

inline constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;

// Parity, stop bits, DTR and RTS control.
inline constexpr std::uint8_t kNoParity = 0;
inline constexpr std::uint8_t kOddParity = 1;
inline constexpr std::uint8_t kEvenParity = 2;
inline constexpr std::uint8_t kMarkParity = 3;
inline constexpr std::uint8_t kSpaceParity = 4;
inline constexpr std::uint8_t kOneStopBit = 0;
inline constexpr std::uint8_t kOne5StopBits = 1;
inline constexpr std::uint8_t kTwoStopBits = 2;
inline constexpr std::uint32_t kDtrControlDisable = 0;
inline constexpr std::uint32_t kDtrControlEnable = 1;
inline constexpr std::uint32_t kDtrControlHandshake = 2;
inline constexpr std::uint32_t kRtsControlDisable = 0;
inline constexpr std::uint32_t kRtsControlEnable = 1;
inline constexpr std::uint32_t kRtsControlHandshake = 2;
inline constexpr std::uint32_t kRtsControlToggle = 3;

// PurgeComm flags; 0x0F is all four.
inline constexpr std::uint32_t kPurgeTxAbort = 0x1;
inline constexpr std::uint32_t kPurgeRxAbort = 0x2;
inline constexpr std::uint32_t kPurgeTxClear = 0x4;
inline constexpr std::uint32_t kPurgeRxClear = 0x8;

// Comm event mask bits.
inline constexpr std::uint32_t kEvRxChar = 0x0001;
inline constexpr std::uint32_t kEvRxFlag = 0x0002;
inline constexpr std::uint32_t kEvTxEmpty = 0x0004;
inline constexpr std::uint32_t kEvCts = 0x0008;
inline constexpr std::uint32_t kEvDsr = 0x0010;
inline constexpr std::uint32_t kEvRlsd = 0x0020;
inline constexpr std::uint32_t kEvBreak = 0x0040;
inline constexpr std::uint32_t kEvErr = 0x0080;
inline constexpr std::uint32_t kEvRing = 0x0100;

// EscapeCommFunction codes.
inline constexpr std::uint32_t kSetXoff = 1;
inline constexpr std::uint32_t kSetXon = 2;
inline constexpr std::uint32_t kSetRts = 3;
inline constexpr std::uint32_t kClrRts = 4;
inline constexpr std::uint32_t kSetDtr = 5;
inline constexpr std::uint32_t kClrDtr = 6;
inline constexpr std::uint32_t kSetBreak = 8;
inline constexpr std::uint32_t kClrBreak = 9;

// ClearCommError error bits.
inline constexpr std::uint32_t kCeRxOver = 0x0001;
inline constexpr std::uint32_t kCeOverrun = 0x0002;
inline constexpr std::uint32_t kCeRxParity = 0x0004;
inline constexpr std::uint32_t kCeFrame = 0x0008;
inline constexpr std::uint32_t kCeBreak = 0x0010;

bool GetCommState(Handle port, Dcb* dcb);
// Fails with kErrorInvalidParameter for a byte size outside 5..8, an
// unknown parity or stop-bits code, or a zero baud rate.
bool SetCommState(Handle port, const Dcb* dcb);
bool GetCommTimeouts(Handle port, CommTimeouts* timeouts);
bool SetCommTimeouts(Handle port, const CommTimeouts* timeouts);
// Clears the driver's queues (kPurge*Clear) and aborts pending overlapped
// operations (kPurge*Abort, which then complete with kErrorOperationAborted).
bool PurgeComm(Handle port, std::uint32_t flags);
// Line errors since the last call (either argument may be null).
bool ClearCommError(Handle port, std::uint32_t* errors, ComStat* status);
// Replaces the event mask; a pending WaitCommEvent completes with mask 0.
bool SetCommMask(Handle port, std::uint32_t mask);
bool GetCommMask(Handle port, std::uint32_t* mask);
// Waits for an event of the mask. With overlapped set it answers false with
// kErrorIoPending and later sets *mask and the overlapped event (also on a
// port opened without kFileFlagOverlapped: an OVERLAPPED never blocks the
// caller); CancelIo ends the wait. kEvRxChar fires
// whenever received bytes are waiting to be read.
bool WaitCommEvent(Handle port, std::uint32_t* mask, Overlapped* overlapped);
// Whether a second thread may have a WaitCommEvent pending on the port
// beside another's. A Windows driver takes one wait per handle and refuses
// the next with kErrorInvalidParameter; the waits the backend serves itself
// (every Linux port, a Windows port whose driver cannot wait) take any
// number. False for what is not a port, or not known yet.
bool CommWaitsShared(Handle port);
bool EscapeCommFunction(Handle port, std::uint32_t function);

}  // namespace eklv::pf
