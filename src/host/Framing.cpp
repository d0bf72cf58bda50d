#include "host/Framing.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "host/Log.h"
#include "protocol/SigningError.h"
#include "protocol/Utf8.h"

namespace kivo::host {
namespace {

// Large enough to move big documents quickly, small enough that a length the sender never fills
// costs little.
constexpr std::size_t readChunk = 1 << 20;

// Appends up to `count` bytes; stops early at end of input.
void readUpTo(int fd, std::string& into, std::size_t count) {
    while (count > 0) {
        const std::size_t before = into.size();
        const std::size_t step = std::min(count, readChunk);
        into.resize(before + step);
        const ssize_t got = ::read(fd, into.data() + before, step);
        if (got < 0 && errno == EINTR) {
            into.resize(before);
            continue;
        }
        if (got <= 0) {
            into.resize(before);
            return;
        }
        into.resize(before + static_cast<std::size_t>(got));
        count -= static_cast<std::size_t>(got);
    }
}

std::string textForLog(std::string_view bytes) {
    return protocol::isValidUtf8(bytes) ? std::string(bytes) : std::string("<not a string>");
}

}  // namespace

std::string lengthPrefix(std::uint64_t length) {
    std::string prefix(4, '\0');
    for (std::size_t i = 0; i < 4; ++i) {
        prefix[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    }
    return prefix;
}

std::optional<Frame> readFrame(int fd) {
    std::string prefix;
    readUpTo(fd, prefix, 4);
    if (prefix.size() < 4) {
        return std::nullopt;
    }
    std::uint32_t length = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        length |= static_cast<std::uint32_t>(static_cast<unsigned char>(prefix[i])) << (8 * i);
    }
    Frame frame{length, {}};
    writeLog(LogLevel::info, "Receiving request message");
    writeLog(LogLevel::info, "Request message length = " + std::to_string(length));
    readUpTo(fd, frame.payload, length);
    return frame;
}

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

std::optional<protocol::ReceivedRequest> FramedChannel::readRequestMessage() {
    std::optional<Frame> frame = readFrame(input_);
    if (!frame) {
        return std::nullopt;
    }
    writeDebug([&] { return "Request message = " + textForLog(frame->payload); });
    try {
        protocol::ReceivedRequest received{protocol::decodeRequest(frame->payload), {}};
        received.text = std::move(frame->payload);
        writeLog(LogLevel::info, "Received request message");
        return received;
    } catch (const protocol::RequestDecodeError& error) {
        writeLog(LogLevel::error, std::string("Failed to parse JSON request: ") + error.what());
        throw protocol::SigningError(protocol::error_code::badRequest,
                                     std::string("Failed to parse JSON request - ") + error.what());
    }
}

void FramedChannel::writeResponseMessage(std::string_view payload) {
    writeLog(LogLevel::info, "Sending response message");
    writeLog(LogLevel::info, "Response message length = " + std::to_string(payload.size()));
    std::string buffer = lengthPrefix(payload.size());
    buffer.append(payload);
    writeDebug([&] { return "Response message = " + textForLog(payload); });
    writeAll(output_, buffer);
    writeLog(LogLevel::info, "Response message sent");
}

}  // namespace kivo::host
