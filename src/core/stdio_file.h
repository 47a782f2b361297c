// A buffered text file opened through the long-path form of its name.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace eklv {

// Open flags, as the framework's file class numbers them.
inline constexpr std::uint32_t kFileModeRead = 0x0000;
inline constexpr std::uint32_t kFileModeWrite = 0x0001;
inline constexpr std::uint32_t kFileModeReadWrite = 0x0002;
inline constexpr std::uint32_t kFileShareCompat = 0x0000;
inline constexpr std::uint32_t kFileShareExclusive = 0x0010;
inline constexpr std::uint32_t kFileShareDenyWrite = 0x0020;
inline constexpr std::uint32_t kFileShareDenyRead = 0x0030;
inline constexpr std::uint32_t kFileShareDenyNone = 0x0040;
inline constexpr std::uint32_t kFileModeCreate = 0x1000;
inline constexpr std::uint32_t kFileModeNoTruncate = 0x2000;
inline constexpr std::uint32_t kFileTypeText = 0x4000;
inline constexpr std::uint32_t kFileTypeBinary = 0x8000;
// Ours: refuse a symbolic link or another user's file at that name.
inline constexpr std::uint32_t kFileOwnFileOnly = 0x10000;

struct FileError {
    std::uint32_t os_error = 0;
    std::string file_name;
};

// The C stream mode for a set of open flags: "r", "a" or "w", then "+"
// where the flags ask for both directions, then "t" or "b".
std::string StreamModeForFlags(std::uint32_t flags);

class CKLVStdioFile {
public:
    CKLVStdioFile() = default;
    ~CKLVStdioFile();
    CKLVStdioFile(const CKLVStdioFile&) = delete;
    CKLVStdioFile& operator=(const CKLVStdioFile&) = delete;

    // Opens path (after MakeLongPath) with the given flags. False with the
    // error record filled (when given) on failure.
    bool Open(const std::string& path, std::uint32_t flags, FileError* error);
    bool IsOpen() const { return stream_ != nullptr; }
    // False on a write error; the file stays open.
    bool WriteString(const char* text);
    bool Write(const char* data, std::size_t length);
    bool Flush();
    void Close();
    const std::string& GetFilePath() const { return path_; }
    void SetFilePath(const std::string& path) { path_ = path; }

private:
    std::FILE* stream_ = nullptr;
    std::string path_;
};

}  // namespace eklv
