// CEKLVUSBSession: the session of one attached phone. It records the
// phone's interfaces, opens them blocking or overlapped (with a reader
// thread that collects received bytes), and moves data through them.
//
// Reader: one per session. Its state (served handle, thread id, stop and
// data events, receive buffer) lives in a ReaderSlot shared with the reader
// thread and with the host reads waiting on it. Each overlapped open makes a
// fresh slot and a stopped slot stays stopped, so a read that waits on a
// slot learns of the stop whatever opens come after; a reader that cannot
// be stopped in time is left with its own slot and never touches the
// session again.
//
// Closing: the session knows the handles it opened and the host calls
// using each. A close (CloseInterface, RemoveInterface, CloseAllInterfaces,
// the destructor) lets no further call start on the handle, stops the
// reader that serves it, ends the calls in flight (their I/O is cancelled,
// a read waiting for the reader sees its stop) and closes the handle once
// they have left: a call never uses a closed handle, whose value Windows
// hands out again at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
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
        std::uint32_t close_wait_ms = 2000;        // a close: wait for the calls using the handle to leave
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
    // number of bytes delivered on return. Both fail at once for a handle
    // this session has not opened or has closed, and end early when it is
    // closed during the call.
    std::uint32_t ReadData(pf::Handle handle, void* buffer, std::uint32_t* length) override;
    bool WriteData(pf::Handle handle, const void* buffer, std::uint32_t* length) override;
    // The 9-byte interface descriptor of interface_number, read from the
    // parent hub.
    bool GetInterfaceDescriptor(const std::string& name, std::uint8_t* output, int interface_number) override;
    std::string GetProductStringDescriptor() override;
    std::uint32_t RemoveInterface(const std::string& name, std::uint32_t* type) override;

    pf::Handle OpenInterfaceEx(std::uint32_t type);
    bool ConfigureCommPort(pf::Handle handle);
    // The command-response read: collects what the reader receives until it
    // holds "OK" or "ERROR". EKLV_READ_FAILED at once when the reader does
    // not serve handle, and as soon as it stops.
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
    // A host call's use of an open handle (see the closing above).
    class HandleUse;
    struct OpenHandle {
        bool blocking = false;    // opened for blocking transfer
        std::uint32_t users = 0;  // host calls using it now
        bool closing = false;     // no call may start on it any more
    };

    std::uint32_t WaitForResponseData(ReaderSlot& slot, pf::Handle port, HelpWait* help);
    std::shared_ptr<ReaderSlot> Slot();
    std::shared_ptr<ReaderSlot> NewSlot();
    void NoteOpen(pf::Handle handle, bool blocking);
    // Closes an open interface's handle as described above. The caller holds
    // the interface lock.
    void ReleaseHandle(pf::Handle handle);

    std::mutex slot_mutex_;
    std::shared_ptr<ReaderSlot> slot_;
    std::atomic<std::uint32_t> bSynchronous{0};
    std::mutex handles_mutex_;
    std::condition_variable handle_left_;
    std::map<pf::Handle, OpenHandle> handles_;
    TestTimings timings_;
};

}  // namespace eklv
