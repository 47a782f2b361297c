#include "eklv_host/registered_messages.h"

#include <cstring>

namespace eklv::msgwin {
namespace {

constexpr std::size_t kMaxNameLength = 255;
constexpr std::uint32_t kLastId = 0xFFFF;

}  // namespace

RegisteredMessages& RegisteredMessages::Instance() {
    // Never destroyed: threads may still register while the process exits.
    static RegisteredMessages* instance = new RegisteredMessages;
    return *instance;
}

std::uint32_t RegisteredMessages::Register(const char* name) {
    if (name == nullptr) return 0;
    std::size_t length = std::strlen(name);
    if (length == 0 || length > kMaxNameLength) return 0;
    std::string key(name, length);
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }

    std::lock_guard<std::mutex> lock(mutex_);
    auto found = ids_.find(key);
    if (found != ids_.end()) return found->second;
    if (next_ > kLastId) return 0;
    std::uint32_t id = next_++;
    ids_.emplace(std::move(key), id);
    return id;
}

}  // namespace eklv::msgwin
