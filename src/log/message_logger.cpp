#include "log/message_logger.h"

#include <cstdarg>
#include <cstdio>
#include <new>
#include <string>

#include "core/path_utils.h"
#include "core/settings.h"
#include "platform/clock.h"
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

// Formats into a stack buffer, growing on the heap for long messages.
class FormattedText {
public:
    FormattedText(const char* format, va_list args) {
        va_list copy;
        va_copy(copy, args);
        int n = std::vsnprintf(stack_, sizeof stack_, format, copy);
        va_end(copy);
        if (n < 0) {
            stack_[0] = '\0';
        } else if (static_cast<std::size_t>(n) >= sizeof stack_) {
            heap_.resize(static_cast<std::size_t>(n) + 1);
            std::vsnprintf(heap_.data(), heap_.size(), format, args);
        }
    }
    const char* c_str() const { return heap_.empty() ? stack_ : heap_.c_str(); }

private:
    char stack_[512];
    std::string heap_;
};

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
    WriteIniString("CORE_LOGGING", "Flush", flush_text);  // a failed write-back is ignored
    WriteIniString("CORE_LOGGING", "Level", level_text);
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
    std::string name = GetModuleFolder() + stamp + "EKLV_Core.log";
    if (!file_->Open(name, kFileModeCreate | kFileModeNoTruncate | kFileShareDenyNone | kFileModeReadWrite,
                     nullptr)) {
        file_.reset();
        return false;
    }
    return true;
}

void CKLVMessageLogger::Write(std::uint32_t device_id, std::uint32_t level, std::uint32_t category,
                              const char* message) {
    (void)category;  // carried, neither filtered nor printed
    if (!Passes(level)) return;
    if ((!file_ || !file_->IsOpen()) && !OpenFile()) return;
    pf::LocalTime now = pf::GetLocalTime();
    char head[96];
    const std::uint32_t device = device_id & 0xFFFFu;
    int n;
    if (device == kNoDevice)
        n = std::snprintf(head, sizeof head, "%02d:%02d:%02d.%03d  [TID %04u] [------] ", now.hour, now.minute,
                          now.second, now.millisecond, static_cast<unsigned>(pf::GetCurrentThreadId()));
    else
        n = std::snprintf(head, sizeof head, "%02d:%02d:%02d.%03d  [TID %04u] [DID %u] ", now.hour, now.minute,
                          now.second, now.millisecond, static_cast<unsigned>(pf::GetCurrentThreadId()),
                          static_cast<unsigned>(device));
    (void)n;
    // A failed write or flush drops the line; the file stays open.
    if (file_->WriteString(head) && file_->WriteString(message) && file_->WriteString("\n") && flush_ != 0)
        file_->Flush();
}

void LogMessage(std::uint32_t device_id, std::uint32_t level, std::uint32_t category, const char* format, ...) {
    pf::ScopedLock lock(LogLock());
    if (g_instance == nullptr) CKLVMessageLogger::Initialize();
    CKLVMessageLogger* logger = g_instance;
    // A line the mask filters out is not formatted: nothing observable changes.
    if (logger == nullptr || !logger->Passes(level) || format == nullptr) return;
    va_list args;
    va_start(args, format);
    FormattedText text(format, args);
    va_end(args);
    logger->Write(device_id, level, category, text.c_str());
}

}  // namespace eklv
