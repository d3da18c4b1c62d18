#include "bench/BenchWindow.h"

#include "app/Unit1.h"
#include "usbio/Backend.h"
#include "usbio/sim/SimDevice.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QPushButton>

BenchWindow::BenchWindow() = default;

BenchWindow::~BenchWindow()
{
    // The window's link holds components of the bus: it goes first.
    destroyWindow();
}

usbio::SimDevice *BenchWindow::attach(const usbio::SimDeviceSettings &settings)
{
    return m_sim.attach(settings);
}

TForm1 &BenchWindow::start(const QStringList &arguments, const ProgramOptions &options)
{
    destroyWindow();
    m_window = std::make_unique<TForm1>(
        QStringList{QCoreApplication::applicationFilePath()} + arguments, options);
    m_window->show();
    return *m_window;
}

void BenchWindow::destroyWindow()
{
    m_window.reset();
}

void BenchWindow::open()
{
    usbio::SimDevice *device = m_sim.bus().devices().value(0);
    if (!device)
        qFatal("no simulated device to open");
    const int before = int(device->receivedCommands().count("USB-Vemo:NSF?!!"));
    m_window->OpenClick(m_window->Open);
    if (!waitFor([&] {
            return m_window->USBLink && m_window->USBLink->Opened &&
                   device->receivedCommands().count("USB-Vemo:NSF?!!") > before;
        }))
        qFatal("the simulated device did not open");
}

bool BenchWindow::runToItsEnd(const QStringList &arguments, int timeoutMs)
{
    m_sim.host().clearTerminate();
    start(arguments);
    return waitFor([this] { return m_sim.host().terminateRequested(); }, timeoutMs);
}

bool BenchWindow::waitFor(const std::function<bool()> &done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        m_sim.host().handleMessage(50);
    }
    return true;
}
