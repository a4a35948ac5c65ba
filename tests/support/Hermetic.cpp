// Linked into every test program: before any test runs, the places where the programs look for the
// user's and the machine's configuration (PIDDef.txt, the window's settings) are pointed at a folder
// that does not exist, and the user's language is set aside, so that no test reads what is
// installed or configured on the machine that runs it. Tests that are about those places set them themselves; programs that the tests start
// inherit the same environment.
#include <cstdlib>
#include <filesystem>
#include <string>
#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

namespace {

struct HermeticEnvironment {
    HermeticEnvironment() {
#if !defined(_WIN32)
        std::error_code ec;
        const std::filesystem::path none =
            std::filesystem::temp_directory_path(ec) / ("kestrune-test-" + std::to_string(::getpid()) + "-no-config");
        ::setenv("XDG_CONFIG_HOME", none.c_str(), 1);
        ::setenv("KESTRUNE_SYSTEM_CONFIG_DIR", (none / "system").c_str(), 1);
        // English, whatever the user's language, unless the test is run in one on purpose.
        for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) ::unsetenv(name);
        if (const char* language = std::getenv("KESTRUNE_TEST_LANGUAGE"); language && *language) {
            ::setenv("LANGUAGE", language, 1);
            ::setenv("LANG", "C.UTF-8", 1);
        }
#endif
    }
};

const HermeticEnvironment hermetic;

}  // namespace
