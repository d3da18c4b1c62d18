// The station's core without devices or the program: the event lines a run
// says, the command line a run gets, the order of the sockets, the counters
// from the record file, and the sockets as devices come and go, runs start,
// end and are stopped. The runs are a stand-in (fake_run.sh) that plays a
// plan per device: its events, a wait for SIGTERM, its end and record.

#include "station/HeadlessStation.h"
#include "station/RecordTally.h"
#include "station/RunEvent.h"
#include "station/Settings.h"
#include "station/Station.h"

#include <QFile>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include <sys/types.h>

using namespace station;

namespace {

Device device(const QString &path, const QString &generation, const QString &serial,
              const QString &firmware = QStringLiteral("2.10"))
{
    return Device{path, generation, serial, firmware};
}

} // namespace

class TestStation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void parsesTheEventLines_data();
    void parsesTheEventLines();
    void runCommandLine_data();
    void runCommandLine();
    void socketsInTheOrderOfTheirPaths();
    void tallyCountsOnlyThisStationsRecords();

    void socketsFollowTheDevices();
    void startRunsTheReadyAndTheFailedStillThere();
    void runEventsMoveTheSocket();
    void autoStartsEachDeviceThatArrives();
    void theSameDeviceBackStaysDone_data();
    void theSameDeviceBackStaysDone();
    void aFailedSocketSaysWhyUntilTheNextDevice();
    void stopEndsTheRunsAsSigtermDoes();
    void anImageThatComesStartsTheDevicesLeftAlone();
    void runsWithoutARecordCountAsFailed();
    void headlessLinesAndStatus();

private:
    // A station over the stand-in, with a Vemo2 image only.
    Settings settings() const;
    void plan(const QString &device, const QStringList &lines);
    QString path(const QString &name) const { return m_dir->filePath(name); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestStation::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("plans")));
    qputenv("FAKE_PLANS", QFile::encodeName(path(QStringLiteral("plans"))));
    QFile image(path(QStringLiteral("vemo2.bin")));
    QVERIFY(image.open(QIODevice::WriteOnly));
    image.write(QByteArray(100, 'x'));
}

void TestStation::cleanup()
{
    m_dir.reset();
}

Settings TestStation::settings() const
{
    Settings settings;
    settings.program = QStringLiteral(FAKE_RUN);
    settings.images.insert(QStringLiteral("Vemo2"), path(QStringLiteral("vemo2.bin")));
    settings.recordFile = path(QStringLiteral("records.jsonl"));
    settings.logFolder = path(QStringLiteral("logs"));
    settings.timeoutSeconds = 60;
    return settings;
}

void TestStation::plan(const QString &device, const QStringList &lines)
{
    QFile file(path(QStringLiteral("plans/") + device));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(lines.join(QLatin1Char('\n')).toUtf8() + '\n');
}

// ---- Pure parts ---------------------------------------------------------------------------

void TestStation::parsesTheEventLines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("parsed");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("text");  // the state, or the end's reason
    QTest::addColumn<qint64>("number"); // the bytes, or the end's status

    const int state = int(RunEvent::Kind::State);
    const int progress = int(RunEvent::Kind::Progress);
    const int end = int(RunEvent::Kind::End);
    QTest::newRow("state") << QByteArray(R"({"event":"state","state":"transferring"})") << true
                           << state << "transferring" << qint64(0);
    QTest::newRow("progress") << QByteArray(R"({"event":"progress","bytes":2048,"of":8000})")
                              << true << progress << "" << qint64(2048);
    QTest::newRow("end") << QByteArray(R"({"event":"end","status":5,"reason":"transfer failed",)"
                                       R"("bytesTaken":2048})")
                         << true << end << "transfer failed" << qint64(5);
    QTest::newRow("a key the reader does not know")
        << QByteArray(R"({"event":"state","state":"verifying","since":3})") << true << state
        << "verifying" << qint64(0);
    QTest::newRow("another event")
        << QByteArray(R"({"event":"heartbeat"})") << false << 0 << "" << qint64(0);
    QTest::newRow("not JSON") << QByteArray("run ended: 0 done") << false << 0 << "" << qint64(0);
    QTest::newRow("a state that is no text")
        << QByteArray(R"({"event":"state","state":3})") << false << 0 << "" << qint64(0);
    QTest::newRow("progress of nothing")
        << QByteArray(R"({"event":"progress","bytes":0,"of":0})") << false << 0 << "" << qint64(0);
    QTest::newRow("an end without status")
        << QByteArray(R"({"event":"end","reason":"done"})") << false << 0 << "" << qint64(0);
    QTest::newRow("an array") << QByteArray("[1,2]") << false << 0 << "" << qint64(0);
}

void TestStation::parsesTheEventLines()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, parsed);
    QFETCH(int, kind);
    QFETCH(QString, text);
    QFETCH(qint64, number);
    const std::optional<RunEvent> event = RunEvent::parse(line);
    QCOMPARE(event.has_value(), parsed);
    if (!parsed)
        return;
    QCOMPARE(int(event->kind), kind);
    switch (event->kind) {
    case RunEvent::Kind::State:
        QCOMPARE(event->state, text);
        break;
    case RunEvent::Kind::Progress:
        QCOMPARE(event->bytes, number);
        QCOMPARE(event->of, qint64(8000));
        break;
    case RunEvent::Kind::End:
        QCOMPARE(event->reason, text);
        QCOMPARE(qint64(event->status), number);
        // The record's fields, without the kind.
        QCOMPARE(event->record.value(QStringLiteral("bytesTaken")).toInt(), 2048);
        QVERIFY(!event->record.contains(QStringLiteral("event")));
        break;
    }
}

void TestStation::runCommandLine_data()
{
    QTest::addColumn<bool>("verify");
    QTest::addColumn<QString>("expectVersion");
    QTest::addColumn<bool>("calibrate");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QStringList>("tail"); // after the fixed head

    const QStringList passOn{QStringLiteral("--sim=/s.json")};
    QTest::newRow("verified") << true << "" << false << ""
                              << QStringList{"--verify", "--sim=/s.json", "--", "-odd.bin"};
    QTest::newRow("unverified") << false << "" << false << ""
                                << QStringList{"--sim=/s.json", "--", "-odd.bin"};
    // An expected version is checked, so the run verifies whatever the box.
    QTest::newRow("a version") << false << "2.11" << false << ""
                               << QStringList{"--verify", "--expect-version=2.11", "--sim=/s.json",
                                              "--", "-odd.bin"};
    QTest::newRow("calibrated, to the printer")
        << true << "" << true << ""
        << QStringList{"--verify", "--sim=/s.json", "--", "-odd.bin", "/CALIBRATE"};
    QTest::newRow("calibrated, into a folder")
        << true << "" << true << "/certs"
        << QStringList{"--verify", "--print-to=/certs", "--sim=/s.json",
                       "--",       "-odd.bin",          "/CALIBRATE"};
    // A folder without calibration makes no certificate.
    QTest::newRow("a folder alone") << true << "" << false << "/certs"
                                    << QStringList{"--verify", "--sim=/s.json", "--", "-odd.bin"};
}

void TestStation::runCommandLine()
{
    QFETCH(bool, verify);
    QFETCH(QString, expectVersion);
    QFETCH(bool, calibrate);
    QFETCH(QString, folder);
    QFETCH(QStringList, tail);
    Settings settings;
    settings.verify = verify;
    settings.expectVersion = expectVersion;
    settings.calibrate = calibrate;
    settings.certificateFolder = folder;
    settings.recordFile = QStringLiteral("/r.jsonl");
    settings.timeoutSeconds = 90;
    settings.passOn = {QStringLiteral("--sim=/s.json")};
    const QStringList head{"--batch",           "--events=-",        "--device=1-1.2",
                           "--record=/r.jsonl", "--log-file=/l.log", "--timeout=90"};
    QCOMPARE(runArguments(settings, QStringLiteral("1-1.2"), QStringLiteral("-odd.bin"),
                          QStringLiteral("/l.log")),
             head + tail);
    QCOMPARE(logFileName(QStringLiteral("1-1.2"), QStringLiteral("t")),
             QStringLiteral("1-1.2-t.log"));
    QCOMPARE(logFileName(QStringLiteral("a/b c\u00e9"), QStringLiteral("t")),
             QStringLiteral("a_b_c_-t.log"));
}

void TestStation::socketsInTheOrderOfTheirPaths()
{
    QStringList paths{"1-1.10", "2-1", "1-1.9", "1-1", "1-10", "1-1.2.3", "a", "1-2"};
    std::sort(paths.begin(), paths.end(), &Station::pathBefore);
    QCOMPARE(paths, QStringList({"1-1", "1-1.2.3", "1-1.9", "1-1.10", "1-2", "1-10", "2-1", "a"}));
    QVERIFY(!Station::pathBefore(QStringLiteral("1-1.2"), QStringLiteral("1-1.2")));
}

void TestStation::tallyCountsOnlyThisStationsRecords()
{
    QFile file(path(QStringLiteral("t.jsonl")));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    // Before the station: not its own.
    file.write(
        R"({"pid":11,"status":0,"started":"2026-01-01T10:00:00.000+00:00","ended":"2026-01-01T10:00:10.000+00:00"})"
        "\n");
    RecordTally tally;
    tally.begin(file.fileName());
    tally.addRun(11);
    tally.addRun(12);
    tally.addRun(13);
    QCOMPARE(tally.runsPerHour(), -1.0);
    file.write(
        R"({"pid":12,"status":0,"started":"2026-01-01T11:00:00.000+00:00","ended":"2026-01-01T11:00:30.000+00:00"})"
        "\n"
        // Another station's, on the same file.
        R"({"pid":99,"status":5,"started":"2026-01-01T11:00:00.000+00:00","ended":"2026-01-01T11:00:40.000+00:00"})"
        "\n"
        // A line still being written.
        R"({"pid":13,"status":5,)");
    QCOMPARE(tally.read().size(), 1);
    QCOMPARE(tally.done(), 1);
    QCOMPARE(tally.failed(), 0);
    QVERIFY(tally.recorded(12));
    QVERIFY(!tally.recorded(13));
    file.write(
        R"("started":"2026-01-01T11:00:10.000+00:00","ended":"2026-01-01T11:01:00.000+00:00"})"
        "\n");
    QCOMPARE(tally.read().size(), 1);
    QCOMPARE(tally.done(), 1);
    QCOMPARE(tally.failed(), 1);
    QVERIFY(tally.recorded(13));
    QVERIFY(!tally.recorded(11));
    // Two runs from 11:00:00 to 11:01:00: 120 an hour.
    QCOMPARE(tally.runsPerHour(), 120.0);
}

// ---- The sockets ------------------------------------------------------------------------

void TestStation::socketsFollowTheDevices()
{
    Station station(settings());
    QSignalSpy added(&station, &Station::socketAdded);
    QSignalSpy removed(&station, &Station::socketRemoved);
    station.devicesSeen({device(QStringLiteral("1-1.3"), QStringLiteral("Vemo3"), "300000001"),
                         device(QStringLiteral("1-1.2"), QStringLiteral("Vemo2"), "200000001")});
    QCOMPARE(added.size(), 2);
    QCOMPARE(station.paths(), QStringList({"1-1.2", "1-1.3"}));
    QCOMPARE(station.socket(QStringLiteral("1-1.2"))->state, SocketState::Ready);
    QCOMPARE(Station::stateText(*station.socket(QStringLiteral("1-1.2"))), QStringLiteral("ready"));
    // A generation without an image: left alone, and the row says why.
    QCOMPARE(station.socket(QStringLiteral("1-1.3"))->state, SocketState::LeftAlone);
    QCOMPARE(Station::stateText(*station.socket(QStringLiteral("1-1.3"))),
             QStringLiteral("left alone: no image for Vemo3"));
    QCOMPARE(Station::firmwareText(*station.socket(QStringLiteral("1-1.2"))),
             QStringLiteral("2.10"));

    // Devices that leave without a run leave nothing to say: their rows go.
    station.devicesSeen({device(QStringLiteral("1-1.2"), QStringLiteral("Vemo2"), "200000001")});
    QCOMPARE(removed.size(), 1);
    QCOMPARE(removed.at(0).at(0).toString(), QStringLiteral("1-1.3"));
    QCOMPARE(station.paths(), QStringList({"1-1.2"}));
    station.devicesSeen({});
    QVERIFY(station.paths().isEmpty());
    QCOMPARE(station.runsGoing(), 0);
}

void TestStation::startRunsTheReadyAndTheFailedStillThere()
{
    for (const char *serial : {"200000001", "200000002", "200000003"})
        plan(QStringLiteral("1-1.%1").arg(QChar(serial[8])),
             {R"({"event":"state","state":"transferring"})", "@end 0 done"});
    Station station(settings());
    station.devicesSeen({device(QStringLiteral("1-1.1"), QStringLiteral("Vemo2"), "200000001"),
                         device(QStringLiteral("1-1.2"), QStringLiteral("Vemo2"), "200000002"),
                         device(QStringLiteral("1-1.4"), QStringLiteral("Vemo3"), "300000004")});
    QCOMPARE(station.start(), 2);
    QCOMPARE(station.runsGoing(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(station.runsGoing(), 0, 30000);
    QCOMPARE(station.socket(QStringLiteral("1-1.1"))->state, SocketState::Done);
    QCOMPARE(station.socket(QStringLiteral("1-1.2"))->state, SocketState::Done);
    QCOMPARE(station.socket(QStringLiteral("1-1.4"))->state, SocketState::LeftAlone);
    QCOMPARE(station.doneCount(), 2);
    // Done devices still there are not run again; a new device is.
    plan(QStringLiteral("1-1.3"), {"@end 5 transfer failed: chunk refused"});
    station.devicesSeen({device(QStringLiteral("1-1.1"), QStringLiteral("Vemo2"), "200000001"),
                         device(QStringLiteral("1-1.2"), QStringLiteral("Vemo2"), "200000002"),
                         device(QStringLiteral("1-1.3"), QStringLiteral("Vemo2"), "200000003"),
                         device(QStringLiteral("1-1.4"), QStringLiteral("Vemo3"), "300000004")});
    QCOMPARE(station.start(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(station.runsGoing(), 0, 30000);
    QCOMPARE(station.socket(QStringLiteral("1-1.3"))->state, SocketState::Failed);
    QCOMPARE(Station::resultText(*station.socket(QStringLiteral("1-1.3"))),
             QStringLiteral("5 transfer failed: chunk refused"));
    // A failed device still in its socket is run again by Start.
    plan(QStringLiteral("1-1.3"), {"@end 0 done"});
    QCOMPARE(station.start(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(station.runsGoing(), 0, 30000);
    QCOMPARE(station.socket(QStringLiteral("1-1.3"))->state, SocketState::Done);
    QCOMPARE(station.doneCount(), 3);
    QCOMPARE(station.failedCount(), 1);
}

void TestStation::runEventsMoveTheSocket()
{
    plan(QStringLiteral("1-1.1"),
         {R"({"event":"state","state":"starting"})",
          R"({"event":"state","state":"asking the loader"})",
          R"({"event":"state","state":"transferring"})",
          R"({"event":"progress","bytes":2048,"of":8000})", "@wait",
          R"({"event":"progress","bytes":4096,"of":8000})", "@wait", "@end 0 done"});
    Station station(settings());
    station.devicesSeen({device(QStringLiteral("1-1.1"), QStringLiteral("Vemo2"), "200000001")});
    QVERIFY(station.startSocket(QStringLiteral("1-1.1")));
    const Socket &socket = *station.socket(QStringLiteral("1-1.1"));
    QTRY_COMPARE_WITH_TIMEOUT(socket.bytes, qint64(2048), 30000);
    QCOMPARE(socket.of, qint64(8000));
    QCOMPARE(socket.state, SocketState::Running);
    QCOMPARE(Station::stateText(socket), QStringLiteral("transferring"));
    QCOMPARE(Station::firmwareText(socket), QStringLiteral("2.10 -> ..."));
    QVERIFY(Station::resultText(socket).isEmpty());
    // A run started once is not started twice.
    QVERIFY(!station.startSocket(QStringLiteral("1-1.1")));
    QCOMPARE(station.start(), 0);
    ::kill(pid_t(socket.pid), SIGTERM);
    QTRY_COMPARE_WITH_TIMEOUT(socket.bytes, qint64(4096), 30000);
    ::kill(pid_t(socket.pid), SIGTERM);
    QTRY_COMPARE_WITH_TIMEOUT(socket.state, SocketState::Done, 30000);
    QCOMPARE(Station::firmwareText(socket), QStringLiteral("2.10 -> 2.11"));
    QCOMPARE(Station::resultText(socket), QStringLiteral("0 done"));
    // Each run has a log file of its own in the station's log folder.
    QVERIFY2(socket.logFile.startsWith(path(QStringLiteral("logs/1-1.1-"))) &&
                 socket.logFile.endsWith(QLatin1String(".log")),
             qPrintable(socket.logFile));
}

void TestStation::autoStartsEachDeviceThatArrives()
{
    plan(QStringLiteral("1-1.1"), {"@end 0 done"});
    plan(QStringLiteral("1-1.2"), {"@end 0 done"});
    Station station(settings());
    // Ready before Auto: switched on, it starts it.
    station.devicesSeen({device(QStringLiteral("1-1.1"), QStringLiteral("Vemo2"), "200000001")});
    QCOMPARE(station.runsGoing(), 0);
    station.setAuto(true);
    QCOMPARE(station.runsGoing(), 1);
    // Arrivals start by themselves; one without its image does not.
    station.devicesSeen({device(QStringLiteral("1-1.1"), QStringLiteral("Vemo2"), "200000001"),
                         device(QStringLiteral("1-1.2"), QStringLiteral("Vemo2"), "200000002"),
                         device(QStringLiteral("1-1.3"), QStringLiteral("Vemo3"), "300000003")});
    QCOMPARE(station.socket(QStringLiteral("1-1.2"))->state, SocketState::Running);
    QCOMPARE(station.socket(QStringLiteral("1-1.3"))->state, SocketState::LeftAlone);
    QTRY_COMPARE_WITH_TIMEOUT(station.runsGoing(), 0, 30000);
    QCOMPARE(station.doneCount(), 2);
    // Off: an arrival waits for Start.
    station.setAuto(false);
    station.devicesSeen({device(QStringLiteral("1-1.4"), QStringLiteral("Vemo2"), "200000004")});
    QCOMPARE(station.runsGoing(), 0);
    QCOMPARE(station.socket(QStringLiteral("1-1.4"))->state, SocketState::Ready);
}

void TestStation::theSameDeviceBackStaysDone_data()
{
    QTest::addColumn<QString>("serialBack");
    QTest::addColumn<bool>("startedAgain");
    // Its restart after the run (an update without --verify): the same
    // device, still done.
    QTest::newRow("the same serial number") << "200000001" << false;
    // Unplugged, and the next one plugged in.
    QTest::newRow("another serial number") << "200000009" << true;
    // A device in its loader gives none: it is not known, and is updated.
    QTest::newRow("no serial number") << "" << true;
}

void TestStation::theSameDeviceBackStaysDone()
{
    QFETCH(QString, serialBack);
    QFETCH(bool, startedAgain);
    plan(QStringLiteral("1-1.1"), {"@end 0 done"});
    Station station(settings());
    station.setAuto(true);
    const Device first = device(QStringLiteral("1-1.1"), QStringLiteral("Vemo2"), "200000001");
    station.devicesSeen({first});
    QTRY_COMPARE_WITH_TIMEOUT(station.runsGoing(), 0, 30000);
    const Socket &socket = *station.socket(QStringLiteral("1-1.1"));
    QCOMPARE(socket.state, SocketState::Done);
    // It leaves: the green ends, the result stays to be read.
    station.devicesSeen({});
    QCOMPARE(socket.state, SocketState::Waiting);
    QCOMPARE(Station::stateText(socket), QStringLiteral("waiting for a device"));
    QCOMPARE(Station::resultText(socket), QStringLiteral("0 done"));
    station.devicesSeen({device(QStringLiteral("1-1.1"), QStringLiteral("Vemo2"), serialBack,
                                QStringLiteral("2.11"))});
    QCOMPARE(station.runsGoing(), startedAgain ? 1 : 0);
    QCOMPARE(socket.state, startedAgain ? SocketState::Running : SocketState::Done);
    QTRY_COMPARE_WITH_TIMEOUT(station.runsGoing(), 0, 30000);
    QCOMPARE(station.doneCount(), startedAgain ? 2 : 1);
}

void TestStation::aFailedSocketSaysWhyUntilTheNextDevice()
{
    plan(QStringLiteral("1-1.1"), {R"({"event":"progress","bytes":2048,"of":8000})", "@wait",
                                   "@end 5 transfer failed: device removed at 2048 of 8000 bytes"});
    Station station(settings());
    station.setAuto(true);
    station.devicesSeen({device(QStringLiteral("1-1.1"), QStringLiteral("Vemo2"), "200000001")});
    const Socket &socket = *station.socket(QStringLiteral("1-1.1"));
    QTRY_COMPARE_WITH_TIMEOUT(socket.bytes, qint64(2048), 30000);
    // Pulled during its run: the run goes on to say so.
    station.devicesSeen({});
    QCOMPARE(socket.state, SocketState::Running);
    QVERIFY(!socket.present);
    ::kill(pid_t(socket.pid), SIGTERM);
    QTRY_COMPARE_WITH_TIMEOUT(socket.state, SocketState::Failed, 30000);
    QCOMPARE(Station::stateText(socket), QStringLiteral("failed (the device is gone)"));
    QCOMPARE(Station::resultText(socket),
             QStringLiteral("5 transfer failed: device removed at 2048 of 8000 bytes"));
    QCOMPARE(station.failedCount(), 1);
    // The same device plugged in again is updated again: it failed.
    plan(QStringLiteral("1-1.1"), {"@end 0 done"});
    station.devicesSeen({device(QStringLiteral("1-1.1"), QStringLiteral("Vemo2"), "")});
    QCOMPARE(socket.state, SocketState::Running);
    QTRY_COMPARE_WITH_TIMEOUT(socket.state, SocketState::Done, 30000);
}

void TestStation::stopEndsTheRunsAsSigtermDoes()
{
    for (int i = 1; i <= 2; ++i)
        plan(QStringLiteral("1-1.%1").arg(i),
             {R"({"event":"state","state":"transferring"})",
              QStringLiteral(R"({"event":"progress","bytes":%1,"of":8000})").arg(1024 * i), "@wait",
              QStringLiteral("@end 5 transfer failed: interrupted by SIGTERM at %1 of 8000 bytes")
                  .arg(1024 * i)});
    Station station(settings());
    QSignalSpy idle(&station, &Station::idle);
    station.devicesSeen({device(QStringLiteral("1-1.1"), QStringLiteral("Vemo2"), "200000001"),
                         device(QStringLiteral("1-1.2"), QStringLiteral("Vemo2"), "200000002")});
    QCOMPARE(station.start(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(station.socket(QStringLiteral("1-1.1"))->bytes > 0 &&
                                 station.socket(QStringLiteral("1-1.2"))->bytes > 0,
                             30000);
    station.stop();
    for (const QString &path : station.paths()) {
        QCOMPARE(station.socket(path)->state, SocketState::Stopping);
        QCOMPARE(Station::stateText(*station.socket(path)),
                 QStringLiteral("stopping (transferring)"));
    }
    QTRY_COMPARE_WITH_TIMEOUT(station.runsGoing(), 0, 30000);
    QCOMPARE(idle.size(), 1);
    for (int i = 1; i <= 2; ++i) {
        const Socket &socket = *station.socket(QStringLiteral("1-1.%1").arg(i));
        QCOMPARE(socket.state, SocketState::Failed);
        QCOMPARE(socket.status, 5);
        QCOMPARE(socket.reason,
                 QStringLiteral("transfer failed: interrupted by SIGTERM at %1 of 8000 bytes")
                     .arg(1024 * i));
    }
    QCOMPARE(station.failedCount(), 2);
}

void TestStation::anImageThatComesStartsTheDevicesLeftAlone()
{
    plan(QStringLiteral("1-1.3"), {"@end 0 done"});
    Station station(settings());
    station.setAuto(true);
    station.devicesSeen({device(QStringLiteral("1-1.3"), QStringLiteral("Vemo3"), "300000003")});
    QCOMPARE(station.socket(QStringLiteral("1-1.3"))->state, SocketState::LeftAlone);
    QCOMPARE(station.runsGoing(), 0);
    Settings withVemo3 = station.settings();
    withVemo3.images.insert(QStringLiteral("Vemo3"), path(QStringLiteral("vemo2.bin")));
    station.setSettings(withVemo3);
    QCOMPARE(station.runsGoing(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(station.socket(QStringLiteral("1-1.3"))->state, SocketState::Done,
                              30000);
    // Without its image again, a new Vemo3 is left alone.
    station.setSettings(settings());
    station.devicesSeen({device(QStringLiteral("1-1.4"), QStringLiteral("Vemo3"), "300000004")});
    QCOMPARE(station.socket(QStringLiteral("1-1.4"))->state, SocketState::LeftAlone);
}

void TestStation::runsWithoutARecordCountAsFailed()
{
    plan(QStringLiteral("1-1.1"), {"@quiet-exit 3"});
    Settings broken = settings();
    Station station(broken);
    station.devicesSeen({device(QStringLiteral("1-1.1"), QStringLiteral("Vemo2"), "200000001"),
                         device(QStringLiteral("1-1.2"), QStringLiteral("Vemo2"), "200000002")});
    QVERIFY(station.startSocket(QStringLiteral("1-1.1")));
    QTRY_COMPARE_WITH_TIMEOUT(station.runsGoing(), 0, 30000);
    const Socket &quiet = *station.socket(QStringLiteral("1-1.1"));
    QCOMPARE(quiet.state, SocketState::Failed);
    QCOMPARE(quiet.status, 3);
    QCOMPARE(station.unrecorded(), 1);
    QCOMPARE(station.failedCount(), 1);
    QCOMPARE(station.doneCount(), 0);
    // A program that does not start: the row says so.
    broken.program = path(QStringLiteral("no-such-program"));
    station.setSettings(broken);
    QVERIFY(station.startSocket(QStringLiteral("1-1.2")));
    QTRY_COMPARE_WITH_TIMEOUT(station.runsGoing(), 0, 30000);
    const Socket &absent = *station.socket(QStringLiteral("1-1.2"));
    QCOMPARE(absent.state, SocketState::Failed);
    QVERIFY2(absent.reason.startsWith(QLatin1String("the run did not start")),
             qPrintable(absent.reason));
    QCOMPARE(station.failedCount(), 2);
}

void TestStation::headlessLinesAndStatus()
{
    plan(QStringLiteral("1-1.1"), {"@end 0 done"});
    plan(QStringLiteral("1-1.2"), {"@end 5 transfer failed: chunk refused"});
    struct Case
    {
        QList<Device> devices;
        int status;
        QStringList lines; // sorted, the summary left out
    };
    const QList<Case> cases{
        {{device(QStringLiteral("1-1.1"), QStringLiteral("Vemo2"), "200000001")},
         0,
         {"1-1.1 Vemo2 200000001 done 2.10 -> 2.11 ? bytes ? 0 done"}},
        {{device(QStringLiteral("1-1.1"), QStringLiteral("Vemo2"), "200000001"),
          device(QStringLiteral("1-1.2"), QStringLiteral("Vemo2"), "")},
         1,
         {"1-1.1 Vemo2 200000001 done 2.10 -> 2.11 ? bytes ? 0 done",
          "1-1.2 Vemo2 - FAILED 2.10 -> 2.11 ? bytes ? 5 transfer failed: chunk refused"}},
        {{device(QStringLiteral("1-1.1"), QStringLiteral("Vemo2"), "200000001"),
          device(QStringLiteral("1-1.3"), QStringLiteral("Vemo3"), "300000003")},
         1,
         {"1-1.1 Vemo2 200000001 done 2.10 -> 2.11 ? bytes ? 0 done",
          "1-1.3 Vemo3 300000003 LEFT ALONE: no image given for Vemo3"}},
        {{}, HeadlessStation::NoDeviceStatus, {}},
    };
    for (const Case &one : cases) {
        Station station(settings());
        station.devicesSeen(one.devices);
        QStringList said;
        HeadlessStation headless(station, false,
                                 [&said](const QString &line) { said << line.simplified(); });
        QSignalSpy finished(&headless, &HeadlessStation::finished);
        headless.begin();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
        QCOMPARE(finished.at(0).at(0).toInt(), one.status);
        QVERIFY2(!said.isEmpty() && said.last().startsWith(QLatin1String("station: ")),
                 qPrintable(said.join(QLatin1Char('\n'))));
        QStringList lines = said.filter(QRegularExpression(QStringLiteral("^1-")));
        lines.sort();
        QCOMPARE(lines, one.lines);
    }
}

QTEST_GUILESS_MAIN(TestStation)
#include "tst_station.moc"
