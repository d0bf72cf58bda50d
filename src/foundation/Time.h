#pragma once

// Points in time as this system writes them: in the log (local time), in answers and in
// certificate dumps (UTC). Fractions of a second are dropped where a format has none.

#include <chrono>
#include <string>

namespace kivo::foundation {

using TimePoint = std::chrono::system_clock::time_point;

// Local "dd-MM-yyyy HH:mm:ss.SSS", as log lines begin.
std::string formatLogTimestamp(TimePoint when);

// UTC "yyyy-MM-ddTHH:mm:ss.000Z": whole seconds, the milliseconds always zero.
std::string formatTimestamp(TimePoint instant);

// UTC "yyyy-MM-dd HH:mm:ss UTC".
std::string formatReadableUtc(TimePoint instant);

}  // namespace kivo::foundation
