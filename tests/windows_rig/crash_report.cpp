// A crash inside the process (the DLL under test, the rig, Wine) is
// reported on standard error with the faulting address and the stack as
// module+offset, before the system's handling goes on: under Wine the
// crash debugger it starts cannot write to the test's output.
#include <windows.h>
#include <dbghelp.h>

#include <cstdio>

namespace {

void PrintAddress(const char* what, DWORD64 address) {
    HMODULE module = nullptr;
    char name[MAX_PATH] = "?";
    if (::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             reinterpret_cast<LPCSTR>(address), &module))
        ::GetModuleFileNameA(module, name, sizeof name);
    std::fprintf(stderr, "  %s %#llx %s+%#llx\n", what, static_cast<unsigned long long>(address), name,
                 static_cast<unsigned long long>(address - reinterpret_cast<DWORD64>(module)));
}

LONG CALLBACK Report(EXCEPTION_POINTERS* info) {
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    if (code != EXCEPTION_ACCESS_VIOLATION && code != EXCEPTION_ILLEGAL_INSTRUCTION && code != EXCEPTION_STACK_OVERFLOW)
        return EXCEPTION_CONTINUE_SEARCH;
    std::fprintf(stderr, "crash: exception %#lx in thread %#lx\n", static_cast<unsigned long>(code),
                 static_cast<unsigned long>(::GetCurrentThreadId()));
    PrintAddress("at", reinterpret_cast<DWORD64>(info->ExceptionRecord->ExceptionAddress));
    CONTEXT context = *info->ContextRecord;
    STACKFRAME64 frame{};
#ifdef _WIN64
    const DWORD machine = IMAGE_FILE_MACHINE_AMD64;
    frame.AddrPC.Offset = context.Rip;
    frame.AddrStack.Offset = context.Rsp;
    frame.AddrFrame.Offset = context.Rbp;
#else
    const DWORD machine = IMAGE_FILE_MACHINE_I386;
    frame.AddrPC.Offset = context.Eip;
    frame.AddrStack.Offset = context.Esp;
    frame.AddrFrame.Offset = context.Ebp;
#endif
    frame.AddrPC.Mode = frame.AddrStack.Mode = frame.AddrFrame.Mode = AddrModeFlat;
    HANDLE process = ::GetCurrentProcess();
    ::SymInitialize(process, nullptr, TRUE);
    for (int i = 0; i < 32 && ::StackWalk64(machine, process, ::GetCurrentThread(), &frame, &context, nullptr,
                                            ::SymFunctionTableAccess64, ::SymGetModuleBase64, nullptr);
         ++i)
        PrintAddress("frame", frame.AddrPC.Offset);
    std::fflush(stderr);
    return EXCEPTION_CONTINUE_SEARCH;
}

const PVOID g_handler = ::AddVectoredExceptionHandler(1, &Report);

}  // namespace
