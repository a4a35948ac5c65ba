#include "usbio/LinuxHidMonitor.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

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

}  // namespace usbio
