#pragma once

// Points in time as this system writes them: in the log (local time), in answers and in
// certificate dumps (UTC). Fractions of a second are dropped where a format has none.

#include <chrono>
#include <string>

namespace kivo::foundation {

// Milliseconds in 64 bits: certificate dates run from year 0000 to 9999 (99991231235959Z stands
// for "no well-defined expiry"), far beyond a nanosecond clock's 1678 to 2262.
using TimePoint = std::chrono::sys_time<std::chrono::milliseconds>;

// Local "dd-MM-yyyy HH:mm:ss.SSS", as log lines begin.
std::string formatLogTimestamp(std::chrono::system_clock::time_point when);

// UTC "yyyy-MM-ddTHH:mm:ss.000Z": whole seconds, the milliseconds always zero.
std::string formatTimestamp(TimePoint instant);

// UTC "yyyy-MM-dd HH:mm:ss UTC".
std::string formatReadableUtc(TimePoint instant);

}  // namespace kivo::foundation
