#include "common/LineLog.h"

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kestrune {
namespace {

#if defined(_WIN32)
std::string SystemText(DWORD code) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = length > 0 && text ? std::string(text, length) : "error " + std::to_string(code);
    if (text) LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.'))
        result.pop_back();
    return result;
}
#else
std::string SystemText(int code) { return std::strerror(code); }
#endif

std::string NotRegular(const char* kind) { return std::string("it is ") + kind + ", not a regular file"; }

}  // namespace

LineLog::~LineLog() { Close(); }

#if defined(_WIN32)

bool LineLog::IsOpen() const { return file_ != nullptr; }

void LineLog::Close() {
    if (file_) CloseHandle(static_cast<HANDLE>(file_));
    file_ = nullptr;
}

bool LineLog::Open(const std::filesystem::path& path, std::string& problem) {
    Close();
    // Append-only: every write goes to the end, whoever else appends.
    const HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        problem = SystemText(GetLastError());
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const DWORD type = GetFileType(file);
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    if (type != FILE_TYPE_DISK || !known || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(file);
        problem = known && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? "it is a folder"
                  : type == FILE_TYPE_PIPE                                          ? NotRegular("a named pipe")
                  : type == FILE_TYPE_CHAR                                          ? NotRegular("a device")
                                                                                    : "it is not a regular file";
        return false;
    }
    file_ = file;
    lineOpen_ = !EndsWithLineEnd();
    return true;
}

bool LineLog::EndsWithLineEnd() const {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(static_cast<HANDLE>(file_), &size)) return false;
    if (size.QuadPart == 0) return true;
    OVERLAPPED at{};
    const std::uint64_t last = static_cast<std::uint64_t>(size.QuadPart - 1);
    at.Offset = static_cast<DWORD>(last & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(last >> 32);
    char byte = 0;
    DWORD got = 0;
    return ReadFile(static_cast<HANDLE>(file_), &byte, 1, &got, &at) && got == 1 && byte == '\n';
}

bool LineLog::Write(const std::string& bytes, std::string& problem) {
    for (std::size_t done = 0; done < bytes.size();) {
        DWORD written = 0;
        if (!WriteFile(static_cast<HANDLE>(file_), bytes.data() + done, static_cast<DWORD>(bytes.size() - done),
                       &written, nullptr)) {
            problem = SystemText(GetLastError());
            return false;
        }
        if (written == 0) {
            problem = "nothing more could be written";
            return false;
        }
        done += written;
    }
    return true;
}

// The log is opened to append only (every write at the end, whoever else appends), which cannot
// cut it: a failed record's part stays, and the next line starts on a line of its own.
std::optional<std::uint64_t> LineLog::Size() const { return std::nullopt; }
bool LineLog::TruncateTo(std::uint64_t) { return false; }

bool LineLog::Sync(std::string& problem) {
    if (FlushFileBuffers(static_cast<HANDLE>(file_))) return true;
    problem = SystemText(GetLastError());
    return false;
}

#else

bool LineLog::IsOpen() const { return fd_ >= 0; }

void LineLog::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool LineLog::Open(const std::filesystem::path& path, std::string& problem) {
    Close();
    // Read and write: the end is read to tell whether it is a partial line; a log the user may
    // append to but not read is written all the same (its end unknown, the first record starts
    // on a new line). O_NONBLOCK: a named pipe opens at once (and is then refused) instead of
    // waiting for a reader.
    int fd = -1;
    for (const int access : {O_RDWR, O_WRONLY}) {
        do {
            fd = ::open(path.c_str(), access | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0 || errno != EACCES) break;
    }
    if (fd < 0) {
        problem = errno == EISDIR ? "it is a folder" : errno == ENXIO ? "it is not a regular file" : SystemText(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = errno;
        const mode_t mode = st.st_mode;
        ::close(fd);
        problem = mode == 0                            ? SystemText(error)
                  : S_ISDIR(mode)                      ? "it is a folder"
                  : S_ISFIFO(mode)                     ? NotRegular("a named pipe (FIFO)")
                  : S_ISCHR(mode) || S_ISBLK(mode)     ? NotRegular("a device")
                  : S_ISSOCK(mode)                     ? NotRegular("a socket")
                                                       : "it is not a regular file";
        return false;
    }
    fd_ = fd;
    lineOpen_ = !EndsWithLineEnd();
    return true;
}

bool LineLog::EndsWithLineEnd() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return false;
    if (st.st_size == 0) return true;
    char byte = 0;
    ssize_t got;
    do {
        got = ::pread(fd_, &byte, 1, st.st_size - 1);
    } while (got < 0 && errno == EINTR);
    return got == 1 && byte == '\n';
}

bool LineLog::Write(const std::string& bytes, std::string& problem) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            problem = n < 0 ? SystemText(errno) : "nothing more could be written";
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<std::uint64_t> LineLog::Size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

bool LineLog::TruncateTo(std::uint64_t size) {
    int result;
    do {
        result = ::ftruncate(fd_, static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

bool LineLog::Sync(std::string& problem) {
    int result;
    do {
        result = ::fsync(fd_);
    } while (result != 0 && errno == EINTR);
    if (result == 0) return true;
    problem = SystemText(errno);
    return false;
}

#endif

bool LineLog::Append(std::string_view line, std::string& problem) {
    if (!IsOpen()) {
        problem = "the log is not open";
        return false;
    }
    std::string bytes;
    bytes.reserve(line.size() + 2);
    if (lineOpen_) bytes += '\n';  // after a partial line: never glued to it
    bytes.append(line);
    bytes += '\n';
    const std::optional<std::uint64_t> before = Size();
    if (!Write(bytes, problem)) {
        // Part of it may be there: it is cut off again, so that every line stays a whole record;
        // where that fails, what the file ends in decides how the next line starts.
        if (before && Size() != before) TruncateTo(*before);
        lineOpen_ = !EndsWithLineEnd();
        return false;
    }
    lineOpen_ = false;
    return Sync(problem);
}

}  // namespace kestrune
