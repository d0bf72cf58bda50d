#pragma once

// Native-messaging framing on file descriptors: a 4-byte little-endian length, then that many
// bytes of UTF-8 JSON. Reads take exactly one message from the descriptor, so a second message
// sent in the same burst stays in the pipe for the next poll.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/RequestServices.h"

namespace kivo::host {

// Little-endian low 32 bits of `length`.
std::string lengthPrefix(std::uint64_t length);

// The announced length and the payload bytes that arrived (fewer when the input ended early).
// None when the input ended before the four length bytes.
struct Frame {
    std::uint32_t announcedLength;
    std::string payload;
};
std::optional<Frame> readFrame(int fd);

class FramedChannel final : public protocol::MessageChannel {
  public:
    FramedChannel(int inputFd, int outputFd) : input_(inputFd), output_(outputFd) {}

    std::optional<std::string> readRequestMessage() override;
    // Logs a failed write as such; once one failed, nothing more is written.
    void writeResponseMessage(std::string_view payload) override;
    // True once an answer could not be written: the browser is gone.
    bool broken() const { return broken_; }

  private:
    int input_;
    int output_;
    bool broken_ = false;
};

}  // namespace kivo::host
