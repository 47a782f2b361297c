// Text form of profile (ini) files, kept free of I/O so it can be tested
// with tables of cases and fuzzed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace eklv::pf::lx {

struct IniLine {
    enum Kind { kOther, kSection, kEntry } kind = kOther;
    std::string text;   // the raw line without its line end
    std::string name;   // section name or key, trimmed
    std::string value;  // entry value, trimmed, outer quotes removed
};

struct IniDocument {
    std::vector<IniLine> lines;
    bool crlf = false;  // the file used CR LF line ends
};

IniDocument ParseIni(std::string_view text);
std::string FormatIni(const IniDocument& doc);

// Case-insensitive (ASCII) name comparison, as profile names compare.
bool IniNameEquals(std::string_view a, std::string_view b);

// Index of the first section line of that name, or -1.
long FindIniSection(const IniDocument& doc, std::string_view section);
// Index of the first entry of that key inside the section starting at
// section_line, or -1.
long FindIniKey(const IniDocument& doc, long section_line, std::string_view key);

// Sets, adds or (value null) deletes an entry; key null deletes the section.
void SetIniValue(IniDocument& doc, std::string_view section, const char* key, const char* value);

}  // namespace eklv::pf::lx
