#include "platform/QtHostServices.h"

#include "platform/EventPump.h"
#include "platform/FileDialogFilter.h"
#include "platform/MessageBoxStyle.h"
#include "platform/TerminalText.h"
#include "platform/TerminationSignals.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace platform {

namespace {

bool haveWidgets()
{
    return qobject_cast<QApplication *>(QCoreApplication::instance()) != nullptr;
}

// How often a program's wait looks at the deadline and the signals.
constexpr int kProgramLookMs = 100;

// What a program wrote goes on to standard error, as lines for a terminal:
// standard output may carry the message log or the capture.
void passOnOutput(QProcess &process)
{
    const QByteArray bytes = process.readAllStandardOutput();
    if (bytes.isEmpty())
        return;
    const QByteArray text =
        TerminalText::escapedKeepingLines(QString::fromLocal8Bit(bytes)).toLocal8Bit();
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    std::fflush(stderr);
}

// The program and whatever it started in its process group end: asked
// first, then killed. What they inherited (the pipe of their output, the
// null device) closes with the last of them.
void endProcessGroup(QProcess &process, pid_t group)
{
    ::kill(-group, SIGTERM);
    if (!process.waitForFinished(QtHostServices::ProgramEndGraceMs)) {
        ::kill(-group, SIGKILL);
        process.waitForFinished(QtHostServices::ProgramEndGraceMs);
    }
    // Those it started that outlived it, SIGTERM or not.
    ::kill(-group, SIGKILL);
}

} // namespace

QtHostServices::QtHostServices() : m_context(std::make_unique<QObject>()) {}

QtHostServices::~QtHostServices()
{
    if (m_busy && qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        QGuiApplication::restoreOverrideCursor();
}

int QtHostServices::messageBox(const QString &text, const QString &caption, int flags)
{
    const MessageBoxStyle style = MessageBoxStyle::fromFlags(flags);
    if (!haveWidgets()) {
        // No widgets to show it with: the text at least reaches the log.
        qWarning("%s: %s", qUtf8Printable(caption), qUtf8Printable(text));
        return style.resultFor(QMessageBox::NoButton);
    }
    QMessageBox box(style.ownedByActiveWindow ? QApplication::activeWindow() : nullptr);
    box.setWindowModality(Qt::ApplicationModal);
    box.setIcon(style.icon);
    box.setWindowTitle(caption);
    // Device and file texts are shown as they are, never as markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
    for (QMessageBox::StandardButton button : style.buttons)
        box.addButton(button);
    box.setDefaultButton(style.defaultButton);
    box.exec();
    return style.resultFor(box.standardButton(box.clickedButton()));
}

void QtHostServices::beep()
{
    if (haveWidgets())
        QApplication::beep();
}

void QtHostServices::setBusyCursor(bool busy)
{
    // One override at most, however often busy is asked for.
    if (busy == m_busy || !qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return;
    m_busy = busy;
    if (busy)
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QGuiApplication::restoreOverrideCursor();
}

void QtHostServices::sleep(int milliseconds)
{
    if (milliseconds > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool QtHostServices::runProgramAndWait(const QString &program, const QStringList &arguments)
{
    QProcess process;
    // The program's output comes to us and goes on to standard error; it
    // reads nothing. So it holds nothing of ours: a program that outlives
    // the run keeps no pipeline of the run's waiting.
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    const pid_t parent = ::getpid();
    process.setChildProcessModifier([parent] {
        // A process group of its own, which can be ended with all it starts;
        // the signals the run holds are not held for it.
        ::setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        // Nor is a closed pipe ignored for it, as it is for the run.
        struct sigaction standard = {};
        standard.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &standard, nullptr);
#ifdef __linux__
        // A run that dies without ending it takes it along.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
#else
        (void)parent;
#endif
    });
    // A program named without a folder is the one in the current folder, as
    // the desktop starts it, never one found along PATH.
    const bool bare = !program.contains(QLatin1Char('/')) && !program.contains(QDir::separator());
    process.start(bare ? QDir::current().absoluteFilePath(program) : program, arguments);
    if (!process.waitForStarted(-1))
        return false;
    const pid_t group = pid_t(process.processId());
    const ProgramLimit limit = m_programLimit;
    for (;;) {
        int look = kProgramLookMs;
        if (limit.deadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                *limit.deadline - std::chrono::steady_clock::now());
            look = int(std::clamp<qint64>(left.count(), 0, kProgramLookMs));
        }
        // Its end is not missed between two looks: a finished program ends
        // the wait at once.
        if (process.waitForFinished(look) || process.state() == QProcess::NotRunning)
            break;
        passOnOutput(process);
        std::optional<ProgramCut> cut;
        if (limit.endOnSignal && TerminationSignals::pending())
            cut = ProgramCut::Signal;
        else if (limit.deadline && std::chrono::steady_clock::now() >= *limit.deadline)
            cut = ProgramCut::Deadline;
        if (!cut)
            continue;
        endProcessGroup(process, group);
        passOnOutput(process);
        if (limit.ended)
            limit.ended(*cut);
        return true;
    }
    passOnOutput(process);
    return true;
}

bool QtHostServices::openUrl(const QString &url)
{
    // Tolerant parsing encodes what a shell would take as it is (spaces of
    // a mailto: body and the like).
    QUrl parsed(url, QUrl::TolerantMode);
    if (!parsed.isValid() || parsed.scheme().isEmpty())
        parsed = QUrl::fromUserInput(url);
    return parsed.isValid() && QDesktopServices::openUrl(parsed);
}

bool QtHostServices::chooseFile(const QString &filter, QString &fileName)
{
    QFileDialog dialog(QApplication::activeWindow());
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    const QStringList filters = qtNameFilters(filter);
    if (!filters.isEmpty())
        dialog.setNameFilters(filters);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    fileName = QDir::toNativeSeparators(dialog.selectedFiles().first());
    return true;
}

bool QtHostServices::deleteFile(const QString &path, int &lastError)
{
    if (std::remove(QFile::encodeName(path).constData()) == 0)
        return true;
    switch (errno) {
    case EACCES:
    case EPERM:
    case EROFS:
    case EBUSY:
        lastError = ERROR_ACCESS_DENIED;
        break;
    case ENOENT:
        lastError = ERROR_FILE_NOT_FOUND;
        break;
    default:
        lastError = ERROR_GEN_FAILURE;
        break;
    }
    return false;
}

QString QtHostServices::tempDirectory()
{
    return QDir::toNativeSeparators(QDir::tempPath());
}

QDate QtHostServices::today()
{
    return QDate::currentDate();
}

OsVersion QtHostServices::osVersion()
{
    return osVersionFrom(QOperatingSystemVersion::current(), QSysInfo::kernelVersion(),
                         QSysInfo::prettyProductName());
}

OsVersion QtHostServices::osVersionFrom(const QOperatingSystemVersion &system,
                                        const QString &kernelVersion, const QString &productName)
{
    OsVersion version;
    if (system.type() == QOperatingSystemVersion::Windows) {
        version.major = unsigned(qMax(0, system.majorVersion()));
        version.minor = unsigned(qMax(0, system.minorVersion()));
        return version;
    }
    static const QRegularExpression numbers(QStringLiteral("^(\\d+)(?:\\.(\\d+))?"));
    const QRegularExpressionMatch match = numbers.match(kernelVersion.trimmed());
    if (match.hasMatch()) {
        version.major = match.captured(1).toUInt();
        version.minor = match.captured(2).toUInt();
    }
    version.servicePack = productName;
    return version;
}

QString QtHostServices::currentDirectory()
{
    return QDir::toNativeSeparators(QDir::currentPath());
}

bool QtHostServices::fileExists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() && info.isFile();
}

void QtHostServices::terminate()
{
    m_terminateRequested = true;
    // Before the main loop a request is only recorded: quitting now would
    // end every loop that runs meanwhile, a message box's included, and the
    // main loop is then not entered at all.
    if (!m_loopRunning)
        return;
    // Taken when the loop next handles messages, not inside the caller.
    QMetaObject::invokeMethod(
        m_context.get(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

int QtHostServices::runMessageLoop()
{
    if (m_terminateRequested || !QCoreApplication::instance())
        return 0;
    m_loopRunning = true;
    const int result = QCoreApplication::exec();
    m_loopRunning = false;
    return result;
}

bool QtHostServices::terminateRequested() const
{
    return m_terminateRequested;
}

void QtHostServices::showException(const QString &message)
{
    messageBox(message, QGuiApplication::applicationDisplayName(), MB_OK | MB_ICONHAND);
}

void QtHostServices::handleMessage(int maxWaitMs)
{
    EventPump::handleMessage(maxWaitMs);
}

void QtHostServices::processMessages()
{
    EventPump::processMessages();
}

} // namespace platform
