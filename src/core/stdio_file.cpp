#include "core/stdio_file.h"

#include <cerrno>

#include "core/path_utils.h"
#include "platform/folders.h"
#include "platform/handle.h"

namespace eklv {

std::string StreamModeForFlags(std::uint32_t flags) {
    const std::uint32_t access = flags & 3;
    char letter;
    if ((flags & kFileModeCreate) == 0)
        letter = (access & kFileModeWrite) ? 'a' : 'r';
    else
        letter = (flags & kFileModeNoTruncate) ? 'a' : 'w';
    std::string mode(1, letter);
    if ((letter == 'r' && (access & kFileModeReadWrite)) || (letter != 'r' && !(access & kFileModeWrite)))
        mode += '+';
    mode += (flags & kFileTypeBinary) ? 'b' : 't';
    return mode;
}

CKLVStdioFile::~CKLVStdioFile() { Close(); }

bool CKLVStdioFile::Open(const std::string& path, std::uint32_t flags, FileError* error) {
    Close();
    path_.clear();
    std::string name = MakeLongPath(path);
    std::string mode = StreamModeForFlags(flags);
    // The C library opens the handle and wraps it in a stream in one step;
    // on a read-only open without the create flag a missing file fails here.
    std::FILE* stream = (flags & kFileOwnFileOnly) != 0 ? pf::OpenOwnFile(name, mode.c_str())
                                                        : std::fopen(name.c_str(), mode.c_str());
    if (stream == nullptr) {
        if (error != nullptr) {
            error->os_error = (flags & kFileOwnFileOnly) != 0 ? pf::GetLastError() : static_cast<std::uint32_t>(errno);
            error->file_name = path;
        }
        return false;
    }
    stream_ = stream;
    path_ = path;
    return true;
}

bool CKLVStdioFile::WriteString(const char* text) {
    if (stream_ == nullptr) return false;
    return std::fputs(text, stream_) >= 0;
}

bool CKLVStdioFile::Write(const char* data, std::size_t length) {
    if (stream_ == nullptr) return false;
    return std::fwrite(data, 1, length, stream_) == length;
}

bool CKLVStdioFile::Flush() { return stream_ != nullptr && std::fflush(stream_) == 0; }

void CKLVStdioFile::Close() {
    if (stream_ != nullptr) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
}

}  // namespace eklv
