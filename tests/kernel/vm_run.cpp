// What the test machine's busybox lacks: runs a command, optionally as another user, and writes
// how long it took (seconds, millisecond precision) to a file. Exits with the command's status
// (128 + signal number when a signal ended it, 127 when it could not be started).
//
//   vm_run [--uid N] [--time FILE] -- COMMAND [ARGS...]
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    long uid = -1;
    const char* timeFile = nullptr;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--uid" && i + 1 < argc) {
            uid = std::strtol(argv[++i], nullptr, 10);
        } else if (arg == "--time" && i + 1 < argc) {
            timeFile = argv[++i];
        } else if (arg == "--") {
            ++i;
            break;
        } else {
            break;
        }
    }
    if (i >= argc) {
        std::fprintf(stderr, "usage: vm_run [--uid N] [--time FILE] -- COMMAND [ARGS...]\n");
        return 2;
    }

    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("vm_run: fork");
        return 127;
    }
    if (child == 0) {
        if (uid >= 0) {
            const gid_t gid = static_cast<gid_t>(uid);
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(static_cast<uid_t>(uid)) != 0) {
                std::perror("vm_run: switching user");
                _exit(127);
            }
        }
        ::execvp(argv[i], argv + i);
        std::fprintf(stderr, "vm_run: %s: %s\n", argv[i], std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            std::perror("vm_run: waitpid");
            return 127;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (timeFile) {
        if (FILE* out = std::fopen(timeFile, "w")) {
            std::fprintf(out, "%.3f\n", seconds);
            std::fclose(out);
        }
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 127;
}
