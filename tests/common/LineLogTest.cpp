#include <gtest/gtest.h>

#include "common/LineLog.h"

#include <fstream>
#include <sstream>
#include <string>

#include "support/TempDir.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#endif

namespace {

std::string Slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

// Lines are appended after what the file holds; a partial last line (a crash mid-write) is closed
// first, so that no line is glued to it.
TEST(LineLog, AppendsWholeLinesAfterWhatIsThere) {
    testsupport::TempDir dir;
    struct Case {
        const char* before;  // nullptr: no file yet
        std::string after;
    };
    const Case cases[] = {
        {nullptr, "{\"a\":1}\n{\"b\":2}\n"},
        {"", "{\"a\":1}\n{\"b\":2}\n"},
        {"{\"x\":0}\n", "{\"x\":0}\n{\"a\":1}\n{\"b\":2}\n"},
        {"{\"result\":\"succ", "{\"result\":\"succ\n{\"a\":1}\n{\"b\":2}\n"},
    };
    int n = 0;
    for (const Case& c : cases) {
        const auto path = dir.Path() / ("log" + std::to_string(n++) + ".jsonl");
        if (c.before) dir.Write(path.filename().string(), c.before);
        kestrune::LineLog log;
        std::string problem;
        ASSERT_TRUE(log.Open(path, problem)) << problem;
        EXPECT_TRUE(log.Append("{\"a\":1}", problem)) << problem;
        EXPECT_TRUE(log.Append("{\"b\":2}", problem)) << problem;
        EXPECT_EQ(Slurp(path), c.after) << (c.before ? c.before : "(none)");
    }
}

// Needs a kernel's file system: node's emulation under the WebAssembly build (which has no station
// log) has neither named pipes nor file size limits.
#if !defined(_WIN32) && !defined(__EMSCRIPTEN__)
// Anything but a regular file is refused at once, with the reason; a named pipe without a reader
// never makes the open wait.
TEST(LineLog, RefusesWhatIsNotARegularFile) {
    testsupport::TempDir dir;
    const auto fifo = dir.Path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::filesystem::path, std::string> cases[] = {
        {fifo, "it is a named pipe (FIFO), not a regular file"},
        {dir.Path(), "it is a folder"},
        {"/dev/null", "it is a device, not a regular file"},
        {dir.Path() / "no" / "such" / "folder", "No such file or directory"},
    };
    for (const auto& [path, reason] : cases) {
        kestrune::LineLog log;
        std::string problem;
        EXPECT_FALSE(log.Open(path, problem)) << path;
        EXPECT_EQ(problem, reason) << path;
        EXPECT_FALSE(log.IsOpen());
    }
}

// A write that fails part-way (the disk full, here the file size limit) leaves a partial line: the
// next line starts on a line of its own.
// A record that could not be written whole is cut off again: every line stays a whole record.
TEST(LineLog, AFailedRecordLeavesNoPartOfItBehind) {
    testsupport::TempDir dir;
    const auto path = dir.Write("log.jsonl", "{\"x\":0}\n");
    kestrune::LineLog log;
    std::string problem;
    ASSERT_TRUE(log.Open(path, problem)) << problem;

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 8 + 5;  // room for 5 bytes of the line
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool written = log.Append("{\"lost\":true}", problem);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(written);
    EXPECT_FALSE(problem.empty());

    EXPECT_TRUE(log.Append("{\"b\":2}", problem)) << problem;
    EXPECT_EQ(Slurp(path), "{\"x\":0}\n{\"b\":2}\n");
}

#if defined(__linux__)
// A record the system takes but cannot put on the disk is no record: a file that can be written
// but not synced (this process's name in /proc) says so.
TEST(LineLog, ARecordThatCannotBeSyncedIsAFailedOne) {
    char name[32] = {};
    std::ifstream("/proc/self/comm") >> name;
    kestrune::LineLog log;
    std::string problem;
    if (!log.Open("/proc/self/comm", problem)) GTEST_SKIP() << "no /proc to write to: " << problem;
    EXPECT_FALSE(log.Append("{\"a\":1}", problem));
    EXPECT_FALSE(problem.empty());
    std::ofstream("/proc/self/comm") << name;
}
#endif
#endif
