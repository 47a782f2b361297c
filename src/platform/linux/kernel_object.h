// The Linux backend's kernel objects and the handle table that names them.
#pragma once

#include <sys/poll.h>

#include <cstddef>
#include <memory>

#include "platform/handle.h"

namespace eklv::pf::lx {

// Base of every object a handle can name. Waitable objects expose a file
// descriptor that polls readable while they are signalled; the wait
// functions poll these descriptors, so waits compose with any other fd.
class KernelObject {
public:
    virtual ~KernelObject() = default;

    // Descriptor that polls POLLIN while the object may be signalled, or -1
    // for objects that cannot be waited on.
    virtual int WaitFd() { return -1; }
    // Takes the signal for one waiter: true when the object was signalled
    // (an auto-reset object is reset by taking it).
    virtual bool Acquire() { return false; }
    // Whether the object is signalled, without taking the signal.
    virtual bool IsSignalled() { return false; }
    // A second descriptor whose readiness may signal the object (a pending
    // serial wait attached to an event); -1 when none.
    virtual int AuxFd(short* events) {
        (void)events;
        return -1;
    }
    // Called by a waiter when AuxFd reported revents.
    virtual void OnAuxReady(short revents) { (void)revents; }
};

// Adds an object to the table; answers its new handle, never reused.
Handle InsertObject(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupObject(Handle handle);
// Number of open handles in the process, for leak checks.
std::size_t ObjectCount();
// Removes the handle; false when it names nothing.
bool RemoveObject(Handle handle);

template <class T>
std::shared_ptr<T> Lookup(Handle handle) {
    return std::dynamic_pointer_cast<T>(LookupObject(handle));
}

// The Windows-style error code of an errno value: the one map of the
// backend. A device that has gone (EIO, ENXIO, ENODEV, EPIPE) is
// kErrorDeviceNotConnected; "nothing yet" (EAGAIN) is never passed here.
std::uint32_t ErrorFromErrno(int error);

}  // namespace eklv::pf::lx
