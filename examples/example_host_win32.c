/*
 * The smallest Windows host of eklv.dll: a message-only window that
 * receives the two registered messages, EKLVInitialize in self-monitoring
 * mode with a notification callback, a message loop, EKLVUninitialize.
 *
 *   eklv_example_host_win32.exe [PATH\eklv.dll] [SECONDS]
 *
 * Runs for SECONDS (10) and prints each arrival and removal. Exit code 0,
 * 1 when EKLVInitialize fails (on a machine without USB hubs it answers 1),
 * 2 when eklv.dll cannot be loaded.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "eklv/eklv.h"

typedef uint32_t(EKLV_CALL *InitializeFn)(const EKLVInitParams *params);
typedef uint32_t(EKLV_CALL *UninitializeFn)(void);

static UINT arrival_message;
static UINT removal_message;

static LRESULT CALLBACK HostWindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == arrival_message || message == removal_message) {
        printf("%s: device %u, interface type 0x%04lx\n",
               message == arrival_message ? "arrival" : "removal", (unsigned)(wparam & 0xFFFF),
               (unsigned long)lparam);
        return 0;
    }
    if (message == WM_TIMER) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, message, wparam, lparam);
}

/* On the library's callback thread, after the registered message. */
static void EKLV_CALLBACK OnNotification(uintptr_t context, const void *data)
{
    const EKLVNotificationBlock *block = (const EKLVNotificationBlock *)data;
    (void)context;
    printf("  %s \"%s\" %s\n", block->event == EKLV_DBT_DEVICEARRIVAL ? "arrived:" : "removed:", block->product,
           block->device_name);
    fflush(stdout);
}

int main(int argc, char **argv)
{
    const char *path = argc > 1 ? argv[1] : "eklv.dll";
    UINT seconds = argc > 2 ? (UINT)atoi(argv[2]) : 10;
    HMODULE library = LoadLibraryA(path);
    if (library == NULL) {
        fprintf(stderr, "cannot load %s: error %lu\n", path, (unsigned long)GetLastError());
        return 2;
    }
    InitializeFn initialize = (InitializeFn)(void (*)(void))GetProcAddress(library, "EKLVInitialize");
    UninitializeFn uninitialize = (UninitializeFn)(void (*)(void))GetProcAddress(library, "EKLVUninitialize");
    if (initialize == NULL || uninitialize == NULL) {
        fprintf(stderr, "%s lacks the eklv entry points\n", path);
        FreeLibrary(library);
        return 2;
    }

    /* The same names give the same ids in the host and in eklv.dll. */
    arrival_message = RegisterWindowMessageA(EKLV_MSG_INTERFACE_ARRIVAL);
    removal_message = RegisterWindowMessageA(EKLV_MSG_INTERFACE_REMOVAL);

    WNDCLASSA wc = {0};
    wc.lpfnWndProc = HostWindowProc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = "eklv example host";
    RegisterClassA(&wc);
    HWND window = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, wc.hInstance, NULL);

    EKLVInitParams params = {0};
    params.client_window = (EKLV_HWND)window;
    params.self_monitoring = 1;
    params.callback = OnNotification;
    uint32_t r = initialize(&params);
    printf("EKLVInitialize -> %u\n", (unsigned)r);
    if (r != EKLV_OK) {
        DestroyWindow(window);
        FreeLibrary(library);
        return 1;
    }

    SetTimer(window, 1, seconds * 1000, NULL);
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }

    printf("EKLVUninitialize -> %u\n", (unsigned)uninitialize());
    DestroyWindow(window);
    FreeLibrary(library);
    return 0;
}
