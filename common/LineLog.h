#pragma once
// A log of one record a line, appended to a regular file and written through to the disk line by
// line. It is opened without waiting (a named pipe opens at once and is refused, as is anything
// else but a regular file), and a line is never glued to a partial one that a full disk or a crash
// left at the end: it then starts on a line of its own. A record that could not be written whole
// is cut off again where the system allows it (POSIX), so that no partial record stays behind. The one place that holds the system calls
// for it (POSIX open/fstat/fsync, Windows CreateFileW/GetFileType/FlushFileBuffers).
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune {

class LineLog {
public:
    LineLog() = default;
    ~LineLog();
    LineLog(const LineLog&) = delete;
    LineLog& operator=(const LineLog&) = delete;

    // Opens the file for appending, creating it when there is none. False, with the reason in
    // problem ("it is a named pipe (FIFO), not a regular file", the system's text), when it cannot.
    bool Open(const std::filesystem::path& path, std::string& problem);
    bool IsOpen() const;
    // Appends line (which holds no line end) and a line end, and waits until both are on the disk.
    // False, with the reason, when they could not be written whole or the disk did not take them.
    bool Append(std::string_view line, std::string& problem);

private:
    // Whether the file is empty or ends in a line end (as far as it can be read).
    bool EndsWithLineEnd() const;
    std::optional<std::uint64_t> Size() const;  // none where it cannot be told or cut
    bool TruncateTo(std::uint64_t size);
    bool Write(const std::string& bytes, std::string& problem);
    bool Sync(std::string& problem);
    void Close();

#if defined(_WIN32)
    void* file_ = nullptr;  // HANDLE
#else
    int fd_ = -1;
#endif
    bool lineOpen_ = false;  // the file ends in a partial line: the next line starts on a new one
};

}  // namespace kestrune
