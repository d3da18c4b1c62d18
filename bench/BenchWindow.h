#pragma once

#include "app/ProgramOptions.h"
#include "bench/BenchHost.h"
#include "registry/KeyStore.h"
#include "usbio/sim/SimBus.h"

#include <QStringList>

#include <functional>
#include <memory>

class TForm1;

namespace usbio {
class SimDevice;
}

// The program's window over the simulated bus, as a benchmark drives it:
// the bench host (boxes counted, never blocking), a key store in memory and
// the bus installed. Construct it after the application object.
class BenchWindow
{
public:
    BenchWindow();
    ~BenchWindow();
    BenchWindow(const BenchWindow &) = delete;
    BenchWindow &operator=(const BenchWindow &) = delete;

    BenchHost &host() { return m_host; }
    usbio::SimBus &bus() { return *m_bus; }
    usbio::SimDevice *attach(const usbio::SimDeviceSettings &settings);

    // A new window (the one before is destroyed first), started with the
    // production command line arguments; shown offscreen as the program
    // shows it.
    TForm1 &start(const QStringList &arguments = {}, const ProgramOptions &options = {});
    TForm1 &window() { return *m_window; }
    void destroyWindow();
    // Opens the one listed device and waits for its answer to the
    // new-firmware query.
    void open();

    // A run as the program makes it: a new window started with the
    // production command line, events handled until the run asks the
    // program to end (false when it has not after timeoutMs).
    bool runToItsEnd(const QStringList &arguments, int timeoutMs = 60000);

    // Handles events until done() holds or timeoutMs has passed; false on
    // the time-out.
    bool waitFor(const std::function<bool()> &done, int timeoutMs = 30000);

private:
    BenchHost m_host;
    registry::KeyStore m_store{QString()}; // memory only
    std::unique_ptr<usbio::SimBus> m_bus;
    std::unique_ptr<TForm1> m_window;
};
