#include "tests/support/FakeWindowPort.h"

#include "dialogue/DeviceText.h"
#include "dialogue/Intervals.h"
#include "link/VemoUSBinterface.h"

#include <stdexcept>

namespace {

// A status by its name in the one table ("DeviceGone"), else its number.
QString statusName(usbio::Status status)
{
    for (const usbio::StatusEntry &entry : usbio::statusTable()) {
        if (entry.status == status)
            return QString::fromLatin1(entry.name);
    }
    return QString::number(status, 16).toUpper();
}

} // namespace

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

int FakeWindowPort::refreshDeviceList()
{
    handlerCalls << QStringLiteral("refreshDeviceList");
    return deviceItemCount();
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

void FakeWindowPort::printCertificate(const QByteArray &serialNo, const QByteArray &deviation,
                                      const QByteArray &setDate)
{
    handlerCalls << QStringLiteral("printCertificate");
    certificates << Certificate{serialNo, deviation, setDate};
    if (!printError.isEmpty())
        throw std::runtime_error(printError.toStdString());
}

void FakeWindowPort::dispatchCommandLine(const QStringList &arguments)
{
    handlerCalls << (QStringList{QStringLiteral("dispatchCommandLine")} + arguments).join(' ');
}

void FakeWindowPort::endProgram(dialogue::EndKind kind, const QString &reason)
{
    handlerCalls << QStringLiteral("endProgram");
    ends << End{kind != dialogue::EndKind::Done, reason, kind};
}

void FakeWindowPort::pnpRemoveNotification()
{
    handlerCalls << QStringLiteral("pnpRemoveNotification");
}

void FakeWindowPort::pnpAddNotification()
{
    handlerCalls << QStringLiteral("pnpAddNotification");
}

void FakeWindowPort::deviceDataReceived(const QByteArray &chunk)
{
    handlerCalls << QStringLiteral("deviceDataReceived ") + QString::fromLatin1(chunk);
}

void FakeWindowPort::transferProgress(int percent)
{
    handlerCalls << QStringLiteral("transferProgress %1").arg(percent);
}

void FakeWindowPort::transferFailed(const QByteArray &fileName, qint64 sent, qint64 size,
                                    usbio::Status reason)
{
    handlerCalls << QStringLiteral("transferFailed %1 %2/%3 %4")
                        .arg(QString::fromLatin1(fileName))
                        .arg(sent)
                        .arg(size)
                        .arg(statusName(reason));
}

void FakeWindowPort::transferComplete(const QByteArray &fileName, qint64 size, qint64)
{
    // The time it took varies from run to run: it is not recorded.
    handlerCalls
        << QStringLiteral("transferComplete %1 %2").arg(QString::fromLatin1(fileName)).arg(size);
}
