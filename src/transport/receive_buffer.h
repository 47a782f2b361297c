// Bytes the reader thread has received and no host read has taken yet.
#pragma once

#include <cstdint>
#include <string>

#include "platform/handle.h"
#include "platform/sync.h"

namespace eklv {

class CKLVReceiveBuffer {
public:
    CKLVReceiveBuffer() = default;
    virtual ~CKLVReceiveBuffer() = default;
    CKLVReceiveBuffer(const CKLVReceiveBuffer&) = delete;
    CKLVReceiveBuffer& operator=(const CKLVReceiveBuffer&) = delete;

    // The reader holds this around each read and Append.
    pf::CriticalSection& lock() { return lock_; }
    // Caller holds lock().
    void Append(const std::uint8_t* bytes, std::uint32_t count) {
        bytes_.append(reinterpret_cast<const char*>(bytes), count);
    }
    void Clear() {
        pf::ScopedLock hold(lock_);
        bytes_.clear();
    }
    // Moves every byte to the end of *out and resets event, under the lock;
    // true when *out (not only the part just taken) is non-empty.
    bool TakeAll(std::string* out, pf::Handle event) {
        pf::ScopedLock hold(lock_);
        out->append(bytes_);
        bytes_.clear();
        pf::ResetEvent(event);
        return !out->empty();
    }

private:
    std::string bytes_;
    pf::CriticalSection lock_;
};

}  // namespace eklv
