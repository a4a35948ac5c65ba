// The hidraw watch on a temporary folder standing in for /dev: a node named hidrawN coming or going
// wakes WaitForChange, other names do not. Timeouts are 0 or a few milliseconds.
#ifdef __linux__

#include "usbio/LinuxHidMonitor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using usbio::LinuxHidMonitor;

TEST(LinuxHidMonitor, WaitForChangeSeesHidrawNodesOnly) {
    struct Case {
        std::vector<std::string> create, remove;
        int timeoutMs;
        bool changed;
    };
    const std::vector<Case> cases{
        {{}, {}, 0, false},
        {{}, {}, 5, false},
        {{"hidraw7"}, {}, 0, true},
        {{}, {"hidraw7"}, 0, true},
        {{"event3", "hidden", "raw0"}, {}, 5, false},
        {{"event4", "hidraw12"}, {}, 0, true},
    };
    testsupport::TempDir dev;
    LinuxHidMonitor monitor(dev.Path());
    ASSERT_GE(monitor.Handle(), 0);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        for (const std::string& name : c.create) dev.Write(name, "");
        for (const std::string& name : c.remove) fs::remove(dev.Path() / name);
        EXPECT_EQ(monitor.WaitForChange(c.timeoutMs), c.changed) << "case " << i;
        // What was seen is taken: nothing is left for the next wait.
        EXPECT_FALSE(monitor.WaitForChange(0)) << "case " << i;
    }
}

// A node made by another thread while the wait runs ends it long before its timeout.
TEST(LinuxHidMonitor, WaitForChangeWakesWhenANodeAppears) {
    testsupport::TempDir dev;
    LinuxHidMonitor monitor(dev.Path());
    const auto start = std::chrono::steady_clock::now();
    std::thread plug([&] { dev.Write("hidraw3", ""); });
    const bool changed = monitor.WaitForChange(60'000);
    plug.join();
    EXPECT_TRUE(changed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

// Without a watch the caller is told to look again once the time is up.
TEST(LinuxHidMonitor, WithoutAWatchWaitForChangeSaysLookAgain) {
    testsupport::TempDir dev;
    LinuxHidMonitor monitor(dev.Path() / "missing");
    EXPECT_LT(monitor.Handle(), 0);
    EXPECT_TRUE(monitor.WaitForChange(0));
    EXPECT_TRUE(monitor.WaitForChange(-5));
    EXPECT_FALSE(monitor.TakeChanges());
}

}  // namespace

#endif  // __linux__
