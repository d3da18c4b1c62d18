#include "tests/usbio/SimFixture.h"

#include "usbio/Backend.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

SimFixture::SimFixture()
{
    bus.install();
}

SimFixture::~SimFixture() = default;

std::unique_ptr<usbio::SimComponent> SimFixture::component()
{
    return std::make_unique<usbio::SimComponent>(&bus);
}

usbio::Status SimFixture::openPipe(usbio::Component &component, quint8 endpoint, int index)
{
    component.EnumerateDevices(QString::fromLatin1(usbio::kDeviceInterfaceGuid));
    if (const usbio::Status status = component.OpenDevice(index))
        return status;
    if (const usbio::Status status = component.AddInterface(0, 0, 64000))
        return status;
    if (const usbio::Status status = component.SetConfiguration(0))
        return status;
    return component.Bind(endpoint);
}

std::unique_ptr<usbio::SimComponent> SimFixture::pipe(quint8 endpoint, int index)
{
    auto result = component();
    const usbio::Status status = openPipe(*result, endpoint, index);
    if (status != 0)
        qWarning("opening pipe 0x%02X failed: 0x%08X", endpoint, status);
    return status == 0 ? std::move(result) : nullptr;
}

void SimFixture::settle(int ms)
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QTest::qWait(ms);
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

bool SimFixture::waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0)
            return false;
        // The timer's event ends the wait when nothing else comes first.
        QTimer wakeUp;
        wakeUp.setSingleShot(true);
        wakeUp.start(int(left));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}
