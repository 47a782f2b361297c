#include "udev_rules.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>

#include "commands.h"
#include "library.h"

namespace eklvctl {
namespace {

// The vendor whose products the library also checks against PID_LIST.
constexpr const char* kListedVendor = "6b4d";

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool IsHex4(const std::string& text, std::size_t at) {
    if (at + 4 > text.size()) return false;
    for (std::size_t i = at; i < at + 4; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

// The library accepts a product when its four digits occur anywhere in
// PID_LIST, so every four hex digits in a row of the list are products.
std::vector<std::string> ListedProducts(const std::string& list) {
    std::vector<std::string> products;
    std::string lower = Lower(list);
    for (std::size_t i = 0; i + 4 <= lower.size(); ++i) {
        if (!IsHex4(lower, i)) continue;
        std::string pid = lower.substr(i, 4);
        bool known = false;
        for (const auto& p : products) known = known || p == pid;
        if (!known) products.push_back(pid);
    }
    return products;
}

int Fail(int code, const std::string& message) {
    std::cerr << "eklvctl: udev-rules: " << message << std::endl;
    return code;
}

}  // namespace

std::vector<UdevMatch> SupportedPhones(const IniFile& ini, std::vector<std::string>* skipped) {
    static const std::regex kVid("vid_([0-9a-f]{4})");
    static const std::regex kPid("pid_([0-9a-f]{4})");
    std::vector<UdevMatch> matches;
    for (int n = 0;; ++n) {
        std::string key = "VID_" + std::to_string(n);
        std::optional<std::string> value = ini.Get("VID_FILTER", key);
        if (!value || value->empty()) break;
        std::string text = Lower(*value);
        std::smatch vid;
        if (!std::regex_search(text, vid, kVid)) {
            if (skipped != nullptr) skipped->push_back(key + "=" + *value);
            continue;
        }
        UdevMatch match{vid[1].str(), {}};
        std::smatch pid;
        if (std::regex_search(text, pid, kPid)) match.products.push_back(pid[1].str());
        if (match.vendor == kListedVendor) {
            std::vector<std::string> listed = ListedProducts(ini.Get("MTK_SMART_PID_FILTER", "PID_LIST").value_or(""));
            if (match.products.empty()) {
                match.products = listed;
            } else if (std::find(listed.begin(), listed.end(), match.products[0]) == listed.end()) {
                match.products.clear();
            }
            if (match.products.empty()) continue;  // the library accepts none of this vendor's products
        }
        matches.push_back(std::move(match));
    }
    return matches;
}

std::string UdevRulesText(const std::vector<UdevMatch>& matches, const std::string& source) {
    std::ostringstream out;
    out << "# Made by \"eklvctl udev-rules\" from " << source << ".\n"
        << "# The tty nodes of the phones it supports belong to group dialout with\n"
        << "# mode 0660, and ModemManager leaves those phones alone.\n"
        << "ACTION==\"remove\", GOTO=\"eklv_end\"\n";
    auto each = [&](const UdevMatch& m, auto&& write) {
        if (m.products.empty()) write(m.vendor, "");
        for (const auto& p : m.products) write(m.vendor, p);
    };
    for (const auto& m : matches) {
        each(m, [&](const std::string& vendor, const std::string& product) {
            std::string ids = "ATTR{idVendor}==\"" + vendor + "\"";
            if (!product.empty()) ids += ", ATTR{idProduct}==\"" + product + "\"";
            std::string parent_ids = std::regex_replace(ids, std::regex("ATTR\\{"), "ATTRS{");
            out << "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", " << ids
                << ", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n";
            out << "SUBSYSTEM==\"tty\", " << parent_ids
                << ", GROUP=\"dialout\", MODE=\"0660\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n";
        });
    }
    out << "LABEL=\"eklv_end\"\n";
    return out.str();
}

int RunUdevRules(const UdevRulesOptions& options) {
    std::string path = options.ini;
    if (path.empty()) {
        std::string error;
        auto library = Library::Load(options.library.empty() ? DefaultLibraryPath() : options.library, &error);
        if (!library) return Fail(kExitSetup, error + " (needed to find eklv.ini; or give --ini)");
        path = library->SettingsFolder() + "/eklv.ini";
    }
    std::optional<IniFile> ini = IniFile::Load(path);
    if (!ini) return Fail(kExitSetup, "cannot read " + path + " (give the eklv.ini of the station with --ini)");
    std::vector<std::string> skipped;
    std::vector<UdevMatch> matches = SupportedPhones(*ini, &skipped);
    for (const auto& s : skipped)
        std::cerr << "eklvctl: udev-rules: " << path << ": [VID_FILTER] " << s << " names no vendor id (vid_xxxx); no rule for it"
                  << std::endl;
    if (matches.empty()) return Fail(kExitSetup, path + ": no phone is supported ([VID_FILTER] and PID_LIST)");
    std::string text = UdevRulesText(matches, path);
    if (options.output.empty()) {
        std::cout << text << std::flush;
        return kExitOk;
    }
    std::ofstream out(options.output, std::ios::binary | std::ios::trunc);
    if (!(out << text) || !out.flush()) return Fail(kExitFailed, "cannot write " + options.output);
    return kExitOk;
}

}  // namespace eklvctl
