#include "platform/EventPump.h"
#include "platform/MessageBoxStyle.h"
#include "platform/QtHostServices.h"
#include "platform/TerminationSignals.h"
#include "tests/support/TestMain.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <thread>
#include <unistd.h>

using namespace platform;
using SB = QMessageBox::StandardButton;

namespace {

// The processes of a process group that still run (a zombie has ended).
QList<int> liveMembersOf(qint64 group)
{
    QList<int> members;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool number = false;
        const int pid = entry.toInt(&number);
        if (!number)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid pgrp ...": the name may hold blanks.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 2 && fields.at(2).toLongLong() == group && fields.at(0) != "Z")
            members << pid;
    }
    return members;
}

// What a shown box looked like.
struct SeenBox
{
    bool shown = false;
    QString text;
    QString title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QList<SB> buttons;
    SB defaultButton = SB::NoButton;
    Qt::TextFormat format = Qt::AutoText;
    Qt::WindowModality modality = Qt::NonModal;
};

// Acts on the next modal message box as soon as it is shown: records it and
// then runs act (a click, a key) on it.
class BoxHandler : public QObject
{
public:
    BoxHandler(std::function<void(QMessageBox *)> act) : m_act(std::move(act))
    {
        m_poll.setInterval(1);
        connect(&m_poll, &QTimer::timeout, this, [this] { poll(); });
        m_poll.start();
    }
    SeenBox seen;

private:
    void poll()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        m_poll.stop();
        seen.shown = true;
        seen.text = box->text();
        seen.title = box->windowTitle();
        seen.icon = box->icon();
        for (QAbstractButton *button : box->buttons())
            seen.buttons << box->standardButton(button);
        seen.defaultButton = box->standardButton(box->defaultButton());
        seen.format = box->textFormat();
        seen.modality = box->windowModality();
        m_act(box);
    }
    QTimer m_poll;
    std::function<void(QMessageBox *)> m_act;
};

// Takes the URLs the desktop would open.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public Q_SLOTS:
    void open(const QUrl &url) { urls << url; }
};

void sortButtons(QList<SB> &buttons)
{
    std::sort(buttons.begin(), buttons.end());
}

} // namespace

class TestQtHostServices : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void flagsMapToBoxStyle_data()
    {
        QTest::addColumn<int>("flags");
        QTest::addColumn<int>("icon");
        QTest::addColumn<QList<SB>>("buttons");
        QTest::addColumn<int>("defaultButton");
        QTest::addColumn<bool>("owned");

        QTest::newRow("0 OK") << 0 << int(QMessageBox::NoIcon) << QList<SB>{SB::Ok} << int(SB::Ok)
                              << true;
        QTest::newRow("16 error") << 16 << int(QMessageBox::Critical) << QList<SB>{SB::Ok}
                                  << int(SB::Ok) << true;
        QTest::newRow("1 OK/Cancel") << 1 << int(QMessageBox::NoIcon)
                                     << QList<SB>{SB::Ok, SB::Cancel} << int(SB::Ok) << true;
        QTest::newRow("3+32 Yes/No/Cancel question")
            << (3 | 32) << int(QMessageBox::Question) << QList<SB>{SB::Yes, SB::No, SB::Cancel}
            << int(SB::Yes) << true;
        QTest::newRow("4+48 Yes/No warning") << (4 | 48) << int(QMessageBox::Warning)
                                             << QList<SB>{SB::Yes, SB::No} << int(SB::Yes) << true;
        QTest::newRow("64 information")
            << 64 << int(QMessageBox::Information) << QList<SB>{SB::Ok} << int(SB::Ok) << true;
        QTest::newRow("0x2000 task modal") << (0x2000 | 16) << int(QMessageBox::Critical)
                                           << QList<SB>{SB::Ok} << int(SB::Ok) << false;
        QTest::newRow("0x1000 system modal")
            << 0x1000 << int(QMessageBox::NoIcon) << QList<SB>{SB::Ok} << int(SB::Ok) << false;
        QTest::newRow("second button default") << (4 | 0x100) << int(QMessageBox::NoIcon)
                                               << QList<SB>{SB::Yes, SB::No} << int(SB::No) << true;
        QTest::newRow("third button default")
            << (3 | 0x200) << int(QMessageBox::NoIcon) << QList<SB>{SB::Yes, SB::No, SB::Cancel}
            << int(SB::Cancel) << true;
        QTest::newRow("default beyond the buttons")
            << (1 | 0x300) << int(QMessageBox::NoIcon) << QList<SB>{SB::Ok, SB::Cancel}
            << int(SB::Ok) << true;
        QTest::newRow("2 Abort/Retry/Ignore")
            << 2 << int(QMessageBox::NoIcon) << QList<SB>{SB::Abort, SB::Retry, SB::Ignore}
            << int(SB::Abort) << true;
        QTest::newRow("5 Retry/Cancel")
            << 5 << int(QMessageBox::NoIcon) << QList<SB>{SB::Retry, SB::Cancel} << int(SB::Retry)
            << true;
    }
    void flagsMapToBoxStyle()
    {
        QFETCH(int, flags);
        QFETCH(int, icon);
        QFETCH(QList<SB>, buttons);
        QFETCH(int, defaultButton);
        QFETCH(bool, owned);
        const MessageBoxStyle style = MessageBoxStyle::fromFlags(flags);
        QCOMPARE(int(style.icon), icon);
        QCOMPARE(style.buttons, buttons);
        QCOMPARE(int(style.defaultButton), defaultButton);
        QCOMPARE(style.ownedByActiveWindow, owned);
    }

    void buttonsMapToResults_data()
    {
        QTest::addColumn<int>("flags");
        QTest::addColumn<int>("button");
        QTest::addColumn<int>("result");
        QTest::newRow("OK") << 0 << int(SB::Ok) << int(IDOK);
        QTest::newRow("Cancel") << 1 << int(SB::Cancel) << int(IDCANCEL);
        QTest::newRow("Yes") << 3 << int(SB::Yes) << int(IDYES);
        QTest::newRow("No") << 4 << int(SB::No) << int(IDNO);
        QTest::newRow("Abort") << 2 << int(SB::Abort) << int(IDABORT);
        QTest::newRow("Retry") << 5 << int(SB::Retry) << int(IDRETRY);
        QTest::newRow("Ignore") << 2 << int(SB::Ignore) << int(IDIGNORE);
        QTest::newRow("closed: lone OK") << 16 << int(SB::NoButton) << int(IDOK);
        QTest::newRow("closed: with Cancel") << 3 << int(SB::NoButton) << int(IDCANCEL);
        QTest::newRow("closed: Yes/No") << 4 << int(SB::NoButton) << int(IDNO);
    }
    void buttonsMapToResults()
    {
        QFETCH(int, flags);
        QFETCH(int, button);
        QFETCH(int, result);
        QCOMPARE(MessageBoxStyle::fromFlags(flags).resultFor(SB(button)), result);
    }

    void messageBoxShowsAndAnswers_data()
    {
        QTest::addColumn<int>("flags");
        QTest::addColumn<int>("press"); // a standard button, or 0 for Escape
        QTest::addColumn<int>("result");
        QTest::newRow("error box, OK") << 16 << int(SB::Ok) << int(IDOK);
        QTest::newRow("error box, Escape") << 16 << 0 << int(IDOK);
        QTest::newRow("Yes/No, No") << (4 | 32) << int(SB::No) << int(IDNO);
        QTest::newRow("Yes/No/Cancel, Escape") << 3 << 0 << int(IDCANCEL);
        QTest::newRow("task modal OK/Cancel, Cancel")
            << (1 | 0x2000) << int(SB::Cancel) << int(IDCANCEL);
    }
    void messageBoxShowsAndAnswers()
    {
        QFETCH(int, flags);
        QFETCH(int, press);
        QFETCH(int, result);
        QtHostServices host;
        BoxHandler handler([press](QMessageBox *box) {
            if (press)
                box->button(SB(press))->click();
            else
                QTest::keyClick(box, Qt::Key_Escape);
        });
        const QString text = "Error <b>writing</b> & more";
        QCOMPARE(host.messageBox(text, "Error", flags), result);

        const MessageBoxStyle style = MessageBoxStyle::fromFlags(flags);
        QVERIFY(handler.seen.shown);
        QCOMPARE(handler.seen.text, text);
        QCOMPARE(handler.seen.title, "Error");
        QCOMPARE(handler.seen.format, Qt::PlainText);
        QCOMPARE(handler.seen.modality, Qt::ApplicationModal);
        QCOMPARE(handler.seen.icon, style.icon);
        QList<SB> expected = style.buttons;
        sortButtons(expected);
        sortButtons(handler.seen.buttons);
        QCOMPARE(handler.seen.buttons, expected);
        QCOMPARE(handler.seen.defaultButton, style.defaultButton);
    }

    void messageBoxRunsEventsWhileOpen()
    {
        QtHostServices host;
        bool ran = false;
        QTimer::singleShot(0, this, [&] { ran = true; });
        BoxHandler handler([&](QMessageBox *box) {
            if (ran)
                box->button(SB::Ok)->click();
        });
        QCOMPARE(host.messageBox("x", "y", 0), int(IDOK));
        QVERIFY(ran);
    }

    void exceptionDisplayIsAnErrorBox()
    {
        QtHostServices host;
        QGuiApplication::setApplicationDisplayName("Vemo USB update Demo");
        BoxHandler handler([](QMessageBox *box) { box->button(SB::Ok)->click(); });
        host.showException("Access violation");
        QVERIFY(handler.seen.shown);
        QCOMPARE(handler.seen.text, "Access violation");
        QCOMPARE(handler.seen.title, "Vemo USB update Demo");
        QCOMPARE(handler.seen.icon, QMessageBox::Critical);
        QCOMPARE(handler.seen.buttons, QList<SB>{SB::Ok});
    }

    void busyCursorStaysBalanced()
    {
        QtHostServices host;
        QGuiApplication::setOverrideCursor(Qt::CrossCursor); // someone else's
        host.setBusyCursor(true);
        host.setBusyCursor(true);
        host.setBusyCursor(true);
        QVERIFY(QGuiApplication::overrideCursor());
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
        host.setBusyCursor(false);
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::CrossCursor);
        host.setBusyCursor(false);
        QVERIFY(QGuiApplication::overrideCursor());
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::CrossCursor);
        QGuiApplication::restoreOverrideCursor();
        QVERIFY(!QGuiApplication::overrideCursor());

        // A busy cursor left on ends with its host services.
        {
            QtHostServices leftBusy;
            leftBusy.setBusyCursor(true);
        }
        QVERIFY(!QGuiApplication::overrideCursor());
    }

    void runsProgramsAndWaits_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("started");
        QTest::newRow("true") << "/bin/true" << QStringList() << true;
        QTest::newRow("exit 3 is still a run") << "/bin/sh" << QStringList{"-c", "exit 3"} << true;
        QTest::newRow("missing program")
            << "/nonexistent/vemo.exe" << QStringList{"/auto"} << false;
        QTest::newRow("not executable") << "/etc/hostname" << QStringList() << false;
    }
    void runsProgramsAndWaits()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(bool, started);
        QtHostServices host;
        QCOMPARE(host.runProgramAndWait(program, arguments), started);
    }

    void programWithoutFolderRunsFromTheCurrentFolder_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<bool>("started");
        QTest::newRow("bare name") << "vemo2.exe" << true;
        QTest::newRow("dot folder") << "./vemo2.exe" << true;
        // Never one found along PATH.
        QTest::newRow("a name only PATH knows") << "true" << false;
    }
    void programWithoutFolderRunsFromTheCurrentFolder()
    {
        QFETCH(QString, program);
        QFETCH(bool, started);
        QTemporaryDir dir;
        QFile installer(dir.filePath("vemo2.exe"));
        QVERIFY(installer.open(QIODevice::WriteOnly));
        installer.write("#!/bin/sh\necho \"$1\" > ran.txt\n");
        installer.close();
        QVERIFY(installer.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        QtHostServices host;
        const bool ran = host.runProgramAndWait(program, {" /auto"});
        QDir::setCurrent(before);
        QCOMPARE(ran, started);
        QFile out(dir.filePath("ran.txt"));
        QCOMPARE(out.exists(), started);
        if (started) {
            QVERIFY(out.open(QIODevice::ReadOnly));
            QCOMPARE(out.readAll(), QByteArray(" /auto\n"));
        }
    }

    void programGetsItsArgumentsAndEndsBeforeTheReturn()
    {
        QTemporaryDir dir;
        const QString out = dir.filePath("out.txt");
        QtHostServices host;
        // The file is complete only once the program has ended.
        QVERIFY(host.runProgramAndWait(
            "/bin/sh", {"-c", "printf '%s|%s' \"$1\" \"$2\" > \"$3.tmp\"; mv \"$3.tmp\" \"$3\"",
                        "sh", "/auto", "two words", out}));
        QFile file(out);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("/auto|two words"));
    }

    // A program the run waits for (an installer that never returns) is
    // ended with everything it started at the run's deadline or when a
    // termination signal comes, even though the wait handles no messages;
    // the run is told why, inside the wait. One that ends by itself first is
    // left alone.
    void programEndedByItsLimit_data()
    {
        QTest::addColumn<QString>("script"); // "$1": where it says its process's number
        QTest::addColumn<int>("deadlineMs"); // from the start; 0: none
        QTest::addColumn<bool>("signal");    // SIGTERM once the program is running
        QTest::addColumn<int>("cut");        // -1: not ended by the run

        const QString started = QStringLiteral("echo $$ > \"$1.tmp\"; mv \"$1.tmp\" \"$1\"; ");
        QTest::newRow("at the deadline, with what it started")
            << started + "sleep 300 & exec sleep 300" << 1500 << false
            << int(QtHostServices::ProgramCut::Deadline);
        QTest::newRow("at a signal, with what it started")
            << started + "sleep 300 & exec sleep 300" << 0 << true
            << int(QtHostServices::ProgramCut::Signal);
        QTest::newRow("one that ignores SIGTERM")
            << "trap '' TERM; " + started + "sleep 300 & wait" << 0 << true
            << int(QtHostServices::ProgramCut::Signal);
        QTest::newRow("one that ends by itself first")
            << started + "sleep 300 & exit 3" << 60000 << false << -1;
    }
    void programEndedByItsLimit()
    {
        QFETCH(QString, script);
        QFETCH(int, deadlineMs);
        QFETCH(bool, signal);
        QFETCH(int, cut);

        QTemporaryDir dir;
        const QString mark = dir.filePath("group");
        TerminationSignals signalsSeen;
        QVERIFY(signalsSeen.installed());
        QSignalSpy received(&signalsSeen, &TerminationSignals::received);
        QtHostServices host;
        QList<int> cuts;
        QtHostServices::ProgramLimit limit;
        if (deadlineMs > 0)
            limit.deadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
        limit.endOnSignal = true;
        limit.ended = [&cuts](QtHostServices::ProgramCut why) { cuts << int(why); };
        host.setProgramLimit(limit);
        // The signal comes from another thread once the program runs.
        std::atomic<bool> done{false};
        std::thread sender([&] {
            while (signal && !done && !QFile::exists(mark))
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (signal && !done)
                ::kill(::getpid(), SIGTERM);
        });
        QVERIFY(host.runProgramAndWait("/bin/sh", {"-c", script, "sh", mark}));
        done = true;
        sender.join();

        QCOMPARE(cuts, cut < 0 ? QList<int>() : QList<int>{cut});
        QFile file(mark);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const qint64 group = file.readAll().trimmed().toLongLong();
        // A group of its own, not the test's.
        QVERIFY(group > 0 && group != qint64(::getpgrp()));
        if (cut < 0) {
            // Left alone: what it left running runs on (and is ended here).
            const QList<int> left = liveMembersOf(group);
            QCOMPARE(left.size(), 1);
            ::kill(-pid_t(group), SIGKILL);
            return;
        }
        // Everything of its process group ended with it.
        QTRY_VERIFY_WITH_TIMEOUT(liveMembersOf(group).isEmpty(), 10000);
        // The signal stays the loop's to hand out.
        QTRY_COMPARE(received.size(), signal ? 1 : 0);
    }

    void handleMessageWaitsAtMostItsLimit()
    {
        QtHostServices host;
        // Whatever earlier tests left queued.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        host.processMessages();
        QObject receiver;

        // Nothing comes within the limit, only a timer far beyond it: the
        // wait ends by its limit, before that timer (a wait without a limit
        // would sit until the timer woke it).
        bool farTimerRan = false;
        QTimer farTimer;
        farTimer.setSingleShot(true);
        connect(&farTimer, &QTimer::timeout, &receiver, [&] { farTimerRan = true; });
        farTimer.start(120000);
        host.handleMessage(20);
        QVERIFY2(!farTimerRan, "the wait ran past its limit until the next event");
        QVERIFY(farTimer.isActive());
        farTimer.stop();

        // It waits for what comes within the limit instead of spinning: a
        // timer due soon is taken by the first calls, not after many empty
        // returns (a call that does not wait returns at once, every time).
        bool soonRan = false;
        QTimer::singleShot(5, &receiver, [&] { soonRan = true; });
        int calls = 0;
        while (!soonRan && calls < 1000) {
            host.handleMessage(60000);
            ++calls;
        }
        QVERIFY(soonRan);
        QVERIFY2(calls <= 10, qPrintable(QStringLiteral("%1 calls").arg(calls)));

        // A limit of 0 handles what is there and returns.
        bool ran = false;
        QMetaObject::invokeMethod(
            &receiver, [&] { ran = true; }, Qt::QueuedConnection);
        host.handleMessage(0);
        QVERIFY(ran);
    }

    void handleMessageReturnsWhenSomethingArrives_data()
    {
        QTest::addColumn<QString>("source");
        QTest::newRow("posted before") << "posted";
        QTest::newRow("posted from another thread") << "thread";
        QTest::newRow("timer") << "timer";
    }
    void handleMessageReturnsWhenSomethingArrives()
    {
        QFETCH(QString, source);
        QtHostServices host;
        std::atomic<bool> ran{false};
        std::thread poster;
        QObject receiver;
        const auto mark = [&] { ran = true; };
        if (source == "posted") {
            QMetaObject::invokeMethod(&receiver, mark, Qt::QueuedConnection);
        } else if (source == "thread") {
            poster = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                QMetaObject::invokeMethod(&receiver, mark, Qt::QueuedConnection);
            });
        } else {
            QTimer::singleShot(1, &receiver, mark);
        }
        QElapsedTimer clock;
        clock.start();
        const int limit = 10000;
        // Events that are not ours (there are none pending here) could end a
        // wait early too, so wait until ours came, within the limit.
        while (!ran && clock.elapsed() < limit)
            host.handleMessage(limit);
        if (poster.joinable())
            poster.join();
        QVERIFY(ran);
        QVERIFY(clock.elapsed() < limit);
    }

    void processMessagesRunsWhatIsQueued()
    {
        QtHostServices host;
        QObject receiver;
        QStringList order;
        QMetaObject::invokeMethod(
            &receiver,
            [&] {
                order << "first";
                QMetaObject::invokeMethod(
                    &receiver, [&] { order << "posted by first"; }, Qt::QueuedConnection);
            },
            Qt::QueuedConnection);
        host.processMessages();
        QCOMPARE(order, (QStringList{"first", "posted by first"}));
    }

    void terminateEndsTheLoopWhenItRuns_data()
    {
        QTest::addColumn<QString>("when");
        QTest::newRow("before the loop, events handled meanwhile") << "before";
        QTest::newRow("in a modal loop before the main loop") << "nested";
        QTest::newRow("from a handler in the loop") << "inside";
    }
    void terminateEndsTheLoopWhenItRuns()
    {
        QFETCH(QString, when);
        QtHostServices host;
        QVERIFY(!host.terminateRequested());
        bool loopRan = false;
        if (when == "before") {
            host.terminate();
            host.processMessages();
            host.handleMessage(2);
        } else if (when == "nested") {
            // The request leaves a loop that runs before the main loop alone.
            QEventLoop modal;
            QTimer::singleShot(0, &modal, [&] { host.terminate(); });
            QTimer::singleShot(25, &modal, [&] { modal.exit(7); });
            QCOMPARE(modal.exec(), 7);
        } else {
            QTimer::singleShot(0, this, [&] {
                loopRan = true;
                host.terminate();
            });
        }
        // The request does not stop the code that made it.
        QCOMPARE(host.terminateRequested(), when != "inside");

        QTimer guard; // ends a loop the request failed to end
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, this, [] { QCoreApplication::exit(99); });
        guard.start(10000);
        if (when != "inside")
            QTimer::singleShot(0, this, [&] { loopRan = true; });
        QCOMPARE(host.runMessageLoop(), 0);
        QVERIFY(host.terminateRequested());
        // An end requested before the loop: the loop is not entered at all.
        QCOMPARE(loopRan, when == "inside");
        QCoreApplication::processEvents();
    }

    void boxAfterAnEarlyRequestWaitsForItsAnswer()
    {
        QtHostServices host;
        host.terminate(); // as a production run that ends during start-up
        bool shownWhileWaiting = false;
        QTimer::singleShot(200, this, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            shownWhileWaiting = box && box->isVisible();
            if (box)
                box->button(QMessageBox::Ok)->click();
        });
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, this, [] {
            if (QWidget *box = QApplication::activeModalWidget())
                box->close();
        });
        guard.start(10000);
        QCOMPARE(host.messageBox("No Vemo found", "Error", MB_OK | MB_ICONERROR), int(IDOK));
        QVERIFY(shownWhileWaiting);
        QCOMPARE(host.runMessageLoop(), 0);
    }

    void openUrlHandsTheTextOn()
    {
        QtHostServices host;
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("mailto", &catcher, "open");
        const QString address = "mailto:support@example.com?subject=BugreportVemo USB Update "
                                "V1.4.7.2&body=I use Operating System: V6.1 Debian 12";
        QVERIFY(host.openUrl(address));
        QDesktopServices::unsetUrlHandler("mailto");
        QCOMPARE(catcher.urls.size(), 1);
        const QUrl url = catcher.urls.first();
        QCOMPARE(url.scheme(), "mailto");
        QCOMPARE(url.path(), "support@example.com");
        const QUrlQuery query(url);
        QCOMPARE(query.queryItemValue("subject", QUrl::FullyDecoded),
                 "BugreportVemo USB Update V1.4.7.2");
        QCOMPARE(query.queryItemValue("body", QUrl::FullyDecoded),
                 "I use Operating System: V6.1 Debian 12");
    }

    void osVersionNumbers_data()
    {
        QTest::addColumn<QOperatingSystemVersion>("system");
        QTest::addColumn<QString>("kernel");
        QTest::addColumn<QString>("product");
        QTest::addColumn<unsigned>("major");
        QTest::addColumn<unsigned>("minor");
        QTest::addColumn<QString>("servicePack");
        const QOperatingSystemVersion otherOs(QOperatingSystemVersion::Unknown, -1);
        QTest::newRow("Linux kernel") << otherOs << "6.1.0-18-amd64"
                                      << "Debian GNU/Linux 12" << 6u << 1u << "Debian GNU/Linux 12";
        QTest::newRow("major only") << otherOs << "5"
                                    << "" << 5u << 0u << "";
        QTest::newRow("unreadable") << otherOs << "unknown"
                                    << "X" << 0u << 0u << "X";
        QTest::newRow("Windows 7")
            << QOperatingSystemVersion(QOperatingSystemVersion::Windows, 6, 1) << "6.1.7601"
            << "Windows 7" << 6u << 1u << "";
        QTest::newRow("Windows 10") << QOperatingSystemVersion::Windows10 << "10.0.19045"
                                    << "Windows 10" << 10u << 0u << "";
    }
    void osVersionNumbers()
    {
        QFETCH(QOperatingSystemVersion, system);
        QFETCH(QString, kernel);
        QFETCH(QString, product);
        QFETCH(unsigned, major);
        QFETCH(unsigned, minor);
        QFETCH(QString, servicePack);
        const OsVersion version = QtHostServices::osVersionFrom(system, kernel, product);
        QCOMPARE(version.major, major);
        QCOMPARE(version.minor, minor);
        QCOMPARE(version.servicePack, servicePack);
    }

    void filesAndFolders()
    {
        QtHostServices host;
        QTemporaryDir dir;
        const QString file = dir.filePath("vemo.bin");
        QFile create(file);
        QVERIFY(create.open(QIODevice::WriteOnly));
        create.close();
        QVERIFY(host.fileExists(file));
        QVERIFY(!host.fileExists(dir.path()));
        QVERIFY(!host.fileExists(dir.filePath("missing.bin")));
        QCOMPARE(host.tempDirectory(), QDir::toNativeSeparators(QDir::tempPath()));
        QCOMPARE(host.currentDirectory(), QDir::toNativeSeparators(QDir::currentPath()));
        QCOMPARE(host.today(), QDate::currentDate());
    }

    void theHostIsTheOneSet()
    {
        // No default: the program sets the desktop's services itself.
        QtHostServices desktop;
        QtHostServices other;
        platform::HostServices *const before = platform::setHost(&desktop);
        QCOMPARE(&platform::host(), &desktop);
        // Each setting gives back the one it replaces, so a scope can put it back.
        QCOMPARE(platform::setHost(&other), &desktop);
        QCOMPARE(&platform::host(), &other);
        QCOMPARE(platform::setHost(before), &other);
    }
};

VEMO_TEST_MAIN(TestQtHostServices)
#include "tst_qthostservices.moc"
