#pragma once
// A file that a fuzz target rewrites with each input, for readers that take a path. It lives in
// $KESTRUNE_FUZZ_SCRATCH, else /dev/shm when there is one (no disk writes), else the temporary
// folder, in a folder named after the process so that parallel fuzzing jobs do not share it.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fuzzsupport {

inline const std::filesystem::path& ScratchFolder() {
    // Never destroyed, so that the exit handler that removes the folder can still name it.
    static const std::filesystem::path* const folder = [] {
        std::error_code ec;
        const char* chosen = std::getenv("KESTRUNE_FUZZ_SCRATCH");
        std::filesystem::path base = std::filesystem::temp_directory_path();
        if (chosen && *chosen)
            base = chosen;
        else if (std::filesystem::is_directory("/dev/shm", ec))
            base = "/dev/shm";
        auto* path = new std::filesystem::path(base / ("kestrune-fuzz-" + std::to_string(::getpid())));
        std::filesystem::create_directories(*path);
        std::atexit([] {
            std::error_code e;
            std::filesystem::remove_all(ScratchFolder(), e);
        });
        return path;
    }();
    return *folder;
}

// Writes the bytes to ScratchFolder()/name and returns the path; aborts when it cannot.
inline std::string WriteScratch(const std::string& name, const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path path = ScratchFolder() / name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || (size && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) std::abort();
    return path.string();
}

}  // namespace fuzzsupport
