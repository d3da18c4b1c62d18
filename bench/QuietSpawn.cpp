#include "bench/QuietSpawn.h"

#include <QtGlobal>

#include <fcntl.h>
#include <spawn.h>

extern char **environ;

namespace bench {

pid_t spawnQuiet(const std::vector<QByteArray> &arguments)
{
    std::vector<char *> argv;
    for (const QByteArray &argument : arguments)
        argv.push_back(const_cast<char *>(argument.constData()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        qFatal("cannot start %s", argv[0]);
    return pid;
}

} // namespace bench
