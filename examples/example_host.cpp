// A minimal host: loads libeklv.so the way a host application does,
// initialises it with a message window of its own, reports what it got and
// shuts it down again.
#include <dlfcn.h>

#include <cstdio>
#include <string>

#include "eklv/eklv.h"
#include "eklv/eklv_host.h"

namespace {

intptr_t HostWindowProc(EKLV_HWND, uint32_t message, uintptr_t wparam, intptr_t lparam, void*) {
    std::printf("  message %#x (device %u, type %#lx)\n", message, static_cast<unsigned>(wparam & 0xFFFF),
                static_cast<unsigned long>(lparam));
    return 0;
}

template <class F>
F Resolve(void* library, const char* name) {
    return reinterpret_cast<F>(dlsym(library, name));
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "libeklv.so";
    void* library = dlopen(path, RTLD_NOW);
    if (library == nullptr) {
        std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        return 2;
    }
    auto initialize = Resolve<decltype(&EKLVInitialize)>(library, "EKLVInitialize");
    auto uninitialize = Resolve<decltype(&EKLVUninitialize)>(library, "EKLVUninitialize");
    auto read_data = Resolve<decltype(&EKLVReadData)>(library, "EKLVReadData");
    if (initialize == nullptr || uninitialize == nullptr || read_data == nullptr) {
        std::fprintf(stderr, "%s lacks the eklv entry points\n", path);
        return 2;
    }
    std::printf("== eklv example host ==\nlibrary: %s\n", path);
    EKLV_HWND window = EKLVHostCreateWindow(&HostWindowProc, nullptr);
    std::printf("host window: %#lx, arrival message id %#x\n", static_cast<unsigned long>(window),
                EKLVHostRegisterWindowMessage(EKLV_MSG_INTERFACE_ARRIVAL));

    EKLVInitParams params{};
    params.client_window = window;
    uint32_t r = initialize(&params);
    std::printf("EKLVInitialize -> %u%s\n", r, r == EKLV_OK ? " (ok)" : "");

    uint8_t buffer[64];
    uint32_t length = sizeof buffer;
    r = read_data(0, EKLV_INVALID_HANDLE_VALUE, buffer, &length);
    std::printf("EKLVReadData(device 0) -> %u\n", r);

    EKLVMsg msg;
    while (EKLVHostPeekMessage(&msg, 0, 0, 0, 1) == 1) EKLVHostDispatchMessage(&msg);

    r = uninitialize();
    std::printf("EKLVUninitialize -> %u\n", r);
    r = uninitialize();
    std::printf("EKLVUninitialize again -> %u (13: not initialised)\n", r);
    EKLVHostDestroyWindow(window);
    std::string folder = path;
    folder = folder.substr(0, folder.find_last_of('/') + 1);
    std::printf("log files (when [CORE_LOGGING] Level is set in %seklv.ini): %s*EKLV_Core.log\n", folder.c_str(),
                folder.c_str());
    dlclose(library);
    return 0;
}
