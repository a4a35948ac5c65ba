#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/SimBench.h"
#include "usbio/FollowedKeyboard.h"

using usbio::DeviceIdentity;
using usbio::ExpectedMode;
using usbio::KeyboardSighting;

namespace {

// A keyboard interface present; its path is made from its identity unless given.
KeyboardSighting At(const std::string& port, const std::string& serial, bool upload,
                    const std::string& path = "") {
    return {path.empty() ? "hid:" + port + "/" + serial + (upload ? "/loader" : "") : path, {port, serial}, upload};
}
constexpr bool Upload = true;
constexpr bool Normal = false;

}  // namespace

// The chosen keyboard is KS1 at port 1-4 unless a case says otherwise.
TEST(FollowedKeyboard, WhichKeyboardPresentIsTheChosenOne) {
    struct Case {
        std::string name;
        std::vector<DeviceIdentity> attached;  // the others found with it at the choice
        std::vector<KeyboardSighting> before;  // an earlier search's look, waiting for upload mode
        std::vector<KeyboardSighting> present;
        ExpectedMode expected;
        std::optional<std::size_t> chosen;  // which of present is taken for it
        std::string portAfter;              // the port it is followed at afterwards
        DeviceIdentity identity{"1-4", "KS1"};
        std::string path = "hid:1-4/KS1";
    };
    const auto U = ExpectedMode::Upload;
    const auto N = ExpectedMode::Normal;
    const std::vector<Case> cases{
        {"itself", {{"1-5", "KS2"}}, {}, {At("1-5", "KS2", Normal), At("1-4", "KS1", Upload)}, U, 1, "1-4"},
        {"its loader at its port, another serial", {}, {}, {At("1-4", "LDR", Upload)}, N, 0, "1-4"},
        {"its loader at its port, no serial", {}, {}, {At("1-4", "", Upload)}, U, 0, "1-4"},
        {"another serial at its port in normal mode", {}, {}, {At("1-4", "KS9", Normal)}, N, {}, "1-4"},
        {"back at another port", {}, {}, {At("1-9", "KS1", Upload)}, U, 0, "1-9"},
        {"back at another port after the upload", {}, {}, {At("1-9", "KS1", Normal)}, N, 0, "1-9"},
        {"back at another port after its loader reported another serial at its port", {},
         {At("1-4", "LDR", Upload)}, {At("1-9", "KS1", Normal)}, N, 0, "1-9"},
        {"a loader without serial at another port", {}, {}, {At("1-9", "", Upload)}, U, 0, "1-9"},
        {"a loader with another serial at another port", {}, {}, {At("1-9", "LDR", Upload)}, U, {}, "1-4"},
        {"an arrival in the other mode", {}, {}, {At("1-9", "KS1", Normal)}, U, {}, "1-4"},
        {"an arrival with no mode waited for", {}, {}, {At("1-9", "KS1", Upload)}, ExpectedMode::Either, {}, "1-4"},
        {"two arrivals", {}, {}, {At("1-9", "KS1", Upload), At("1-8", "", Upload)}, U, {}, "1-4"},
        {"two arrivals, one another's", {}, {}, {At("1-8", "KS7", Upload), At("1-9", "KS1", Upload)}, U, 1, "1-9"},
        {"two arrivals seen before", {}, {At("1-9", "", Upload), At("1-8", "", Upload)}, {At("1-9", "", Upload)}, U, 0, "1-9"},
        {"an arrival without identity", {}, {}, {At("", "", Upload)}, U, {}, "1-4"},
        {"attached throughout, now a loader", {{"1-5", "KS2"}}, {}, {At("1-5", "", Upload)}, U, {}, "1-4"},
        {"attached throughout, without serial", {{"1-5", ""}}, {}, {At("1-5", "", Upload)}, U, {}, "1-4"},
        {"seen earlier in the other mode", {}, {At("1-9", "", Normal)}, {At("1-9", "", Upload)}, U, {}, "1-4"},
        {"another one away too, no serial to tell", {{"1-5", "KS2"}}, {}, {At("1-9", "", Upload)}, U, {}, "1-4"},
        {"another one away too, its own serial", {{"1-5", "KS2"}}, {}, {At("1-9", "KS1", Upload)}, U, 0, "1-9"},
        {"the others present, no serial", {{"1-5", "KS2"}}, {}, {At("1-5", "KS2", Upload), At("1-9", "", Upload)}, U, 1, "1-9"},
        {"the other's serial", {{"1-5", "KS2"}}, {}, {At("1-9", "KS2", Upload)}, U, {}, "1-4"},
        // No identity at all: every interface without one, unless another such keyboard was
        // attached at the choice; then its path only.
        {"no identity", {{"1-5", "KS2"}}, {}, {At("1-5", "KS2", Upload), At("", "", Upload)}, U, 1, "", {}, "hid:/"},
        {"no identity, another alike", {{}}, {}, {At("", "", Upload, "hid:a"), At("", "", Upload, "hid:b")}, U, 1, "",
         {}, "hid:b"},
    };
    for (const Case& c : cases) {
        std::vector<usbio::FoundKeyboard> found{{c.path, {}, 17, 132, c.identity}};
        for (std::size_t i = 0; i < c.attached.size(); ++i)
            found.push_back({"hid:other" + std::to_string(i), {}, 17, 132, c.attached[i]});
        usbio::FollowedKeyboard followed(found.front(), found);
        if (!c.before.empty()) followed.Look(c.before, ExpectedMode::Upload);
        followed.Look(c.present, c.expected);
        std::optional<std::size_t> taken;
        for (std::size_t i = 0; i < c.present.size(); ++i) {
            if (!followed.Accepts(c.present[i].Path, c.present[i].Identity)) continue;
            EXPECT_FALSE(taken) << c.name << ": more than one";
            taken = i;
        }
        EXPECT_EQ(taken, c.chosen) << c.name;
        EXPECT_EQ(followed.Identity().PortPath, c.portAfter) << c.name;
        EXPECT_EQ(followed.Identity().Serial, c.identity.Serial) << c.name;
    }
}

TEST(DeviceIO, ClosingReleasesTheWriteLockAndTheNextOpenIsLockedAgain) {
    testsupport::SimBench b;
    b.Find();
    ASSERT_TRUE(usbio::LockForWriting(b.connection));
    usbio::CloseDevice(b.connection);
    EXPECT_FALSE(b.connection.WriteLocked);
    // The keyboard comes back (in firmware-upload mode, say) under another handle.
    b.keyboard.Replug();
    b.Find();
    ASSERT_TRUE(usbio::LockForWriting(b.connection));
    EXPECT_TRUE(b.hid.HoldsWriteLock(b.connection.DeviceHandle));
    EXPECT_EQ(b.hid.WriteLocksTaken(), 2);
}
