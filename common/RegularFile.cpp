#include "common/RegularFile.h"

#include <algorithm>
#include <cstring>
#include <ios>

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

// A stream over a file the reader has opened itself: reads in large pieces, seeks.
class FileBuffer final : public std::streambuf {
public:
#if defined(_WIN32)
    using Native = HANDLE;
#else
    using Native = int;
#endif
    explicit FileBuffer(Native file) : file_(file) { setg(buffer_, buffer_, buffer_); }
    ~FileBuffer() override {
#if defined(_WIN32)
        CloseHandle(file_);
#else
        ::close(file_);
#endif
    }
    FileBuffer(const FileBuffer&) = delete;
    FileBuffer& operator=(const FileBuffer&) = delete;

protected:
    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
        std::size_t got = 0;
#if defined(_WIN32)
        DWORD n = 0;
        if (!ReadFile(file_, buffer_, sizeof buffer_, &n, nullptr)) throw std::ios_base::failure("read");
        got = n;
#else
        ssize_t n;
        do {
            n = ::read(file_, buffer_, sizeof buffer_);
        } while (n < 0 && errno == EINTR);
        // A failed read surfaces as badbit: the istream catches this and sets it.
        if (n < 0) throw std::ios_base::failure("read");
        got = static_cast<std::size_t>(n);
#endif
        setg(buffer_, buffer_, buffer_ + got);
        return got == 0 ? traits_type::eof() : traits_type::to_int_type(*gptr());
    }
    // Large reads go straight into the caller's buffer: a whole file in one read where the
    // system allows.
    std::streamsize xsgetn(char* out, std::streamsize count) override {
        const std::streamsize buffered = std::min<std::streamsize>(count, egptr() - gptr());
        if (buffered > 0) {
            std::memcpy(out, gptr(), static_cast<std::size_t>(buffered));
            gbump(static_cast<int>(buffered));
        }
        std::streamsize got = buffered;
        while (got < count) {
            const std::size_t want = static_cast<std::size_t>(std::min<std::streamsize>(count - got, 1 << 30));
#if defined(_WIN32)
            DWORD n = 0;
            if (!ReadFile(file_, out + got, static_cast<DWORD>(want), &n, nullptr)) throw std::ios_base::failure("read");
#else
            ssize_t n;
            do {
                n = ::read(file_, out + got, want);
            } while (n < 0 && errno == EINTR);
            if (n < 0) throw std::ios_base::failure("read");
#endif
            if (n == 0) break;
            got += static_cast<std::streamsize>(n);
        }
        return got;
    }
    pos_type seekoff(off_type offset, std::ios_base::seekdir direction, std::ios_base::openmode) override {
        if (direction == std::ios_base::cur) offset -= static_cast<off_type>(egptr() - gptr());
        setg(buffer_, buffer_, buffer_);
#if defined(_WIN32)
        LARGE_INTEGER distance, position;
        distance.QuadPart = offset;
        const DWORD method = direction == std::ios_base::beg ? FILE_BEGIN
                             : direction == std::ios_base::cur ? FILE_CURRENT : FILE_END;
        if (!SetFilePointerEx(file_, distance, &position, method)) return pos_type(off_type(-1));
        return pos_type(position.QuadPart);
#else
        const int whence = direction == std::ios_base::beg ? SEEK_SET : direction == std::ios_base::cur ? SEEK_CUR : SEEK_END;
        const off_t position = ::lseek(file_, static_cast<off_t>(offset), whence);
        return position < 0 ? pos_type(off_type(-1)) : pos_type(static_cast<off_type>(position));
#endif
    }
    pos_type seekpos(pos_type position, std::ios_base::openmode which) override {
        return seekoff(off_type(position), std::ios_base::beg, which);
    }

private:
    Native file_;
    char buffer_[64 * 1024];
};

}  // namespace

RegularFile OpenRegularFile(const std::filesystem::path& path) {
    namespace fs = std::filesystem;
    RegularFile file;
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
    BY_HANDLE_FILE_INFORMATION info{};
    const DWORD type = GetFileType(handle);
    const bool known = GetFileInformationByHandle(handle, &info) != 0;
    if (type != FILE_TYPE_DISK || !known || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(handle);
        const bool folder = known && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        file.error = folder ? FileError::Folder : FileError::NotRegular;
        file.kind = folder ? "" : type == FILE_TYPE_PIPE ? "a named pipe" : type == FILE_TYPE_CHAR ? "a device" : "";
        return file;
    }
    file.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    file.buffer = std::make_unique<FileBuffer>(handle);
#else
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        cannotOpen();
        return file;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const mode_t mode = st.st_mode;
        ::close(fd);
        file.error = S_ISDIR(mode) ? FileError::Folder : FileError::NotRegular;
        file.kind = S_ISFIFO(mode)                     ? "a named pipe (FIFO)"
                    : S_ISCHR(mode) || S_ISBLK(mode)   ? "a device"
                    : S_ISSOCK(mode)                   ? "a socket"
                                                       : "";
        return file;
    }
    file.size = static_cast<std::uint64_t>(st.st_size);
    file.buffer = std::make_unique<FileBuffer>(fd);
#endif
    file.stream = std::make_unique<std::istream>(file.buffer.get());
    return file;
}

std::optional<std::string> ReadRegularFile(const std::filesystem::path& path, std::uint64_t maxBytes,
                                           FileError* error, bool* tooLarge) {
    if (tooLarge) *tooLarge = false;
    RegularFile file = OpenRegularFile(path);
    if (error) *error = file.error;
    if (file.error != FileError::None) return std::nullopt;
    if (file.size > maxBytes) {
        if (tooLarge) *tooLarge = true;
        return std::nullopt;
    }
    // One read of what fstat gave, and one byte more to notice a file that has grown since.
    std::string text(static_cast<std::size_t>(file.size) + 1, '\0');
    file.stream->read(text.data(), static_cast<std::streamsize>(text.size()));
    if (file.stream->bad()) {
        if (error) *error = FileError::CannotOpen;
        return std::nullopt;
    }
    text.resize(static_cast<std::size_t>(file.stream->gcount()));
    if (text.size() > maxBytes) {
        if (tooLarge) *tooLarge = true;
        return std::nullopt;
    }
    return text;
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
