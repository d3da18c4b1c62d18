#pragma once

#include <QByteArray>
#include <QString>

class TRegTools;
class TVemoUSBinterface;

namespace dialogue {

// What the device dialogue needs of the main window: its controls, its
// state, its link and its handlers. The window implements it; the dialogue
// units hold nothing else of the window, so they run without one in tests.
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
    virtual TRegTools &regTools() = 0;

    // ---- Device list -------------------------------------------------------
    virtual int deviceItemCount() = 0;
    // Index of the selected item, -1 when none is.
    virtual int selectedDeviceIndex() = 0;
    // Rebuilds the device list; the number of devices, 0 after an unknown one.
    virtual int refreshDeviceList() = 0;

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
    virtual bool &updating() = 0;
    virtual bool &autoUpdate() = 0;
    virtual QByteArray &serialNo() = 0;
    virtual QByteArray &pendingChunk() = 0;

    // ---- The window's handlers that other handlers call --------------------
    virtual void openClick() = 0;
    virtual void closeClick() = 0;
    virtual void updateClick() = 0;
    virtual void sendFirmwareFile() = 0;
    // Fills and prints the accuracy certificate; raises the report engine's
    // error when it cannot be made.
    virtual void printCertificate(const QByteArray &serialNo, const QByteArray &deviation,
                                  const QByteArray &setDate) = 0;
    // Ends the program: the end of an unattended run. failed marks a run that
    // did not reach its end.
    virtual void endProgram(bool failed) = 0;
};

} // namespace dialogue
