#include "app/ProgramOptions.h"
#include "tests/report/PdfText.h"
#include "tests/support/TestBytes.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

// The program as a production line runs it: a separate process with
// --batch on a simulated device, read from outside only through its exit
// status, standard error, the log file, the certificates it writes and what
// the simulated device reports it took.
class TestBatchRun : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void calibratedUpdate();
    void updateThroughAnInstaller();
    void serialRun();
    void serialReadBackThatFails_data();
    void serialReadBackThatFails();
    void runsThatEndEarly_data();
    void runsThatEndEarly();
    void badCommandLine();
    void namedDeviceAmongOthers_data();
    void namedDeviceAmongOthers();
    void updatedDeviceBackAtAnotherPath();
    void deviceThatNeverComesBackTimesOut();

private:
    struct Result
    {
        int exitCode = -1;
        QString standardError;
        QStringList log;
    };
    // Writes a simulator file with these devices (JSON objects) and runs the
    // program on it with --batch.
    // more: further members of the simulator file's object (", \"timeline\": ...").
    Result run(const QStringList &devices, const QStringList &arguments,
               const QStringList &options = {}, const QString &more = {});
    QString path(const QString &name) const { return m_dir->filePath(name); }
    QByteArray writeFile(const QString &name, const QByteArray &bytes);
    QJsonObject state(const QString &name) const;

    std::unique_ptr<QTemporaryDir> m_dir;
    int m_runs = 0;
};

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A quick Vemo2 whose loader announces its blank flash by itself, leaving
// its images and state in the test's folder.
QString device(const QString &id, const QString &serial, const QString &extra = QString(),
               int restartDelayMs = 100)
{
    return QStringLiteral(R"({ "id": "%1", "generation": "Vemo2", "serial": "%2",
        "restartDelayMs": %4, "eraseDelayMs": 100, "loaderAnnouncesBlank": true,
        "imageFolder": "DIR/images", "stateFile": "DIR/%1-state.json" %3 })")
        .arg(id, serial, extra.isEmpty() ? QString() : QStringLiteral(", ") + extra)
        .arg(restartDelayMs);
}

} // namespace

void TestBatchRun::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("certificates")));
}

QByteArray TestBatchRun::writeFile(const QString &name, const QByteArray &bytes)
{
    QFile file(path(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QByteArray();
    return bytes;
}

QJsonObject TestBatchRun::state(const QString &name) const
{
    return QJsonDocument::fromJson(readFile(path(name))).object();
}

TestBatchRun::Result TestBatchRun::run(const QStringList &devices, const QStringList &arguments,
                                       const QStringList &options, const QString &more)
{
    ++m_runs;
    const QString sim = path(QStringLiteral("sim-%1.json").arg(m_runs));
    QString json =
        QStringLiteral("{ \"devices\": [ %1 ] %2 }").arg(devices.join(QStringLiteral(", ")), more);
    json.replace(QLatin1String("DIR"), m_dir->path());
    QFile simFile(sim);
    if (!simFile.open(QIODevice::WriteOnly))
        return {};
    simFile.write(json.toUtf8());
    simFile.close();
    const QString log = path(QStringLiteral("run-%1.log").arg(m_runs));

    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // No display: an unattended run needs none.
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.insert(QStringLiteral("TMPDIR"), m_dir->path());
    process.setProcessEnvironment(env);
    process.start(
        QStringLiteral(VEMOTOOL_PATH),
        QStringList{QStringLiteral("--batch"), QStringLiteral("--sim=") + sim,
                    QStringLiteral("--registry=") + path(QStringLiteral("registry.json")),
                    QStringLiteral("--log-file=") + log,
                    QStringLiteral("--print-to=") + path(QStringLiteral("certificates"))} +
            options + arguments);
    Result result;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    result.standardError = QString::fromLocal8Bit(process.readAllStandardError());
    result.log = QString::fromUtf8(readFile(log)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return result;
}

void TestBatchRun::calibratedUpdate()
{
    const QByteArray image = writeFile(QStringLiteral("vemo2.bin"), testBytes(5000));
    const Result result =
        run({device(QStringLiteral("line"), QStringLiteral("VX1234567"),
                    QStringLiteral(R"("deviation": "+0.00123", "firmware": "2.10")"))},
            {path(QStringLiteral("vemo2.bin")), QStringLiteral("/CALIBRATE")});

    QCOMPARE(result.exitCode, 0);
    QVERIFY2(result.standardError.isEmpty(), qPrintable(result.standardError));
    QVERIFY(result.log.contains(QStringLiteral("Automatic Update progress started! ") +
                                path(QStringLiteral("vemo2.bin"))));
    // The device took the image byte for byte.
    QCOMPARE(readFile(path(QStringLiteral("images/line-001.bin"))), image);
    // The certificate holds what the device answered.
    const QStringList pdfs =
        QDir(path(QStringLiteral("certificates"))).entryList({QStringLiteral("*.pdf")});
    QCOMPARE(pdfs.size(), 1);
    QVERIFY(pdfs.first().startsWith(QStringLiteral("Certificate-VX1234567-")));
    QString error;
    const PdfText page =
        PdfText::read(path(QStringLiteral("certificates/") + pdfs.first()), &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const QString text = page.text();
    QVERIFY2(text.contains(QStringLiteral("VX1234567")) &&
                 text.contains(QStringLiteral("+0.00123")),
             qPrintable(text));
    // The calibration date written is today's, as the device stored it.
    const QString today = QDate::currentDate().toString(QStringLiteral("yy-MM-dd"));
    QCOMPARE(state(QStringLiteral("line-state.json")).value(QStringLiteral("calibrationDate")),
             QJsonValue(today));
    QVERIFY(text.contains(today));
}

void TestBatchRun::updateThroughAnInstaller()
{
    // An installer standing in for vemo2.exe: it leaves the image where the
    // program looks for it, in the temporary folder.
    const QByteArray image = writeFile(QStringLiteral("payload.bin"), testBytes(777));
    writeFile(QStringLiteral("vemo2.exe"),
              QStringLiteral("#!/bin/sh\n[ \"$1\" = \" /auto\" ] || exit 1\n"
                             "cp \"%1\" \"$TMPDIR/Vemo2.bin\"\n")
                  .arg(path(QStringLiteral("payload.bin")))
                  .toUtf8());
    QVERIFY(QFile::setPermissions(path(QStringLiteral("vemo2.exe")),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    const Result result = run({device(QStringLiteral("line"), QStringLiteral("000000001"))},
                              {path(QStringLiteral("vemo2.exe"))});

    QCOMPARE(result.exitCode, 0);
    QVERIFY2(result.standardError.isEmpty(), qPrintable(result.standardError));
    QCOMPARE(readFile(path(QStringLiteral("images/line-001.bin"))), image);
}

void TestBatchRun::serialRun()
{
    const Result result = run({device(QStringLiteral("line"), QStringLiteral("000000001"))},
                              {QStringLiteral("/serialab1234567")});

    QCOMPARE(result.exitCode, 0);
    QVERIFY2(result.standardError.isEmpty(), qPrintable(result.standardError));
    QVERIFY(result.log.contains(QStringLiteral("serial number written: AB1234567")));
    QCOMPARE(result.log.last(), QStringLiteral("serial number read back: AB1234567"));
    QCOMPARE(state(QStringLiteral("line-state.json")).value(QStringLiteral("serial")),
             QJsonValue(QStringLiteral("AB1234567")));
}

void TestBatchRun::serialReadBackThatFails_data()
{
    QTest::addColumn<QString>("answer"); // the device's reply to "DEVNR?"
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("lastLine");
    QTest::addColumn<QString>("standardError");

    QTest::newRow("another number")
        << "DEVNR999999999" << 1 << "serial number read back differs: 999999999"
        << "";
    // The reply's box is the run's last line, on standard error too.
    QTest::newRow("reply of the wrong length")
        << "DEVNR99" << 1 << "Please check device number!DEVNR99 : Error length of device number"
        << "Please check device number!DEVNR99 : Error length of device number\n";
    QTest::newRow("no reply") << "" << 3 << "Timed out after 1 s: the run did not end"
                              << "Timed out after 1 s: the run did not end\n";
}

void TestBatchRun::serialReadBackThatFails()
{
    QFETCH(QString, answer);
    QFETCH(int, exitCode);
    QFETCH(QString, lastLine);
    QFETCH(QString, standardError);

    const Result result =
        run({device(QStringLiteral("line"), QStringLiteral("000000001"),
                    QStringLiteral(R"("answers": { "DEVNR?": "%1" })").arg(answer))},
            {QStringLiteral("/SERIALAB1234567")}, {QStringLiteral("--timeout=1")});

    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.standardError, standardError);
    QVERIFY(result.log.contains(QStringLiteral("serial number written: AB1234567")));
    QCOMPARE(result.log.last(), lastLine);
    // The device took the number; it is the read-back that failed.
    QCOMPARE(state(QStringLiteral("line-state.json")).value(QStringLiteral("serial")),
             QJsonValue(QStringLiteral("AB1234567")));
}

void TestBatchRun::runsThatEndEarly_data()
{
    QTest::addColumn<int>("devices");
    QTest::addColumn<QString>("firstArgument");
    QTest::addColumn<QString>("extra");
    QTest::addColumn<QString>("boxLine");

    QTest::newRow("no device") << 0 << "vemo2.bin"
                               << ""
                               << "Error: No Vemo found";
    QTest::newRow("two devices") << 2 << "vemo2.bin"
                                 << ""
                                 << "Error: More than one Vemo found, please disconnect others";
    QTest::newRow("file not found") << 1 << "missing.bin"
                                    << ""
                                    << "Error: File not found";
    QTest::newRow("device does not open") << 1 << "vemo2.bin"
                                          << R"("faults": { "openStatus": "AccessDenied" })"
                                          << "Error: Could not open device";
    QTest::newRow("serial run without a device") << 0 << "/SERIAL123456789"
                                                 << ""
                                                 << "";
}

void TestBatchRun::runsThatEndEarly()
{
    QFETCH(int, devices);
    QFETCH(QString, firstArgument);
    QFETCH(QString, extra);
    QFETCH(QString, boxLine);

    writeFile(QStringLiteral("vemo2.bin"), testBytes(100));
    QStringList attached;
    for (int i = 0; i < devices; ++i)
        attached << device(QStringLiteral("d%1").arg(i), QStringLiteral("00000000%1").arg(i),
                           extra);
    const QString argument =
        firstArgument.startsWith(QLatin1Char('/')) ? firstArgument : path(firstArgument);
    const Result result = run(attached, {argument});

    QCOMPARE(result.exitCode, 1);
    // Each box is one line on standard error and in the message log.
    if (!boxLine.isEmpty()) {
        QCOMPARE(result.standardError, boxLine + QLatin1Char('\n'));
        QCOMPARE(result.log.last(), boxLine);
    } else {
        QCOMPARE(result.log.last(), QStringLiteral("Error writing serial number!"));
    }
    QVERIFY(QDir(path(QStringLiteral("images"))).entryList(QDir::Files).isEmpty());
}

void TestBatchRun::badCommandLine()
{
    const Result result = run({}, {QStringLiteral("-x"), QStringLiteral("vemo2.bin")});
    QCOMPARE(result.exitCode, 2);
    QCOMPARE(result.standardError.count(QLatin1Char('\n')), 1);
    QVERIFY(result.standardError.contains(QStringLiteral("-x")));
}

void TestBatchRun::namedDeviceAmongOthers_data()
{
    QTest::addColumn<QString>("named");
    QTest::addColumn<QString>("firstArgument");
    QTest::addColumn<int>("device"); // of the three; -1: refused
    QTest::addColumn<QString>("boxLine");

    const QString attached =
        QStringLiteral("attached: Vemo2 000000000 at d0, Vemo2 000000001 at d1, Vemo2 000000001 "
                       "at d2");
    QTest::newRow("update, by path") << "d2"
                                     << "vemo2.bin" << 2 << "";
    QTest::newRow("update, by serial") << "000000000"
                                       << "vemo2.bin" << 0 << "";
    QTest::newRow("serial run, by path") << "d1"
                                         << "/SERIALAB1234567" << 1 << "";
    QTest::newRow("update, not attached")
        << "000000007"
        << "vemo2.bin" << -1 << "Error: Device '000000007' is not attached; " + attached;
    QTest::newRow("serial run, not attached")
        << "d7"
        << "/SERIALAB1234567" << -1 << "Error: Device 'd7' is not attached; " + attached;
    QTest::newRow("update, a serial number of two")
        << "000000001"
        << "vemo2.bin" << -1
        << "Error: Device '000000001' is not one device: several give this serial number, name "
           "it by its bus path; " +
               attached;
}

void TestBatchRun::namedDeviceAmongOthers()
{
    QFETCH(QString, named);
    QFETCH(QString, firstArgument);
    QFETCH(int, device);
    QFETCH(QString, boxLine);

    const QByteArray image = writeFile(QStringLiteral("vemo2.bin"), testBytes(1000));
    const QStringList serials{"000000000", "000000001", "000000001"};
    QStringList attached;
    for (int i = 0; i < 3; ++i)
        attached << ::device(QStringLiteral("d%1").arg(i), serials.at(i),
                             QStringLiteral(R"("instanceId": "i%1")").arg(i));
    const QString argument =
        firstArgument.startsWith(QLatin1Char('/')) ? firstArgument : path(firstArgument);
    const Result result = run(attached, {argument}, {QStringLiteral("--device=") + named});

    if (device < 0) {
        // Status 4 and one line naming what is attached; no device touched.
        QCOMPARE(result.exitCode, ProgramOptions::NoDeviceExitCode);
        QCOMPARE(result.standardError, boxLine + QLatin1Char('\n'));
        QCOMPARE(result.log.last(), boxLine);
        QVERIFY(result.log.filter(QStringLiteral("Device opend")).isEmpty());
    } else {
        QCOMPARE(result.exitCode, 0);
        QVERIFY2(result.standardError.isEmpty(), qPrintable(result.standardError));
    }
    // Only the named device took anything: an image, or the serial number.
    const bool update = !firstArgument.startsWith(QLatin1Char('/'));
    for (int i = 0; i < 3; ++i) {
        const QString id = QStringLiteral("d%1").arg(i);
        const QByteArray took = readFile(path(QStringLiteral("images/%1-001.bin").arg(id)));
        QCOMPARE(took, i == device && update ? image : QByteArray());
        QCOMPARE(state(id + QStringLiteral("-state.json")).value(QStringLiteral("serial")),
                 QJsonValue(i == device && !update ? QStringLiteral("AB1234567") : serials.at(i)));
    }
}

void TestBatchRun::updatedDeviceBackAtAnotherPath()
{
    writeFile(QStringLiteral("vemo2.bin"), testBytes(100));
    // The device goes into its loader for an hour; meanwhile a device with
    // its serial number is plugged into another socket.
    const Result result =
        run({device(QStringLiteral("line"), QStringLiteral("000000001"),
                    QStringLiteral(R"("instanceId": "first")"), 3600000),
             device(QStringLiteral("socket2"), QStringLiteral("000000001"),
                    QStringLiteral(R"("instanceId": "second", "attached": false)"))},
            {path(QStringLiteral("vemo2.bin"))}, {QStringLiteral("--device=000000001")},
            R"(, "timeline": [ { "afterMs": 1500, "action": "attach", "device": "socket2" } ])");

    const QString line = QStringLiteral(
        "Vemo2 000000001 at line came back at socket2, not where it left; it is not loaded");
    QCOMPARE(result.exitCode, ProgramOptions::ImageNotLoadedExitCode);
    QCOMPARE(result.log.last(), line);
    QVERIFY(result.standardError.isEmpty());
    QCOMPARE(result.log.filter(QStringLiteral("Device opend")).size(), 1);
    QVERIFY(QDir(path(QStringLiteral("images"))).entryList(QDir::Files).isEmpty());
}

void TestBatchRun::deviceThatNeverComesBackTimesOut()
{
    writeFile(QStringLiteral("vemo2.bin"), testBytes(100));
    // The device restarts into its loader and stays away.
    const Result result =
        run({device(QStringLiteral("line"), QStringLiteral("000000001"), QString(), 3600000)},
            {path(QStringLiteral("vemo2.bin"))}, {QStringLiteral("--timeout=1")});

    QCOMPARE(result.exitCode, 3);
    QVERIFY(result.log.contains(QStringLiteral("OnPnPRemoveNotification")));
    QVERIFY(!result.log.contains(QStringLiteral("OnPnPAddNotification")));
    QCOMPARE(result.log.last(), QStringLiteral("Timed out after 1 s: the run did not end"));
    QCOMPARE(result.standardError, QStringLiteral("Timed out after 1 s: the run did not end\n"));
}

QTEST_GUILESS_MAIN(TestBatchRun)
#include "tst_batchrun.moc"
