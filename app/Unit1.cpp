#include "app/Unit1.h"

#include "app/BatchRun.h"
#include "dialogue/Certificate.h"
#include "dialogue/CommandList.h"
#include "dialogue/DeviceText.h"
#include "dialogue/Intervals.h"
#include "download/FirmwareDownload.h"
#include "generations/GenerationTable.h"
#include "platform/HostServices.h"
#include "registry/RegTools.h"
#include "report/TfrxReport.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QIcon>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>

#include <cstdio>
#include <exception>
#include <stdexcept>

// Resources of a static library are registered by hand, from the global
// namespace.
static void initAppResources()
{
    Q_INIT_RESOURCE(app);
}

namespace {

constexpr int kClientWidth = 384;
constexpr int kClientHeight = 493;

template <class T> T *makeControl(QWidget *parent, const char *name)
{
    auto *control = new T(parent);
    control->setObjectName(QLatin1String(name));
    return control;
}

// Every control keeps its hint in the "hint" property; a hint that the
// window shows is also the tool tip. The window's own hints are off, so
// controls that take their hint switch from it hold a hint that is never shown.
void setHint(QWidget *control, const char *hint, bool shown = true)
{
    control->setProperty("hint", QString::fromLatin1(hint));
    if (shown)
        control->setToolTip(QString::fromLatin1(hint));
}

QFont designFont()
{
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    // The stand-in face is wider than the design font, whose captions the
    // pixel bounds were measured for: narrowed, every caption reads in full
    // at its bounds while the height stays that of the design font.
    font.setStretch(88);
    return font;
}

QFont courierNew()
{
    QFont font(QStringLiteral("Courier New"));
    font.setStyleHint(QFont::TypeWriter);
    font.setPixelSize(13);
    return font;
}

} // namespace

TForm1::TForm1(const QStringList &Arguments, const ProgramOptions &Options, BatchRun *Run,
               QWidget *parent)
    : QWidget(parent), FArguments(Arguments), FAnchors(QSize(kClientWidth, kClientHeight)),
      FRun(Run), FFirmwareServer(Options.firmwareServer)
{
    CreateControls();
    ConnectHandlers();
    FDialogue.setRunSettings({Options.force, Options.verify, Options.expectVersion, Options.batch});
    // The device the run works with, before start-up lists the devices.
    FDialogue.deviceChoice().setNamed(Options.device);
    // Start-up runs the production command lines: their boxes and a signal
    // reach the dialogue from its first step.
    if (FRun)
        FRun->attach(FDialogue);

    if (!Options.logFile.isEmpty()) {
        FLogFile.onFailure = [this](const QString &why) { LogFileLost(why); };
        QString error;
        if (!FLogFile.open(Options.logFile, &error))
            FLogFile.openFailed(Options.logFile, error);
    }

    // The certificate lives with the window. A definition that does not load
    // is reported; printing then reports it again each time.
    frReport1 = new TfrxReport(this);
    frReport1->SetPrintToFolder(Options.printTo);
    try {
        dialogue::LoadCertificate(*frReport1);
    } catch (const report::ReportError &e) {
        LogLine(QStringLiteral("Could not load the certificate: %1").arg(e.message()));
    }

    // An error escaping start-up is shown and ends the program: the window
    // is only half set up (possibly without its link), so it must not run.
    try {
        FormCreate(this);
    } catch (const std::exception &e) {
        FDialogue.exceptionShown(QString::fromUtf8(e.what()));
        platform::host().showException(QString::fromUtf8(e.what()));
        platform::host().terminate();
    } catch (...) {
        FDialogue.exceptionShown(QString());
        platform::host().showException(QString());
        platform::host().terminate();
    }
}

TForm1::~TForm1()
{
    // A window destroyed without being closed still lets the link go before
    // the registry probe.
    DestroyLink();
    FormDestroy(this);
    if (FRun)
        FRun->detach(FDialogue);
}

void TForm1::CreateControls()
{
    initAppResources();

    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromLatin1(MainCaption));
    // Read as what it is: guessing the format would load every image plugin.
    QImageReader icon(QStringLiteral(":/app/icon.png"), "png");
    icon.setAutoDetectImageFormat(false);
    setWindowIcon(QIcon(QPixmap::fromImage(icon.read())));
    resize(kClientWidth, kClientHeight);

    // The design font of the toolkit's windows, which the pixel bounds of
    // the controls are made for. Where the face is missing, a sans-serif
    // face of similar width stands in (fontconfig alone picks a wider one).
    if (QFont::substitutes(QStringLiteral("MS Sans Serif")).isEmpty())
        QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                                   {QStringLiteral("Liberation Sans"), QStringLiteral("Arial")});
    setFont(designFont());

    QPalette windowPalette = palette();
    windowPalette.setColor(QPalette::Window, windowPalette.color(QPalette::Button));
    setPalette(windowPalette);
    setAutoFillBackground(true);

    using A = AnchorLayout;

    DevicesCB = makeControl<QComboBox>(this, "DevicesCB");
    DevicesCB->setEditable(true);
    DevicesCB->setInsertPolicy(QComboBox::NoInsert);
    setHint(DevicesCB, "Choose a Vemo");
    FAnchors.place(DevicesCB, QRect(16, 24, 145, 21));

    Open = makeControl<QPushButton>(this, "Open");
    Open->setText(QStringLiteral("Open"));
    setHint(Open, "Open Device");
    FAnchors.place(Open, QRect(192, 24, 75, 25));

    Close = makeControl<QPushButton>(this, "Close");
    Close->setText(QStringLiteral("Close"));
    setHint(Close, "Close Device");
    FAnchors.place(Close, QRect(280, 24, 91, 25));

    Message = makeControl<LogView>(this, "Message");
    Message->setFont(courierNew());
    Message->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Message->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Message->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Tab moves on to the next control, as in the toolkit's memo.
    Message->setTabChangesFocus(true);
    setHint(Message, "Messages Window");
    FAnchors.place(Message, QRect(16, 160, 353, 303),
                   A::AnchorLeft | A::AnchorTop | A::AnchorRight | A::AnchorBottom);

    SendCommand = makeControl<QPushButton>(this, "SendCommand");
    SendCommand->setText(QStringLiteral("Send Command"));
    setHint(SendCommand, "Send choosen command to the Vemo");
    FAnchors.place(SendCommand, QRect(168, 64, 105, 25));

    FileNameE = makeControl<QLineEdit>(this, "FileNameE");
    setHint(FileNameE, "Enter Firmware Update File");
    FAnchors.place(FileNameE, QRect(16, 112, 183, 21),
                   A::AnchorLeft | A::AnchorTop | A::AnchorRight);

    ChooseFile = makeControl<QPushButton>(this, "ChooseFile");
    ChooseFile->setText(QStringLiteral("Search..."));
    setHint(ChooseFile, "Search for File");
    FAnchors.place(ChooseFile, QRect(200, 108, 73, 25), A::AnchorTop | A::AnchorRight);

    ProgressBar1 = makeControl<QProgressBar>(this, "ProgressBar1");
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    setHint(ProgressBar1, "Update in Progress");
    FAnchors.place(ProgressBar1, QRect(16, 136, 353, 18),
                   A::AnchorLeft | A::AnchorTop | A::AnchorRight);

    Update = makeControl<QPushButton>(this, "Update");
    Update->setText(QStringLiteral("Update"));
    setHint(Update, "Program new Firmware");
    FAnchors.place(Update, QRect(280, 108, 91, 25), A::AnchorTop | A::AnchorRight);

    SleepTestB = makeControl<QPushButton>(this, "Button1");
    SleepTestB->setText(QStringLiteral("SleepTest 5s"));
    FAnchors.place(SleepTestB, QRect(448, 40, 89, 25));

    OpenCloseTestB = makeControl<QPushButton>(this, "Button2");
    OpenCloseTestB->setText(QStringLiteral("200xOpen/Close"));
    FAnchors.place(OpenCloseTestB, QRect(448, 72, 89, 25));

    WithCR = makeControl<QCheckBox>(this, "WithCR");
    WithCR->setText(QStringLiteral("With CR"));
    WithCR->setChecked(true);
    setHint(WithCR, "Add a Carriage return after command");
    FAnchors.place(WithCR, QRect(48, 88, 97, 17));

    FilterLifeTick = makeControl<QCheckBox>(this, "FilterLifeTick");
    FilterLifeTick->setText(QStringLiteral("Filter Life Tick"));
    FilterLifeTick->setChecked(false);
    setHint(FilterLifeTick, "Here you can disable view of Life Ticker");
    FAnchors.place(FilterLifeTick, QRect(232, 466, 145, 17), A::AnchorLeft | A::AnchorBottom);

    Command = makeControl<QComboBox>(this, "Command");
    Command->setEditable(true);
    Command->setInsertPolicy(QComboBox::NoInsert);
    Command->setFont(courierNew());
    Command->addItems(dialogue::CommandList::operatorCommands());
    for (int i = 0; i < Command->count(); ++i)
        Command->setItemData(i, QSize(0, 16), Qt::SizeHintRole);
    Command->setCurrentIndex(-1);
    Command->setEditText(QStringLiteral("NSF?"));
    // The listed commands are offered in the box's own drop-down list, and
    // the text stays as typed: no completion in place (Enter sends "KL",
    // not the "KL?" the editable box's own completer would make of it) and
    // no list of suggestions that opens by itself as the operator types
    // (a popup takes the next click for itself, so a click on Send Command
    // would only close it).
    Command->setCompleter(nullptr);
    setHint(Command, "Enter a command");
    FAnchors.place(Command, QRect(16, 64, 145, 24));

    WithoutFilter = makeControl<LogView>(this, "WithoutFilter");
    WithoutFilter->setLineWrapMode(QPlainTextEdit::NoWrap);
    WithoutFilter->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    WithoutFilter->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    WithoutFilter->setTabChangesFocus(true);
    WithoutFilter->setPlainText(QStringLiteral("WithoutFilter"));
    FAnchors.place(WithoutFilter, QRect(600, 8, 185, 89));

    Count10sWind = makeControl<QPushButton>(this, "Count10sWind");
    Count10sWind->setText(QStringLiteral("Count10sWind"));
    setHint(Count10sWind, "Sends a SP2W to Vemo after every 10 sek. for countinous Wind test",
            false);
    FAnchors.place(Count10sWind, QRect(448, 8, 89, 25));

    DownloadB = makeControl<QPushButton>(this, "DownloadB");
    DownloadB->setText(QStringLiteral("Download Fw"));
    setHint(DownloadB, "Download Firmware from Internet", false);
    FAnchors.place(DownloadB, QRect(280, 64, 91, 25));

    EchoCB = makeControl<QCheckBox>(this, "EchoCB");
    EchoCB->setText(QStringLiteral("Echo"));
    EchoCB->setChecked(false);
    FAnchors.place(EchoCB, QRect(808, 16, 97, 17));

    DTPTestB = makeControl<QPushButton>(this, "DTPB");
    DTPTestB->setText(QStringLiteral("200xDTP"));
    FAnchors.place(DTPTestB, QRect(808, 40, 75, 25));

    VemosL = makeControl<QLabel>(this, "VemosL");
    VemosL->setText(QStringLiteral("Vemo's available:"));
    setHint(VemosL, "Choose an available Vemo");
    FAnchors.place(VemosL, QRect(16, 8, 77, 13));

    BugLabel = makeControl<QLabel>(this, "BugLabel");
    BugLabel->setText(QStringLiteral("Send Bug to: ") +
                      QString::fromLatin1(dialogue::SupportAddress));
    QFont bugFont = designFont();
    bugFont.setUnderline(true);
    BugLabel->setFont(bugFont);
    QPalette bugPalette = BugLabel->palette();
    bugPalette.setColor(QPalette::WindowText, Qt::blue);
    BugLabel->setPalette(bugPalette);
    BugLabel->setCursor(Qt::PointingHandCursor);
    setHint(BugLabel, "Click here to send a bugreport");
    FAnchors.place(BugLabel, QRect(16, 466, 192, 13), A::AnchorLeft | A::AnchorBottom);

    // The tab order of the layout, service area included.
    const QList<QWidget *> tabOrder{DevicesCB,      Open,       Close,          Message,
                                    SendCommand,    FileNameE,  ChooseFile,     ProgressBar1,
                                    Update,         SleepTestB, OpenCloseTestB, WithCR,
                                    FilterLifeTick, Command,    WithoutFilter,  Count10sWind,
                                    DownloadB,      EchoCB,     DTPTestB};
    for (int i = 0; i + 1 < tabOrder.size(); ++i)
        QWidget::setTabOrder(tabOrder.at(i), tabOrder.at(i + 1));

    // The layout's filter is the first generation's; every open sets its own.
    OpenDialog1.Filter = generations::table().first().fileFilter;

    const dialogue::Intervals &intervals = dialogue::intervals();
    RestartVemoTimer = new QTimer(this);
    RestartVemoTimer->setObjectName(QStringLiteral("RestartVemoTimer"));
    RestartVemoTimer->setInterval(intervals.restartReminder);
    BWFTimer = new QTimer(this);
    BWFTimer->setObjectName(QStringLiteral("BWFTimer"));
    BWFTimer->setInterval(intervals.bwfLayout);
    VemoWind = new QTimer(this);
    VemoWind->setObjectName(QStringLiteral("VemoWind"));
    VemoWind->setInterval(intervals.windTest);
}

void TForm1::ConnectHandlers()
{
    connect(Open, &QPushButton::clicked, this, [this] { OpenClick(Open); });
    connect(Close, &QPushButton::clicked, this, [this] { CloseClick(Close); });
    connect(SendCommand, &QPushButton::clicked, this, [this] { SendCommandClick(SendCommand); });
    connect(ChooseFile, &QPushButton::clicked, this, [this] { ChooseFileClick(ChooseFile); });
    connect(Update, &QPushButton::clicked, this, [this] { UpdateClick(Update); });
    connect(SleepTestB, &QPushButton::clicked, this, [this] { SleepTestBClick(SleepTestB); });
    connect(OpenCloseTestB, &QPushButton::clicked, this,
            [this] { OpenCloseTestBClick(OpenCloseTestB); });
    connect(Count10sWind, &QPushButton::clicked, this, [this] { Count10sWindClick(Count10sWind); });
    connect(DownloadB, &QPushButton::clicked, this, [this] { DownloadBClick(DownloadB); });
    connect(DTPTestB, &QPushButton::clicked, this, [this] { DTPTestBClick(DTPTestB); });

    connect(RestartVemoTimer, &QTimer::timeout, this,
            [this] { RestartVemoTimerTimer(RestartVemoTimer); });
    connect(BWFTimer, &QTimer::timeout, this, [this] { BWFTimerTimer(BWFTimer); });
    connect(VemoWind, &QTimer::timeout, this, [this] { VemoWindTimer(VemoWind); });

    // Keys typed into the command box arrive at the box, which hands them on
    // to its line edit itself (past any filter there).
    Command->installEventFilter(this);
    BugLabel->installEventFilter(this);
}

bool TForm1::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Command && event->type() == QEvent::KeyPress) {
        auto *keyEvent = static_cast<QKeyEvent *>(event);
        int key = keyEvent->key();
        CommandKeyDown(Command, key, keyEvent->modifiers());
        return false; // the combo box still gets the key
    }
    if (watched == BugLabel && event->type() == QEvent::MouseButtonRelease) {
        auto *mouseEvent = static_cast<QMouseEvent *>(event);
        if (mouseEvent->button() == Qt::LeftButton &&
            BugLabel->rect().contains(mouseEvent->position().toPoint()))
            BugLabelClick(BugLabel);
    }
    return QWidget::eventFilter(watched, event);
}

void TForm1::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    FAnchors.apply(event->size());
}

void TForm1::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (FCentred || !isWindow())
        return;
    FCentred = true;
    if (QScreen *shown = screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(shown->availableGeometry().center());
        move(frame.topLeft());
    }
}

void TForm1::closeEvent(QCloseEvent *event)
{
    bool canClose = true;
    FormCloseQuery(this, canClose);
    if (!canClose) {
        event->ignore();
        return;
    }
    FormClose(this);
    event->accept();
}

void TForm1::LogLine(const QString &Line)
{
    QString entry = Line;
    // The device ends its lines with CR; the entry itself is the line.
    while (entry.endsWith(QLatin1Char('\r')) || entry.endsWith(QLatin1Char('\n')))
        entry.chop(1);
    // A break inside the text shows as a line break, in the window and in the copy alike.
    entry.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    entry.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    const bool firstDropped = Message->appendLine(entry);
    FLogFile.writeLine(entry);
    if (firstDropped)
        LogLine(
            QStringLiteral("The message log shows its last %1 lines: older lines are dropped "
                           "from the view%2")
                .arg(Message->lineLimit())
                .arg(FLogFile.isOpen() ? QStringLiteral("; the log file keeps them") : QString()));
}

void TForm1::LogFileLost(const QString &why)
{
    FDialogue.outcome().recordLogFileFailure(why);
    const QString line = QStringLiteral("The log file cannot be kept: %1").arg(why);
    const QByteArray bytes = (QStringLiteral("vemotool: ") + line).toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
    // The copy is closed by now: the line goes to the window only.
    LogLine(line);
}

void TForm1::LogLine(const AnsiString &Line)
{
    LogLine(dialogue::DeviceText::decode(Line));
}

void TForm1::LogLine(const char *Line)
{
    LogLine(QString::fromLatin1(Line));
}

void TForm1::FormCreate(QObject *)
{
    // The probe first: start-up reads the registry from its first step on.
    RegTools = new TRegTools();
    FDialogue.start(FArguments);
}

int TForm1::RefreshDeviceList()
{
    return FDialogue.refreshDeviceList();
}

void TForm1::FormCloseQuery(QObject *, bool &CanClose)
{
    // While an image streams the operator is asked first.
    CanClose = FDialogue.closeQuery();
}

void TForm1::FormClose(QObject *)
{
    StopTimers();
    // A running transfer ends with its chunk in flight, reported and logged
    // while the window still listens.
    FDialogue.windowClosing();
    DestroyLink();
}

void TForm1::StopTimers()
{
    RestartVemoTimer->stop();
    BWFTimer->stop();
    VemoWind->stop();
}

void TForm1::DestroyLink()
{
    // No tick may reach a window whose link is going (closing the device
    // waits for a chunk in flight, handling messages).
    StopTimers();
    if (!USBLink)
        return;
    // The window is going: what the link reports while it closes (a transfer
    // it ends) reaches no handler.
    USBLink->OnDeviceRemoved = nullptr;
    USBLink->OnDeviceArrived = nullptr;
    USBLink->OnDataReceived = nullptr;
    USBLink->OnFileProgress = nullptr;
    USBLink->OnFileFailed = nullptr;
    USBLink->OnFileComplete = nullptr;
    if (USBLink->Opened) {
        USBLink->CloseDevice();
        Q_EMIT lifecycleStep(QStringLiteral("CloseDevice"));
    }
    TVemoUSBinterface *link = USBLink;
    USBLink = nullptr;
    delete link;
    Q_EMIT lifecycleStep(QStringLiteral("LinkDestroyed"));
}

void TForm1::FormDestroy(QObject *)
{
    if (!RegTools)
        return;
    delete RegTools;
    RegTools = nullptr;
    Q_EMIT lifecycleStep(QStringLiteral("RegToolsDestroyed"));
}

// ---- dialogue::WindowPort ----------------------------------------------------

void TForm1::log(const QString &line)
{
    LogLine(line);
}

void TForm1::logDevice(const QByteArray &line)
{
    LogLine(line);
}

void TForm1::rawLog(const QByteArray &line)
{
    // One line per chunk: the breaks a chunk carries show as blanks.
    QString entry = dialogue::DeviceText::decode(line);
    entry.replace(QLatin1Char('\r'), QLatin1Char(' '));
    entry.replace(QLatin1Char('\n'), QLatin1Char(' '));
    if (WithoutFilter->appendLine(entry))
        LogLine(
            QStringLiteral("The raw log shows its last %1 lines: older lines are dropped from it")
                .arg(WithoutFilter->lineLimit()));
}

TVemoUSBinterface *TForm1::createLink()
{
    // The application owns the link's component objects.
    USBLink = new TVemoUSBinterface(qApp);
    return USBLink;
}

int TForm1::deviceItemCount()
{
    return DevicesCB->count();
}

void TForm1::clearDeviceItems()
{
    DevicesCB->clear();
    DevicesCB->setEditText(QString());
}

void TForm1::addDeviceItem(const QString &text)
{
    DevicesCB->addItem(text);
}

void TForm1::selectDeviceItem(int index)
{
    DevicesCB->setCurrentIndex(index);
}

int TForm1::selectedDeviceIndex()
{
    return DevicesCB->currentIndex();
}

QWidget *TForm1::ControlWidget(Control control) const
{
    switch (control) {
    case Control::Open:
        return Open;
    case Control::DevicesCB:
        return DevicesCB;
    case Control::Close:
        return Close;
    case Control::SendCommand:
        return SendCommand;
    case Control::Update:
        return Update;
    case Control::ChooseFile:
        return ChooseFile;
    case Control::DownloadB:
        return DownloadB;
    }
    return nullptr;
}

QTimer *TForm1::TimerObject(Timer timer) const
{
    switch (timer) {
    case Timer::BWF:
        return BWFTimer;
    case Timer::RestartVemo:
        return RestartVemoTimer;
    case Timer::VemoWind:
        return VemoWind;
    }
    return nullptr;
}

void TForm1::setControlEnabled(Control control, bool enabled)
{
    ControlWidget(control)->setEnabled(enabled);
}

bool TForm1::controlEnabled(Control control)
{
    return ControlWidget(control)->isEnabled();
}

QString TForm1::fileName()
{
    return FileNameE->text();
}

void TForm1::setFileName(const QString &path)
{
    FileNameE->setText(path);
}

void TForm1::repaintFileName()
{
    FileNameE->repaint();
}

void TForm1::setProgressVisible(bool visible)
{
    ProgressBar1->setVisible(visible);
}

void TForm1::setProgressPosition(int position)
{
    ProgressBar1->setValue(position);
}

void TForm1::setProgressMaximum(int maximum)
{
    ProgressBar1->setMaximum(maximum);
}

void TForm1::repaintProgress()
{
    ProgressBar1->repaint();
}

bool TForm1::withCR()
{
    return WithCR->isChecked();
}

bool TForm1::filterLifeTick()
{
    return FilterLifeTick->isChecked();
}

bool TForm1::echo()
{
    return EchoCB->isChecked();
}

QString TForm1::commandText()
{
    return Command->currentText();
}

void TForm1::setTimerEnabled(Timer timer, bool enabled)
{
    QTimer *object = TimerObject(timer);
    // Enabling a running timer leaves its period as it is, as the toolkit's
    // timer does.
    if (enabled && !object->isActive())
        object->start();
    else if (!enabled)
        object->stop();
}

bool TForm1::timerEnabled(Timer timer)
{
    return TimerObject(timer)->isActive();
}

void TForm1::setTimerInterval(Timer timer, int milliseconds)
{
    TimerObject(timer)->setInterval(milliseconds);
}

int TForm1::timerInterval(Timer timer)
{
    return TimerObject(timer)->interval();
}

QString TForm1::printCertificate(const QByteArray &serialNo, const QByteArray &deviation,
                                 const QByteArray &setDate)
{
    dialogue::PrintCertificate(*frReport1, serialNo, deviation, setDate);
    return frReport1->LastPdfFile();
}

// ---- Handlers: each forwards to the dialogue ------------------------------------------

void TForm1::SendCommandClick(QObject *)
{
    FDialogue.operatorFunctions().SendCommandClick();
}

void TForm1::CommandKeyDown(QObject *, int &Key, Qt::KeyboardModifiers)
{
    FDialogue.operatorFunctions().CommandKeyDown(Key);
}

void TForm1::ChooseFileClick(QObject *)
{
    FDialogue.operatorFunctions().ChooseFileClick();
}

void TForm1::BugLabelClick(QObject *)
{
    FDialogue.operatorFunctions().BugLabelClick();
}

void TForm1::SleepTestBClick(QObject *)
{
    FDialogue.operatorFunctions().SleepTestClick();
}

void TForm1::OpenCloseTestBClick(QObject *)
{
    FDialogue.operatorFunctions().OpenCloseTestClick();
}

void TForm1::Count10sWindClick(QObject *)
{
    FDialogue.operatorFunctions().Count10sWindClick();
}

void TForm1::VemoWindTimer(QObject *)
{
    FDialogue.timerTick(Timer::VemoWind);
}

void TForm1::DTPTestBClick(QObject *)
{
    FDialogue.operatorFunctions().DTPTestClick();
}

void TForm1::OpenClick(QObject *)
{
    FDialogue.openClick();
}

void TForm1::CloseClick(QObject *)
{
    FDialogue.closeClick();
}

void TForm1::PnPRemoveNotification(TObject *, const IDispatchRef &)
{
    FDialogue.pnpRemoveNotification();
}

void TForm1::PnPAddNotification(TObject *, const IDispatchRef &)
{
    FDialogue.pnpAddNotification();
}

void TForm1::ShowDriverInfo()
{
    FDialogue.connection().ShowDriverInfo();
}

void TForm1::DeviceDataReceived(TObject *, const AnsiString &Data)
{
    FDialogue.deviceDataReceived(Data);
}

void TForm1::UpdateClick(QObject *)
{
    FDialogue.updateClick();
}

void TForm1::BWFTimerTimer(QObject *)
{
    FDialogue.timerTick(Timer::BWF);
}

void TForm1::RestartVemoTimerTimer(QObject *)
{
    FDialogue.timerTick(Timer::RestartVemo);
}

void TForm1::TransferProgress(TObject *, int Percent)
{
    FDialogue.transferProgress(Percent);
}

void TForm1::TransferFailed(TObject *, const AnsiString &FileName, qint64 Sent, qint64 Size,
                            usbio::Status Reason)
{
    FDialogue.transferFailed(FileName, Sent, Size, Reason);
}

void TForm1::TransferComplete(TObject *, const AnsiString &FileName, qint64 Size, qint64 ElapsedMs)
{
    FDialogue.transferComplete(FileName, Size, ElapsedMs);
}

void TForm1::DispatchCommandLine(const QStringList &Args)
{
    FDialogue.dispatchCommandLine(Args);
}

void TForm1::DownloadBClick(QObject *)
{
    download::FirmwareDownload download(*this, Downloader, FFirmwareServer);
    download.DeviceNamed = FDialogue.deviceChoice().hasNamed();
    download.DownloadBClick();
}
