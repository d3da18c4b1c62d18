#pragma once

#include "dialogue/DeviceDialogue.h"
#include "dialogue/EndKind.h"
#include "tests/support/FakeWindowPort.h"
#include "tests/support/ScopedHost.h"
#include "tests/support/TempKeyStore.h"
#include "usbio/sim/SimBus.h"
#include "usbio/sim/SimDevice.h"

#include <QList>

#include <memory>

// The device dialogue over a FakeWindowPort, as the window holds it, with
// the host fake, a key store of its own and the simulated bus: the dialogue
// runs from start-up on without a widget, routed exactly as in the program
// (the window routes nothing itself). Devices are attached before start().
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
    // program path (ProgramPath is argument 0). Then, as the program does
    // once start-up is over, the dialogue hears it (a --batch run with
    // nothing to do ends there).
    void start(const QStringList &arguments = {});
    // The log entries added since the entry at index from.
    QStringList linesFrom(int from) const { return lines.mid(from); }
    // Sends a marker command through the link and waits until device has
    // it: by then the device has every command sent before (the pipe keeps
    // their order), which commands gets. False when the marker could not be
    // sent or did not arrive within 10 s.
    bool commandsBeforeMarker(usbio::SimDevice *device, QList<QByteArray> &commands);
    // The update's state.
    dialogue::UpdateFlow::State updateState() const { return dialogue.update().state(); }

    // Every end the dialogue recorded, in order (the first failed one
    // decides the run, dialogue.outcome()).
    struct End
    {
        dialogue::EndKind kind = dialogue::EndKind::Done;
        QString reason;
        bool failed() const { return kind != dialogue::EndKind::Done; }
    };
    QList<End> ends;
    // Every state the update entered, in order.
    QList<dialogue::UpdateFlow::State> states;

    dialogue::DeviceDialogue dialogue{*this};

private:
    ScopedHost m_host;
    TempKeyStore m_store;
    std::unique_ptr<usbio::SimBus> m_bus;
};
