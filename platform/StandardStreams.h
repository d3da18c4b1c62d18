#pragma once

namespace platform {

// The three standard streams as the program was started with them. One it
// was started without (closed: "2>&-", ">&-") has a number that the next
// file the program opens would get: the list meant for standard output, or
// the run's last line meant for standard error, would then go into that
// file (a key store, a capture, an event descriptor) without a word.
class StandardStreams
{
public:
    // Puts the null device, opened for reading only, on each standard
    // stream that is closed: no file takes its number, and a write to it
    // fails as a write to a closed stream does. Call it first thing, before
    // anything is opened.
    static void holdClosedOnes();
};

} // namespace platform
