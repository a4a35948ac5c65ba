#pragma once
// A folder under the system's temporary folder that is removed with the object.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

namespace testsupport {

class TempDir {
public:
    TempDir() {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("kestrune-test-" + std::to_string(ProcessId()) + "-" + std::to_string(counter++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }

    std::filesystem::path Write(const std::string& name, const std::string& bytes) const {
        const auto file = path_ / name;
        std::ofstream(file, std::ios::binary) << bytes;
        return file;
    }

private:
    // Unique among the test programs that run at once. A WebAssembly program's getpid() is 42
    // in every process: there, a random number drawn once.
    static long long ProcessId() {
#if defined(_WIN32)
        return ::_getpid();
#elif defined(__EMSCRIPTEN__)
        static const long long id = std::random_device{}();
        return id;
#else
        return ::getpid();
#endif
    }

    std::filesystem::path path_;
};

}  // namespace testsupport
