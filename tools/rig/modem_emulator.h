// A modem on the far end of a pty, for the tests of the serial transport
// and the phones of a USB rig.
//
// The code under test opens the pty's slave by name (PortName(), e.g.
// "\\.\pts/3", or a rig's tty node); the emulator serves the master on
// its own thread. Every command line (bytes up to a carriage return) is
// answered with the next queued reply, else with the standing answer for
// that command (Answer), else with "\r\nOK\r\n". A reply may come in
// pieces with a delay between them, be an ERROR text, or be nothing.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace eklv::test {

struct ModemReply {
    std::vector<std::string> pieces;  // written one after another
    int delay_ms = 0;                 // pause between two pieces

    static ModemReply Ok() { return {{"\r\nOK\r\n"}, 0}; }
    static ModemReply Error() { return {{"\r\nERROR\r\n"}, 0}; }
    static ModemReply CmeError(int code) { return {{"\r\n+CME ERROR: " + std::to_string(code) + "\r\n"}, 0}; }
    static ModemReply Text(std::string text) { return {{std::move(text)}, 0}; }
    static ModemReply Split(std::string first, std::string second, int delay_ms) {
        return {{std::move(first), std::move(second)}, delay_ms};
    }
    static ModemReply Silence() { return {{}, 0}; }
};

class ModemEmulator {
public:
    // A pty of its own.
    ModemEmulator();
    // Serves the master of a pty that someone else owns (a rig's tty,
    // UsbRig::TtyFd); the descriptor is left open at the end.
    explicit ModemEmulator(int master_fd);
    ~ModemEmulator();
    ModemEmulator(const ModemEmulator&) = delete;
    ModemEmulator& operator=(const ModemEmulator&) = delete;

    bool ok() const { return master_ >= 0; }
    // "/dev/pts/N" and "\\.\pts/N".
    const std::string& SlavePath() const { return slave_path_; }
    std::string PortName() const { return "\\\\.\\" + slave_path_.substr(5); }

    // The reply to the next command that has no reply queued before it.
    void QueueReply(ModemReply reply);
    // The reply to every later command line equal to command (case and all)
    // that finds no queued reply.
    void Answer(const std::string& command, ModemReply reply);
    // With silence on, commands without a queued reply get no answer.
    void SetSilent(bool silent);
    // Writes bytes now, unasked.
    void Send(const std::string& bytes);
    // Writes piece every interval_ms until StopStream or the hang-up.
    void StartStream(std::string piece, int interval_ms);
    void StopStream();
    // While paused nothing is read from the pty, so writes to it fill it up.
    void SetPaused(bool paused);
    // Closes the master (an own pty only; a borrowed one is just no longer
    // served): the slave side sees the device go away.
    void HangUp();

    // Command lines received so far (without the carriage return).
    std::vector<std::string> Commands();
    // Waits up to timeout_ms until count commands have come.
    bool WaitForCommands(std::size_t count, int timeout_ms);
    // Forgets the commands received so far (a long run keeps no history).
    void ForgetCommands();
    // Raw bytes received so far.
    std::size_t BytesReceived();

private:
    void Run();
    void WriteAll(const std::string& bytes);

    int master_ = -1;
    bool owns_master_ = true;
    int slave_keep_ = -1;  // keeps the pty from reporting a hang-up before the code under test opens it
    int stop_fd_ = -1;
    std::string slave_path_;
    std::thread thread_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<ModemReply> replies_;
    std::map<std::string, ModemReply> answers_;
    bool silent_ = false;
    bool paused_ = false;
    bool hung_up_ = false;
    bool hang_up_requested_ = false;
    std::string stream_piece_;
    int stream_interval_ms_ = 0;
    std::string line_;
    std::vector<std::string> commands_;
    std::size_t bytes_received_ = 0;
    std::mutex write_mutex_;
};

}  // namespace eklv::test
