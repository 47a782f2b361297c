// Profile text of any bytes: parsing, lookups and edits never crash, and a
// formatted document parses back to the same entries.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/linux/ini_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace eklv::pf::lx;
    std::string text(reinterpret_cast<const char*>(data), size);
    IniDocument doc = ParseIni(text);
    long s = FindIniSection(doc, "CORE_LOGGING");
    FindIniKey(doc, s, "Level");
    SetIniValue(doc, "CORE_LOGGING", "Level", "0x00000007");
    SetIniValue(doc, "x", nullptr, nullptr);
    IniDocument again = ParseIni(FormatIni(doc));
    long k = FindIniKey(again, FindIniSection(again, "core_logging"), "LEVEL");
    if (k < 0 || again.lines[k].value != "0x00000007") __builtin_trap();
    return 0;
}
