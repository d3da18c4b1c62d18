#pragma once

#include "app/AnchorLayout.h"
#include "app/LogFile.h"
#include "app/LogView.h"
#include "app/OpenDialog.h"
#include "app/ProgramOptions.h"
#include "dialogue/DeviceDialogue.h"
#include "dialogue/RunOutcome.h"
#include "dialogue/WindowPort.h"
#include "link/VemoUSBinterface.h"

#include <QByteArray>
#include <QStringList>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class BatchRun;
class TRegTools;
class TfrxReport;
class TIdHTTP;

// The application's title (what the task bar shows), set by the entry point.
inline constexpr const char *ApplicationTitle = "Vemo USB update Demo";
// The window's caption; also the subject of the bug-report mail.
inline constexpr const char *MainCaption = "Vemo USB Update V" VEMO_VERSION;

// The program's one window: it owns the registry probe, the device link,
// the certificate report and the timers, builds the layout, shows the
// message log, and is the widget side of the device dialogue
// (dialogue::WindowPort). Each of its handlers forwards in one line to the
// dialogue it holds (dialogue::DeviceDialogue), which owns the units and
// routes every event; the window decides nothing.
//
// The constructor builds the layout and runs FormCreate to its end, as the
// toolkit runs OnCreate (an error escaping it is shown through the host's
// exception display and ends the program); the arguments are the program's
// own (argument 0 is the program path), so several windows can live in one
// process. run: the unattended run's watch (--batch, --timeout), told of
// the dialogue before start-up so that its boxes and signals reach it.
class TForm1 : public QWidget, public dialogue::WindowPort
{
    Q_OBJECT
public:
    TForm1(const QStringList &Arguments, const ProgramOptions &Options, BatchRun *Run = nullptr,
           QWidget *parent = nullptr);
    ~TForm1() override;

    // Controls, in tab order; the two labels take no focus.
    QComboBox *DevicesCB = nullptr;
    QPushButton *Open = nullptr;
    QPushButton *Close = nullptr;
    LogView *Message = nullptr;
    QPushButton *SendCommand = nullptr;
    QLineEdit *FileNameE = nullptr;
    QPushButton *ChooseFile = nullptr;
    QProgressBar *ProgressBar1 = nullptr;
    QPushButton *Update = nullptr;
    QPushButton *SleepTestB = nullptr;     // object name "Button1"
    QPushButton *OpenCloseTestB = nullptr; // object name "Button2"
    QCheckBox *WithCR = nullptr;
    QCheckBox *FilterLifeTick = nullptr;
    QComboBox *Command = nullptr;
    LogView *WithoutFilter = nullptr;
    QPushButton *Count10sWind = nullptr;
    QPushButton *DownloadB = nullptr;
    QCheckBox *EchoCB = nullptr;
    QPushButton *DTPTestB = nullptr; // object name "DTPB"
    QLabel *VemosL = nullptr;
    QLabel *BugLabel = nullptr;

    // Non-visual components.
    TOpenDialog OpenDialog1;
    QTimer *RestartVemoTimer = nullptr;
    QTimer *BWFTimer = nullptr;
    QTimer *VemoWind = nullptr;
    TfrxReport *frReport1 = nullptr;

    // Window state besides the port's.
    TRegTools *RegTools = nullptr;
    TVemoUSBinterface *USBLink = nullptr;
    TIdHTTP *Downloader = nullptr;

    // The program's arguments as start-up saw them, the program path first.
    const QStringList &Arguments() const { return FArguments; }
    // The control anchors, for re-placing on resize.
    const AnchorLayout &Anchors() const { return FAnchors; }

    // Appends one entry to the message log (and to the --log-file copy).
    // A trailing CR/LF of device text ends the entry rather than adding an
    // empty one.
    void LogLine(const QString &Line);
    // Device text: one byte per character.
    void LogLine(const AnsiString &Line);
    void LogLine(const char *Line);

    // Rebuilds DevicesCB from the link's scan; returns the number of
    // devices, or 0 after an unknown one.
    int RefreshDeviceList();

    // Window events.
    void FormCreate(QObject *Sender);
    void FormCloseQuery(QObject *Sender, bool &CanClose);
    void FormClose(QObject *Sender);
    void FormDestroy(QObject *Sender);

    // Operator functions.
    void SendCommandClick(QObject *Sender);
    // Key is Qt's key code (Qt::Key_Return / Qt::Key_Enter for Enter); the
    // key is never consumed.
    void CommandKeyDown(QObject *Sender, int &Key, Qt::KeyboardModifiers Shift);
    void ChooseFileClick(QObject *Sender);
    void BugLabelClick(QObject *Sender);
    void SleepTestBClick(QObject *Sender);
    void OpenCloseTestBClick(QObject *Sender);
    void Count10sWindClick(QObject *Sender);
    void VemoWindTimer(QObject *Sender);
    void DTPTestBClick(QObject *Sender);

    // Device connection.
    void OpenClick(QObject *Sender);
    void CloseClick(QObject *Sender);
    void PnPRemoveNotification(TObject *Sender, const IDispatchRef &Obj);
    void PnPAddNotification(TObject *Sender, const IDispatchRef &Obj);
    void ShowDriverInfo();

    // Incoming data.
    void DeviceDataReceived(TObject *Sender, const AnsiString &Data);

    // Firmware update.
    void UpdateClick(QObject *Sender);
    void BWFTimerTimer(QObject *Sender);
    void RestartVemoTimerTimer(QObject *Sender);
    void TransferProgress(TObject *Sender, int Percent);
    // The link's transfer ended before all of the image was handed over.
    void TransferFailed(TObject *Sender, const AnsiString &FileName, qint64 Sent, qint64 Size,
                        usbio::Status Reason);
    // The device took the whole image.
    void TransferComplete(TObject *Sender, const AnsiString &FileName, qint64 Size,
                          qint64 ElapsedMs);

    // Command-line runs: the arguments after the program path.
    void DispatchCommandLine(const QStringList &Args);

    // Firmware download.
    void DownloadBClick(QObject *Sender);

    // ---- dialogue::WindowPort -------------------------------------------------
    void log(const QString &line) override;
    void logDevice(const QByteArray &line) override;
    void rawLog(const QByteArray &line) override;
    TVemoUSBinterface *link() override { return USBLink; }
    TVemoUSBinterface *createLink() override;
    TRegTools &regTools() override { return *RegTools; }
    int deviceItemCount() override;
    int selectedDeviceIndex() override;
    void clearDeviceItems() override;
    void addDeviceItem(const QString &text) override;
    void selectDeviceItem(int index) override;
    void setControlEnabled(Control control, bool enabled) override;
    bool controlEnabled(Control control) override;
    QString fileName() override;
    void setFileName(const QString &path) override;
    void repaintFileName() override;
    QString openDialogFilter() override { return OpenDialog1.Filter; }
    void setOpenDialogFilter(const QString &filter) override { OpenDialog1.Filter = filter; }
    void setProgressVisible(bool visible) override;
    void setProgressPosition(int position) override;
    void setProgressMaximum(int maximum) override;
    void repaintProgress() override;
    bool withCR() override;
    bool filterLifeTick() override;
    bool echo() override;
    QString commandText() override;
    QString caption() override { return windowTitle(); }
    void setTimerEnabled(Timer timer, bool enabled) override;
    bool timerEnabled(Timer timer) override;
    void setTimerInterval(Timer timer, int milliseconds) override;
    int timerInterval(Timer timer) override;
    QString printCertificate(const QByteArray &serialNo, const QByteArray &deviation,
                             const QByteArray &setDate) override;

    // The device dialogue: the units, the run's state and how it ends.
    dialogue::DeviceDialogue &Dialogue() { return FDialogue; }
    const dialogue::DeviceDialogue &Dialogue() const { return FDialogue; }
    // How the run went; the exit status of an unattended run comes from it.
    dialogue::RunOutcome &Outcome() { return FDialogue.outcome(); }
    const dialogue::RunOutcome &Outcome() const { return FDialogue.outcome(); }
    // Looks whether the log file (--log-file) still holds, before the run's
    // last line: a copy lost is said once and fails an unattended run.
    void CheckLogFile() { FLogFile.check(); }

Q_SIGNALS:
    // Shutdown reports its steps, so their order can be followed from
    // outside: "CloseDevice", "LinkDestroyed", "RegToolsDestroyed".
    void lifecycleStep(const QString &step);

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void CreateControls();
    void ConnectHandlers();
    void DestroyLink();
    void StopTimers();
    // The copy of the message log was lost: said once, on standard error and
    // in the message log, and recorded for the exit status.
    void LogFileLost(const QString &why);
    QWidget *ControlWidget(Control control) const;
    QTimer *TimerObject(Timer timer) const;

    QStringList FArguments;
    AnchorLayout FAnchors;
    LogFile FLogFile;
    bool FCentred = false;
    // What each handler does lives in the dialogue.
    dialogue::DeviceDialogue FDialogue{*this};
    BatchRun *FRun = nullptr;
    // The maker's web server of the firmware download.
    QString FFirmwareServer;
};
