// Test folders on Windows: a new folder under GetTempPathA, LoadLibraryA.
#include "support/lib_folder.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace eklv::test {

const char* const kLibraryFileName = "eklv.dll";

TempFolder::TempFolder() {
    char base[MAX_PATH];
    DWORD n = GetTempPathA(sizeof base, base);
    for (unsigned attempt = 0; n != 0 && attempt < 100; ++attempt) {
        std::string candidate = std::string(base) + "eklv-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                                std::to_string(GetTickCount() + attempt);
        if (CreateDirectoryA(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
    }
    ADD_FAILURE() << "cannot create a temporary folder";
}

bool LoadedLibrary::Open(std::string* error) {
    handle_ = LoadLibraryA(File(kLibraryFileName).c_str());
    if (handle_ == nullptr) *error = "LoadLibraryA: error " + std::to_string(GetLastError());
    return handle_ != nullptr;
}

LoadedLibrary::~LoadedLibrary() {
    if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
}

void* LoadedLibrary::Symbol(const char* name) const {
    return handle_ ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name)) : nullptr;
}

}  // namespace eklv::test
