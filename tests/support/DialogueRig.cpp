#include "tests/support/DialogueRig.h"

#include "dialogue/GenerationGuard.h"
#include "usbio/Backend.h"

const QString DialogueRig::ProgramPath = QStringLiteral("/opt/vemo/bin/vemotool");
const QString DialogueRig::CurrentDir = QStringLiteral("/srv/production/line3");
const QString DialogueRig::ServiceEnum =
    QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\VemoUSB\\Enum");

DialogueRig::DialogueRig() : m_bus(std::make_unique<usbio::SimBus>(&m_store.store()))
{
    host().currentDir = CurrentDir;
    m_bus->install();
    incoming.OnSerialReply = [this](bool accepted, const QByteArray &serial) {
        readBack.SerialReply(accepted, serial);
    };
    incoming.OnLineShown = [this](const QByteArray &line) { ending.LineShown(line); };
    incoming.OnCertificate = [this](bool made, const QString &error) {
        ending.CertificateMade(made, error);
    };
}

DialogueRig::~DialogueRig()
{
    // The link holds components of the bus: it goes first.
    destroyLink();
    m_bus.reset();
    usbio::selectBackend(QStringLiteral("sim"));
}

usbio::SimDevice *DialogueRig::attach(usbio::Generation generation, const QByteArray &serial)
{
    usbio::SimDeviceSettings settings;
    settings.generation = generation;
    settings.serialNumber = serial;
    return m_bus->attach(settings);
}

void DialogueRig::start(const QStringList &arguments)
{
    startUp.Run(QStringList{ProgramPath} + arguments);
}

int DialogueRig::refreshDeviceList()
{
    FakeWindowPort::refreshDeviceList();
    return deviceList.Refresh();
}

void DialogueRig::openClick()
{
    FakeWindowPort::openClick();
    connection.OpenClick();
}

void DialogueRig::closeClick()
{
    FakeWindowPort::closeClick();
    connection.CloseClick();
}

void DialogueRig::updateClick()
{
    FakeWindowPort::updateClick();
    if (dialogue::GenerationGuard::OperatorAgrees(*this))
        update.UpdateClick();
}

void DialogueRig::sendFirmwareFile()
{
    FakeWindowPort::sendFirmwareFile();
    ending.SendFirmwareFile();
}

void DialogueRig::dispatchCommandLine(const QStringList &arguments)
{
    FakeWindowPort::dispatchCommandLine(arguments);
    runs.Dispatch(arguments);
}

void DialogueRig::pnpRemoveNotification()
{
    FakeWindowPort::pnpRemoveNotification();
    connection.PnPRemoveNotification();
}

void DialogueRig::pnpAddNotification()
{
    FakeWindowPort::pnpAddNotification();
    connection.PnPAddNotification();
    ending.DeviceArrived();
}

void DialogueRig::deviceDataReceived(const QByteArray &chunk)
{
    FakeWindowPort::deviceDataReceived(chunk);
    incoming.DeviceDataReceived(chunk);
}

void DialogueRig::transferProgress(int percent)
{
    FakeWindowPort::transferProgress(percent);
    update.TransferProgress(percent);
}

void DialogueRig::transferFailed(const QByteArray &fileName, qint64 sent, qint64 size,
                                 usbio::Status reason)
{
    FakeWindowPort::transferFailed(fileName, sent, size, reason);
    ending.TransferFailed(sent, size);
    update.TransferFailed(fileName, sent, size, reason);
}

void DialogueRig::transferComplete(const QByteArray &fileName, qint64 size, qint64 elapsedMs)
{
    FakeWindowPort::transferComplete(fileName, size, elapsedMs);
    update.TransferComplete(fileName, size, elapsedMs);
}

void DialogueRig::endProgram(dialogue::EndKind kind, const QString &reason)
{
    if (ending.HoldsEnd(kind, reason)) {
        handlerCalls << QStringLiteral("endProgram held");
        return;
    }
    FakeWindowPort::endProgram(kind, reason);
}
