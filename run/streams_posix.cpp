// The standard descriptors on POSIX systems.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "run/streams.h"

namespace run {

bool openClosedStandardStreams(bool& outputClosed) {
    outputClosed = false;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        if (fd == STDOUT_FILENO) outputClosed = true;
        // open takes the lowest free descriptor: fd, as those below it are open.
        int null = ::open("/dev/null", O_RDWR);
        if (null < 0) return false;
        if (null != fd) {
            ::close(null);
            errno = EBADF;
            return false;
        }
    }
    return true;
}

}  // namespace run
