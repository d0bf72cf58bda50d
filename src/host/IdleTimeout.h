#pragma once

// The idle clock: the host stops by itself once no request has arrived for `duration` seconds.
// Paused while a request is processed, restarted when it has been answered.

#include <chrono>

namespace kivo::host {

struct TimeoutManager {
    using TimePoint = std::chrono::system_clock::time_point;

    static constexpr double DEFAULT_IDLE_TIMEOUT = 120.0;
    static constexpr double MINIMUM_IDLE_TIMEOUT = 3.0;

    double duration = DEFAULT_IDLE_TIMEOUT;
    bool isStopped = true;
    TimePoint startTime;

    void start(TimePoint now) {
        startTime = now;
        isStopped = false;
    }
    void pause() { isStopped = true; }
    // A request can shorten the period only down to the minimum; there is no upper limit.
    void setPeriod(double seconds) {
        duration = seconds > MINIMUM_IDLE_TIMEOUT ? seconds : MINIMUM_IDLE_TIMEOUT;
    }
    // Strictly longer than `duration` since the start; never while paused.
    bool expired(TimePoint now) const {
        return !isStopped && std::chrono::duration<double>(now - startTime).count() > duration;
    }
};

}  // namespace kivo::host
