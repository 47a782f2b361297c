// A phone as eklvctl shows it (list, serve): what the announcements told,
// the TID from the core log, and the library's answers for its COM ports
// and product string; and the JSON forms of phones and announcements that
// the commands and the station view share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "announcements.h"
#include "json_text.h"

namespace eklvctl {

class Library;
struct Device;

struct PhoneInterface {
    std::uint32_t type = 0;
    std::string name;                  // symbolic name
    std::string com_port;              // EKLVGetComPort's answer when it succeeded
    std::uint32_t com_port_result = 0;
};

struct Phone {
    std::uint16_t id = 0;
    std::string tid;         // empty: the log did not tell
    std::string port;        // the Linux USB port of its names ("1-3.2"), or empty
    std::string product;
    std::string product_id;  // "pid_2001"
    std::vector<PhoneInterface> interfaces;
};

// Describes device with the library's answers: EKLVGetComPort for each
// interface, and EKLVGetProductStringDescriptor when no notification block
// told the product (host-fed mode).
Phone DescribePhone(Library& library, const Device& device, const std::string& tid);

// {"device_id","tid","port","product","product_id","interfaces":[{"type",
// "type_code","com_port","com_port_result","name"}]}; tid and com_port are
// null when unknown.
JsonValue PhoneJson(const Phone& phone);

// {"time","at_ms","event","device_id","type","type_code","product","name",
// "port"}: time of day as text and in milliseconds since 1970 (UTC), when
// eklvctl took the library's message.
JsonValue EventJson(const InterfaceEvent& event);

}  // namespace eklvctl
