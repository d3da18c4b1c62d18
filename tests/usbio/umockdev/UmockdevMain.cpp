#include "tests/usbio/umockdev/UmockdevMain.h"

#include "tests/usbio/umockdev/UsbMockBus.h"

#include <QString>

#include <cstdlib>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *kStarted = "VEMO_UMOCKDEV_STARTED";

} // namespace

void runInsideUmockdev(int argc, char **argv)
{
    if (UsbMockBus::available() || std::getenv(kStarted))
        return;
    ::setenv(kStarted, "1", 1);
    // umockdev's preload library cannot come after the sanitizer runtime.
    const char *asan = std::getenv("ASAN_OPTIONS");
    const std::string options =
        std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "verify_asan_link_order=0";
    ::setenv("ASAN_OPTIONS", options.c_str(), 1);
    std::vector<char *> arguments;
    arguments.push_back(const_cast<char *>("umockdev-wrapper"));
    for (int i = 0; i < argc; ++i)
        arguments.push_back(argv[i]);
    arguments.push_back(nullptr);
    ::execvp("umockdev-wrapper", arguments.data());
    // Not installed: the tests skip.
}

QString umockdevMissing()
{
    QString why;
    if (UsbMockBus::available(&why))
        return {};
    return QStringLiteral("umockdev is not available: %1; install the umockdev package "
                          "(scripts/deps.sh)")
        .arg(why);
}
