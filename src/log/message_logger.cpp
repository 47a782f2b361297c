#include "log/message_logger.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "core/settings.h"
#include "platform/clock.h"
#include "platform/folders.h"
#include "platform/handle.h"
#include "platform/module.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace eklv {
namespace {

pf::CriticalSection& LogLock() {
    static pf::CriticalSection lock;
    return lock;
}

CKLVMessageLogger* g_instance = nullptr;

// A host that unloads the library without uninitialising it still gets its
// log file closed; the settings are not written back then.
struct LoggerReaper {
    ~LoggerReaper() {
        delete g_instance;
        g_instance = nullptr;
    }
} g_reaper;

// Writes n decimal digits, zero-padded.
char* PutDigits(char* out, unsigned value, int n) {
    for (int i = n - 1; i >= 0; --i, value /= 10) out[i] = static_cast<char>('0' + value % 10);
    return out + n;
}

// Writes an unsigned number with at least min_digits digits.
char* PutNumber(char* out, unsigned value, int min_digits) {
    char digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n < min_digits) digits[n++] = '0';
    while (n > 0) *out++ = digits[--n];
    return out;
}

char* PutText(char* out, const char* text) {
    while (*text) *out++ = *text++;
    return out;
}

// "HH:MM:SS.mmm  [TID nnnn] [DID d] " or "... [------] "; answers its length.
std::size_t FormatHead(char* out, std::uint32_t device_id) {
    char* p = out;
    pf::LocalTime now = pf::GetLocalTime();
    p = PutDigits(p, static_cast<unsigned>(now.hour), 2);
    *p++ = ':';
    p = PutDigits(p, static_cast<unsigned>(now.minute), 2);
    *p++ = ':';
    p = PutDigits(p, static_cast<unsigned>(now.second), 2);
    *p++ = '.';
    p = PutDigits(p, static_cast<unsigned>(now.millisecond), 3);
    p = PutText(p, "  [TID ");
    p = PutNumber(p, pf::GetCurrentThreadId(), 4);
    p = PutText(p, "] ");
    const std::uint32_t device = device_id & 0xFFFFu;
    if (device == kNoDevice) {
        p = PutText(p, "[------] ");
    } else {
        p = PutText(p, "[DID ");
        p = PutNumber(p, device, 1);
        p = PutText(p, "] ");
    }
    return static_cast<std::size_t>(p - out);
}

}  // namespace

CKLVMessageLogger::~CKLVMessageLogger() = default;

CKLVMessageLogger* CKLVMessageLogger::PeekInstance() { return g_instance; }

CKLVMessageLogger* CKLVMessageLogger::GetInstance() {
    pf::ScopedLock lock(LogLock());
    if (g_instance == nullptr) Initialize();
    return g_instance;
}

bool CKLVMessageLogger::Initialize() {
    pf::ScopedLock lock(LogLock());
    if (g_instance == nullptr) {
        // Published before any setting is read: a log call made while the
        // settings are read finds this logger and, with mask 0, writes nothing.
        g_instance = new (std::nothrow) CKLVMessageLogger;
        if (g_instance == nullptr) return true;
        std::string token;
        if (GetIniField("CORE_LOGGING", "Level", 0, &token) == kIniOk) {
            unsigned int mask = 0;
            if (std::sscanf(token.c_str(), "%x", &mask) == 1) g_instance->level_mask_ = mask;
        }
        if (GetIniField("CORE_LOGGING", "Flush", 0, &token) == kIniOk) {
            int flush = 0;
            if (std::sscanf(token.c_str(), "%d", &flush) == 1) g_instance->flush_ = static_cast<std::uint32_t>(flush);
        }
    }
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVMessageLogger::Initialize - OK");
    return true;
}

bool CKLVMessageLogger::UnInitialize() {
    pf::ScopedLock lock(LogLock());
    if (g_instance == nullptr) return true;
    char flush_text[16];
    char level_text[16];
    std::snprintf(flush_text, sizeof flush_text, "%d", static_cast<int>(g_instance->flush_));
    std::snprintf(level_text, sizeof level_text, "0x%08x", static_cast<unsigned>(g_instance->level_mask_));
    // A settings folder the user may not change (the installed one) keeps
    // its values; that is worth one line, not a failure.
    bool written = WriteIniString("CORE_LOGGING", "Flush", flush_text) == kIniOk;
    written = WriteIniString("CORE_LOGGING", "Level", level_text) == kIniOk && written;
    if (!written)
        LogMessage(kNoDevice, kLogWarning, kCatGeneral,
                   "CKLVMessageLogger::UnInitialize - Can NOT write Level and Flush back to [%s]",
                   GetIniFilePath().c_str());
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVMessageLogger::UnInitialize() - Flush[%d], loglevel[%s]",
               static_cast<int>(g_instance->flush_), level_text);
    delete g_instance;
    g_instance = nullptr;
    return true;
}

void CKLVMessageLogger::SetLogging(const LogSettings* settings) {
    if (settings == nullptr) return;
    level_mask_ = settings->level_mask;
    flush_ = settings->flush;
}

LogSettings CKLVMessageLogger::GetLogging() const { return LogSettings{level_mask_, flush_}; }

bool CKLVMessageLogger::Passes(std::uint32_t level) const { return (level_mask_ & level) == level; }

bool CKLVMessageLogger::OpenFile() {
    if (!file_) {
        file_.reset(new (std::nothrow) CKLVStdioFile);
        if (!file_) return false;
    }
    pf::LocalTime now = pf::GetLocalTime();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d_%02d_%02d_%02d_", now.month, now.day, now.hour, now.minute);
    FolderChoice folder = GetLogFolder();
    if (folder.source == FolderSource::kNone) {
        ReportOnce("", "there is no folder for the core log: set EKLV_LOG_DIR to a folder this user can write");
        file_.reset();
        return false;
    }
    std::string name = JoinPath(folder.folder, std::string(stamp) + "EKLV_Core.log", pf::PathSeparator());
    // The name is predictable: in a folder others can write, a planted link
    // or file must not take the lines.
    FileError error;
    if (!file_->Open(name,
                     kFileModeCreate | kFileModeNoTruncate | kFileShareDenyNone | kFileModeReadWrite | kFileOwnFileOnly,
                     &error)) {
        std::string why = error.os_error == pf::kErrorFileNotFound ? "the folder does not exist"
                          : error.os_error == pf::kErrorAccessDenied
                              ? "access is denied, or the name is a link or another user's file"
                              : "it cannot be opened";
        ReportOnce(folder.folder, "cannot write the core log " + name + " (" +
                                      DescribeSource(folder.source, true) + "): " + why +
                                      "; make the folder writable for this user or set EKLV_LOG_DIR to one that is");
        file_.reset();
        return false;
    }
    return true;
}

void CKLVMessageLogger::ReportOnce(const std::string& folder, const std::string& text) {
    // Every line retries the open; the reason is told once per folder.
    if (reported_ && reported_folder_ == folder) return;
    reported_ = true;
    reported_folder_ = folder;
    pf::OutputDebugStringA(text.c_str());
}

void CKLVMessageLogger::Write(std::uint32_t device_id, std::uint32_t level, std::uint32_t category,
                              const char* format, va_list args) {
    (void)category;  // carried, neither filtered nor printed
    if (!Passes(level)) return;
    if ((!file_ || !file_->IsOpen()) && !OpenFile()) return;
    // The line is built in one buffer and handed to the stream in one call.
    char stack[768];
    std::size_t head = FormatHead(stack, device_id);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(stack + head, sizeof stack - head - 1, format, copy);
    va_end(copy);
    if (n < 0) n = 0;
    std::string heap;
    char* line = stack;
    if (head + static_cast<std::size_t>(n) + 2 > sizeof stack) {
        heap.resize(head + static_cast<std::size_t>(n) + 2);
        std::memcpy(heap.data(), stack, head);
        std::vsnprintf(heap.data() + head, static_cast<std::size_t>(n) + 1, format, args);
        line = heap.data();
    }
    std::size_t length = head + static_cast<std::size_t>(n);
    line[length++] = '\n';
    // A failed write or flush drops the line; the file stays open.
    if (file_->Write(line, length) && flush_ != 0) file_->Flush();
}

void LogMessage(std::uint32_t device_id, std::uint32_t level, std::uint32_t category, const char* format, ...) {
    pf::ScopedLock lock(LogLock());
    if (g_instance == nullptr) CKLVMessageLogger::Initialize();
    CKLVMessageLogger* logger = g_instance;
    // A line the mask filters out is not formatted: nothing observable changes.
    if (logger == nullptr || !logger->Passes(level) || format == nullptr) return;
    va_list args;
    va_start(args, format);
    logger->Write(device_id, level, category, format, args);
    va_end(args);
}

}  // namespace eklv
