#pragma once
// The clock seam: every wait in the program measures time through one of these, so that tests
// can run a whole re-plug flow on virtual time.
#include <cstdint>

namespace kestrune {

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds on a clock that only ever increases while the program runs.
    virtual std::int64_t NowMs() const = 0;
};

class SteadyClock final : public Clock {
public:
    std::int64_t NowMs() const override;
};

// Time that moves only when told to.
class VirtualClock final : public Clock {
public:
    std::int64_t NowMs() const override { return now_; }
    void Advance(std::int64_t ms) { if (ms > 0) now_ += ms; }
private:
    std::int64_t now_ = 0;
};

}  // namespace kestrune
