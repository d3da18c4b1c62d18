#pragma once

#include "app/ProgramOptions.h"
#include "bench/BenchBus.h"

#include <QStringList>

#include <functional>
#include <memory>

class TForm1;

// The program's window over the simulated bus, as a benchmark drives it
// (BenchBus: the bench host, a key store in memory, the bus installed).
// Construct it after the application object.
class BenchWindow
{
public:
    BenchWindow();
    ~BenchWindow();
    BenchWindow(const BenchWindow &) = delete;
    BenchWindow &operator=(const BenchWindow &) = delete;

    BenchHost &host() { return m_sim.host(); }
    usbio::SimBus &bus() { return m_sim.bus(); }
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
    BenchBus m_sim;
    std::unique_ptr<TForm1> m_window;
};
