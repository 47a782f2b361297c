// The termios serial backend on ptys: names, line settings, COMMTIMEOUTS,
// overlapped waits, and device loss kept apart from "no data yet". (A wait
// that data ends and the read after it run in every overlapped session test.)
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/file.h"
#include "platform/linux/serial_port.h"
#include "platform/serial.h"
#include "platform/sync.h"
#include "rig/modem_emulator.h"
#include "support/eventually.h"

namespace eklv::pf {
namespace {

using test::ModemEmulator;
using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// The modem's port with the given time-outs; invalid when either fails.
Handle OpenPort(const ModemEmulator& modem, bool overlapped, CommTimeouts timeouts = {kMaxDword, 0, 0, 0, 0}) {
    Handle port = CreateFileA(modem.PortName().c_str(), kGenericRead | kGenericWrite,
                              kFileShareRead | kFileShareWrite, kOpenExisting, overlapped ? kFileFlagOverlapped : 0);
    if (port != kInvalidHandle && !SetCommTimeouts(port, &timeouts)) {
        CloseHandle(port);
        return kInvalidHandle;
    }
    return port;
}

TEST(SerialNames, ResolveAndParse) {
    lx::UsbNameParts parts;
    ASSERT_TRUE(lx::ParseUsbSymbolicName(
        "\\\\?\\usb#vid_6b4d&pid_abcd&mi_01#1-3.2:1.1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}", &parts));
    EXPECT_TRUE(parts.interface);
    EXPECT_EQ(parts.sysname, "1-3.2:1.1");
    ASSERT_TRUE(lx::ParseUsbSymbolicName("\\\\?\\USB#VID_6B4D&PID_ABCD#1-3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
                                         &parts));
    EXPECT_FALSE(parts.interface);
    EXPECT_EQ(parts.sysname, "1-3");
    EXPECT_FALSE(lx::ParseUsbSymbolicName("\\\\?\\pci#ven_8086#x#{guid}", &parts));

    EXPECT_EQ(lx::ResolveSerialPath("\\\\.\\pts/3"), "/dev/pts/3");
    EXPECT_EQ(lx::ResolveSerialPath("\\\\.\\..\\etc\\passwd"), "");
    EXPECT_EQ(lx::ResolveSerialPath("COM3"), "");

    auto open = [](const char* name) { return CreateFileA(name, kGenericRead | kGenericWrite, 0, kOpenExisting, 0); };
    EXPECT_EQ(open("\\\\.\\no_such_tty_here"), kInvalidHandle);
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);
    EXPECT_EQ(open("\\\\.\\null"), kInvalidHandle);  // a device, but no tty
}

TEST(SerialState, DcbMapsToTermiosAndBack) {
    ModemEmulator modem;
    Handle port = OpenPort(modem, false);
    ASSERT_NE(port, kInvalidHandle);

    Dcb dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fOutX, 0u) << "a fresh port must not eat XON/XOFF bytes";

    // Every mapped field survives DCB -> termios -> DCB.
    struct Case {
        std::uint32_t baud;
        std::uint8_t size, parity, stop;
        bool cts, outx, inx;
    };
    const Case cases[] = {
        {921600, 8, kNoParity, kOneStopBit, false, false, false},
        {250000, 7, kEvenParity, kTwoStopBits, true, false, false},  // not a standard rate
        {3000000, 8, kOddParity, kOneStopBit, false, true, true},
        {9600, 5, kMarkParity, kOne5StopBits, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        dcb.BaudRate = c.baud;
        dcb.ByteSize = c.size;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stop;
        dcb.fOutxCtsFlow = c.cts;
        dcb.fOutX = c.outx;
        dcb.fInX = c.inx;
        dcb.fRtsControl = kRtsControlDisable;
        dcb.fDtrControl = kDtrControlDisable;  // ptys have no modem lines: accepted, remembered
        // Data bits and parity through the mapping alone: a pty forces 8
        // bits without parity, and keeps the rest.
        lx::LineFlags flags;
        lx::DcbToLineFlags(dcb, &flags);
        Dcb mapped{};
        lx::LineFlagsToDcb(flags, &mapped);
        EXPECT_EQ(mapped.ByteSize, c.size);
        EXPECT_EQ(mapped.Parity, c.parity);
        ASSERT_TRUE(SetCommState(port, &dcb));
        Dcb back{};
        ASSERT_TRUE(GetCommState(port, &back));
        EXPECT_EQ(back.BaudRate, c.baud);
        EXPECT_EQ(back.StopBits, c.size == 5 ? kTwoStopBits : c.stop);
        EXPECT_EQ(back.fOutxCtsFlow, c.cts ? 1u : 0u);
        EXPECT_EQ(back.fRtsControl, c.cts ? kRtsControlHandshake : kRtsControlDisable);
        EXPECT_EQ(back.fOutX, c.outx ? 1u : 0u);
        EXPECT_EQ(back.fInX, c.inx ? 1u : 0u);
        EXPECT_EQ(back.fDtrControl, kDtrControlDisable);
    }
    dcb.ByteSize = 9;
    EXPECT_FALSE(SetCommState(port, &dcb));
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
    EXPECT_FALSE(EscapeCommFunction(port, 77));
    EXPECT_FALSE(PurgeComm(port, 0x10));

    ASSERT_TRUE(CloseHandle(port));
    EXPECT_FALSE(GetCommState(port, &dcb));
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
    EXPECT_FALSE(CloseHandle(port));
}

TEST(SerialTimeouts, BlockingReadsFollowCommTimeouts) {
    ModemEmulator modem;
    Handle port = OpenPort(modem, false);
    ASSERT_NE(port, kInvalidHandle);
    char buffer[64];
    std::uint32_t got = 99;
    // Nothing to read: success with 0 bytes, never loss; at once for a
    // MAXDWORD interval without totals, else after the total.
    struct NoData {
        CommTimeouts timeouts;
        long at_least_ms, below_ms;
    };
    for (const NoData& c : {NoData{{kMaxDword, 0, 0, 0, 0}, 0, 100}, NoData{{0, 0, 150, 0, 0}, 140, 2000}}) {
        ASSERT_TRUE(SetCommTimeouts(port, &c.timeouts));
        auto start = Clock::now();
        EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr));
        EXPECT_EQ(got, 0u);
        EXPECT_GE(MsSince(start), c.at_least_ms);
        EXPECT_LT(MsSince(start), c.below_ms);
    }

    // Interval time-out ends a read that has begun, long before the total.
    CommTimeouts t{50, 0, 5000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    modem.Send("abc");
    auto start = Clock::now();
    EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "abc");
    EXPECT_LT(MsSince(start), 2000);

    // A full buffer ends the read at once.
    modem.Send("0123456789");
    EXPECT_TRUE(ReadFile(port, buffer, 4, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "0123");

    // MAXDWORD/MAXDWORD/constant: returns with what is there, or the first arrival.
    t = {kMaxDword, kMaxDword, 3000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "456789");
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        modem.Send("Z");
    });
    start = Clock::now();
    EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr));
    later.join();
    EXPECT_EQ(std::string(buffer, got), "Z");
    EXPECT_LT(MsSince(start), 2000);
    CloseHandle(port);
}

TEST(SerialLoss, HangUpIsDeviceLostNotNoData) {
    ModemEmulator modem;
    Handle port = OpenPort(modem, false);
    ASSERT_NE(port, kInvalidHandle);
    // After a hang-up, a blocking read with a long time-out fails at once
    // (with nothing received it succeeds with no bytes, as BlockingReadsFollowCommTimeouts checks).
    char buffer[16];
    std::uint32_t got = 0;
    modem.HangUp();
    CommTimeouts t{0, 0, 10000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    auto start = Clock::now();
    EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(GetLastError(), kErrorDeviceNotConnected);
    EXPECT_LT(MsSince(start), 2000);

    EXPECT_FALSE(WriteFile(port, "AT\r", 3, &got, nullptr));
    EXPECT_EQ(GetLastError(), kErrorDeviceNotConnected);
    EXPECT_TRUE(CloseHandle(port));
}

TEST(SerialOverlapped, WaitsOnWaitingDataCancelCloseAndLoss) {
    ModemEmulator modem;
    Handle port = OpenPort(modem, true);
    ASSERT_NE(port, kInvalidHandle);
    ASSERT_TRUE(SetCommMask(port, kEvRxChar));
    Handle event = CreateEventA(true, false);
    Overlapped ov{.event = event};
    std::uint32_t mask = 0;
    std::uint32_t n = 0;
    auto queued = [&] {
        ComStat status{};
        return ClearCommError(port, nullptr, &status) ? status.cbInQue : 999u;
    };

    // Data already waiting completes the wait at once.
    modem.Send("x");
    ASSERT_TRUE(test::Eventually([&] { return queued() == 1; }));
    EXPECT_TRUE(WaitCommEvent(port, &mask, &ov));
    EXPECT_EQ(mask, kEvRxChar);
    ASSERT_TRUE(PurgeComm(port, 0x0F));
    EXPECT_EQ(queued(), 0u);

    // Without data a wait stays pending, and so does a second one beside it
    // (the port says its waits are shared); CancelIo ends both with "aborted".
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
    ASSERT_EQ(GetLastError(), kErrorIoPending);
    EXPECT_TRUE(CommWaitsShared(port));
    EXPECT_FALSE(CommWaitsShared(event));
    std::uint32_t other_mask = 0;
    Overlapped other{.event = CreateEventA(true, false)};
    ASSERT_FALSE(WaitCommEvent(port, &other_mask, &other));
    ASSERT_EQ(GetLastError(), kErrorIoPending);
    EXPECT_EQ(WaitForSingleObject(event, 50), kWaitTimeout);
    ASSERT_TRUE(CancelIo(port));
    for (Overlapped* o : {&ov, &other}) {
        ASSERT_EQ(WaitForSingleObject(o->event, 1000), kWaitObject0);
        EXPECT_FALSE(GetOverlappedResult(port, o, &n, true));
        EXPECT_EQ(GetLastError(), kErrorOperationAborted);
    }
    CloseHandle(other.event);

    // Closing a second handle of the port ends its pending wait with "aborted".
    Handle second = OpenPort(modem, true);
    ASSERT_TRUE(SetCommMask(second, kEvRxChar));
    Overlapped sov{.event = CreateEventA(true, false)};
    ASSERT_FALSE(WaitCommEvent(second, &mask, &sov));
    ASSERT_TRUE(CloseHandle(second));
    ASSERT_EQ(WaitForSingleObject(sov.event, 1000), kWaitObject0);
    EXPECT_FALSE(GetOverlappedResult(second, &sov, &n, false));
    EXPECT_EQ(GetLastError(), kErrorOperationAborted);
    CloseHandle(sov.event);

    // The far end hangs up while a wait is pending: the wait completes with
    // the loss, and a new wait fails at once instead of hanging.
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
    modem.HangUp();
    ASSERT_EQ(WaitForSingleObject(event, 2000), kWaitObject0);
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, false));
    EXPECT_EQ(GetLastError(), kErrorDeviceNotConnected);
    EXPECT_FALSE(WaitCommEvent(port, &mask, &ov));
    EXPECT_EQ(GetLastError(), kErrorDeviceNotConnected);

    CloseHandle(port);
    CloseHandle(event);
}

}  // namespace
}  // namespace eklv::pf
