#pragma once

// While a request is served, a thread of its own watches the browser's end of the channel. Once
// nobody is left to read the answer (the output's reader is gone, as when the browser closes the
// port), the request can no longer be answered, so the host ends at once, whatever the request is
// waiting for: a dialog, a token that does not answer, a long document. Nothing it started
// outlives it (a pinentry dies with the host).

#include <thread>

#include "foundation/FileDescriptor.h"

namespace kivo::host {

class ChannelWatch {
  public:
    // Starts watching `outputFd`; a regular file (output redirected) is never hung up.
    explicit ChannelWatch(int outputFd);
    ChannelWatch(const ChannelWatch&) = delete;
    ChannelWatch& operator=(const ChannelWatch&) = delete;
    // Stops watching.
    ~ChannelWatch();

  private:
    foundation::FileDescriptor wakeRead_;
    foundation::FileDescriptor wakeWrite_;
    std::thread thread_;
};

}  // namespace kivo::host
