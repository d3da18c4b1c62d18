#pragma once

#include "dialogue/WindowPort.h"
#include "registry/RegTools.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// The main window's widgets as the dialogue sees them, without a widget: it
// keeps what the window would show (the message log, the raw log, the
// device list, the controls' and timers' states, the file field, the
// progress bar) and the certificates it was asked to print. The link comes
// from createLink() and is the port's until destroyLink() or the port's
// end; the registry probe reads the default key store. DialogueRig puts a
// DeviceDialogue over it, as the window holds one.
class FakeWindowPort : public dialogue::WindowPort
{
public:
    FakeWindowPort();
    ~FakeWindowPort() override;
    FakeWindowPort(const FakeWindowPort &) = delete;
    FakeWindowPort &operator=(const FakeWindowPort &) = delete;

    // ---- What the window shows ---------------------------------------------

    // The message log, one entry per line; device text decoded as the window
    // decodes it, without its ending CR/LF.
    QStringList lines;
    // Runs after each entry is logged.
    std::function<void(const QString &line)> onLog;
    // The raw receive log, as the dialogue hands it over.
    QList<QByteArray> rawLines;

    QStringList deviceItems;
    int selectedItem = -1;

    QString fileText; // FileNameE
    // The file field's text at each repaint.
    QStringList fileRepaints;
    QString dialogFilter;

    // -1: never set.
    bool progressVisible = false;
    int progressPosition = -1;
    // Every position the bar was set to, in order.
    QList<int> progressPositions;
    int progressMaximum = -1;
    // The bar's position at each repaint, and whether it was visible then.
    QList<int> progressRepaints;
    QList<bool> visibleAtRepaint;

    // The check boxes and the command box, as the operator left them.
    bool withCRTicked = true;
    bool filterLifeTickTicked = false;
    bool echoTicked = false;
    QString command;
    QString windowCaption;

    // Every control starts enabled, as the layout has it.
    QHash<Control, bool> enabled;
    struct TimerState
    {
        bool enabled = false;
        int interval = 0;
    };
    QHash<Timer, TimerState> timers;

    // ---- What the dialogue asked of the window -------------------------------

    struct Certificate
    {
        QByteArray serialNo;
        QByteArray deviation;
        QByteArray setDate;
    };
    QList<Certificate> certificates;
    // When set, printCertificate() records the certificate and then raises
    // a std::runtime_error with this message, as a printer that fails.
    QString printError;
    // What printCertificate() says it wrote.
    QString certificateFile;
    // Links made by createLink(), the current one included.
    int linksCreated = 0;

    // Lets the link go, as the window does when it closes: its callbacks
    // reach nothing any more.
    void destroyLink();

    // ---- dialogue::WindowPort ----------------------------------------------
    void log(const QString &line) override;
    void logDevice(const QByteArray &line) override;
    void rawLog(const QByteArray &line) override { rawLines << line; }
    TVemoUSBinterface *link() override { return m_link.get(); }
    TVemoUSBinterface *createLink() override;
    TRegTools &regTools() override { return m_regTools; }
    int deviceItemCount() override { return int(deviceItems.size()); }
    int selectedDeviceIndex() override { return selectedItem; }
    void clearDeviceItems() override;
    void addDeviceItem(const QString &text) override { deviceItems << text; }
    void selectDeviceItem(int index) override { selectedItem = index; }
    void setControlEnabled(Control control, bool on) override { enabled[control] = on; }
    bool controlEnabled(Control control) override { return enabled.value(control, true); }
    QString fileName() override { return fileText; }
    void setFileName(const QString &path) override { fileText = path; }
    void repaintFileName() override { fileRepaints << fileText; }
    QString openDialogFilter() override { return dialogFilter; }
    void setOpenDialogFilter(const QString &filter) override { dialogFilter = filter; }
    void setProgressVisible(bool visible) override { progressVisible = visible; }
    void setProgressPosition(int position) override
    {
        progressPosition = position;
        progressPositions << position;
    }
    void setProgressMaximum(int maximum) override { progressMaximum = maximum; }
    void repaintProgress() override;
    bool withCR() override { return withCRTicked; }
    bool filterLifeTick() override { return filterLifeTickTicked; }
    bool echo() override { return echoTicked; }
    QString commandText() override { return command; }
    QString caption() override { return windowCaption; }
    void setTimerEnabled(Timer timer, bool on) override { timers[timer].enabled = on; }
    bool timerEnabled(Timer timer) override { return timers.value(timer).enabled; }
    void setTimerInterval(Timer timer, int milliseconds) override;
    int timerInterval(Timer timer) override { return timers.value(timer).interval; }
    QString printCertificate(const QByteArray &serialNo, const QByteArray &deviation,
                             const QByteArray &setDate) override;

private:
    TRegTools m_regTools;
    std::unique_ptr<TVemoUSBinterface> m_link;
};
