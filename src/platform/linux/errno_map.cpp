// errno to the Windows-style error codes the core logs and answers with.
#include <cerrno>

#include "platform/linux/kernel_object.h"

namespace eklv::pf::lx {

std::uint32_t ErrorFromErrno(int error) {
    switch (error) {
        case 0: return kErrorSuccess;
        case ENOENT:
        case ENOTDIR: return kErrorFileNotFound;
        case EACCES:
        case EPERM:
        case ELOOP:
        case EROFS: return kErrorAccessDenied;
        case EBADF: return kErrorInvalidHandle;
        case ENOMEM: return kErrorNotEnoughMemory;
        case EINVAL: return kErrorInvalidParameter;
        case ENXIO:
        case ENODEV:
        case EIO:
        case EPIPE: return kErrorDeviceNotConnected;
        case ETIMEDOUT: return kErrorTimeout;
        case ENOTSUP: return kErrorNotSupported;
        default: return kErrorGenFailure;
    }
}

}  // namespace eklv::pf::lx
