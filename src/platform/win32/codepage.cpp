// UTF-16 to the system code page.
#include "platform/codepage.h"

#include <windows.h>

#include <climits>

namespace eklv::pf {

bool WideToSystemCodePage(const char16_t* text, std::size_t count, std::size_t max_bytes, std::string* out) {
    if (count == 0) {
        out->clear();
        return true;
    }
    if (text == nullptr || count > INT_MAX) return false;
    const auto* wide = reinterpret_cast<const wchar_t*>(text);
    int needed = ::WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(count), nullptr, 0, nullptr, nullptr);
    if (needed <= 0 || static_cast<std::size_t>(needed) > max_bytes) return false;
    std::string result(static_cast<std::size_t>(needed), '\0');
    if (::WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(count), result.data(), needed, nullptr, nullptr) !=
        needed)
        return false;
    *out = std::move(result);
    return true;
}

}  // namespace eklv::pf
