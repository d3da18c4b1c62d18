#include "app/ProgramOptions.h"
#include "tests/report/PdfText.h"
#include "tests/support/TestBytes.h"
#include "tests/support/ToolProcess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <sys/types.h>

// The program as a production line runs it: a separate process with
// --batch on a simulated device, read from outside only through its exit
// status, standard error, the log file, the certificates it writes and what
// the simulated device reports it took. Every run ends with one line naming
// its exit status and why ("run ended: 0 done"), on standard error and as the
// log's last line.
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
    void endings_data();
    void endings();
    void terminationSignals_data();
    void terminationSignals();

private:
    struct Result
    {
        int exitCode = -1;
        QString standardError;
        QStringList log;
    };
    // Writes a simulator file with these devices (JSON objects) and runs the
    // program on it with --batch, from the test's folder. Certificates go to
    // the folder's certificates/ unless the options hold NoPrintTo.
    // more: further members of the simulator file's object (", \"timeline\": ...").
    Result run(const QStringList &devices, const QStringList &arguments,
               const QStringList &options = {}, const QString &more = {});
    // The same program started and left running; the log is logPath().
    void startRun(ToolProcess &child, const QStringList &devices, const QStringList &arguments,
                  const QStringList &options = {}, const QString &more = {});
    Result resultOf(ToolProcess &child);
    QString logPath() const { return path(QStringLiteral("run-%1.log").arg(m_runs)); }
    QStringList logLines() const;
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

// The option that keeps certificates away from --print-to: they go to the
// printer (and CUPS_SERVER leads nowhere in the tests).
const QString NoPrintTo = QStringLiteral("NO-PRINT-TO");

// What an installer standing in for vemo2.exe does: leave this image in the
// temporary folder (empty: none).
QByteArray installerScript(const QString &image)
{
    QByteArray script = "#!/bin/sh\n[ \"$1\" = \" /auto\" ] || exit 1\n";
    if (!image.isEmpty())
        script += QStringLiteral("cp \"%1\" \"$TMPDIR/Vemo2.bin\"\n").arg(image).toUtf8();
    return script;
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
    ToolProcess child;
    startRun(child, devices, arguments, options, more);
    return resultOf(child);
}

void TestBatchRun::startRun(ToolProcess &child, const QStringList &devices,
                            const QStringList &arguments, const QStringList &options,
                            const QString &more)
{
    ++m_runs;
    const QString sim = path(QStringLiteral("sim-%1.json").arg(m_runs));
    QString json =
        QStringLiteral("{ \"devices\": [ %1 ] %2 }").arg(devices.join(QStringLiteral(", ")), more);
    json.replace(QLatin1String("DIR"), m_dir->path());
    QFile simFile(sim);
    if (!simFile.open(QIODevice::WriteOnly))
        return;
    simFile.write(json.toUtf8());
    simFile.close();

    QStringList programOptions{QStringLiteral("--batch"), QStringLiteral("--sim=") + sim,
                               QStringLiteral("--registry=") +
                                   path(QStringLiteral("registry.json")),
                               QStringLiteral("--log-file=") + logPath()};
    if (!options.contains(NoPrintTo))
        programOptions << QStringLiteral("--print-to=") + path(QStringLiteral("certificates"));
    for (const QString &option : options) {
        if (option != NoPrintTo)
            programOptions << option;
    }
    // No display: an unattended run needs none. A file named without a
    // folder is the test folder's.
    child.start(ToolProcess::inFolder(m_dir->path()), programOptions + arguments);
}

TestBatchRun::Result TestBatchRun::resultOf(ToolProcess &child)
{
    const ToolProcess::Result ended = child.finish();
    if (!ended.finished)
        return Result();
    Result result;
    result.exitCode = ended.status();
    result.standardError = QString::fromLocal8Bit(ended.err);
    result.log = logLines();
    return result;
}

QStringList TestBatchRun::logLines() const
{
    return QString::fromUtf8(readFile(logPath())).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void TestBatchRun::calibratedUpdate()
{
    const QByteArray image = writeFile(QStringLiteral("vemo2.bin"), testBytes(5000));
    const Result result =
        run({device(QStringLiteral("line"), QStringLiteral("VX1234567"),
                    QStringLiteral(R"("deviation": "+0.00123", "firmware": "2.10")"))},
            {path(QStringLiteral("vemo2.bin")), QStringLiteral("/CALIBRATE")});

    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.standardError, QStringLiteral("run ended: 0 done\n"));
    QCOMPARE(result.log.last(), QStringLiteral("run ended: 0 done"));
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
    writeFile(QStringLiteral("vemo2.exe"), installerScript(path(QStringLiteral("payload.bin"))));
    QVERIFY(QFile::setPermissions(path(QStringLiteral("vemo2.exe")),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    const Result result = run({device(QStringLiteral("line"), QStringLiteral("000000001"))},
                              {path(QStringLiteral("vemo2.exe"))});

    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.standardError, QStringLiteral("run ended: 0 done\n"));
    QCOMPARE(readFile(path(QStringLiteral("images/line-001.bin"))), image);
}

void TestBatchRun::serialRun()
{
    const Result result = run({device(QStringLiteral("line"), QStringLiteral("000000001"))},
                              {QStringLiteral("/serialab1234567")});

    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.standardError, QStringLiteral("run ended: 0 done\n"));
    QVERIFY(result.log.contains(QStringLiteral("serial number written: AB1234567")));
    QCOMPARE(result.log.mid(result.log.size() - 2),
             (QStringList{"serial number read back: AB1234567", "run ended: 0 done"}));
    QCOMPARE(state(QStringLiteral("line-state.json")).value(QStringLiteral("serial")),
             QJsonValue(QStringLiteral("AB1234567")));
}

void TestBatchRun::serialReadBackThatFails_data()
{
    QTest::addColumn<QString>("answer"); // the device's reply to "DEVNR?"
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("lastLine"); // before the run's end line
    QTest::addColumn<QString>("standardError");
    QTest::addColumn<QString>("endLine");

    QTest::newRow("another number")
        << "DEVNR999999999" << 1 << "serial number read back differs: 999999999"
        << ""
        << "run ended: 1 serial number read back differs";
    // The reply's box is on standard error too.
    QTest::newRow("reply of the wrong length")
        << "DEVNR99" << 1 << "Please check device number!DEVNR99 : Error length of device number"
        << "Please check device number!DEVNR99 : Error length of device number\n"
        << "run ended: 1 a message box was shown: Please check device number!DEVNR99 : Error "
           "length of device number";
    QTest::newRow("no reply") << "" << 3 << "Timed out after 1 s: the run did not end"
                              << "Timed out after 1 s: the run did not end\n"
                              << "run ended: 3 time-out after 1 s";
}

void TestBatchRun::serialReadBackThatFails()
{
    QFETCH(QString, answer);
    QFETCH(int, exitCode);
    QFETCH(QString, lastLine);
    QFETCH(QString, standardError);
    QFETCH(QString, endLine);

    const Result result =
        run({device(QStringLiteral("line"), QStringLiteral("000000001"),
                    QStringLiteral(R"("answers": { "DEVNR?": "%1" })").arg(answer))},
            {QStringLiteral("/SERIALAB1234567")}, {QStringLiteral("--timeout=1")});

    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.standardError, standardError + endLine + QLatin1Char('\n'));
    // Not said to be written: the device did not give it back.
    QVERIFY(!result.log.contains(QStringLiteral("serial number written: AB1234567")));
    QCOMPARE(result.log.mid(result.log.size() - 2), (QStringList{lastLine, endLine}));
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
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("reason");

    QTest::newRow("no device") << 0 << "vemo2.bin"
                               << ""
                               << "Error: No Vemo found" << 4 << "No Vemo found";
    QTest::newRow("two devices") << 2 << "vemo2.bin"
                                 << ""
                                 << "Error: More than one Vemo found, please disconnect others" << 4
                                 << "More than one Vemo found, please disconnect others";
    QTest::newRow("file not found") << 1 << "missing.bin"
                                    << ""
                                    << "Error: File not found" << 2 << "File not found";
    QTest::newRow("device does not open")
        << 1 << "vemo2.bin"
        << R"("faults": { "openStatus": "AccessDenied" })"
        << "Error: Could not open device" << 4 << "Could not open device";
    QTest::newRow("serial run without a device") << 0 << "/SERIAL123456789"
                                                 << ""
                                                 << "" << 4 << "Error writing serial number!";
}

void TestBatchRun::runsThatEndEarly()
{
    QFETCH(int, devices);
    QFETCH(QString, firstArgument);
    QFETCH(QString, extra);
    QFETCH(QString, boxLine);
    QFETCH(int, exitCode);
    QFETCH(QString, reason);

    writeFile(QStringLiteral("vemo2.bin"), testBytes(100));
    QStringList attached;
    for (int i = 0; i < devices; ++i)
        attached << device(QStringLiteral("d%1").arg(i), QStringLiteral("00000000%1").arg(i),
                           extra);
    const QString argument =
        firstArgument.startsWith(QLatin1Char('/')) ? firstArgument : path(firstArgument);
    const Result result = run(attached, {argument});

    QCOMPARE(result.exitCode, exitCode);
    // Each box is one line on standard error and in the message log; the
    // run's end line follows it.
    const QString endLine = QStringLiteral("run ended: %1 %2").arg(exitCode).arg(reason);
    const QString before =
        boxLine.isEmpty() ? QStringLiteral("Error writing serial number!") : boxLine;
    QCOMPARE(result.standardError, (boxLine.isEmpty() ? QString() : boxLine + QLatin1Char('\n')) +
                                       endLine + QLatin1Char('\n'));
    QCOMPARE(result.log.mid(result.log.size() - 2), (QStringList{before, endLine}));
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
    QTest::addColumn<bool>("verify");

    const QString attached =
        QStringLiteral("attached: Vemo2 000000000 at d0, Vemo2 000000001 at d1, Vemo2 000000001 "
                       "at d2");
    QTest::newRow("update, by path") << "d2"
                                     << "vemo2.bin" << 2 << "" << false;
    QTest::newRow("update, by serial") << "000000000"
                                       << "vemo2.bin" << 0 << "" << false;
    // The device back with its image is the one checked, among the others.
    QTest::newRow("update, by path, verified") << "d1"
                                               << "vemo2.bin" << 1 << "" << true;
    QTest::newRow("serial run, by path") << "d1"
                                         << "/SERIALAB1234567" << 1 << "" << false;
    QTest::newRow("update, not attached")
        << "000000007"
        << "vemo2.bin" << -1 << "Error: Device '000000007' is not attached; " + attached << false;
    QTest::newRow("serial run, not attached")
        << "d7"
        << "/SERIALAB1234567" << -1 << "Error: Device 'd7' is not attached; " + attached << false;
    QTest::newRow("update, a serial number of two")
        << "000000001"
        << "vemo2.bin" << -1
        << "Error: Device '000000001' is not one device: several give this serial number, name "
           "it by its bus path; " +
               attached
        << false;
}

void TestBatchRun::namedDeviceAmongOthers()
{
    QFETCH(QString, named);
    QFETCH(QString, firstArgument);
    QFETCH(int, device);
    QFETCH(QString, boxLine);
    QFETCH(bool, verify);

    const QByteArray image = writeFile(QStringLiteral("vemo2.bin"), testBytes(1000));
    const QStringList serials{"000000000", "000000001", "000000001"};
    QStringList attached;
    for (int i = 0; i < 3; ++i)
        attached << ::device(QStringLiteral("d%1").arg(i), serials.at(i),
                             QStringLiteral(R"("instanceId": "i%1")").arg(i));
    const QString argument =
        firstArgument.startsWith(QLatin1Char('/')) ? firstArgument : path(firstArgument);
    QStringList options{QStringLiteral("--device=") + named};
    if (verify)
        options << QStringLiteral("--verify");
    const Result result = run(attached, {argument}, options);

    if (device < 0) {
        // Status 4 and one line naming what is attached, then the run's end
        // line with it; no device touched.
        const QString endLine =
            QStringLiteral("run ended: 4 ") + boxLine.mid(QStringLiteral("Error: ").size());
        QCOMPARE(result.exitCode, 4);
        QCOMPARE(result.standardError, boxLine + QLatin1Char('\n') + endLine + QLatin1Char('\n'));
        QCOMPARE(result.log.mid(result.log.size() - 2), (QStringList{boxLine, endLine}));
        QVERIFY(result.log.filter(QStringLiteral("Device opend")).isEmpty());
    } else {
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.standardError, QStringLiteral("run ended: 0 done\n"));
        QCOMPARE(result.log.filter(QStringLiteral("firmware after update: ")).size(),
                 verify ? 1 : 0);
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
    const QString endLine = QStringLiteral("run ended: 5 ") + line;
    QCOMPARE(result.exitCode, 5);
    QCOMPARE(result.log.mid(result.log.size() - 2), (QStringList{line, endLine}));
    QCOMPARE(result.standardError, endLine + QLatin1Char('\n'));
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
    QCOMPARE(result.log.mid(result.log.size() - 2),
             (QStringList{"Timed out after 1 s: the run did not end",
                          "run ended: 3 time-out after 1 s"}));
    QCOMPARE(result.standardError, QStringLiteral("Timed out after 1 s: the run did not end\n"
                                                  "run ended: 3 time-out after 1 s\n"));
}

void TestBatchRun::endings_data()
{
    // files: "NAME:BYTES" an image of that size; "NAME:installer=IMAGE" an
    // installer leaving IMAGE as the temporary Vemo2.bin ("installer=" none);
    // "NAME:not-executable" a file that is no program. DIR in a line stands
    // for the test's folder (also the temporary folder); a line ending in
    // "*" is matched as a prefix.
    QTest::addColumn<QString>("extra"); // fields of the one Vemo2
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("endLine");
    QTest::addColumn<QString>("logHas");
    QTest::addColumn<bool>("imageTaken");    // the device took a whole image
    QTest::addColumn<bool>("loaderEntered"); // the device was sent into its loader

    const QStringList image{"vemo2.bin:5000"};
    const QStringList update{"vemo2.bin"};
    const QStringList calibration{"vemo2.bin", "/CALIBRATE"};

    QTest::newRow("completion") << "" << image << update << QStringList() << 0
                                << "run ended: 0 done"
                                << "Automatic Update progress started! vemo2.bin" << true << true;
    // Before the loader erases the flash for an image that cannot go in.
    QTest::newRow("empty image") << "" << QStringList{"vemo2.bin:0"} << update << QStringList() << 2
                                 << "run ended: 2 Firmware file is empty: vemo2.bin"
                                 << "Firmware file is empty: vemo2.bin" << false << false;
    // The link refuses the transfer: the run ends at once, not at its time-out.
    QTest::newRow("refused start")
        << "" << QStringList{"empty.bin:0", "vemo2.exe:installer=empty.bin"}
        << QStringList{"vemo2.exe"} << QStringList() << 2
        << "run ended: 2 firmware file is empty: DIR/Vemo2.bin"
        << "Error SendFile: The file is empty" << false << true;
    QTest::newRow("installer failing")
        << "" << QStringList{"vemo2.exe:not-executable"} << QStringList{"vemo2.exe"}
        << QStringList() << 2 << "run ended: 2 installer did not start: vemo2.exe"
        << "vemo2.exe: Error executing uC-Software" << false << true;
    QTest::newRow("installer from the current folder")
        << "" << QStringList{"payload.bin:777", "vemo2.exe:installer=payload.bin"}
        << QStringList{"vemo2.exe"} << QStringList() << 0 << "run ended: 0 done"
        << "sending File...." << true << true;
    QTest::newRow("missing image")
        << "" << QStringList{"vemo2.exe:installer="} << QStringList{"vemo2.exe"} << QStringList()
        << 2 << "run ended: 2 the installer left no image: DIR/Vemo2.bin"
        << "sending File...." << false << true;
    QTest::newRow("wrong generation")
        << "" << QStringList{"vemo3.bin:5000"} << QStringList{"vemo3.bin"} << QStringList() << 4
        << "run ended: 4 Firmware of another generation: vemo3.bin is for a Vemo3, the device is "
           "a Vemo2 (--force loads it)"
        << "Firmware of another generation: vemo3.bin is for a Vemo3, the device is a Vemo2 "
           "(--force loads it)"
        << false << false;
    QTest::newRow("wrong generation, an installer in capitals")
        << "" << QStringList{"VEMO.EXE:not-executable"} << QStringList{"VEMO.EXE"} << QStringList()
        << 4
        << "run ended: 4 Firmware of another generation: VEMO.EXE is for a Vemo, the device is "
           "a Vemo2 (--force loads it)"
        << "" << false << false;
    QTest::newRow("wrong generation with --force")
        << "" << QStringList{"vemo3.bin:5000"} << QStringList{"vemo3.bin"} << QStringList{"--force"}
        << 0 << "run ended: 0 done"
        << "Automatic Update progress started! vemo3.bin" << true << true;
    QTest::newRow("a name of no generation")
        << "" << QStringList{"firmware-2.11.bin:5000"} << QStringList{"firmware-2.11.bin"}
        << QStringList() << 0 << "run ended: 0 done"
        << "" << true << true;
    // Only an argument beginning with /SERIAL is a serial number.
    QTest::newRow("serial prefix: a firmware path")
        << "" << QStringList{"lot7/serial4.bin:5000"} << QStringList{"lot7/serial4.bin"}
        << QStringList() << 0 << "run ended: 0 done"
        << "Automatic Update progress started! lot7/serial4.bin" << true << true;
    QTest::newRow("serial prefix: /SERIAL inside a missing path")
        << "" << QStringList() << QStringList{"ab/SERIAL1234567"} << QStringList() << 2
        << "run ended: 2 File not found"
        << "Error: File not found" << false << false;
    QTest::newRow("calibration without reply")
        << R"("answers": { "ABGL?": "" })" << image << calibration << QStringList() << 1
        << "run ended: 1 no calibration reply: the certificate was not printed"
        << "calibrate date written: *" << true << true;
    // No printer: CUPS_SERVER leads nowhere.
    QTest::newRow("certificate failing") << "" << image << calibration << QStringList{NoPrintTo}
                                         << 1 << "run ended: 1 certificate could not be made: *"
                                         << "Could not create Report:*" << true << true;
    QTest::newRow("verification returns")
        << "" << image << update << QStringList{"--verify"} << 0 << "run ended: 0 done"
        << "firmware after update: Vemo2 firmware V2.11" << true << true;
    QTest::newRow("verification of the expected version")
        << "" << image << update << QStringList{"--expect-version=V2.11"} << 0
        << "run ended: 0 done"
        << "firmware after update: Vemo2 firmware V2.11" << true << true;
    QTest::newRow("verification of another version")
        << "" << image << update << QStringList{"--expect-version=2.12"} << 5
        << "run ended: 5 verification failed: firmware after update is 'Vemo2 firmware V2.11', "
           "not 2.12"
        << "firmware after update: Vemo2 firmware V2.11" << true << true;
    // A whole number of chunks: the device waits for more and never restarts.
    QTest::newRow("verification never returns")
        << "" << QStringList{"vemo2.bin:6400"} << update << QStringList{"--verify", "--timeout=5"}
        << 5 << "run ended: 5 verification failed: the device did not come back within 5 s"
        << "Timed out after 5 s: the run did not end" << false << true;
    QTest::newRow("verification never answered")
        << R"("answers": { "USB-Vemo:NSF?!!": "" })" << image << update
        << QStringList{"--verify", "--timeout=5"} << 5
        << "run ended: 5 verification failed: the device did not answer within 5 s"
        << "waiting for the device to come back with its new firmware" << true << true;
}

void TestBatchRun::endings()
{
    QFETCH(QString, extra);
    QFETCH(QStringList, files);
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);
    QFETCH(QString, endLine);
    QFETCH(QString, logHas);
    QFETCH(bool, imageTaken);
    QFETCH(bool, loaderEntered);

    for (const QString &file : std::as_const(files)) {
        const QString name = file.section(QLatin1Char(':'), 0, 0);
        const QString what = file.section(QLatin1Char(':'), 1);
        QVERIFY(QDir(m_dir->path()).mkpath(QFileInfo(path(name)).path()));
        if (what.startsWith(QLatin1String("installer="))) {
            const QString left = what.mid(10);
            writeFile(name, installerScript(left.isEmpty() ? QString() : path(left)));
            QVERIFY(QFile::setPermissions(path(name),
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        } else if (what == QLatin1String("not-executable")) {
            writeFile(name, installerScript(QString()));
        } else {
            QCOMPARE(writeFile(name, testBytes(what.toInt())).size(), what.toInt());
        }
    }
    const Result result = run({device(QStringLiteral("line"), QStringLiteral("000000001"), extra)},
                              arguments, options);

    const auto matches = [this](const QString &line, QString want) {
        want.replace(QLatin1String("DIR"), m_dir->path());
        return want.endsWith(QLatin1Char('*')) ? line.startsWith(want.chopped(1)) : line == want;
    };
    QVERIFY2(!result.log.isEmpty(), qPrintable(result.standardError));
    QVERIFY2(matches(result.log.last(), endLine), qPrintable(result.log.join('\n')));
    QCOMPARE(result.exitCode, exitCode);
    // The end line is the last line on standard error too.
    const QStringList errorLines = result.standardError.split('\n', Qt::SkipEmptyParts);
    QVERIFY2(!errorLines.isEmpty() && errorLines.last() == result.log.last(),
             qPrintable(result.standardError));
    if (!logHas.isEmpty())
        QVERIFY2(std::any_of(result.log.cbegin(), result.log.cend(),
                             [&](const QString &line) { return matches(line, logHas); }),
                 qPrintable(result.log.join('\n')));
    QCOMPARE(!QDir(path(QStringLiteral("images"))).entryList(QDir::Files).isEmpty(), imageTaken);
    const QJsonObject device = state(QStringLiteral("line-state.json"));
    QCOMPARE(device.value(QStringLiteral("loader")).toBool() ||
                 device.value(QStringLiteral("firmware")).toString() != QLatin1String("2.10"),
             loaderEntered);
    // Whatever the first argument was, no serial number was written.
    QCOMPARE(device.value(QStringLiteral("serial")), QJsonValue(QStringLiteral("000000001")));
}

void TestBatchRun::terminationSignals_data()
{
    QTest::addColumn<QString>("extra");
    QTest::addColumn<int>("imageSize"); // vemo2.bin
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("waitFor"); // the log line after which the signal is sent
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<int>("delayMs"); // after the line
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("endLine"); // a pattern
    QTest::addColumn<bool>("loaderEntered");

    // The device never answers: the run waits for the reply.
    QTest::newRow("SIGTERM at a wait for a reply")
        << R"("answers": { "DEVNR?": "" })" << 0 << QStringList{"/SERIALAB1234567"}
        << "Device opend: Vemo2 #1" << SIGTERM << 500 << 1 << "run ended: 1 interrupted by SIGTERM"
        << false;
    // Each command piece takes 700 ms: the signal comes inside the
    // calibration steps' waits, and the device is not sent into its loader.
    QTest::newRow("SIGINT at a command wait")
        << R"("faults": { "writeCompletionDelayMs": 700 })" << 5000
        << QStringList{"vemo2.bin", "/CALIBRATE"} << "Device opend: Vemo2 #1" << SIGINT << 0 << 1
        << "run ended: 1 interrupted by SIGINT" << false;
    // Each chunk takes 20 ms: the transfer runs for 20 s.
    QTest::newRow("SIGTERM during the transfer")
        << R"("faults": { "writeCompletionDelayMs": 20 })" << 64008 << QStringList{"vemo2.bin"}
        << "sending File...." << SIGTERM << 500 << 5
        << "run ended: 5 transfer failed: interrupted by SIGTERM at (\\d+) of 64008 bytes" << true;
}

void TestBatchRun::terminationSignals()
{
    QFETCH(QString, extra);
    QFETCH(int, imageSize);
    QFETCH(QStringList, arguments);
    QFETCH(QString, waitFor);
    QFETCH(int, signalNumber);
    QFETCH(int, delayMs);
    QFETCH(int, exitCode);
    QFETCH(QString, endLine);
    QFETCH(bool, loaderEntered);

    if (imageSize > 0)
        writeFile(QStringLiteral("vemo2.bin"), testBytes(imageSize));
    ToolProcess child;
    startRun(child, {device(QStringLiteral("line"), QStringLiteral("000000001"), extra)},
             arguments);
    QProcess &process = child.process();
    QVERIFY(process.waitForStarted());
    QElapsedTimer clock;
    clock.start();
    while (!logLines().contains(waitFor)) {
        QVERIFY2(!process.waitForFinished(10), qPrintable(logLines().join('\n')));
        QVERIFY2(clock.elapsed() < 60000, qPrintable(logLines().join('\n')));
    }
    if (delayMs > 0)
        QVERIFY(!process.waitForFinished(delayMs));
    ::kill(pid_t(process.processId()), signalNumber);
    QVERIFY(process.waitForFinished(60000));
    const Result result = resultOf(child);

    QCOMPARE(result.exitCode, exitCode);
    const QRegularExpression end(QLatin1Char('^') + endLine + QLatin1Char('$'));
    const QRegularExpressionMatch match = end.match(result.log.last());
    QVERIFY2(match.hasMatch(), qPrintable(result.log.join('\n')));
    QCOMPARE(result.standardError, result.log.last() + QLatin1Char('\n'));
    if (end.captureCount() > 0) {
        // How far the image got: some of it, not all.
        const int sent = match.captured(1).toInt();
        QVERIFY2(sent > 0 && sent < imageSize, qPrintable(match.captured(1)));
        QVERIFY(!result.log.filter(QStringLiteral("Firmware transfer failed: ")).isEmpty());
        QVERIFY(QDir(path(QStringLiteral("images"))).entryList(QDir::Files).isEmpty());
    }
    const QJsonObject device = state(QStringLiteral("line-state.json"));
    QCOMPARE(device.value(QStringLiteral("loader")).toBool(), loaderEntered);
    QVERIFY(!result.log.contains(QStringLiteral("Automatic Update progress started! vemo2.bin")) ||
            loaderEntered);
}

QTEST_GUILESS_MAIN(TestBatchRun)
#include "tst_batchrun.moc"
