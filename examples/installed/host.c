/*
 * The smallest host built against an installed eklv (pkg-config or
 * find_package): starts the library in self-monitoring mode, prints the
 * arrivals it announces for a few seconds, and stops it again. The library
 * reads its eklv.ini from the installed settings folder (/etc/eklv) and
 * writes its log to ~/.local/state/eklv unless EKLV_CONFIG_DIR and
 * EKLV_LOG_DIR name other folders.
 */
#include <stdio.h>
#include <stdlib.h>

#include <eklv/eklv.h>
#include <eklv/eklv_host.h>

static uint32_t arrival_message;

static intptr_t host_window(EKLV_HWND hwnd, uint32_t message, uintptr_t wparam, intptr_t lparam, void *user)
{
    (void)hwnd;
    (void)user;
    if (message == arrival_message)
        printf("arrival: device %u, interface type %#lx\n", (unsigned)(wparam & 0xFFFF), (unsigned long)lparam);
    return 0;
}

int main(int argc, char **argv)
{
    int seconds = argc > 1 ? atoi(argv[1]) : 2;
    EKLVInitParams params = {0};
    EKLVMsg msg;
    uint32_t r;

    arrival_message = EKLVHostRegisterWindowMessage(EKLV_MSG_INTERFACE_ARRIVAL);
    params.client_window = EKLVHostCreateWindow(host_window, NULL);
    params.self_monitoring = 1;
    r = EKLVInitialize(&params);
    printf("EKLVInitialize -> %u\n", (unsigned)r);
    if (r != EKLV_OK) {
        EKLVHostDestroyWindow(params.client_window);
        return 1;
    }
    /* Pump the window's messages for a while (-2: nothing within 100 ms). */
    for (int i = 0; i < seconds * 10; ++i)
        while (EKLVHostGetMessageTimeout(&msg, params.client_window, 0, 0, 100) == 1)
            EKLVHostDispatchMessage(&msg);
    r = EKLVUninitialize();
    printf("EKLVUninitialize -> %u\n", (unsigned)r);
    EKLVHostDestroyWindow(params.client_window);
    return r == EKLV_OK ? 0 : 1;
}
