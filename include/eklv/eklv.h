/*
 * eklv: access to USB-attached mobile phones for service and flashing hosts.
 *
 * This is the whole public C interface of the library: twelve entry points,
 * their result codes and the structures they take.  Layouts follow the
 * 32-bit Windows ABI byte for byte on a 32-bit target; on a 64-bit target
 * only the pointer-sized fields (window, handle, context, pointers, and the
 * output string) widen, every other field keeps its width.
 */
#ifndef EKLV_EKLV_H
#define EKLV_EKLV_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Calling convention. On 32-bit Windows the twelve entry points (EKLV_CALL)
 * and the host's notification callback (EKLV_CALLBACK) are __stdcall, as
 * WINAPI and CALLBACK functions of a 32-bit MSVC DLL are: the callee pops
 * its arguments. eklv.dll exports the entry points under their plain names
 * (EKLVInitialize, not EKLVInitialize@4), so GetProcAddress finds them by
 * name; a host's function pointer types must carry EKLV_CALL. x86_64 Windows
 * and Linux have one convention only, and both macros are empty there. */
#if defined(_WIN32)
#define EKLV_API
#define EKLV_CALL __stdcall
#define EKLV_CALLBACK __stdcall
#else
#define EKLV_API __attribute__((visibility("default")))
#define EKLV_CALL
#define EKLV_CALLBACK
#endif

/* Window handle: the host window that receives the registered messages.
 * 0 means no window; 65535 is rejected by EKLVInitialize. */
typedef uintptr_t EKLV_HWND;

/* Interface handle returned by EKLVOpenDevice. */
typedef uintptr_t EKLV_HANDLE;
#define EKLV_INVALID_HANDLE_VALUE ((EKLV_HANDLE)~(uintptr_t)0)

/* Device id: the low 16 bits of a 32-bit argument; 65535 names no device. */
#define EKLV_NO_DEVICE 65535u

/* ---- Result codes ------------------------------------------------------ */
enum {
    EKLV_OK = 0,
    EKLV_NOT_COMPLETED = 1,       /* notification not handled in time, init step failed, no COM port */
    EKLV_INVALID_HANDLE = 2,      /* handle is EKLV_INVALID_HANDLE or interface not open */
    EKLV_NO_SUCH_DEVICE = 3,      /* no attached device has the id; ZORVAN_OnCall: unknown opcode */
    EKLV_WRITE_FAILED = 4,
    EKLV_READ_FAILED = 5,         /* ZORVAN_OnCall: the operation failed, its code is in *result */
    EKLV_NO_PARAMETER_BLOCK = 6,
    EKLV_OPEN_FAILED = 7,
    EKLV_NO_SUCH_INTERFACE = 8,
    EKLV_NO_SUPERVISOR = 13,      /* EKLVUninitialize before EKLVInitialize or twice */
    EKLV_NOT_INITIALIZED = 14,
    EKLV_NO_RESOURCES = 16,       /* a singleton or thread could not be created */
    EKLV_GET_COMM_STATE_FAILED = 17,
    EKLV_SET_COMM_STATE_FAILED = 18
};

/* ---- Interface types --------------------------------------------------- */
enum {
    INF_UNDEFINED = 0x8000,
    INF_DATA = 0x8002,
    INF_UART = 0x8003,
    INF_MSD = 0x8004,
    INF_IMAGE = 0x8005,
    INF_MTP = 0x8006,
    INF_FLASH = 0x8007,
    INF_SFLASH = 0x8008,
    INF_HSFLASH = 0x8009,
    INF_HBFLASH = 0x800A
};

/* ---- Registered message names ------------------------------------------ */
/* Register these names with the message system (EKLVHostRegisterWindowMessage
 * on Linux, RegisterWindowMessageA on Windows) to learn their ids. */
#define EKLV_MSG_INTERFACE_ARRIVAL "WM_ZORVAN_INTERFACE_ARRIVAL" /* wParam device id, lParam type */
#define EKLV_MSG_INTERFACE_REMOVAL "WM_ZORVAN_INTERFACE_REMOVAL" /* wParam device id, lParam type */
#define EKLV_MSG_PROGRESS "WM_ZORVAN_PROGRESS"                   /* registered, never sent */
#define EKLV_MSG_STATUS "WM_ZORVAN_STATUS"                       /* registered, never sent */
#define EKLV_MSG_NOTIFICATION "WM_EKLV_NOTIFICATION"             /* library-internal */
#define EKLV_MSG_REGCALLBACK "WM_EKLV_REGCALLBACK"               /* library-internal */

/* ---- Caller-owned output string ---------------------------------------- */
/*
 * The library assigns text into a string that the caller owns.  The caller
 * initialises it with EKLVStringInit, which records the caller's allocator;
 * the library allocates through that allocator only, so the caller frees
 * the text with EKLVStringFree whatever runtime the library was built with.
 * The string is two pointers wide.
 */
typedef void *(*EKLVStringAlloc)(void *old_block, size_t new_size); /* new_size 0 frees */

typedef struct EKLVString {
    char *text;            /* NUL-terminated, or NULL for the empty string */
    EKLVStringAlloc alloc; /* the owner's allocator */
} EKLVString;

static inline void *EKLVStringDefaultAlloc(void *old_block, size_t new_size)
{
    if (new_size == 0) {
        free(old_block);
        return NULL;
    }
    return realloc(old_block, new_size);
}

static inline void EKLVStringInit(EKLVString *s)
{
    s->text = NULL;
    s->alloc = EKLVStringDefaultAlloc;
}

/* Replaces the text; answers 0, or -1 (text unchanged) when memory is short
 * or the string has no allocator. */
static inline int EKLVStringAssign(EKLVString *s, const char *text, size_t length)
{
    char *block;
    if (s->alloc == NULL)
        return -1;
    block = (char *)s->alloc(s->text, length + 1);
    if (block == NULL)
        return -1;
    if (length != 0)
        memcpy(block, text, length);
    block[length] = '\0';
    s->text = block;
    return 0;
}

static inline const char *EKLVStringGet(const EKLVString *s)
{
    return s->text != NULL ? s->text : "";
}

static inline void EKLVStringFree(EKLVString *s)
{
    if (s->alloc != NULL && s->text != NULL)
        s->alloc(s->text, 0);
    s->text = NULL;
}

/* ---- Host callback ----------------------------------------------------- */
/* Called on the library's callback thread with the host's context value and
 * the 800-byte notification block of an arrival or removal. */
typedef void(EKLV_CALLBACK *EKLVNotifyCallback)(uintptr_t context, const void *block);

/* ---- Initialisation block ---------------------------------------------- */
typedef struct EKLVInitParams {
    EKLV_HWND client_window;      /* +0:  0 = no client window */
    uint8_t self_monitoring;      /* +4:  non-zero: watch devices and call back */
    uint8_t reserved[3];
    uintptr_t callback_context;   /* +8:  passed back to the callback */
    EKLVNotifyCallback callback;  /* +12: registered when context and callback are non-zero */
} EKLVInitParams;

/* ---- Logging settings -------------------------------------------------- */
typedef struct EKLVLogSettings {
    uint32_t level_mask; /* bits: 1 information, 2 warning, 4 error */
    uint32_t flush;      /* non-zero: flush after every line */
} EKLVLogSettings;

/* ---- Host notification block (800 bytes, no pointers) ------------------ */
typedef struct EKLVGuid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
} EKLVGuid;

#define EKLV_DBT_DEVICEARRIVAL 0x8000u
#define EKLV_DBT_DEVICEREMOVECOMPLETE 0x8004u

typedef struct EKLVNotificationBlock {
    uint16_t device_id;       /* +0   65535 when none */
    uint16_t reserved0;       /* +2 */
    uint32_t reserved1;       /* +4 */
    char device_name[256];    /* +8   symbolic name of the interface */
    char product[256];        /* +264 product string descriptor */
    char product_id[256];     /* +520 e.g. "pid_abcd" */
    EKLVGuid class_guid;      /* +776 device-interface class */
    uint32_t event;           /* +792 EKLV_DBT_DEVICEARRIVAL or EKLV_DBT_DEVICEREMOVECOMPLETE */
    uint32_t reserved2;       /* +796 */
} EKLVNotificationBlock;

/* ---- ZORVAN_OnCall opcodes and parameter block ------------------------- */
enum {
    EKLV_OP_INITIALIZE = 0,
    EKLV_OP_UNINITIALIZE = 1,
    EKLV_OP_NOTIFICATION = 2, /* the block is an EKLVNotificationBlock */
    EKLV_OP_WRITE_DATA = 0x20000001,
    EKLV_OP_READ_DATA = 0x20000002,
    EKLV_OP_OPEN_DEVICE = 0x20000003,
    EKLV_OP_CLOSE_DEVICE = 0x20000004,
    EKLV_OP_SET_CORE_LOGGING = 0x20000005,
    EKLV_OP_GET_PRODUCT_STRING = 0x20000006,
    EKLV_OP_GET_COM_PORT = 0x20000007,
    EKLV_OP_SET_BAUD_RATE = 0x20000008
};

typedef struct EKLVCallBlock {
    uint16_t device_id;       /* +0 */
    uint16_t word2;           /* +2  opcode 0: self-monitoring flag */
    uint32_t reserved;        /* +4  never read */
    union {                   /* +8 */
        struct { EKLV_HWND client_window; uintptr_t callback_context; EKLVNotifyCallback callback; } init;
        struct { EKLV_HANDLE handle; const void *data; uint32_t length; } write;
        struct { EKLV_HANDLE handle; void *buffer; uint32_t *length; } read;
        struct { uint32_t interface_type; EKLV_HANDLE handle; } open; /* handle is written */
        struct { uint32_t interface_type; } close;
        struct { uint32_t level_mask; uint32_t flush; } logging;
        struct { EKLVString product; } product;
        struct { uint32_t interface_type; EKLVString port; } com_port;
        struct { uint32_t interface_type; uint32_t baud_rate; } baud;
    } u;
} EKLVCallBlock;

/* ---- Entry points ------------------------------------------------------ */
EKLV_API uint32_t EKLV_CALL EKLVInitialize(const EKLVInitParams *params);
EKLV_API uint32_t EKLV_CALL EKLVUninitialize(void);
EKLV_API uint32_t EKLV_CALL EKLVOpenDevice(uint32_t device_id, uint32_t interface_type, EKLV_HANDLE *handle,
                                 uint32_t synchronous);
EKLV_API uint32_t EKLV_CALL EKLVCloseDevice(uint32_t device_id, uint32_t interface_type);
EKLV_API uint32_t EKLV_CALL EKLVReadData(uint32_t device_id, EKLV_HANDLE handle, void *buffer, uint32_t *length);
EKLV_API uint32_t EKLV_CALL EKLVWriteData(uint32_t device_id, EKLV_HANDLE handle, const void *data, uint32_t length);
EKLV_API uint32_t EKLV_CALL EKLVGetComPort(uint32_t device_id, uint32_t interface_type, EKLVString *port);
EKLV_API uint32_t EKLV_CALL EKLVSetBaudRate(uint32_t device_id, uint32_t interface_type, uint32_t *baud_rate);
EKLV_API uint32_t EKLV_CALL EKLVGetProductStringDescriptor(uint32_t device_id, EKLVString *product);
EKLV_API uint32_t EKLV_CALL EKLVSetCoreLogging(const EKLVLogSettings *settings);
EKLV_API uint32_t EKLV_CALL EKLVNotification(const EKLVNotificationBlock *block);
EKLV_API uint32_t EKLV_CALL ZORVAN_OnCall(uint32_t opcode, EKLVCallBlock *block, uint32_t *result);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ---- Layout checks ----------------------------------------------------- */
#ifdef __cplusplus
#define EKLV_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define EKLV_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

EKLV_STATIC_ASSERT(sizeof(EKLVGuid) == 16, "GUID is 16 bytes");
EKLV_STATIC_ASSERT(sizeof(EKLVNotificationBlock) == 800, "notification block is 800 bytes");
EKLV_STATIC_ASSERT(offsetof(EKLVNotificationBlock, device_name) == 8, "device name at +8");
EKLV_STATIC_ASSERT(offsetof(EKLVNotificationBlock, product) == 264, "product at +264");
EKLV_STATIC_ASSERT(offsetof(EKLVNotificationBlock, product_id) == 520, "product id at +520");
EKLV_STATIC_ASSERT(offsetof(EKLVNotificationBlock, class_guid) == 776, "class GUID at +776");
EKLV_STATIC_ASSERT(offsetof(EKLVNotificationBlock, event) == 792, "event at +792");
EKLV_STATIC_ASSERT(sizeof(EKLVLogSettings) == 8, "logging settings are two words");
EKLV_STATIC_ASSERT(offsetof(EKLVCallBlock, u) == 8, "opcode arguments start at +8");
EKLV_STATIC_ASSERT(offsetof(EKLVInitParams, self_monitoring) == sizeof(EKLV_HWND), "flag follows window");

#if UINTPTR_MAX == 0xFFFFFFFFu
/* 32-bit target: the Windows layouts hold exactly. */
EKLV_STATIC_ASSERT(offsetof(EKLVInitParams, client_window) == 0, "window at +0");
EKLV_STATIC_ASSERT(offsetof(EKLVInitParams, self_monitoring) == 4, "flag at +4");
EKLV_STATIC_ASSERT(offsetof(EKLVInitParams, callback_context) == 8, "context at +8");
EKLV_STATIC_ASSERT(offsetof(EKLVInitParams, callback) == 12, "callback at +12");
EKLV_STATIC_ASSERT(sizeof(EKLVInitParams) == 16, "init block is 16 bytes");
EKLV_STATIC_ASSERT(sizeof(EKLVString) == 8, "string is two pointers");
EKLV_STATIC_ASSERT(offsetof(EKLVCallBlock, u.init.client_window) == 8, "opcode 0 window at +8");
EKLV_STATIC_ASSERT(offsetof(EKLVCallBlock, u.init.callback_context) == 12, "opcode 0 context at +12");
EKLV_STATIC_ASSERT(offsetof(EKLVCallBlock, u.init.callback) == 16, "opcode 0 callback at +16");
EKLV_STATIC_ASSERT(offsetof(EKLVCallBlock, u.write.data) == 12, "write data at +12");
EKLV_STATIC_ASSERT(offsetof(EKLVCallBlock, u.write.length) == 16, "write length at +16");
EKLV_STATIC_ASSERT(offsetof(EKLVCallBlock, u.read.buffer) == 12, "read buffer at +12");
EKLV_STATIC_ASSERT(offsetof(EKLVCallBlock, u.read.length) == 16, "read length at +16");
EKLV_STATIC_ASSERT(offsetof(EKLVCallBlock, u.open.handle) == 12, "open handle at +12");
EKLV_STATIC_ASSERT(offsetof(EKLVCallBlock, u.logging.flush) == 12, "flush flag at +12");
EKLV_STATIC_ASSERT(offsetof(EKLVCallBlock, u.product.product) == 8, "product string at +8");
EKLV_STATIC_ASSERT(offsetof(EKLVCallBlock, u.com_port.port) == 12, "port string at +12");
EKLV_STATIC_ASSERT(offsetof(EKLVCallBlock, u.baud.baud_rate) == 12, "baud rate at +12");
#endif

#endif /* EKLV_EKLV_H */
