#pragma once
// The simulated keyboard: the state machine that takes a written feature report and answers the
// next read, with its flash memory and its presence on the bus. It knows nothing of HID handles;
// SimHidPlatform puts it behind the HID platform interface, and other transports can do the same.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/Clock.h"

namespace sim {

inline constexpr std::uint8_t CmdReadVersion = 0xC0;
inline constexpr std::uint8_t CmdSetAddress = 0x10;
inline constexpr std::uint8_t CmdWriteBlock = 0x20;
inline constexpr std::uint8_t CmdFinish = 0x30;
inline constexpr std::uint8_t CmdEnterUpload = 0xD0;
inline constexpr std::size_t FlashSize = 0x20000;
inline constexpr std::size_t BlockBytes = 128;

struct KeyboardConfig {
    std::uint16_t VendorID = 0x2E5B;
    std::uint16_t NormalPID = 17;
    std::uint16_t UploadPID = 6;
    std::uint16_t FeatureReportLength = 132;  // report-ID byte included
    std::string Version = "V1.0";
    std::string VersionAfterFinish = "V2.0";
    enum class Return {
        ByFirmware,  // old firmware ("V1.0"/"V1.1") waits for a replug, new firmware comes back itself
        Automatic,   // always comes back by itself
        Never,       // never comes back after the mode switch, not even when replugged
    };
    Return ReturnPolicy = Return::ByFirmware;
    std::int64_t LeaveDelayMs = 100;    // firmware that returns by itself answers a little longer
    std::int64_t ReturnDelayMs = 2500;
    bool StartInUploadMode = false;
    bool StartOnBus = true;
    // Time every transfer (a report taken or answered) takes, spent through the keyboard's
    // PassTime: 0 answers at once; a real keyboard takes a few milliseconds.
    std::int64_t TransferLatencyMs = 0;
    // Where the keyboard is plugged in and its USB serial number (empty: none), the same in
    // both modes and across replugs.
    std::string PortPath = "1-4";
    std::string Serial = "KS0001";
};

// A keyboard on a kernel's bus (over uhid or USB): it comes back by itself 0.3 s after the switch
// into firmware-upload mode and after the upload.
KeyboardConfig KernelKeyboardConfig(std::string version, bool startInUploadMode);

struct KeyboardFaults {
    int LeaveBusAfterBlock = 0;   // leaves the bus right after answering block k (1-based); 0 = never
    int RefuseBlock = 0;          // does not take block k (1-based); 0 = takes every block
    int NoAnswerToBlock = 0;      // takes block k (1-based) but its answer never comes; 0 = never
    bool NoAnswerToSwitch = false;   // takes the mode switch and is back at once in firmware-upload
                                     // mode, without answering it
    bool IgnoreFinish = false;    // does not take the finish command
    bool VersionWithoutNul = false;  // the version reply fills every payload byte, no NUL
    // Every time the keyboard comes back on the bus (by itself after the mode switch, restarted
    // after the upload, plugged in again) it is at another port, as when a user plugs it into
    // another one: "1-4" becomes "2-4", then "3-4", ... Its serial number stays.
    bool ReturnsAtAnotherPort = false;
    // Called while block k (1-based) is being exchanged: taken, its answer not yet read.
    std::multimap<int, std::function<void()>> DuringBlock;
};

class SimKeyboard {
public:
    explicit SimKeyboard(const kestrune::Clock& clock, KeyboardConfig config = {});

    // How the keyboard lets its own time pass (TransferLatencyMs) on its clock: on virtual time
    // by moving the clock on, on the steady clock by sleeping. Without one no time is spent.
    using PassTime = std::function<void(std::int64_t ms)>;
    void SetPassTime(PassTime passTime) { passTime_ = std::move(passTime); }
    // Spends the time one transfer takes (TransferLatencyMs). The transport calls it before each
    // report it hands over or fetches, outside any lock of its own, so that transfers to different
    // keyboards overlap as they do on a real bus.
    void PassTransferTime();

    // Presence on the bus. Every re-enumeration (mode switch, reboot, replug) gives a new
    // generation; a handle opened on an older generation no longer reaches the keyboard.
    bool IsOnBus() const;
    unsigned Generation() const;
    std::uint16_t CurrentPID() const;
    bool InUploadMode() const { return uploadMode_; }
    bool WaitingForReplug() const;

    void Unplug();
    void Plug();
    void Replug() { Unplug(); Plug(); }

    // One exchange: the report as written (byte 0 is the report ID), then the read of the reply.
    bool TakeReport(const std::uint8_t* data, std::size_t length);
    bool AnswerReport(std::uint8_t* data, std::size_t length);

    KeyboardConfig& Config() { return config_; }
    // The port it is plugged into now: Config().PortPath, until it came back at another one.
    std::string PortPath() const;
    KeyboardFaults& Faults() { return faults_; }
    const std::string& Version() const { return version_; }
    const std::vector<std::uint8_t>& Flash() const { return flash_; }
    // Every report taken, as written.
    const std::vector<std::vector<std::uint8_t>>& ReportsTaken() const { return reports_; }
    // The 128 data bytes of every write-block report taken, in order.
    const std::vector<std::uint8_t>& BlockBytesReceived() const { return blockBytes_; }
    int BlocksTaken() const { return blocksTaken_; }
    bool FinishTaken() const { return finishTaken_; }
    std::uint32_t WritePointer() const { return writePointer_; }
    int ModeSwitches() const { return modeSwitches_; }

private:
    void SettlePendingReturn() const;
    void ComeBack() const;  // a new generation, at another port when the fault says so
    void Reenumerate(bool uploadMode);
    void LeaveForUploadMode();

    const kestrune::Clock& clock_;
    PassTime passTime_;
    KeyboardConfig config_;
    KeyboardFaults faults_;
    std::string version_;
    mutable bool onBus_ = true;
    mutable bool uploadMode_ = false;
    mutable unsigned generation_ = 1;
    mutable int portMoves_ = 0;  // how often it came back at another port
    mutable std::optional<std::int64_t> leaveAt_;   // leaves the bus by itself at this time
    mutable std::optional<std::int64_t> returnAt_;  // comes back by itself at this time
    bool awaitingReplug_ = false;
    bool gone_ = false;  // left for good
    std::vector<std::uint8_t> flash_;
    std::vector<std::vector<std::uint8_t>> reports_;
    std::vector<std::uint8_t> blockBytes_;
    std::vector<std::uint8_t> lastReport_;
    std::uint32_t writePointer_ = 0;
    int blocksTaken_ = 0;
    int blocksSeen_ = 0;
    int modeSwitches_ = 0;
    bool finishTaken_ = false;
    enum class After { Nothing, SwitchMode, LeaveBus, Reboot } after_ = After::Nothing;
};

}  // namespace sim
