// Profile functions over ini_text: every call reads the file afresh, every
// write replaces the whole file (written beside it, then renamed).
#include "platform/profile.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/handle.h"
#include "platform/linux/ini_text.h"

namespace eklv::pf {
namespace {

std::mutex& ProfileMutex() {
    static std::mutex m;  // serialises access as the system does
    return m;
}

lx::IniDocument Load(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return {};
    std::ostringstream text;
    text << in.rdbuf();
    return lx::ParseIni(text.str());
}

// Copies a list of strings into buffer as NUL-separated items ending with
// an extra NUL, cutting what does not fit.
std::uint32_t CopyList(const std::vector<std::string>& items, char* buffer, std::uint32_t size) {
    if (buffer == nullptr || size == 0) return 0;
    if (size == 1) {
        buffer[0] = '\0';
        return 0;
    }
    std::uint32_t pos = 0;
    for (const std::string& item : items) {
        for (char c : item) {
            if (pos + 2 >= size) goto full;
            buffer[pos++] = c;
        }
        if (pos + 2 >= size) goto full;
        buffer[pos++] = '\0';
    }
    buffer[pos] = '\0';
    return pos;
full:
    buffer[pos] = '\0';
    buffer[pos + 1] = '\0';
    return size - 2;
}

}  // namespace

std::uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* default_value,
                                       char* buffer, std::uint32_t size, const std::string& file) {
    if (buffer == nullptr || size == 0) return 0;
    std::string value = default_value != nullptr ? default_value : "";
    if (section != nullptr && key != nullptr) {
        std::lock_guard<std::mutex> lock(ProfileMutex());
        lx::IniDocument doc = Load(file);
        long k = lx::FindIniKey(doc, lx::FindIniSection(doc, section), key);
        if (k >= 0) value = doc.lines[k].value;
    }
    std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(value.size(), size - 1));
    std::memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
    // A value with an embedded NUL ends there, as a C string does.
    return static_cast<std::uint32_t>(std::strlen(buffer));
}

bool WritePrivateProfileStringA(const char* section, const char* key, const char* value, const std::string& file) {
    if (section == nullptr || file.empty()) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    std::lock_guard<std::mutex> lock(ProfileMutex());
    lx::IniDocument doc = Load(file);
    lx::SetIniValue(doc, section, key, value);
    std::string temp = file + ".tmp" + std::to_string(getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) {
            SetLastError(kErrorAccessDenied);
            return false;
        }
        out << lx::FormatIni(doc);
        if (!out.flush()) {
            out.close();
            std::remove(temp.c_str());
            SetLastError(kErrorAccessDenied);
            return false;
        }
    }
    if (std::rename(temp.c_str(), file.c_str()) != 0) {
        std::remove(temp.c_str());
        SetLastError(kErrorAccessDenied);
        return false;
    }
    return true;
}

std::uint32_t GetPrivateProfileSectionNamesA(char* buffer, std::uint32_t size, const std::string& file) {
    std::vector<std::string> names;
    {
        std::lock_guard<std::mutex> lock(ProfileMutex());
        lx::IniDocument doc = Load(file);
        for (const auto& line : doc.lines)
            if (line.kind == lx::IniLine::kSection) names.push_back(line.name);
    }
    return CopyList(names, buffer, size);
}

std::uint32_t GetPrivateProfileSectionA(const char* section, char* buffer, std::uint32_t size,
                                        const std::string& file) {
    std::vector<std::string> lines;
    if (section != nullptr) {
        std::lock_guard<std::mutex> lock(ProfileMutex());
        lx::IniDocument doc = Load(file);
        long s = lx::FindIniSection(doc, section);
        if (s >= 0) {
            for (std::size_t i = static_cast<std::size_t>(s) + 1; i < doc.lines.size(); ++i) {
                const auto& line = doc.lines[i];
                if (line.kind == lx::IniLine::kSection) break;
                if (line.kind == lx::IniLine::kEntry)
                    lines.push_back(line.name + "=" + line.value);
                else if (!line.text.empty() && line.text[0] != ';')
                    lines.push_back(line.text);
            }
        }
    }
    return CopyList(lines, buffer, size);
}

}  // namespace eklv::pf
