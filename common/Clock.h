#pragma once
// The clock seam: every wait in the program measures time through one of these, so that tests
// can run a whole re-plug flow on virtual time.
#include <atomic>
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

// Time that moves only when told to. Several threads may read and move it (workers flashing
// simulated keyboards side by side, each spending its keyboard's time).
class VirtualClock final : public Clock {
public:
    std::int64_t NowMs() const override { return now_.load(); }
    void Advance(std::int64_t ms) { if (ms > 0) now_.fetch_add(ms); }
private:
    std::atomic<std::int64_t> now_{0};
};

}  // namespace kestrune
