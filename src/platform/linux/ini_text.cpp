// Parsing and formatting of profile (ini) text with the Windows rules.
#include "platform/linux/ini_text.h"

#include <cstring>

namespace eklv::pf::lx {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string Trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return std::string(s.substr(b, e - b));
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

IniLine Classify(std::string raw) {
    IniLine line;
    line.text = std::move(raw);
    std::string t = Trim(line.text);
    if (t.size() >= 2 && t.front() == '[') {
        std::size_t close = t.find(']');
        if (close != std::string::npos) {
            line.kind = IniLine::kSection;
            line.name = Trim(std::string_view(t).substr(1, close - 1));
            return line;
        }
    }
    std::size_t eq = t.find('=');
    if (eq != std::string::npos && eq > 0) {
        line.kind = IniLine::kEntry;
        line.name = Trim(std::string_view(t).substr(0, eq));
        std::string v = Trim(std::string_view(t).substr(eq + 1));
        if (v.size() >= 2 && ((v.front() == '"' && v.back() == '"') || (v.front() == '\'' && v.back() == '\'')))
            v = v.substr(1, v.size() - 2);
        line.value = std::move(v);
    }
    return line;
}

long SectionEnd(const IniDocument& doc, long section_line) {
    long i = section_line + 1;
    while (i < static_cast<long>(doc.lines.size()) && doc.lines[i].kind != IniLine::kSection) ++i;
    return i;
}

}  // namespace

bool IniNameEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

IniDocument ParseIni(std::string_view text) {
    IniDocument doc;
    if (text.size() >= 3 && std::memcmp(text.data(), "\xEF\xBB\xBF", 3) == 0) text.remove_prefix(3);
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        std::size_t end = nl == std::string_view::npos ? text.size() : nl;
        std::string_view raw = text.substr(pos, end - pos);
        if (!raw.empty() && raw.back() == '\r') {
            raw.remove_suffix(1);
            doc.crlf = true;
        }
        doc.lines.push_back(Classify(std::string(raw)));
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
    }
    return doc;
}

std::string FormatIni(const IniDocument& doc) {
    std::string out;
    const char* eol = doc.crlf ? "\r\n" : "\n";
    for (const IniLine& line : doc.lines) {
        out += line.text;
        out += eol;
    }
    return out;
}

long FindIniSection(const IniDocument& doc, std::string_view section) {
    for (std::size_t i = 0; i < doc.lines.size(); ++i)
        if (doc.lines[i].kind == IniLine::kSection && IniNameEquals(doc.lines[i].name, section))
            return static_cast<long>(i);
    return -1;
}

long FindIniKey(const IniDocument& doc, long section_line, std::string_view key) {
    if (section_line < 0) return -1;
    long end = SectionEnd(doc, section_line);
    for (long i = section_line + 1; i < end; ++i)
        if (doc.lines[i].kind == IniLine::kEntry && IniNameEquals(doc.lines[i].name, key)) return i;
    return -1;
}

void SetIniValue(IniDocument& doc, std::string_view section, const char* key, const char* value) {
    long s = FindIniSection(doc, section);
    if (key == nullptr) {
        if (s >= 0) doc.lines.erase(doc.lines.begin() + s, doc.lines.begin() + SectionEnd(doc, s));
        return;
    }
    long k = FindIniKey(doc, s, key);
    if (value == nullptr) {
        if (k >= 0) doc.lines.erase(doc.lines.begin() + k);
        return;
    }
    if (k >= 0) {
        doc.lines[k] = Classify(doc.lines[k].name + "=" + value);  // the key keeps its spelling
        return;
    }
    IniLine entry = Classify(std::string(key) + "=" + value);
    if (s < 0) {
        std::string header = "[";
        header.append(section).append("]");
        doc.lines.push_back(Classify(std::move(header)));
        doc.lines.push_back(std::move(entry));
        return;
    }
    // After the last non-blank line of the section.
    long insert = SectionEnd(doc, s);
    while (insert > s + 1 && Trim(doc.lines[insert - 1].text).empty()) --insert;
    doc.lines.insert(doc.lines.begin() + insert, std::move(entry));
}

}  // namespace eklv::pf::lx
