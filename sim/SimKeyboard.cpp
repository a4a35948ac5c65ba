#include "sim/SimKeyboard.h"

#include <algorithm>

#include "common/FirmwareVersion.h"

namespace sim {

KeyboardConfig KernelKeyboardConfig(std::string version, bool startInUploadMode) {
    KeyboardConfig config;
    config.Version = std::move(version);
    config.StartInUploadMode = startInUploadMode;
    config.ReturnPolicy = KeyboardConfig::Return::Automatic;
    config.LeaveDelayMs = 50;
    config.ReturnDelayMs = 300;
    return config;
}

SimKeyboard::SimKeyboard(const kestrune::Clock& clock, KeyboardConfig config)
    : clock_(clock), config_(std::move(config)), version_(config_.Version),
      flash_(FlashSize, 0xFF) {
    onBus_ = config_.StartOnBus;
    uploadMode_ = config_.StartInUploadMode;
}

void SimKeyboard::SettlePendingReturn() const {
    if (leaveAt_ && clock_.NowMs() >= *leaveAt_) {
        leaveAt_.reset();
        onBus_ = false;
    }
    if (returnAt_ && clock_.NowMs() >= *returnAt_) {
        returnAt_.reset();
        onBus_ = true;
        uploadMode_ = true;
        ComeBack();
    }
}

void SimKeyboard::ComeBack() const {
    ++generation_;
    if (faults_.ReturnsAtAnotherPort) ++portMoves_;
}

std::string SimKeyboard::PortPath() const {
    SettlePendingReturn();
    if (portMoves_ == 0) return config_.PortPath;
    const std::size_t dash = config_.PortPath.find('-');
    return std::to_string(1 + portMoves_) + (dash == std::string::npos ? "-" + config_.PortPath : config_.PortPath.substr(dash));
}

bool SimKeyboard::IsOnBus() const {
    SettlePendingReturn();
    return onBus_;
}

unsigned SimKeyboard::Generation() const {
    SettlePendingReturn();
    return generation_;
}

std::uint16_t SimKeyboard::CurrentPID() const {
    SettlePendingReturn();
    return uploadMode_ ? config_.UploadPID : config_.NormalPID;
}

bool SimKeyboard::WaitingForReplug() const { return awaitingReplug_; }

void SimKeyboard::Unplug() {
    SettlePendingReturn();
    onBus_ = false;
    leaveAt_.reset();
    returnAt_.reset();
}

void SimKeyboard::Plug() {
    if (gone_ || onBus_) return;
    // A keyboard that was told to switch comes back in firmware-upload mode; otherwise it comes
    // back as it was.
    if (awaitingReplug_) uploadMode_ = true;
    awaitingReplug_ = false;
    onBus_ = true;
    ComeBack();
}

void SimKeyboard::Reenumerate(bool uploadMode) {
    uploadMode_ = uploadMode;
    ComeBack();
}

void SimKeyboard::PassTransferTime() {
    if (config_.TransferLatencyMs > 0 && passTime_) passTime_(config_.TransferLatencyMs);
}

bool SimKeyboard::TakeReport(const std::uint8_t* data, std::size_t length) {
    if (!IsOnBus() || length < 3) return false;
    reports_.emplace_back(data, data + length);
    const std::uint8_t command = data[1];
    auto payload = [&](std::size_t i) -> std::uint8_t { return 3 + i < length ? data[3 + i] : 0; };

    if (command == CmdEnterUpload && !uploadMode_) {
        ++modeSwitches_;
        after_ = After::SwitchMode;  // answers this report, then re-enumerates
        lastReport_.assign(data, data + length);
        return true;
    }
    if (uploadMode_ && command == CmdSetAddress) {
        writePointer_ = static_cast<std::uint32_t>(payload(0)) << 8 | payload(1);
    } else if (uploadMode_ && command == CmdWriteBlock) {
        ++blocksSeen_;
        if (faults_.RefuseBlock == blocksSeen_) return false;
        if (writePointer_ + BlockBytes > flash_.size()) return false;
        for (std::size_t i = 0; i < BlockBytes; ++i) {
            flash_[writePointer_ + i] = payload(i);
            blockBytes_.push_back(payload(i));
        }
        writePointer_ += BlockBytes;
        ++blocksTaken_;
        if (faults_.LeaveBusAfterBlock == blocksTaken_) after_ = After::LeaveBus;
        const auto [first, last] = faults_.DuringBlock.equal_range(blocksTaken_);
        for (auto hook = first; hook != last; ++hook) hook->second();
    } else if (uploadMode_ && command == CmdFinish) {
        if (faults_.IgnoreFinish) return false;
        finishTaken_ = true;
        after_ = After::Reboot;
    }
    lastReport_.assign(data, data + length);
    return true;
}

void SimKeyboard::LeaveForUploadMode() {
    const bool never = config_.ReturnPolicy == KeyboardConfig::Return::Never;
    const bool byItself = config_.ReturnPolicy == KeyboardConfig::Return::Automatic ||
                          (config_.ReturnPolicy == KeyboardConfig::Return::ByFirmware &&
                           !kestrune::IsOldFirmwareVersion(version_));
    if (byItself && !never) {
        // Answers a little longer, then re-enumerates in firmware-upload mode by itself.
        leaveAt_ = clock_.NowMs() + config_.LeaveDelayMs;
        returnAt_ = clock_.NowMs() + std::max(config_.ReturnDelayMs, config_.LeaveDelayMs + 1);
    } else {
        onBus_ = false;
        gone_ = never;
        awaitingReplug_ = !never;
    }
}

bool SimKeyboard::AnswerReport(std::uint8_t* data, std::size_t length) {
    if (!IsOnBus()) return false;
    if (faults_.NoAnswerToBlock > 0 && faults_.NoAnswerToBlock == blocksSeen_ && lastReport_.size() > 1 &&
        lastReport_[1] == CmdWriteBlock) {
        lastReport_.clear();  // answered (lost) once
        return false;
    }
    if (faults_.NoAnswerToSwitch && after_ == After::SwitchMode) {
        after_ = After::Nothing;
        Reenumerate(true);
        return false;
    }
    // The reply echoes the last report taken, with the version text for a version request.
    std::fill(data, data + length, 0);
    std::copy_n(lastReport_.begin(), std::min(length, lastReport_.size()), data);
    if (length > 0) data[0] = 0;
    if (lastReport_.size() > 1 && lastReport_[1] == CmdReadVersion && length > 3) {
        std::fill(data + 3, data + length, 0);
        if (faults_.VersionWithoutNul) {
            for (std::size_t i = 3; i < length; ++i)
                data[i] = static_cast<std::uint8_t>('A' + (i - 3) % 26);
        } else {
            const std::size_t n = std::min(version_.size(), length - 4);
            std::copy_n(version_.begin(), n, data + 3);
        }
    }
    switch (after_) {
        case After::LeaveBus:
            // Pulled out mid-upload: plugged in again, it starts in firmware-upload mode.
            onBus_ = false;
            awaitingReplug_ = true;
            break;
        case After::SwitchMode:
            LeaveForUploadMode();
            break;
        case After::Reboot:
            version_ = config_.VersionAfterFinish;
            Reenumerate(false);
            break;
        case After::Nothing:
            break;
    }
    after_ = After::Nothing;
    return true;
}

}  // namespace sim
