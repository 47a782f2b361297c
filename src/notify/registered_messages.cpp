#include "notify/registered_messages.h"

#include "eklv/eklv.h"
#include "platform/window.h"

namespace eklv {
namespace {

RegisteredMessages Register() {
    return RegisteredMessages{
        pf::RegisterWindowMessageA(EKLV_MSG_INTERFACE_ARRIVAL), pf::RegisterWindowMessageA(EKLV_MSG_INTERFACE_REMOVAL),
        pf::RegisterWindowMessageA(EKLV_MSG_PROGRESS),          pf::RegisterWindowMessageA(EKLV_MSG_STATUS),
        pf::RegisterWindowMessageA(EKLV_MSG_NOTIFICATION),      pf::RegisterWindowMessageA(EKLV_MSG_REGCALLBACK),
    };
}

// Registered by a static initialiser, before any exported function runs.
const RegisteredMessages g_messages = Register();

}  // namespace

const RegisteredMessages& Messages() {
    // A caller from another static initialiser may come first.
    static const RegisteredMessages messages = Register();
    (void)g_messages;
    return messages;
}

}  // namespace eklv
