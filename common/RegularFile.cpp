#include "common/RegularFile.h"

#include "common/Translate.h"

#include <algorithm>
#include <utility>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace kestrune {
namespace {

// Reads on into bytes from got until limit bytes are there or the file ends. False on a read error.
#if defined(_WIN32)
bool ReadInto(HANDLE file, std::string& bytes, std::size_t& got, std::size_t limit) {
    while (got < limit) {
        DWORD n = 0;
        const auto want = static_cast<DWORD>(std::min<std::size_t>(limit - got, std::size_t{1} << 30));
        if (!ReadFile(file, bytes.data() + got, want, &n, nullptr)) return false;
        if (n == 0) break;
        got += n;
    }
    return true;
}
#else
bool ReadInto(int file, std::string& bytes, std::size_t& got, std::size_t limit) {
    while (got < limit) {
        const ssize_t n = ::read(file, bytes.data() + got, limit - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return true;
}
#endif

}  // namespace

FileBytes ReadFileBytes(const std::filesystem::path& path, std::uint64_t maxBytes) {
    namespace fs = std::filesystem;
    FileBytes file;
    auto cannotOpen = [&] {
        std::error_code ec;
        const fs::file_type type = fs::status(path, ec).type();
        file.error = type == fs::file_type::not_found ? FileError::NotFound
                     : type == fs::file_type::directory ? FileError::Folder
                                                        : FileError::CannotOpen;
    };
#if defined(_WIN32)
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        cannotOpen();
        return file;
    }
    struct Closer {
        HANDLE h;
        ~Closer() { CloseHandle(h); }
    } closer{handle};
    BY_HANDLE_FILE_INFORMATION info{};
    const DWORD type = GetFileType(handle);
    const bool known = GetFileInformationByHandle(handle, &info) != 0;
    if (type != FILE_TYPE_DISK || !known || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        const bool folder = known && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        file.error = folder ? FileError::Folder : FileError::NotRegular;
        file.kind = folder ? "" : type == FILE_TYPE_PIPE ? N_("a named pipe") : type == FILE_TYPE_CHAR ? N_("a device") : "";
        return file;
    }
    file.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
#else
    int handle;
    do {
        handle = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (handle < 0 && errno == EINTR);
    if (handle < 0) {
        cannotOpen();
        return file;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{handle};
    struct stat st {};
    if (::fstat(handle, &st) != 0 || !S_ISREG(st.st_mode)) {
        const mode_t mode = st.st_mode;
        file.error = S_ISDIR(mode) ? FileError::Folder : FileError::NotRegular;
        file.kind = S_ISFIFO(mode)                     ? N_("a named pipe (FIFO)")
                    : S_ISCHR(mode) || S_ISBLK(mode)   ? N_("a device")
                    : S_ISSOCK(mode)                   ? N_("a socket")
                                                       : "";
        return file;
    }
    file.size = static_cast<std::uint64_t>(st.st_size);
#endif
    if (file.size > maxBytes) {
        file.error = FileError::TooLarge;
        return file;
    }
    // One read of what fstat gave and one byte more, to notice a file that has grown since; such a
    // file is read on, never past maxBytes + 1.
    std::size_t got = 0;
    auto limit = static_cast<std::size_t>(file.size + 1);
    for (;;) {
        file.bytes.resize(limit);
        if (!ReadInto(handle, file.bytes, got, limit)) {
            file.bytes.clear();
            file.error = FileError::CannotOpen;
            return file;
        }
        if (got < limit || limit > maxBytes) break;
        limit = static_cast<std::size_t>(std::min<std::uint64_t>(maxBytes + 1, std::uint64_t{limit} * 2));
    }
    file.bytes.resize(got);
    if (got > maxBytes) {
        file.size = got;
        file.bytes.clear();
        file.error = FileError::TooLarge;
    }
    return file;
}

std::optional<std::string> ReadRegularFile(const std::filesystem::path& path, std::uint64_t maxBytes,
                                           FileError* error, bool* tooLarge) {
    FileBytes file = ReadFileBytes(path, maxBytes);
    if (tooLarge) *tooLarge = file.error == FileError::TooLarge;
    if (error) *error = file.error == FileError::TooLarge ? FileError::None : file.error;
    if (file.error != FileError::None) return std::nullopt;
    return std::move(file.bytes);
}

bool WriteNewFile(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size) {
#if defined(_WIN32)
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    for (std::size_t done = 0; ok && done < size;) {
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, std::size_t{1} << 20));
        ok = WriteFile(file, data + done, chunk, &written, nullptr) && written > 0;
        done += written;
    }
    ok = CloseHandle(file) && ok;
    if (!ok) DeleteFileW(path.c_str());
    return ok;
#else
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    bool ok = true;
    for (std::size_t done = 0; ok && done < size;) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    ok = ::close(fd) == 0 && ok;
    if (!ok) ::unlink(path.c_str());
    return ok;
#endif
}

}  // namespace kestrune
