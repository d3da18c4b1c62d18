#pragma once

#include "dialogue/CommandLineRuns.h"
#include "dialogue/ConnectionControl.h"
#include "dialogue/DeviceList.h"
#include "dialogue/FirmwareUpdate.h"
#include "dialogue/IncomingLines.h"
#include "dialogue/SerialReadBack.h"
#include "dialogue/StartUp.h"
#include "dialogue/UpdateEnding.h"
#include "tests/support/FakeWindowPort.h"
#include "tests/support/ScopedHost.h"
#include "tests/support/TempKeyStore.h"
#include "usbio/sim/SimBus.h"
#include "usbio/sim/SimDevice.h"

#include <memory>

// The dialogue's units wired to a FakeWindowPort the way the window wires
// them, with the host fake, a key store of its own and the simulated bus:
// the dialogue runs from start-up on without a widget. Each handler is
// recorded, then does what the window's does. Devices are attached before
// start().
class DialogueRig : public FakeWindowPort
{
public:
    static const QString ProgramPath;
    static const QString CurrentDir;
    // Where the simulated driver service lists the present devices.
    static const QString ServiceEnum;

    DialogueRig();
    ~DialogueRig() override;

    FakeHostServices &host() { return m_host.fake(); }
    registry::KeyStore &store() { return m_store.store(); }
    usbio::SimBus &bus() { return *m_bus; }
    usbio::SimDevice *attach(usbio::Generation generation, const QByteArray &serial);

    // Start-up as the window's creation runs it; arguments after the
    // program path (ProgramPath is argument 0).
    void start(const QStringList &arguments = {});
    // The log entries added since the entry at index from.
    QStringList linesFrom(int from) const { return lines.mid(from); }

    dialogue::StartUp startUp{*this};
    dialogue::DeviceList deviceList{*this};
    dialogue::ConnectionControl connection{*this};
    dialogue::IncomingLines incoming{*this};
    dialogue::FirmwareUpdate update{*this};
    dialogue::CommandLineRuns runs{*this};
    dialogue::SerialReadBack readBack{*this};
    dialogue::UpdateEnding ending{*this, update, runs};

    // ---- The window's handlers, forwarded to the units -----------------------
    int refreshDeviceList() override;
    void openClick() override;
    void closeClick() override;
    void updateClick() override;
    void sendFirmwareFile() override;
    void dispatchCommandLine(const QStringList &arguments) override;
    void pnpRemoveNotification() override;
    void pnpAddNotification() override;
    void deviceDataReceived(const QByteArray &chunk) override;
    void transferProgress(int percent) override;
    void transferFailed(const QByteArray &fileName, qint64 sent, qint64 size,
                        usbio::Status reason) override;
    void transferComplete(const QByteArray &fileName, qint64 size, qint64 elapsedMs) override;
    // The update's done end may be held for its certificate or check (as
    // the window holds it); every other end is recorded.
    using FakeWindowPort::endProgram;
    void endProgram(dialogue::EndKind kind, const QString &reason) override;

private:
    ScopedHost m_host;
    TempKeyStore m_store;
    std::unique_ptr<usbio::SimBus> m_bus;
};
