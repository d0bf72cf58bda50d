#pragma once

// Talks to a native-messaging host the way a browser does: starts it with pipes on its standard
// input and output, writes framed requests and reads framed answers. Used by the demo client and
// the process-level tests.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/FileDescriptor.h"

namespace kivo::tools {

// A 4-byte little-endian length followed by the payload.
std::string frameMessage(std::string_view payload);

// A frame announcing `length` bytes, followed by `payload` whatever its real size.
std::string announcedFrame(std::uint32_t length, std::string_view payload);

struct HostOptions {
    std::string binary;
    std::vector<std::string> arguments;
    // Added to (or replacing) the variables of the current environment.
    std::map<std::string, std::string> environment;
    // Variables removed from the inherited environment.
    std::vector<std::string> unsetVariables;
    // Where the host's standard error goes; empty: inherited.
    std::string stderrPath;
};

class HostProcess {
  public:
    explicit HostProcess(const HostOptions& options);
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;
    ~HostProcess();

    // Writes a framed request; false when the host no longer reads.
    bool send(std::string_view payload);
    // Writes bytes as they are (for truncated or hostile framing).
    bool sendRaw(std::string_view bytes);
    void closeInput();
    // Stops reading the host's output, as a browser that closed the port.
    void closeOutput();

    // The next framed answer, or none when the output ended or `timeout` passed first.
    std::optional<std::string> readMessage(std::chrono::milliseconds timeout);
    // Everything the host still writes until it closes its output (or `timeout` passes).
    std::string readRemainingOutput(std::chrono::milliseconds timeout);

    // The exit status (or 128 + signal); none when it did not end within `timeout`, in which
    // case the host is killed.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);

    pid_t pid() const { return pid_; }
    // The host's peak resident memory, known once it has exited.
    std::optional<long> peakMemoryKiB() const { return peakMemoryKiB_; }

  private:
    bool readExactly(std::string& into, std::size_t count,
                     std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    foundation::FileDescriptor toHost_;
    foundation::FileDescriptor fromHost_;
    std::optional<int> exitStatus_;
    std::optional<long> peakMemoryKiB_;
};

}  // namespace kivo::tools
