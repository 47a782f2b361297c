// What the tests and benchmarks on the real-kernel rig share: the station's
// folders (a copy of libeklv.so beside the rig's eklv.ini, the shared
// configuration folder), waits for device nodes, commands run as a shell
// runs them, and modem emulators on the phones' side of their serial
// functions. They run inside the rig's guest (tools/rig/kernel/run.sh).
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "rig/kernel_phone.h"
#include "rig/modem_emulator.h"
#include "support/lib_folder.h"

namespace eklv::test {

// The rig's eklv.ini ($EKLV_RIG_INI).
std::string RigIni();

// EKLV_COMMON_APPDATA pointed at a fresh folder with this
// USBConnectivityConfig.ini, restored on destruction.
class SharedConfig : public TempFolder {
public:
    explicit SharedConfig(const std::string& ini = "[HISTORY]\n");
    ~SharedConfig();
};

// Waits until every path exists (true) or timeout passes.
bool WaitForPaths(const std::vector<std::string>& paths, std::chrono::milliseconds timeout);
// Waits until path is gone.
bool WaitGone(const std::string& path, std::chrono::milliseconds timeout);

// A command run through /bin/sh with its standard output and error.
struct CommandResult {
    int status = -1;  // exit status, -1 when it did not exit
    std::string output;
};
CommandResult RunCommand(const std::string& command);

// Has qemu run one QMP command, written "command key=value,...", for
// example "device_del id=hub2": the guest's /dev/ttyS1 leads to the host's
// tools/rig/kernel/qmp_relay.py. True once qemu has carried it out.
bool QemuCommand(const std::string& request);

// A phone plugged at a UDC with a modem emulator on each of its serial
// functions. The modems answer "AT+FAIL" with ERROR.
class ServedPhone {
public:
    ServedPhone(const std::string& name, GadgetSetup setup);
    ~ServedPhone();
    KernelPhone phone;
    std::vector<std::unique_ptr<ModemEmulator>> modems;

private:
    std::vector<int> fds_;
};

}  // namespace eklv::test
