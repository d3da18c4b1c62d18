#include "platform/StandardStreams.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

void StandardStreams::holdClosedOnes()
{
    for (int stream = 0; stream <= 2; ++stream) {
        if (::fcntl(stream, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // The lowest free number is this one: nothing below it is free.
        const int held = ::open("/dev/null", O_RDONLY);
        if (held >= 0 && held != stream) {
            ::dup2(held, stream);
            ::close(held);
        }
    }
}

} // namespace platform
