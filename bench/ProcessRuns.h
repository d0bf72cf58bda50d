#pragma once

// Timed process runs for the benchmarks: a host started the way a browser starts it, answering
// framed requests, and plain commands (the reference tools) run to completion.

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kivo::bench {

using Milliseconds = std::chrono::duration<double, std::milli>;

// The middle value (the mean of the two middle values for an even count); 0 for none.
double median(std::vector<double> values);

struct HostRun {
    Milliseconds untilAnswer{};  // from spawning the host to the last answer's last byte
    std::vector<Milliseconds> requestTimes;  // from sending each request to its answer
    std::vector<std::string> answers;
    std::optional<long> peakMemoryKiB;  // of the host, known after it exited
};

// Starts `binary` with `environment` added to this process's environment, sends each request
// in turn (waiting for each answer), then closes its input and waits for it to end. Throws
// std::runtime_error when an answer does not come or the host does not end cleanly.
HostRun runHost(const std::string& binary, const std::map<std::string, std::string>& environment,
                const std::vector<std::string>& requests);

// Runs a command found on PATH with its output discarded and returns its wall time. Throws
// std::runtime_error when it cannot be started or exits with a status other than 0.
Milliseconds runCommand(const std::vector<std::string>& command);

}  // namespace kivo::bench
