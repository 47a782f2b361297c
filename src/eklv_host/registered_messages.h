// Registered window message ids, shared by every module of the process.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace eklv::msgwin {

class RegisteredMessages {
public:
    static RegisteredMessages& Instance();

    // The id of name, registering it on first use: ids run from 0xC000 to
    // 0xFFFF and names compare without regard to ASCII case. Answers 0 for a
    // null or empty name, a name longer than 255 characters (the limit of a
    // Windows atom) or when every id is taken. Thread-safe.
    std::uint32_t Register(const char* name);

private:
    std::mutex mutex_;
    std::unordered_map<std::string, std::uint32_t> ids_;  // by lower-cased name
    std::uint32_t next_ = 0xC000;
};

}  // namespace eklv::msgwin
