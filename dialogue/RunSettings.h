#pragma once

#include <QString>

namespace dialogue {

// How the program was told to run the production command lines, set once
// before start-up from the program's options.
struct RunSettings
{
    // A firmware file whose name names another generation than the
    // device's is loaded all the same.
    bool force = false;
    // An unattended update is done only when the device came back after it
    // and answered the firmware-version query.
    bool verify = false;
    // With verify: the version the answer must hold; empty: any.
    QString expectVersion;
    // No operator watches (--batch): boxes are answered at once, a run with
    // nothing to do ends, a serial run reads its number back, and every
    // failure counts for the exit status.
    bool batch = false;
};

} // namespace dialogue
