#pragma once
// Reading a file that must be a regular file on disk, once and bounded, without a window in which
// something else can take its place: it is opened first, without waiting (a named pipe opens at
// once), then what was opened is looked at, and read through the same descriptor. The one place
// that holds the system calls for it (POSIX open/fstat, Windows CreateFileW/GetFileType).
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace kestrune {

enum class FileError {
    None,
    NotFound,
    Folder,
    NotRegular,  // a named pipe, a device, a socket: kind says which
    CannotOpen,  // no permission, a read error and the like
    TooLarge,    // more than the bound: size says how large
};

struct FileBytes {
    FileError error = FileError::None;
    std::string kind;        // for NotRegular: "a named pipe (FIFO)", "a device", ...
    std::uint64_t size = 0;  // as fstat saw it when opened (also for TooLarge)
    std::string bytes;       // the whole file; empty unless error is None
};

// The whole file, when it is a regular file of at most maxBytes (checked before reading, and
// again by what was read: a file that grows while it is read is not read past maxBytes + 1).
FileBytes ReadFileBytes(const std::filesystem::path& path, std::uint64_t maxBytes);

// The same, as text or nothing; error and tooLarge (when given) tell the problem.
std::optional<std::string> ReadRegularFile(const std::filesystem::path& path, std::uint64_t maxBytes,
                                           FileError* error = nullptr, bool* tooLarge = nullptr);

// Writes the bytes to a new file: O_EXCL (Windows: CREATE_NEW), so never through a symbolic link
// or onto a file planted under the name. False when it cannot be created or written whole; a file
// it created is then removed again.
bool WriteNewFile(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size);

}  // namespace kestrune
