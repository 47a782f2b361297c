// CEKLVUSBSession: the session of one attached phone. It records the
// phone's interfaces, opens them blocking or overlapped (with a reader
// thread that collects received bytes), and moves data through them.
//
// Reader: one per session. Its state (served handle, thread id, stop and
// data events, receive buffer) lives in a ReaderSlot shared with the reader
// thread, so a reader that cannot be stopped in time is left with its own
// slot and never touches the session again; the session carries on with a
// fresh slot.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/file.h"
#include "platform/handle.h"
#include "session/session.h"
#include "transport/receive_buffer.h"

namespace eklv {

class CEKLVUSBSession : public CKLVSession {
public:
    // The product's waits. Tests shorten them through SetTestTimings; the
    // library never changes them.
    struct TestTimings {
        std::uint32_t read_wait_ms = 8000;     // ReadDataEx: wait for data per pass
        std::uint32_t read_passes = 60;        // ReadDataEx: passes without OK/ERROR
        std::uint32_t stop_wait_ms = 15000;    // StopReadThread: wait for the reader
        std::uint32_t write_wait_ms = 8000;    // WriteDataEx: bound of a pending write,
        std::uint32_t write_wait_per_byte_ms = 2;  // plus this per byte
        std::uint32_t reader_exit_delay_ms = 0;    // tests only: the reader lingers this long after its stop
    };

    CEKLVUSBSession();
    ~CEKLVUSBSession() override;

    pf::Handle OpenInterface(std::uint32_t type, std::uint32_t synchronous) override;
    // EKLV_OK, or EKLV_NO_SUCH_INTERFACE when no open interface of type exists.
    std::uint32_t CloseInterface(std::uint32_t type) override;
    // The interface's type (INF_UNDEFINED when it cannot be decided: not
    // recorded).
    std::uint32_t AddInterface(const std::string& name, const std::string& description) override;
    void CloseAllInterfaces() override;
    // EKLV_OK or EKLV_READ_FAILED; *length is the capacity on entry and the
    // number of bytes delivered on return.
    std::uint32_t ReadData(pf::Handle handle, void* buffer, std::uint32_t* length) override;
    bool WriteData(pf::Handle handle, const void* buffer, std::uint32_t* length) override;
    // The 9-byte interface descriptor of interface_number, read from the
    // parent hub.
    bool GetInterfaceDescriptor(const std::string& name, std::uint8_t* output, int interface_number) override;
    std::string GetProductStringDescriptor() override;
    std::uint32_t RemoveInterface(const std::string& name, std::uint32_t* type) override;

    pf::Handle OpenInterfaceEx(std::uint32_t type);
    bool ConfigureCommPort(pf::Handle handle);
    // The command-response read: collects received text until it holds
    // "OK" or "ERROR". The handle is not used; the reader's is.
    std::uint32_t ReadDataEx(pf::Handle handle, void* buffer, std::uint32_t* length);
    bool WriteDataEx(pf::Handle handle, const void* buffer, std::uint32_t length);
    // Asks the reader to end and waits for it (see TestTimings).
    void StopReadThread();
    // The reader thread's procedure; context is a heap std::shared_ptr to
    // the slot, which the thread deletes.
    static std::uint32_t ThreadFn(void* context);

    void SetTestTimings(const TestTimings& timings) { timings_ = timings; }
    pf::Handle ReaderHandle();
    std::uint32_t ReaderThreadId();

    struct ReaderSlot;

private:
    struct HelpWait;
    std::uint32_t WaitForResponseData(ReaderSlot& slot, pf::Handle port, HelpWait* help);
    std::shared_ptr<ReaderSlot> Slot();
    std::shared_ptr<ReaderSlot> NewSlot();
    // Blocking or overlapped: how handle was opened, else the last open's mode.
    bool IsSynchronous(pf::Handle handle);
    void ForgetHandle(pf::Handle handle);

    std::mutex slot_mutex_;
    std::shared_ptr<ReaderSlot> slot_;
    std::atomic<std::uint32_t> bSynchronous{0};
    std::mutex mode_mutex_;
    std::set<pf::Handle> blocking_handles_;
    std::set<pf::Handle> overlapped_handles_;
    TestTimings timings_;
};

}  // namespace eklv
