#include "host/PrivateChannel.h"

#include <fcntl.h>
#include <unistd.h>

namespace kivo::host {

foundation::FileDescriptor takeChannelOffStandardOutput() {
    // Above the three standard descriptors, so that a later redirection cannot land on it.
    foundation::FileDescriptor channel(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
    if (::fcntl(STDERR_FILENO, F_GETFD) != -1) {
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
        return channel;
    }
    // Opened without close-on-exec: a child's standard output goes nowhere too. When standard
    // error was closed, /dev/null takes its place as well.
    const int devNull = ::open("/dev/null", O_WRONLY);
    if (devNull >= 0 && devNull != STDOUT_FILENO) {
        ::dup2(devNull, STDOUT_FILENO);
    }
    if (devNull > STDERR_FILENO) {
        ::close(devNull);
    }
    return channel;
}

}  // namespace kivo::host
