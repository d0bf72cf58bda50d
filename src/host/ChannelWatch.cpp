#include "host/ChannelWatch.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>

#include "foundation/Log.h"

namespace kivo::host {
namespace {

using foundation::FileDescriptor;

void watch(int outputFd, int wakeFd) {
    // Asked for no event, poll reports an output pipe only once its reader is gone.
    std::array<pollfd, 2> watched{pollfd{outputFd, 0, 0}, pollfd{wakeFd, POLLIN, 0}};
    while (::poll(watched.data(), watched.size(), -1) < 0) {
        if (errno != EINTR) {
            return;
        }
    }
    if ((watched[0].revents & (POLLHUP | POLLERR)) == 0) {
        return;  // woken: the request is over, or the output is no descriptor to watch
    }
    // A log of its own: the one the request writes is not this thread's to touch. Each line is
    // one append, so the two never mix.
    foundation::LogFile(foundation::processLog().path())
        .write(foundation::LogLevel::error,
               "The browser closed the connection while a request was served; the host ends");
    std::_Exit(EXIT_FAILURE);
}

}  // namespace

ChannelWatch::ChannelWatch(int outputFd) {
    std::array<int, 2> pipe{-1, -1};
    if (::pipe2(pipe.data(), O_CLOEXEC) != 0) {
        return;  // unwatched: the request still ends, only later
    }
    wakeRead_ = FileDescriptor(pipe[0]);
    wakeWrite_ = FileDescriptor(pipe[1]);
    thread_ = std::thread(watch, outputFd, wakeRead_.get());
}

ChannelWatch::~ChannelWatch() {
    if (thread_.joinable()) {
        const char wake = 1;
        while (::write(wakeWrite_.get(), &wake, 1) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
}

}  // namespace kivo::host
