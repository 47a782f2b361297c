// Shared by the end-to-end tests on Linux: everything of e2e_scenario.h,
// the process's thread count, and the statically linked core as a station
// runs it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>

#include <gtest/gtest.h>

#include "discovery/standard_rig.h"
#include "e2e/e2e_scenario.h"
#include "eklv/eklv.h"
#include "support/eventually.h"
#include "support/host_window.h"
#include "support/lib_folder.h"
#include "support/proc_counts.h"

namespace eklv::test {

// Waits up to 10 s until n threads run: a library thread that has ended can
// still be on its way out when EKLVUninitialize returns.
inline bool WaitThreadCount(int n) {
    return Eventually([n] { return ThreadCount() == n; });
}

// The read and write functions of the statically linked core, for Transact.
struct StaticCore {
    decltype(&::EKLVWriteData) WriteData = &::EKLVWriteData;
    decltype(&::EKLVReadData) ReadData = &::EKLVReadData;
};

// The statically linked core initialised in self-monitoring mode on a rig,
// with a host window that records what is announced. The log's end is
// printed when the test has failed.
class Station : public StaticCore {
public:
    explicit Station(const std::string& ini = RoadIni()) : folder_(ini) {
        setenv("EKLV_COMMON_APPDATA", folder_.path().c_str(), 1);
        Start();
    }
    bool Start() {
        EKLVInitParams params = HostParams(host.hwnd());
        return started_ = EKLVInitialize(&params) == 0;
    }
    std::uint32_t Stop() {
        started_ = false;
        return EKLVUninitialize();
    }
    ~Station() {
        if (started_) EKLVUninitialize();
        unsetenv("EKLV_COMMON_APPDATA");
        if (!testing::Test::HasFailure()) return;
        const std::string log = Log();  // its end, for the reader of a failed run
        std::cerr << "end of the log:\n" << log.substr(log.size() > 60000 ? log.size() - 60000 : 0);
    }
    bool started() const { return started_; }
    std::string Log() const { return folder_.ReadLogs(); }

    // Waits until the host has n messages; answers the last one.
    HostMessage Nth(std::size_t n) {
        auto messages = host.WaitFor(n);
        return messages.size() >= n ? messages[n - 1] : HostMessage{false, EKLV_NO_DEVICE, 0};
    }
    // Waits until the host has n messages; answers the device id of the last
    // with this interface type.
    std::uint32_t IdOf(std::uint32_t type, std::size_t n = 2) {
        std::uint32_t id = EKLV_NO_DEVICE;
        for (const auto& m : host.WaitFor(n))
            if (m.type == type) id = m.device_id;
        return id;
    }

    HostWindow host;

private:
    ModuleFolder folder_;
    bool started_ = false;
};

}  // namespace eklv::test
