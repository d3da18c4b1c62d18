#include "tests/support/FakeWindowPort.h"

#include "dialogue/DeviceText.h"
#include "dialogue/Intervals.h"
#include "link/VemoUSBinterface.h"

#include <stdexcept>

FakeWindowPort::FakeWindowPort()
{
    // The timers as the layout has them: stopped, at their periods.
    const dialogue::Intervals &periods = dialogue::intervals();
    timers[Timer::BWF].interval = periods.bwfLayout;
    timers[Timer::RestartVemo].interval = periods.restartReminder;
    timers[Timer::VemoWind].interval = periods.windTest;
}

FakeWindowPort::~FakeWindowPort()
{
    destroyLink();
}

void FakeWindowPort::destroyLink()
{
    if (!m_link)
        return;
    TVemoUSBinterface *link = m_link.get();
    link->OnDeviceRemoved = nullptr;
    link->OnDeviceArrived = nullptr;
    link->OnDataReceived = nullptr;
    link->OnFileProgress = nullptr;
    link->OnFileFailed = nullptr;
    link->OnFileComplete = nullptr;
    if (link->Opened)
        link->CloseDevice();
    m_link.reset();
}

void FakeWindowPort::log(const QString &line)
{
    lines << line;
    if (onLog)
        onLog(line);
}

void FakeWindowPort::logDevice(const QByteArray &line)
{
    QString entry = dialogue::DeviceText::decode(line);
    while (entry.endsWith(QLatin1Char('\r')) || entry.endsWith(QLatin1Char('\n')))
        entry.chop(1);
    log(entry);
}

TVemoUSBinterface *FakeWindowPort::createLink()
{
    destroyLink();
    m_link = std::make_unique<TVemoUSBinterface>(nullptr);
    ++linksCreated;
    return m_link.get();
}

void FakeWindowPort::clearDeviceItems()
{
    deviceItems.clear();
    selectedItem = -1;
}

void FakeWindowPort::repaintProgress()
{
    progressRepaints << progressPosition;
    visibleAtRepaint << progressVisible;
}

void FakeWindowPort::setTimerInterval(Timer timer, int milliseconds)
{
    timers[timer].interval = milliseconds;
}

QString FakeWindowPort::printCertificate(const QByteArray &serialNo, const QByteArray &deviation,
                                         const QByteArray &setDate)
{
    certificates << Certificate{serialNo, deviation, setDate};
    if (!printError.isEmpty())
        throw std::runtime_error(printError.toStdString());
    return certificateFile;
}
