// The Windows side of the modem station (tools/rig/modem_station.cpp): the
// rig's COM ports made, hung up and silenced from a Windows test, over the
// TCP connection with_modem_station.sh names in EKLV_MODEM_STATION.
#pragma once

#include <string>

namespace eklv::test {

class ModemStation {
public:
    ModemStation();
    ~ModemStation();
    ModemStation(const ModemStation&) = delete;
    ModemStation& operator=(const ModemStation&) = delete;

    bool connected() const { return socket_ != ~0ull; }
    // A fresh modem behind COM port ("COM5"); true once it answers.
    bool Open(const std::string& port);
    // The far end goes, as when the phone is pulled: open handles fail and
    // the port can no longer be opened.
    bool HangUp(const std::string& port);
    bool Silent(const std::string& port, bool silent);
    // While paused nothing is read from the port: writes to it fill it up.
    bool Pause(const std::string& port, bool paused);
    // Command lines the modem has received; -1 when it cannot tell.
    int Commands(const std::string& port);

private:
    // One command line; the answer without its "ok", or false.
    bool Ask(const std::string& line, std::string* value = nullptr);
    unsigned long long socket_ = ~0ull;
};

}  // namespace eklv::test
