// The core log: one process-wide call that every part of the library uses.
//
// Lines are filtered by a level mask, stamped with time, thread and device,
// and appended to "MM_DD_HH_MM_EKLV_Core.log" in the log folder
// (core/folder_rules.h). Level mask and flush flag come from [CORE_LOGGING]
// of eklv.ini and are written back there when the logger is destroyed; a
// log folder that cannot be written is told once on the process's error
// channel, and the lines are dropped until it can.
#pragma once

#include <cstdint>
#include <atomic>
#include <cstdarg>
#include <memory>
#include <string>

#include "core/stdio_file.h"

namespace eklv {

// Levels are bits; a line is written when every bit of its level is set in
// the mask.
inline constexpr std::uint32_t kLogInfo = 1;
inline constexpr std::uint32_t kLogWarning = 2;
inline constexpr std::uint32_t kLogError = 4;

// Categories travel with the line but are neither filtered nor printed.
inline constexpr std::uint32_t kCatApi = 0;      // entry and exit of exported functions
inline constexpr std::uint32_t kCatMessage = 1;  // message traffic
inline constexpr std::uint32_t kCatGeneral = 2;

inline constexpr std::uint32_t kNoDevice = 65535;

// Formats and writes one line (printf conventions). The low 16 bits of
// device_id name the device; 65535 prints "[------]". Never fails, never
// throws; creates the logger on first use.
void LogMessage(std::uint32_t device_id, std::uint32_t level, std::uint32_t category, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

struct LogSettings {
    std::uint32_t level_mask;
    std::uint32_t flush;
};

class CKLVMessageLogger {
public:
    virtual ~CKLVMessageLogger();

    // Creates the logger when absent and reads Level and Flush; answers true.
    static bool Initialize();
    // Writes Level and Flush back to eklv.ini, logs, destroys the logger.
    static bool UnInitialize();
    // The logger, created through Initialize when absent.
    static CKLVMessageLogger* GetInstance();
    // The logger or null, without creating it.
    static CKLVMessageLogger* PeekInstance();

    // Replaces both settings at once; no lock (each word is read atomically
    // by a line being written meanwhile).
    void SetLogging(const LogSettings* settings);
    LogSettings GetLogging() const;

    // Formats and writes one line when the level passes the mask.
    void Write(std::uint32_t device_id, std::uint32_t level, std::uint32_t category, const char* format,
               va_list args);
    bool Passes(std::uint32_t level) const;

private:
    CKLVMessageLogger() = default;
    bool OpenFile();
    void ReportOnce(const std::string& folder, const std::string& text);

    std::atomic<std::uint32_t> flush_{1};
    std::atomic<std::uint32_t> level_mask_{0};
    std::unique_ptr<CKLVStdioFile> file_;
    bool reported_ = false;
    std::string reported_folder_;
};

}  // namespace eklv
