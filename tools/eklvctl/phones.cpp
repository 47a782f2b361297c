#include "phones.h"

#include "host.h"
#include "library.h"
#include "output.h"

namespace eklvctl {

Phone DescribePhone(Library& library, const Device& device, const std::string& tid) {
    Phone phone;
    phone.id = device.id;
    phone.tid = tid;
    phone.product = device.product;
    phone.product_id = device.product_id;
    if (phone.product.empty()) {
        EKLVString s;
        EKLVStringInit(&s);
        if (library.GetProductStringDescriptor(device.id, &s) == EKLV_OK) phone.product = EKLVStringGet(&s);
        EKLVStringFree(&s);
    }
    for (const Interface& i : device.interfaces) {
        PhoneInterface p;
        p.type = i.type;
        p.name = i.name;
        EKLVString s;
        EKLVStringInit(&s);
        p.com_port_result = library.GetComPort(device.id, i.type, &s);
        if (p.com_port_result == EKLV_OK) p.com_port = EKLVStringGet(&s);
        EKLVStringFree(&s);
        if (phone.port.empty()) phone.port = PortFromName(i.name);
        phone.interfaces.push_back(std::move(p));
    }
    return phone;
}

JsonValue PhoneJson(const Phone& phone) {
    JsonValue interfaces = JsonValue::array();
    for (const PhoneInterface& i : phone.interfaces) {
        interfaces.push_back({{"type", InterfaceTypeName(i.type)},
                              {"type_code", i.type},
                              {"com_port", i.com_port_result == EKLV_OK ? JsonValue(i.com_port) : JsonValue(nullptr)},
                              {"com_port_result", i.com_port_result},
                              {"name", i.name}});
    }
    return {{"device_id", phone.id},       {"tid", TextOrNull(phone.tid)},
            {"port", phone.port},          {"product", phone.product},
            {"product_id", phone.product_id}, {"interfaces", std::move(interfaces)}};
}

JsonValue EventJson(const InterfaceEvent& e) {
    return {{"time", ClockTime(e.when)},
            {"at_ms", std::chrono::duration_cast<std::chrono::milliseconds>(e.when.time_since_epoch()).count()},
            {"event", e.arrival ? "arrival" : "removal"},
            {"device_id", e.device_id},
            {"type", InterfaceTypeName(e.type)},
            {"type_code", e.type},
            {"product", e.product},
            {"name", e.name},
            {"port", PortFromName(e.name)}};
}

}  // namespace eklvctl
