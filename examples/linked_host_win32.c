/*
 * A Windows host that links eklv.dll at load time, through one of the
 * package's import libraries, and calls the twelve entry points directly:
 *
 *   MinGW:  gcc linked_host_win32.c -I..\include -L..\lib -leklv -o linked_host.exe
 *   MSVC:   cl linked_host_win32.c /I..\include ..\lib\eklv.lib
 *
 * eklv.dll must lie beside the program (or on the PATH), with its
 * eklv.ini. Before EKLVInitialize every call answers its "not initialised"
 * code; then the library is started in host-fed mode without a window
 * and stopped again. One line per call, "EKLVOpenDevice -> 14". Exit code
 * 0 when every call answered what eklv.h documents before initialisation
 * and the start answered 0 (then stopped with 0) or 1 (a machine without
 * USB hubs), else 1.
 *
 * On 32-bit Windows the entry points are __stdcall (EKLV_CALL): the import
 * libraries define the decorated names (_EKLVInitialize@4) that eklv.h
 * makes the compiler ask for. A host that declares them without EKLV_CALL
 * does not link.
 */
#include <stdio.h>
#include <string.h>

#include "eklv/eklv.h"

static int failures;

static void Expect(const char *call, uint32_t answer, uint32_t expected)
{
    printf("%s -> %u\n", call, (unsigned)answer);
    if (answer != expected) {
        printf("  expected %u\n", (unsigned)expected);
        ++failures;
    }
}

int main(void)
{
    EKLV_HANDLE handle = 0;
    EKLVString text;
    uint32_t length = 0, baud = 115200, result = 0;
    char buffer[16];
    EKLVLogSettings log = {7, 1};
    EKLVNotificationBlock notification;
    EKLVCallBlock block;
    EKLVInitParams params;
    uint32_t started;

    EKLVStringInit(&text);
    memset(&notification, 0, sizeof notification);
    memset(&block, 0, sizeof block);
    memset(&params, 0, sizeof params);

    Expect("EKLVOpenDevice", EKLVOpenDevice(0, INF_DATA, &handle, 1), EKLV_NOT_INITIALIZED);
    Expect("EKLVReadData", EKLVReadData(0, handle, buffer, &length), EKLV_NOT_INITIALIZED);
    Expect("EKLVWriteData", EKLVWriteData(0, handle, "AT\r", 3), EKLV_NOT_INITIALIZED);
    Expect("EKLVCloseDevice", EKLVCloseDevice(0, INF_DATA), EKLV_NOT_INITIALIZED);
    Expect("EKLVGetComPort", EKLVGetComPort(0, INF_DATA, &text), EKLV_NOT_INITIALIZED);
    Expect("EKLVSetBaudRate", EKLVSetBaudRate(0, INF_DATA, &baud), EKLV_NOT_INITIALIZED);
    Expect("EKLVGetProductStringDescriptor", EKLVGetProductStringDescriptor(0, &text), EKLV_NOT_INITIALIZED);
    Expect("EKLVSetCoreLogging", EKLVSetCoreLogging(&log), EKLV_NOT_INITIALIZED);
    Expect("EKLVNotification", EKLVNotification(&notification), EKLV_NOT_COMPLETED);
    Expect("ZORVAN_OnCall", ZORVAN_OnCall(0x30000000u, &block, &result), EKLV_NO_SUCH_DEVICE); /* unknown opcode */
    Expect("EKLVUninitialize", EKLVUninitialize(), EKLV_NO_SUPERVISOR);

    started = EKLVInitialize(&params);
    printf("EKLVInitialize -> %u\n", (unsigned)started);
    if (started == EKLV_OK)
        Expect("EKLVUninitialize", EKLVUninitialize(), EKLV_OK);
    else if (started != EKLV_NOT_COMPLETED)
        ++failures;
    EKLVStringFree(&text);
    fflush(stdout);
    return failures == 0 ? 0 : 1;
}
