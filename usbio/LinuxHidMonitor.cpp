#include "usbio/LinuxHidMonitor.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <thread>

namespace usbio {

LinuxHidMonitor::LinuxHidMonitor(const std::filesystem::path& devRoot) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return;
    if (inotify_add_watch(fd_, devRoot.c_str(), IN_CREATE | IN_DELETE | IN_ATTRIB) < 0) {
        close(fd_);
        fd_ = -1;
    }
}

LinuxHidMonitor::~LinuxHidMonitor() {
    if (fd_ >= 0) close(fd_);
}

bool LinuxHidMonitor::TakeChanges() {
    if (fd_ < 0) return false;
    bool changed = false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t length = read(fd_, buffer, sizeof buffer);
        if (length <= 0) break;
        for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= length;) {
            inotify_event event;
            std::memcpy(&event, buffer + offset, sizeof event);
            const std::size_t nameRoom = event.len;
            if (offset + static_cast<ssize_t>(sizeof event + nameRoom) > length) break;
            const std::string_view name(buffer + offset + sizeof event,
                                        strnlen(buffer + offset + sizeof event, nameRoom));
            if (name.starts_with("hidraw")) changed = true;
            offset += static_cast<ssize_t>(sizeof event + nameRoom);
        }
    }
    return changed;
}

bool LinuxHidMonitor::WaitForChange(int timeoutMs) {
    const auto time = std::chrono::milliseconds(std::max(timeoutMs, 0));
    if (fd_ < 0) {
        std::this_thread::sleep_for(time);
        return true;
    }
    // Other names in the folder wake the poll too: wait on until the time is up.
    const auto deadline = std::chrono::steady_clock::now() + time;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd watch{fd_, POLLIN, 0};
        const int ready = ::poll(&watch, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
        if (ready < 0 && errno == EINTR) return false;  // a signal: the caller checks its stop flag
        if (ready < 0) {  // the watch failed: as without one
            std::this_thread::sleep_for(std::max(left, std::chrono::milliseconds(0)));
            return true;
        }
        if (ready > 0 && TakeChanges()) return true;
        if (ready == 0 || left.count() <= 0) return false;
    }
}

}  // namespace usbio
