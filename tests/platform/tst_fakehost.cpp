#include "tests/support/FakeHostServices.h"
#include "tests/support/ScopedHost.h"
#include "tests/support/TempKeyStore.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <QTimer>

using platform::IDCANCEL;
using platform::IDNO;
using platform::IDOK;
using platform::IDYES;
using Call = FakeHostServices::Call;

class TestFakeHost : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void boxesAnswerFromTheQueue()
    {
        FakeHostServices host;
        host.queueAnswers({IDYES, IDNO});
        QCOMPARE(host.messageBox("one", "A", 4), int(IDYES));
        QCOMPARE(host.messageBox("two", "B", 4 | 32), int(IDNO));
        QCOMPARE(host.messageBox("three", "C", 16), int(IDOK));
        host.queueAnswer(IDCANCEL);
        QCOMPARE(host.messageBox("four", "D", 1), int(IDCANCEL));

        QCOMPARE(host.boxTexts(), (QStringList{"one", "two", "three", "four"}));
        QCOMPARE(host.boxes().at(1).caption, "B");
        QCOMPARE(host.boxes().at(1).flags, 4 | 32);
        QCOMPARE(host.boxes().at(1).result, int(IDNO));
        QCOMPARE(host.lastBox().text, "four");
    }

    void aTestActsInsideAnOpenBox()
    {
        FakeHostServices host;
        QStringList seen;
        host.onBox = [&](const Call &box) {
            seen << box.text + " open, boxes: " + QString::number(host.boxes().size());
            // A box opened from inside does not run the callback again.
            host.messageBox("nested", "N", 0);
        };
        host.messageBox("outer", "O", 16);
        QCOMPARE(seen, QStringList{"outer open, boxes: 1"});
        QCOMPARE(host.boxTexts(), (QStringList{"outer", "nested"}));
        // The callback is not blocked after an exception left it.
        host.onBox = [](const Call &) { throw std::runtime_error("from the box"); };
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, host.messageBox("x", "y", 0));
        bool ranAgain = false;
        host.onBox = [&](const Call &) { ranAgain = true; };
        host.messageBox("again", "z", 0);
        QVERIFY(ranAgain);
    }

    void boxesHandlePendingEvents_data()
    {
        QTest::addColumn<bool>("processes");
        QTest::newRow("like a modal box") << true;
        QTest::newRow("switched off") << false;
    }
    void boxesHandlePendingEvents()
    {
        QFETCH(bool, processes);
        FakeHostServices host;
        host.boxProcessesEvents = processes;
        bool ran = false;
        bool ranBeforeCallback = false;
        QMetaObject::invokeMethod(
            this, [&] { ran = true; }, Qt::QueuedConnection);
        host.onBox = [&](const Call &) { ranBeforeCallback = ran; };
        host.messageBox("x", "y", 0);
        QCOMPARE(ran, processes);
        QCOMPARE(ranBeforeCallback, processes);
        QCoreApplication::processEvents();
    }

    void programsRunFromTheScript()
    {
        FakeHostServices host;
        QStringList ranWith;
        host.onProgram = [&](const QString &program, const QStringList &arguments) {
            ranWith << program << arguments;
        };
        QVERIFY(host.runProgramAndWait("C:\\tmp\\vemo.exe", {"/auto"}));
        QCOMPARE(ranWith, (QStringList{"C:\\tmp\\vemo.exe", "/auto"}));
        host.programStarts = false;
        QVERIFY(!host.runProgramAndWait("other.exe", {}));
        QCOMPARE(ranWith.size(), 2); // a program that does not start does nothing
        QCOMPARE(host.programsRun().size(), 2);
        QCOMPARE(host.programsRun().at(0).arguments, QStringList{"/auto"});
        QCOMPARE(host.programsRun().at(1).result, 0);
    }

    void everyCallIsRecordedInOrder()
    {
        FakeHostServices host;
        host.setBusyCursor(true);
        QVERIFY(host.busyCursor());
        host.sleep(50000);
        host.beep();
        host.openUrl("mailto:a@b.c?subject=x y");
        host.urlOpens = false;
        QVERIFY(!host.openUrl("http://x"));
        host.showException("boom");
        host.terminate();
        host.setBusyCursor(false);
        QVERIFY(!host.busyCursor());
        QVERIFY(host.terminateRequested());
        QCOMPARE(
            host.journal(),
            (QStringList{"cursor busy", "sleep 50000", "beep", "url \"mailto:a@b.c?subject=x y\"",
                         "url \"http://x\"", "exception \"boom\"", "terminate", "cursor normal"}));
        QCOMPARE(host.sleptMs(), 50000);
        QCOMPARE(host.beeps(), 1);
        QCOMPARE(host.exceptions(), QStringList{"boom"});
        QCOMPARE(host.urlsOpened().size(), 2);
        host.clearCalls();
        QVERIFY(host.calls().isEmpty());
        QVERIFY(host.terminateRequested()); // the request itself stays
    }

    void scriptedValues()
    {
        FakeHostServices host;
        host.tempDir = "C:\\Temp";
        host.todayDate = QDate(2024, 2, 29);
        host.os = {5, 1, "Service Pack 3"};
        host.currentDir = "C:\\Vemo";
        QCOMPARE(host.tempDirectory(), "C:\\Temp");
        QCOMPARE(host.today(), QDate(2024, 2, 29));
        QCOMPARE(host.osVersion().major, 5u);
        QCOMPARE(host.osVersion().servicePack, "Service Pack 3");
        QCOMPARE(host.currentDirectory(), "C:\\Vemo");
        // Files are the real ones.
        QVERIFY(host.fileExists(QCoreApplication::applicationFilePath()));
        QVERIFY(!host.fileExists(QCoreApplication::applicationDirPath()));
    }

    void messagesAreRealEvents()
    {
        FakeHostServices host;
        int ran = 0;
        QMetaObject::invokeMethod(
            this, [&] { ++ran; }, Qt::QueuedConnection);
        host.processMessages();
        QCOMPARE(ran, 1);
        QTimer::singleShot(1, this, [&] { ++ran; });
        for (int i = 0; i < 1000 && ran < 2; ++i)
            host.handleMessage(1000);
        QCOMPARE(ran, 2);
        QVERIFY(host.handleMessageCalls() >= 1);
        QCOMPARE(host.processMessagesCalls(), 1);
    }

    void scopedHostInstallsAndRestores()
    {
        // What was set before (nothing, in this program) is looked at
        // without calling host(), which has no default.
        platform::HostServices *const before = platform::setHost(nullptr);
        platform::setHost(before);
        {
            ScopedHost outer;
            QCOMPARE(&platform::host(), &outer.fake());
            {
                FakeHostServices mine;
                ScopedHost inner(mine);
                QCOMPARE(&platform::host(), &mine);
                platform::host().beep();
                QCOMPARE(mine.beeps(), 1);
            }
            QCOMPARE(&platform::host(), &outer.fake());
        }
        QCOMPARE(platform::setHost(before), before);
    }

    void tempKeyStoreInstallsAndRestores_data()
    {
        QTest::addColumn<int>("backing");
        QTest::newRow("file") << int(TempKeyStore::File);
        QTest::newRow("memory") << int(TempKeyStore::Memory);
    }
    void tempKeyStoreInstallsAndRestores()
    {
        QFETCH(int, backing);
        registry::KeyStore *before = &registry::KeyStore::defaultStore();
        QString file;
        {
            TempKeyStore keys{TempKeyStore::Backing(backing)};
            QCOMPARE(&registry::KeyStore::defaultStore(), &keys.store());
            registry::KeyStore::defaultStore().writeString(registry::RootKey::LocalMachine, "K",
                                                           "V", "x");
            file = keys.filePath();
            if (backing == TempKeyStore::File) {
                QVERIFY(file.startsWith(keys.dirPath()));
                QVERIFY(QFileInfo(file).isFile());
            } else {
                QVERIFY(file.isEmpty());
            }
        }
        QCOMPARE(&registry::KeyStore::defaultStore(), before);
        QVERIFY(!before->keyExists(registry::RootKey::LocalMachine, "K"));
        if (!file.isEmpty())
            QVERIFY(!QFileInfo::exists(file)); // the folder went with it
    }
};

QTEST_GUILESS_MAIN(TestFakeHost)
#include "tst_fakehost.moc"
