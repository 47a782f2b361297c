#include "api/opcode_entry.h"

#include "api/device_calls.h"
#include "api/lifecycle.h"
#include "log/message_logger.h"

namespace eklv::api {

std::uint32_t OnCall(std::uint32_t opcode, EKLVCallBlock* block, std::uint32_t* result) {
    if (block == nullptr && opcode != EKLV_OP_UNINITIALIZE) return EKLV_NO_PARAMETER_BLOCK;
    const bool no_device =
        opcode == EKLV_OP_INITIALIZE || opcode == EKLV_OP_UNINITIALIZE || opcode == EKLV_OP_SET_CORE_LOGGING;
    const std::uint32_t log_device = no_device ? kNoDevice : block->device_id;
    LogMessage(log_device, kLogInfo, kCatGeneral, "ZORVAN_OnCall entrance, opcode = (%d), (<-)",
               static_cast<int>(opcode));

    std::uint32_t operation = EKLV_INVALID_HANDLE;  // preset: 2
    std::uint32_t own = EKLV_OK;
    switch (opcode) {
        case EKLV_OP_INITIALIZE: {
            EKLVInitParams params{};
            params.client_window = block->u.init.client_window;
            params.self_monitoring = block->word2 != 0 ? 1 : 0;
            params.callback_context = block->u.init.callback_context;
            params.callback = block->u.init.callback;
            operation = InitializeLibrary(&params);
            break;
        }
        case EKLV_OP_UNINITIALIZE:
            operation = UninitializeLibrary();
            break;
        case EKLV_OP_NOTIFICATION:
            operation = Notification(reinterpret_cast<const EKLVNotificationBlock*>(block));
            break;
        case EKLV_OP_WRITE_DATA:
            operation = WriteData(block->device_id, block->u.write.handle, block->u.write.data, block->u.write.length);
            break;
        case EKLV_OP_READ_DATA:
            operation = ReadData(block->device_id, block->u.read.handle, block->u.read.buffer, block->u.read.length);
            break;
        case EKLV_OP_OPEN_DEVICE:
            operation = OpenDevice(block->device_id, block->u.open.interface_type, &block->u.open.handle, 1);
            break;
        case EKLV_OP_CLOSE_DEVICE:
            operation = CloseDevice(block->device_id, block->u.close.interface_type);
            break;
        case EKLV_OP_SET_CORE_LOGGING: {
            EKLVLogSettings settings{block->u.logging.level_mask, block->u.logging.flush};
            operation = SetCoreLogging(&settings);
            break;
        }
        case EKLV_OP_GET_PRODUCT_STRING:
            operation = GetProductStringDescriptor(block->device_id, &block->u.product.product);
            break;
        case EKLV_OP_GET_COM_PORT:
            operation = GetComPort(block->device_id, block->u.com_port.interface_type, &block->u.com_port.port);
            break;
        case EKLV_OP_SET_BAUD_RATE:
            operation = SetBaudRate(block->device_id, block->u.baud.interface_type, &block->u.baud.baud_rate);
            break;
        default:
            own = EKLV_NO_SUCH_DEVICE;  // 3: unknown opcode
            break;
    }
    if (result != nullptr) *result = operation;
    if (operation != EKLV_OK && own == EKLV_OK) own = EKLV_READ_FAILED;  // 5: see *result
    // After an uninitialisation the log is gone; nothing more is written.
    if (opcode != EKLV_OP_UNINITIALIZE)
        LogMessage(log_device, kLogInfo, kCatGeneral, "ZORVAN_OnCall exit, opcode = (%d), (->), (%d)",
                   static_cast<int>(opcode), static_cast<int>(operation));
    return own;
}

}  // namespace eklv::api
