#pragma once

#include "dialogue/DeviceChoice.h"
#include "dialogue/EndKind.h"
#include "dialogue/RunFacts.h"
#include "dialogue/RunSettings.h"
#include "dialogue/WindowState.h"
#include "usbio/Status.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

class TRegTools;
class TVemoUSBinterface;

namespace dialogue {

// What the device dialogue needs of the main window: its controls, its
// state, its link and its handlers. The window implements it; the dialogue
// units hold nothing else of the window, so they run without one in tests
// (tests/support/FakeWindowPort).
//
// The link returned by link() can be destroyed by anything that processes
// messages (a send, a message box, printing, the window closing): read it
// again after every such wait, never keep it across one.
class WindowPort
{
public:
    // The device controls whose enabled state the dialogue switches.
    enum class Control
    {
        Open,
        DevicesCB,
        Close,
        SendCommand,
        Update,
        ChooseFile,
        DownloadB,
    };

    enum class Timer
    {
        BWF,         // repeats the loader request during an update
        RestartVemo, // reminds the operator to restart the device
        VemoWind,    // the periodic wind-test command
    };

    virtual ~WindowPort() = default;

    // ---- Message log and raw log -------------------------------------------
    // One entry of the message log.
    virtual void log(const QString &line) = 0;
    // One entry of device text (8-bit, Windows-1252).
    virtual void logDevice(const QByteArray &line) = 0;
    // One line of the raw receive log (WithoutFilter).
    virtual void rawLog(const QByteArray &line) = 0;

    // ---- Link and registry probe -------------------------------------------
    // The current link; null once the window has let it go.
    virtual TVemoUSBinterface *link() = 0;
    // Makes the window's link, which the window owns from then on, and
    // returns it unbound and unconnected. Raises when it cannot be made.
    virtual TVemoUSBinterface *createLink() = 0;
    virtual TRegTools &regTools() = 0;

    // ---- Device list -------------------------------------------------------
    virtual int deviceItemCount() = 0;
    // Index of the selected item, -1 when none is.
    virtual int selectedDeviceIndex() = 0;
    // Rebuilds the device list; the number of devices, 0 after an unknown one.
    virtual int refreshDeviceList() = 0;
    // Empties the list and its edit text.
    virtual void clearDeviceItems() = 0;
    virtual void addDeviceItem(const QString &text) = 0;
    virtual void selectDeviceItem(int index) = 0;

    // ---- Controls ----------------------------------------------------------
    virtual void setControlEnabled(Control control, bool enabled) = 0;
    virtual bool controlEnabled(Control control) = 0;
    virtual QString fileName() = 0;
    virtual void setFileName(const QString &path) = 0;
    // Shows the file field's new text at once, before a blocking operation.
    virtual void repaintFileName() = 0;
    virtual QString openDialogFilter() = 0;
    virtual void setOpenDialogFilter(const QString &filter) = 0;
    virtual void setProgressVisible(bool visible) = 0;
    virtual void setProgressPosition(int position) = 0;
    virtual void setProgressMaximum(int maximum) = 0;
    // Shows the progress bar's new state at once (the window is not
    // handling messages while it downloads).
    virtual void repaintProgress() = 0;
    virtual bool withCR() = 0;
    virtual bool filterLifeTick() = 0;
    virtual bool echo() = 0;
    // The command box's edit text, as typed or picked.
    virtual QString commandText() = 0;
    // The window caption at this moment.
    virtual QString caption() = 0;

    // ---- Timers ------------------------------------------------------------
    virtual void setTimerEnabled(Timer timer, bool enabled) = 0;
    virtual bool timerEnabled(Timer timer) = 0;
    virtual void setTimerInterval(Timer timer, int milliseconds) = 0;
    virtual int timerInterval(Timer timer) = 0;

    // ---- Window state ------------------------------------------------------
    WindowState state() const { return FState; }
    bool updating() const { return FState.updating; }
    bool autoUpdate() const { return FState.autoUpdate; }
    QByteArray serialNo() const { return FState.serialNo; }
    QByteArray pendingChunk() const { return FState.pendingChunk; }
    void setUpdating(bool on) { FState.updating = on; }
    void setAutoUpdate(bool on) { FState.autoUpdate = on; }
    void setSerialNo(const QByteArray &serial) { FState.serialNo = serial; }
    void clearSerialNo() { FState.serialNo.clear(); }
    void holdChunk(const QByteArray &chunk) { FState.pendingChunk = chunk; }
    void clearPendingChunk() { FState.pendingChunk.clear(); }

    // The last failure a link call logged (LinkCalls::logFailure), its whole
    // line; whoever needs to say why an operation did not run clears it
    // before and reads it after.
    QString lastLinkFailure() const { return FLastLinkFailure; }
    void noteLinkFailure(const QString &line) { FLastLinkFailure = line; }

    // ---- How the production runs were asked for ------------------------------
    const RunSettings &runSettings() const { return FSettings; }
    void setRunSettings(const RunSettings &settings) { FSettings = settings; }

    // ---- The device the window works with (--device) and the one it follows
    DeviceChoice &deviceChoice() { return FDeviceChoice; }
    const DeviceChoice &deviceChoice() const { return FDeviceChoice; }

    // ---- What the run found out, for its record (--record) -------------------
    RunFacts &runFacts() { return FRunFacts; }
    const RunFacts &runFacts() const { return FRunFacts; }

    // ---- The window's handlers that other handlers call --------------------
    virtual void openClick() = 0;
    virtual void closeClick() = 0;
    virtual void updateClick() = 0;
    virtual void sendFirmwareFile() = 0;
    // Fills and prints the accuracy certificate; raises the report engine's
    // error when it cannot be made.
    virtual void printCertificate(const QByteArray &serialNo, const QByteArray &deviation,
                                  const QByteArray &setDate) = 0;
    // Hands the arguments after the program path to the command-line runs.
    virtual void dispatchCommandLine(const QStringList &arguments) = 0;
    // Ends the program: the end of an unattended run, of the kind given;
    // reason says in a few words what ended it.
    virtual void endProgram(EndKind kind, const QString &reason) = 0;
    // The same, done or failed: a failed end whose reason begins with
    // "transfer failed:" is an image that did not get into the device.
    void endProgram(bool failed, const QString &reason)
    {
        endProgram(endKindFor(failed, reason), reason);
    }

    // ---- The window's handlers that the link calls -------------------------
    // Start-up binds the link's callbacks to these.
    virtual void pnpRemoveNotification() = 0;
    virtual void pnpAddNotification() = 0;
    virtual void deviceDataReceived(const QByteArray &chunk) = 0;
    virtual void transferProgress(int percent) = 0;
    virtual void transferFailed(const QByteArray &fileName, qint64 sent, qint64 size,
                                usbio::Status reason) = 0;
    // The device took the last chunk of the image: the update is complete.
    virtual void transferComplete(const QByteArray &fileName, qint64 size, qint64 elapsedMs) = 0;

private:
    WindowState FState;
    DeviceChoice FDeviceChoice;
    RunSettings FSettings;
    RunFacts FRunFacts;
    QString FLastLinkFailure;
};

} // namespace dialogue
