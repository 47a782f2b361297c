// Test folders on Linux: mkdtemp, dlopen, and the core's module name.
#include "support/lib_folder.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <vector>

#include "platform/linux/module_override.h"

namespace eklv::test {

const char* const kLibraryFileName = "libeklv.so";

TempFolder::TempFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/eklv-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = name.data();
}

ModuleFolder::ModuleFolder(const std::string& ini_text) {
    if (!ini_text.empty()) Write("eklv.ini", ini_text);
    pf::lx::OverrideModuleFileName(File("libeklv.so"));
}

ModuleFolder::~ModuleFolder() { pf::lx::OverrideModuleFileName(""); }

bool LoadedLibrary::Open(std::string* error) {
    handle_ = dlopen(File(kLibraryFileName).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) *error = std::string("dlopen: ") + dlerror();
    return handle_ != nullptr;
}

LoadedLibrary::~LoadedLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
}

void* LoadedLibrary::Symbol(const char* name) const { return handle_ ? dlsym(handle_, name) : nullptr; }

}  // namespace eklv::test
