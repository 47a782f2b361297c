// The six registered window messages, registered when the library is
// loaded; the message system answers the same id for the same name.
#pragma once

#include <cstdint>

namespace eklv {

struct RegisteredMessages {
    std::uint32_t interface_arrival;  // WM_ZORVAN_INTERFACE_ARRIVAL
    std::uint32_t interface_removal;  // WM_ZORVAN_INTERFACE_REMOVAL
    std::uint32_t progress;           // WM_ZORVAN_PROGRESS (never sent)
    std::uint32_t status;             // WM_ZORVAN_STATUS (never sent)
    std::uint32_t notification;       // WM_EKLV_NOTIFICATION
    std::uint32_t regcallback;        // WM_EKLV_REGCALLBACK
};

const RegisteredMessages& Messages();

}  // namespace eklv
