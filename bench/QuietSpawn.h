#pragma once

#include <QByteArray>

#include <sys/types.h>

#include <vector>

namespace bench {

// Starts arguments[0] with arguments, its standard output and error
// discarded (a program timed from outside says nothing worth its cost);
// the caller waits for the pid. Ends the benchmark when it cannot start.
pid_t spawnQuiet(const std::vector<QByteArray> &arguments);

} // namespace bench
