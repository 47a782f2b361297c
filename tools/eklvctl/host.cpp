#include "host.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <thread>

namespace eklvctl {
namespace {

constexpr std::uint32_t kBlockMessage = kFirstPrivateMessage + 1;      // the callback has queued a block
constexpr std::uint32_t kInterruptMessage = kFirstPrivateMessage + 2;  // a stop was requested

}  // namespace

bool Device::Has(std::uint32_t type) const {
    return std::any_of(interfaces.begin(), interfaces.end(), [&](const Interface& i) { return i.type == type; });
}

Host::Host(Library& library, Interrupts& interrupts, bool host_fed)
    : library_(library), interrupts_(interrupts), host_fed_(host_fed), announcements_(host_fed) {
    arrival_message_ = MessageWindow::Register(EKLV_MSG_INTERFACE_ARRIVAL);
    removal_message_ = MessageWindow::Register(EKLV_MSG_INTERFACE_REMOVAL);
    interrupts_.NotifyWindow(window_.handle(), kInterruptMessage);
}

Host::~Host() {
    if (initialized_) Uninitialize();
    interrupts_.NotifyWindow(0, 0);
}

std::uint32_t Host::Initialize() {
    EKLVInitParams params{};
    params.client_window = window_.handle();
    params.self_monitoring = host_fed_ ? 0 : 1;
    if (!host_fed_) {
        params.callback_context = reinterpret_cast<std::uintptr_t>(this);
        params.callback = &Host::OnBlock;
    }
    std::uint32_t r = library_.Initialize(&params);
    initialized_ = r == EKLV_OK;
    return r;
}

std::uint32_t Host::ProbeDeviceCalls() {
    EKLVString probe;
    EKLVStringInit(&probe);
    std::uint32_t r = library_.GetProductStringDescriptor(EKLV_NO_DEVICE, &probe);
    EKLVStringFree(&probe);
    return r;
}

std::uint32_t Host::Uninitialize() {
    initialized_ = false;
    return library_.Uninitialize();
}

std::uint32_t Host::FeedArrival(std::uint16_t device_id, const std::string& name) {
    EKLVNotificationBlock block{};
    block.device_id = device_id;
    std::snprintf(block.device_name, sizeof block.device_name, "%s", name.c_str());
    GuidFromName(name, &block.class_guid);
    block.event = EKLV_DBT_DEVICEARRIVAL;
    return library_.Notification(&block);
}

void Host::OnBlock(std::uintptr_t context, const void* data) {
    auto* host = reinterpret_cast<Host*>(context);
    if (host == nullptr || data == nullptr) return;
    EKLVNotificationBlock block;
    std::memcpy(&block, data, sizeof block);
    // One queued block per posted message: a block whose post failed is
    // taken back, so that each message takes exactly its own block.
    std::lock_guard<std::mutex> lock(host->blocks_mutex_);
    host->blocks_.push_back(block);
    if (!MessageWindow::Post(host->window_.handle(), kBlockMessage)) host->blocks_.pop_back();
}

// Takes the one block that this message was posted for. Taking every queued
// block would hand the blocks of later changes over before their registered
// messages have been read from the queue (the library posts both for each
// change, and a host busy in EKLVInitialize finds the whole start-up scan
// queued), and those blocks would find no message to complete.
void Host::TakeBlock() {
    EKLVNotificationBlock block;
    {
        std::lock_guard<std::mutex> lock(blocks_mutex_);
        if (blocks_.empty()) return;
        block = blocks_.front();
        blocks_.pop_front();
    }
    announcements_.Block(block);
}

void Host::Apply(const InterfaceEvent& e) {
    if (e.arrival) {
        Device& d = devices_[e.device_id];
        d.id = e.device_id;
        if (!e.product.empty()) d.product = e.product;
        if (!e.product_id.empty()) d.product_id = e.product_id;
        auto same = std::find_if(d.interfaces.begin(), d.interfaces.end(),
                                 [&](const Interface& i) { return !e.name.empty() && i.name == e.name; });
        if (same != d.interfaces.end())
            same->type = e.type;
        else
            d.interfaces.push_back({e.type, e.name, e.class_guid});
        return;
    }
    auto device = devices_.find(e.device_id);
    if (device == devices_.end()) return;
    auto& list = device->second.interfaces;
    auto gone = std::find_if(list.begin(), list.end(), [&](const Interface& i) {
        return e.name.empty() ? i.type == e.type : i.name == e.name;
    });
    if (gone != list.end()) list.erase(gone);
    // An interface announced while its port already had a session was
    // never taken into the table and is never announced gone: the device
    // is gone when the library no longer knows its id.
    EKLVString product;
    EKLVStringInit(&product);
    if (!list.empty() && initialized_ &&
        library_.GetProductStringDescriptor(e.device_id, &product) == EKLV_NO_SUCH_DEVICE)
        list.clear();
    EKLVStringFree(&product);
    if (list.empty()) devices_.erase(device);
}

Host::Wait Host::Next(InterfaceEvent* event, Clock::time_point deadline) {
    for (;;) {
        Clock::time_point now = Clock::now();
        if (announcements_.Pop(now, event)) {
            if (event->product.empty()) {
                const Device* known = Find(event->device_id);
                if (known != nullptr) event->product = known->product;
            }
            Apply(*event);
            return Wait::kEvent;
        }
        if (interrupts_.requested()) return Wait::kInterrupted;
        if (now >= deadline) return Wait::kTimeout;
        Clock::time_point until = std::min(deadline, announcements_.Due().value_or(deadline));
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
        auto slice = static_cast<std::uint32_t>(std::clamp<long long>(left, 1, 1000));

        WindowMessage msg;
        MessageWindow::Got got = window_.Next(&msg, slice);
        if (got == MessageWindow::Got::kTimeout) continue;
        if (got == MessageWindow::Got::kBroken) {
            // Nothing more will come through the queue: wait out the slice.
            std::this_thread::sleep_for(std::chrono::milliseconds(slice));
            continue;
        }
        if (msg.message == arrival_message_ || msg.message == removal_message_) {
            InterfaceEvent e;
            e.arrival = msg.message == arrival_message_;
            e.device_id = static_cast<std::uint16_t>(msg.wparam & 0xFFFF);
            e.type = static_cast<std::uint32_t>(msg.lparam);
            e.when = std::chrono::system_clock::now();
            announcements_.Message(std::move(e), Clock::now());
        } else if (msg.message == kBlockMessage) {
            TakeBlock();
        }
    }
}

bool Host::Settle(std::chrono::milliseconds quiet, Clock::time_point deadline, std::vector<InterfaceEvent>* taken) {
    for (;;) {
        Clock::time_point until = std::min(deadline, Clock::now() + quiet);
        InterfaceEvent e;
        Wait w = Next(&e, until);
        if (w == Wait::kInterrupted) return false;
        if (w == Wait::kTimeout) return true;
        if (taken != nullptr) taken->push_back(std::move(e));
    }
}

const Device* Host::Find(std::uint16_t id) const {
    auto it = devices_.find(id);
    return it == devices_.end() ? nullptr : &it->second;
}

}  // namespace eklvctl
