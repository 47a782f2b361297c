// The device notification record's helpers: its completion event and the
// 800-byte host block it is read from and announced with.
#include "hotplug/device_notification.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/sync.h"

namespace eklv {
namespace {

void CopyText(char (&field)[256], const std::string& text) {
    const std::size_t n = std::min<std::size_t>(text.size(), sizeof field - 1);
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

}  // namespace

std::shared_ptr<CompletionEvent> CompletionEvent::Create() {
    pf::Handle handle = pf::CreateEventA(false, false);
    if (handle == pf::kNullHandle) return nullptr;
    pf::ResetEvent(handle);
    std::shared_ptr<CompletionEvent> event(new (std::nothrow) CompletionEvent(handle));
    if (!event) pf::CloseHandle(handle);
    return event;
}

CompletionEvent::~CompletionEvent() { pf::CloseHandle(handle_); }

void FillRecordFromHostBlock(const EKLVNotificationBlock& block, DeviceNotificationRecord* record) {
    record->event_code = block.event;
    std::memcpy(&record->class_guid, &block.class_guid, sizeof record->class_guid);
    // A name without a NUL inside its field ends at the field's end.
    record->device_name.assign(block.device_name, strnlen(block.device_name, sizeof block.device_name));
    record->device_id = block.device_id;
}

void BuildHostBlock(std::uint16_t device_id, const std::string& device_name, const std::string& product,
                    const std::string& product_id, const pf::Guid& class_guid, std::uint32_t event_code,
                    EKLVNotificationBlock* block) {
    std::memset(block, 0, sizeof *block);
    block->device_id = device_id;
    CopyText(block->device_name, device_name);
    CopyText(block->product, product);
    CopyText(block->product_id, product_id);
    static_assert(sizeof block->class_guid == sizeof class_guid);
    std::memcpy(&block->class_guid, &class_guid, sizeof class_guid);
    block->event = event_code;
}

}  // namespace eklv
