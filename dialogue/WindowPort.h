#pragma once

#include <QByteArray>
#include <QString>

class TRegTools;
class TVemoUSBinterface;

namespace dialogue {

// What the device dialogue needs of the main window's widgets: the message
// log, the device list, the controls, the timers, the file field and the
// progress bar, and the link and registry probe the window owns. The window
// implements it and only shows and forwards; what a run knows and decides
// lives in DeviceDialogue, so the dialogue runs without a widget in tests
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

    // ---- The certificate ---------------------------------------------------
    // Fills and prints the accuracy certificate with the report the window
    // holds; the PDF file it was written to, or empty when it went to a
    // printer. Raises the report engine's error when it cannot be made.
    virtual QString printCertificate(const QByteArray &serialNo, const QByteArray &deviation,
                                     const QByteArray &setDate) = 0;
};

} // namespace dialogue
