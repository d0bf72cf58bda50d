#include "host/Framing.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "foundation/Log.h"
#include "foundation/Utf8.h"

namespace kivo::host {

using foundation::LogLevel;
using foundation::writeDebug;
using foundation::writeLog;
namespace {

// A read asks for at most this much at a time; pipes deliver less anyway.
constexpr std::size_t readChunk = 1 << 16;
// Room reserved up front for an announced length. Lengths are the sender's word, not bytes that
// arrived: beyond this the buffer grows (geometrically) only as bytes come in.
constexpr std::size_t upFrontReservation = std::size_t{1} << 20;

// Appends up to `count` bytes; stops early at end of input. Only the bytes about to be read are
// made part of the string, so memory follows what actually arrives.
void readUpTo(int fd, std::string& into, std::size_t count) {
    into.reserve(into.size() + std::min(count, upFrontReservation));
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

namespace {

// Prefix and payload leave in one write call, without copying a large payload behind the prefix.
// Returns 0, or the errno of the write that failed.
int writeAllGathered(int fd, std::string_view prefix, std::string_view payload) {
    std::array<iovec, 2> parts{iovec{const_cast<char*>(prefix.data()), prefix.size()},
                               iovec{const_cast<char*>(payload.data()), payload.size()}};
    std::size_t first = 0;
    while (first < parts.size()) {
        const ssize_t written = ::writev(fd, &parts[first], static_cast<int>(parts.size() - first));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        auto done = static_cast<std::size_t>(written);
        while (first < parts.size() && done >= parts[first].iov_len) {
            done -= parts[first].iov_len;
            ++first;
        }
        if (first < parts.size()) {
            parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + done;
            parts[first].iov_len -= done;
        }
    }
    return 0;
}

}  // namespace

std::optional<std::string> FramedChannel::readRequestMessage() {
    std::optional<Frame> frame = readFrame(input_);
    if (!frame) {
        return std::nullopt;
    }
    return std::move(frame->payload);
}

void FramedChannel::writeResponseMessage(std::string_view payload) {
    writeLog(LogLevel::info, "Sending response message");
    writeLog(LogLevel::info, "Response message length = " + std::to_string(payload.size()));
    const std::string prefix = lengthPrefix(payload.size());
    writeDebug([&] { return "Response message = " + foundation::loggableText(payload); });
    // After a failed write the browser cannot tell where the next message would begin.
    const int failure = broken_ ? EPIPE : writeAllGathered(output_, prefix, payload);
    if (failure != 0) {
        broken_ = true;
        writeLog(LogLevel::error,
                 std::string("Failed to send the response message: ") + std::strerror(failure));
        return;
    }
    writeLog(LogLevel::info, "Response message sent");
}

}  // namespace kivo::host
