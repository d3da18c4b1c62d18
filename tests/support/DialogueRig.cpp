#include "tests/support/DialogueRig.h"

#include "link/VemoUSBinterface.h"
#include "usbio/Backend.h"

#include <QTest>

const QString DialogueRig::ProgramPath = QStringLiteral("/opt/vemo/bin/vemotool");
const QString DialogueRig::CurrentDir = QStringLiteral("/srv/production/line3");
const QString DialogueRig::ServiceEnum =
    QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\VemoUSB\\Enum");

DialogueRig::DialogueRig() : m_bus(std::make_unique<usbio::SimBus>(&m_store.store()))
{
    host().currentDir = CurrentDir;
    m_bus->install();
    dialogue.OnEnd = [this](dialogue::EndKind kind, const QString &reason) {
        ends << End{kind, reason};
    };
    dialogue.update().OnStateChanged = [this](dialogue::UpdateFlow::State state) {
        states << state;
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
    dialogue.start(QStringList{ProgramPath} + arguments);
    dialogue.startedUp();
}

bool DialogueRig::commandsBeforeMarker(usbio::SimDevice *device, QList<QByteArray> &commands)
{
    static int markers = 0;
    const QByteArray marker = "MARKER" + QByteArray::number(++markers);
    TVemoUSBinterface *link = this->link();
    if (!link || link->SendCommand(marker + '\r') != usbio::status::Success)
        return false;
    if (!QTest::qWaitFor([&] { return device->receivedCommands().contains(marker); }, 10000))
        return false;
    const QList<QByteArray> received = device->receivedCommands();
    commands = received.mid(0, received.indexOf(marker));
    return true;
}
