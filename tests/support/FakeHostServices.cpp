#include "tests/support/FakeHostServices.h"

#include "platform/EventPump.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <chrono>
#include <thread>

FakeHostServices::FakeHostServices()
    : tempDir(QDir::toNativeSeparators(QDir::tempPath())),
      todayDate(QDate::currentDate()), os{10, 0, QString()},
      currentDir(QDir::toNativeSeparators(QDir::currentPath()))
{}

FakeHostServices::~FakeHostServices() = default;

QString FakeHostServices::Call::toString() const
{
    switch (kind) {
    case Box:
        return QStringLiteral("box \"%1\" caption \"%2\" flags %3 -> %4")
            .arg(text, caption)
            .arg(flags)
            .arg(result);
    case Beep:
        return QStringLiteral("beep");
    case Cursor:
        return busy ? QStringLiteral("cursor busy") : QStringLiteral("cursor normal");
    case Sleep:
        return QStringLiteral("sleep %1").arg(milliseconds);
    case Program:
        return QStringLiteral("run \"%1\" [%2] -> %3")
            .arg(text, arguments.join(QStringLiteral(", ")),
                 result ? QStringLiteral("started") : QStringLiteral("not started"));
    case Url:
        return QStringLiteral("url \"%1\"").arg(text);
    case Terminate:
        return QStringLiteral("terminate");
    case Exception:
        return QStringLiteral("exception \"%1\"").arg(text);
    case FileDialog:
        return QStringLiteral("file dialog \"%1\" -> %2")
            .arg(text, result ? QStringLiteral("confirmed") : QStringLiteral("cancelled"));
    case Delete:
        return QStringLiteral("delete \"%1\" -> %2").arg(text).arg(result ? 0 : flags);
    }
    return QString();
}

void FakeHostServices::queueAnswers(const QList<int> &buttons)
{
    for (int button : buttons)
        m_answers.enqueue(button);
}

QList<FakeHostServices::Call> FakeHostServices::callsOf(Call::Kind kind) const
{
    QList<Call> result;
    for (const Call &call : m_calls) {
        if (call.kind == kind)
            result << call;
    }
    return result;
}

FakeHostServices::Call FakeHostServices::lastBox() const
{
    const QList<Call> shown = boxes();
    return shown.isEmpty() ? Call() : shown.last();
}

QStringList FakeHostServices::boxTexts() const
{
    QStringList texts;
    for (const Call &call : callsOf(Call::Box))
        texts << call.text;
    return texts;
}

QStringList FakeHostServices::urlsOpened() const
{
    QStringList urls;
    for (const Call &call : callsOf(Call::Url))
        urls << call.text;
    return urls;
}

QStringList FakeHostServices::exceptions() const
{
    QStringList messages;
    for (const Call &call : callsOf(Call::Exception))
        messages << call.text;
    return messages;
}

int FakeHostServices::sleptMs() const
{
    int total = 0;
    for (const Call &call : callsOf(Call::Sleep))
        total += call.milliseconds;
    return total;
}

QStringList FakeHostServices::journal() const
{
    QStringList lines;
    for (const Call &call : m_calls)
        lines << call.toString();
    return lines;
}

void FakeHostServices::clearCalls()
{
    m_calls.clear();
    m_handleMessageCalls = 0;
    m_processMessagesCalls = 0;
}

int FakeHostServices::messageBox(const QString &text, const QString &caption, int flags)
{
    Call box;
    box.kind = Call::Box;
    box.text = text;
    box.caption = caption;
    box.flags = flags;
    box.result = m_answers.isEmpty() ? platform::IDOK : m_answers.dequeue();
    // Recorded as it opens, so whatever runs inside sees it already.
    m_calls << box;
    if (boxProcessesEvents)
        platform::EventPump::processMessages();
    if (onBox && !m_inBoxCallback) {
        m_inBoxCallback = true;
        const auto done = [this] { m_inBoxCallback = false; };
        try {
            onBox(box);
        } catch (...) {
            done();
            throw;
        }
        done();
    }
    return box.result;
}

void FakeHostServices::beep()
{
    Call call;
    call.kind = Call::Beep;
    m_calls << call;
}

void FakeHostServices::setBusyCursor(bool busy)
{
    Call call;
    call.kind = Call::Cursor;
    call.busy = busy;
    m_calls << call;
    m_busy = busy;
}

void FakeHostServices::sleep(int milliseconds)
{
    Call call;
    call.kind = Call::Sleep;
    call.milliseconds = milliseconds;
    m_calls << call;
    if (realSleep && milliseconds > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool FakeHostServices::runProgramAndWait(const QString &program, const QStringList &arguments)
{
    Call call;
    call.kind = Call::Program;
    call.text = program;
    call.arguments = arguments;
    call.result = programStarts ? 1 : 0;
    m_calls << call;
    if (programStarts && onProgram)
        onProgram(program, arguments);
    return programStarts;
}

bool FakeHostServices::openUrl(const QString &url)
{
    Call call;
    call.kind = Call::Url;
    call.text = url;
    call.result = urlOpens ? 1 : 0;
    m_calls << call;
    return urlOpens;
}

bool FakeHostServices::chooseFile(const QString &filter, QString &fileName)
{
    Call call;
    call.kind = Call::FileDialog;
    call.text = filter;
    call.result = chosenFile.isEmpty() ? 0 : 1;
    m_calls << call;
    if (chosenFile.isEmpty())
        return false;
    fileName = chosenFile;
    return true;
}

bool FakeHostServices::deleteFile(const QString &path, int &lastError)
{
    Call call;
    call.kind = Call::Delete;
    call.text = path;
    bool deleted = false;
    if (deleteError != 0) {
        lastError = deleteError;
    } else if (QFile::remove(path)) {
        deleted = true;
    } else {
        lastError = QFileInfo::exists(path) ? platform::ERROR_ACCESS_DENIED
                                            : platform::ERROR_FILE_NOT_FOUND;
    }
    call.result = deleted ? 1 : 0;
    call.flags = deleted ? 0 : lastError;
    m_calls << call;
    return deleted;
}

bool FakeHostServices::fileExists(const QString &path)
{
    if (presentFiles.contains(path))
        return true;
    const QFileInfo info(path);
    return info.exists() && info.isFile();
}

void FakeHostServices::terminate()
{
    Call call;
    call.kind = Call::Terminate;
    m_calls << call;
    m_terminateRequested = true;
}

int FakeHostServices::runMessageLoop()
{
    return m_terminateRequested ? 0 : QCoreApplication::exec();
}

void FakeHostServices::showException(const QString &message)
{
    Call call;
    call.kind = Call::Exception;
    call.text = message;
    m_calls << call;
}

void FakeHostServices::handleMessage(int maxWaitMs)
{
    ++m_handleMessageCalls;
    platform::EventPump::handleMessage(maxWaitMs);
}

void FakeHostServices::processMessages()
{
    ++m_processMessagesCalls;
    platform::EventPump::processMessages();
}
