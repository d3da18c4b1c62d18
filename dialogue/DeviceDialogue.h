#pragma once

#include "dialogue/CommandLineRuns.h"
#include "dialogue/ConnectionControl.h"
#include "dialogue/DeviceChoice.h"
#include "dialogue/DeviceList.h"
#include "dialogue/EndKind.h"
#include "dialogue/IncomingLines.h"
#include "dialogue/OperatorFunctions.h"
#include "dialogue/RunFacts.h"
#include "dialogue/RunOutcome.h"
#include "dialogue/RunSettings.h"
#include "dialogue/SerialReadBack.h"
#include "dialogue/StartUp.h"
#include "dialogue/UpdateFlow.h"
#include "dialogue/WindowPort.h"
#include "dialogue/WindowState.h"
#include "usbio/Status.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

namespace dialogue {

// The device dialogue, composed in one place: it owns the units, holds what
// the run was told and what it learns, and routes every event (a control,
// a timer, the link's callbacks, a box, a signal, the time-out) to the unit
// that acts on it. The window and the test rig each hold one over their
// WindowPort; neither routes anything itself.
//
// Every end of a run goes through end(), which records it in the run's
// outcome (the exit status, the last line and the record come from there)
// and asks the host to end the program.
class DeviceDialogue
{
public:
    explicit DeviceDialogue(WindowPort &window);
    DeviceDialogue(const DeviceDialogue &) = delete;
    DeviceDialogue &operator=(const DeviceDialogue &) = delete;

    WindowPort &window() { return FWindow; }

    // ---- What the run was told, knows and decided -----------------------------
    void setRunSettings(const RunSettings &settings) { FSettings = settings; }
    const RunSettings &runSettings() const { return FSettings; }
    // The device the run works with (--device) and the one it follows.
    DeviceChoice &deviceChoice() { return FDeviceChoice; }
    // What the run found out, for its record (--record).
    RunFacts &runFacts() { return FRunFacts; }
    const RunFacts &runFacts() const { return FRunFacts; }
    RunOutcome &outcome() { return FOutcome; }
    const RunOutcome &outcome() const { return FOutcome; }

    // The serial number of the last accepted "DEVNR" reply, and the chunk
    // held for the next one.
    QByteArray serialNo() const { return FState.serialNo; }
    void setSerialNo(const QByteArray &serial) { FState.serialNo = serial; }
    void clearSerialNo() { FState.serialNo.clear(); }
    QByteArray pendingChunk() const { return FState.pendingChunk; }
    void holdChunk(const QByteArray &chunk) { FState.pendingChunk = chunk; }
    void clearPendingChunk() { FState.pendingChunk.clear(); }

    // ---- The units -------------------------------------------------------------
    UpdateFlow &update() { return FUpdate; }
    const UpdateFlow &update() const { return FUpdate; }
    ConnectionControl &connection() { return FConnection; }
    OperatorFunctions &operatorFunctions() { return FOperator; }
    IncomingLines &incoming() { return FIncoming; }
    const CommandLineRuns &runs() const { return FRuns; }
    SerialReadBack &readBack() { return FReadBack; }

    // ---- Start-up ----------------------------------------------------------------
    // The window's creation: arguments as the program got them, the program
    // path first. The production command line, if any, is dispatched last.
    void start(const QStringList &arguments);
    // Start-up is over: with --batch a run with nothing to do ends, and a
    // serial run reads its number back.
    void startedUp();

    // ---- The window's controls and timers --------------------------------------
    // Rebuilds the device list; the number of devices, 0 after an unknown one.
    int refreshDeviceList();
    void openClick();
    void closeClick();
    void updateClick();
    void timerTick(WindowPort::Timer timer);
    // Whether the window may close; then what closing it stops.
    bool closeQuery();
    void windowClosing();

    // ---- The link's callbacks (start-up binds them here) --------------------------
    void pnpRemoveNotification();
    void pnpAddNotification();
    void deviceDataReceived(const QByteArray &chunk);
    void transferProgress(int percent);
    void transferFailed(const QByteArray &fileName, qint64 taken, qint64 size,
                        usbio::Status reason);
    void transferComplete(const QByteArray &fileName, qint64 size, qint64 elapsedMs);

    // ---- Between the units --------------------------------------------------------
    void dispatchCommandLine(const QStringList &arguments);
    // The loader is ready ("Flash is BLANK").
    void loaderReady();
    // A line the message log showed, after its replies were acted on.
    void lineShown(const QByteArray &line);
    // A serial-number reply, accepted with its number or refused.
    void serialReply(bool accepted, const QByteArray &serial);
    // Fills and prints the certificate of a calibration reply, noting it for
    // the record; raises the report engine's error (noted too).
    void printCertificate(const QByteArray &serialNo, const QByteArray &deviation,
                          const QByteArray &setDate);
    // The certificate was made, or could not be (with the engine's message).
    void certificateMade(bool made, const QString &error);

    // ---- How the run ends --------------------------------------------------------
    // Ends the run, of the kind given; reason says in a few words why. The
    // first failed end decides (RunOutcome); the host is asked to end.
    void end(EndKind kind, const QString &reason);
    // Ends a run that cannot go on, saying why where whoever started it
    // sees it: the line in the log, and without --batch a box too (boxText,
    // or the line) before the window goes; with --batch the line is all.
    void endWithLine(EndKind kind, const QString &line, const QString &boxText = QString());
    // Told of every end as it is recorded.
    std::function<void(EndKind kind, const QString &reason)> OnEnd;
    // A box of an unattended run, as its line ("Error: No Vemo found"): it
    // counts against the run and ends one that waits for a reply.
    void boxShown(const QString &line);
    // An exception reached the application (its display was shown).
    void exceptionShown(const QString &message);
    // SIGTERM, SIGINT: the run ends (during a transfer, after its chunk in
    // flight).
    void interrupted(const QString &signalName);
    // The run's time-out ran out.
    void timedOut(int seconds);

private:
    WindowPort &FWindow;
    RunSettings FSettings;
    DeviceChoice FDeviceChoice;
    RunFacts FRunFacts;
    RunOutcome FOutcome;
    WindowState FState;

    StartUp FStartUp;
    DeviceList FDeviceList;
    ConnectionControl FConnection;
    OperatorFunctions FOperator;
    IncomingLines FIncoming;
    UpdateFlow FUpdate;
    CommandLineRuns FRuns;
    SerialReadBack FReadBack;
};

} // namespace dialogue
