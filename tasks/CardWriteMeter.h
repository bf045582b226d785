#pragma once
// The card's write rate, measured on the image files the save worker writes
// anyway (no test file wears the card): bytes handed to the card and the time
// during which at least one write was in progress. The worker's thread and
// the depth encoders write side by side, so the busy time is the union of
// their writes, not the sum.

#include <chrono>
#include <cstdint>
#include <mutex>

class CardWriteMeter {
public:
    struct Totals {
        uint64_t bytes = 0;
        uint64_t busyUs = 0;
    };

    // Around each file written: begin() before its first byte, end() after
    // its close with the bytes that reached the card (0 when it failed).
    void begin()
    {
        std::lock_guard lock(mutex_);
        if (inFlight_++ == 0)
            busySince_ = Clock::now();
    }
    void end(uint64_t bytes)
    {
        std::lock_guard lock(mutex_);
        totals_.bytes += bytes;
        if (inFlight_ > 0 && --inFlight_ == 0)
            totals_.busyUs += microsSince(busySince_);
    }

    // Includes the writes in progress up to now.
    Totals totals() const
    {
        std::lock_guard lock(mutex_);
        Totals now = totals_;
        if (inFlight_ > 0)
            now.busyUs += microsSince(busySince_);
        return now;
    }

private:
    using Clock = std::chrono::steady_clock;
    static uint64_t microsSince(Clock::time_point start)
    {
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
    }

    mutable std::mutex mutex_;
    Totals totals_;
    int inFlight_ = 0;
    Clock::time_point busySince_;
};
