#include "registry/KeyStore.h"
#include "tests/support/TestBytes.h"
#include "tests/support/ToolProcess.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <utility>
#include <vector>

// The instances of a production station run at the same time and share the
// record file (--record), the key store (--registry, written by every start)
// and the certificate folder (--print-to). Many writers at once lose
// nothing and spoil nothing: every record is there once and whole, every
// instance's key store values are there, every certificate is a file of its
// own.
class TestConcurrentRuns : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void writersAtOnce();
    void programsAtOnce();
    void stationScript_data();
    void stationScript();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    // Every line of the record file as a JSON object; a line that is none
    // fails the test.
    QList<QJsonObject> records(const QString &name = QStringLiteral("record.jsonl"));

    std::unique_ptr<QTemporaryDir> m_dir;
};

namespace {

constexpr int kInstances = 16;

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// Starts every process, then waits for all of them; the exit statuses
// (negative for one that crashed or did not end). What each says on
// standard error goes into a file of errorFolder (err-N.txt); what one that
// failed said is shown.
QList<int> runAll(const QString &program, const QList<QStringList> &arguments, int limitMs,
                  const QString &errorFolder)
{
    std::vector<std::unique_ptr<ToolProcess>> processes;
    for (const QStringList &args : arguments) {
        ToolProcess::Setup setup;
        setup.discardOutput = true;
        // In a sanitized build: LeakSanitizer's own tracer now and then
        // crashes at exit when many sanitized processes share a few cores
        // ("Tracer caught signal 11", a fatal error and status 1, no leak);
        // the program's leaks are looked for in the suites that run it
        // alone.
        const QString sanitizer = qEnvironmentVariable("ASAN_OPTIONS");
        setup.extra.insert(QStringLiteral("ASAN_OPTIONS"), sanitizer +
                                                               (sanitizer.isEmpty() ? "" : ":") +
                                                               QStringLiteral("detect_leaks=0"));
        setup.errorFile =
            QDir(errorFolder)
                .filePath(QStringLiteral("err-%1.txt").arg(qsizetype(processes.size())));
        processes.push_back(std::make_unique<ToolProcess>());
        processes.back()->start(setup, program, args);
    }
    QList<int> codes;
    for (auto &process : processes)
        codes << process->finish(limitMs).status();
    for (int i = 0; i < codes.size(); ++i) {
        if (codes.at(i) != 0)
            qWarning("instance %d ended with %d; it said:\n%s", i, codes.at(i),
                     readFile(QDir(errorFolder).filePath(QStringLiteral("err-%1.txt").arg(i)))
                         .constData());
    }
    return codes;
}

} // namespace

void TestConcurrentRuns::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

QList<QJsonObject> TestConcurrentRuns::records(const QString &name)
{
    QList<QJsonObject> objects;
    const QList<QByteArray> lines = readFile(path(name)).split('\n');
    // The file ends with a line break: its last piece is empty.
    for (int i = 0; i < lines.size(); ++i) {
        if (i == lines.size() - 1 && lines.at(i).isEmpty())
            break;
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(lines.at(i), &error);
        if (error.error != QJsonParseError::NoError || !document.isObject()) {
            qWarning("line %d is no record: %s", i + 1, lines.at(i).left(200).constData());
            return {};
        }
        objects << document.object();
    }
    return objects;
}

// Sixteen writers at once, a few rounds: each appends long records and
// writes values of its own into the key store, as fast as it can.
void TestConcurrentRuns::writersAtOnce()
{
    constexpr int kRounds = 3;
    constexpr int kEach = 8;
    const QString registry = path(QStringLiteral("registry.json"));
    const QString record = path(QStringLiteral("record.jsonl"));
    QStringList instances;
    for (int round = 1; round <= kRounds; ++round) {
        QList<QStringList> arguments;
        for (int i = 1; i <= kInstances; ++i) {
            instances << QStringLiteral("r%1i%2").arg(round).arg(i);
            arguments << QStringList{registry, record, instances.last(), QString::number(kEach)};
        }
        const QList<int> codes =
            runAll(QStringLiteral(STRESS_WRITER_PATH), arguments, 240000, m_dir->path());
        QCOMPARE(codes, QList<int>(kInstances, 0));

        // Every record there once, whole.
        const QList<QJsonObject> all = records();
        QCOMPARE(all.size(), instances.size() * kEach);
        QSet<QString> seen;
        for (const QJsonObject &one : all) {
            const QString reason = one.value(QStringLiteral("reason")).toString();
            const QString id = reason.section(QLatin1Char(' '), 0, 0);
            QVERIFY2(!seen.contains(id), qPrintable(id));
            seen.insert(id);
            QCOMPARE(reason.size(), id.size() + 1 + 3000);
            QCOMPARE(one.value(QStringLiteral("device")).toString(), id.section('/', 0, 0));
            QCOMPARE(one.value(QStringLiteral("imageSize")).toInt(), 4096);
        }
        for (const QString &instance : std::as_const(instances)) {
            for (int n = 1; n <= kEach; ++n)
                QVERIFY2(seen.contains(QStringLiteral("%1/%2").arg(instance).arg(n)),
                         qPrintable(instance));
        }

        // The key store is whole and holds every instance's values.
        QJsonParseError error;
        QVERIFY(QJsonDocument::fromJson(readFile(registry), &error).isObject());
        QCOMPARE(error.error, QJsonParseError::NoError);
        registry::KeyStore store(registry);
        for (const QString &instance : std::as_const(instances)) {
            for (int n = 1; n <= kEach; ++n)
                QCOMPARE(store.readString(registry::RootKey::CurrentUser,
                                          QStringLiteral("Software\\Station\\") + instance,
                                          QStringLiteral("run%1").arg(n)),
                         QStringLiteral("%1/%2").arg(instance).arg(n));
        }
    }
}

// Sixteen calibrated updates at once, each on its own simulated device, all
// on one key store, one record file and one certificate folder; two devices
// share each serial number, so certificates of the same name in the same
// second meet.
void TestConcurrentRuns::programsAtOnce()
{
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("certificates")));
    QList<QStringList> arguments;
    QList<QByteArray> images;
    QStringList serials;
    for (int i = 0; i < kInstances; ++i) {
        serials << QStringLiteral("5000000%1").arg(i / 2, 2, 10, QLatin1Char('0'));
        const QString sim = path(QStringLiteral("sim-%1.json").arg(i));
        QFile simFile(sim);
        QVERIFY(simFile.open(QIODevice::WriteOnly));
        simFile.write(QStringLiteral(R"({ "devices": [ { "id": "dev%1", "generation": "Vemo2",
            "serial": "%2", "firmware": "2.10", "deviation": "+0.0%1",
            "restartDelayMs": 50, "eraseDelayMs": 50, "loaderAnnouncesBlank": true,
            "imageFolder": "%3/images" } ] })")
                          .arg(i)
                          .arg(serials.last(), m_dir->path())
                          .toUtf8());
        simFile.close();
        images << testBytes(600 + 64 * i + i, quint32(i + 1));
        const QString image = path(QStringLiteral("image-%1.bin").arg(i));
        QFile imageFile(image);
        QVERIFY(imageFile.open(QIODevice::WriteOnly));
        imageFile.write(images.last());
        imageFile.close();
        arguments << QStringList{
            QStringLiteral("--batch"),
            QStringLiteral("--timeout=400"),
            QStringLiteral("--sim=") + sim,
            QStringLiteral("--registry=") + path(QStringLiteral("registry.json")),
            QStringLiteral("--record=") + path(QStringLiteral("record.jsonl")),
            QStringLiteral("--print-to=") + path(QStringLiteral("certificates")),
            QStringLiteral("--verify"),
            image,
            QStringLiteral("/CALIBRATE")};
    }
    const QList<int> codes = runAll(ToolProcess::vemotool(), arguments, 480000, m_dir->path());
    // A run that failed says why in its record.
    if (codes != QList<int>(kInstances, 0)) {
        for (const QJsonObject &one : records())
            qWarning("record of %s: %d %s",
                     qPrintable(one.value(QStringLiteral("imagePath")).toString()),
                     one.value(QStringLiteral("status")).toInt(),
                     qPrintable(one.value(QStringLiteral("reason")).toString()));
    }
    QCOMPARE(codes, QList<int>(kInstances, 0));

    // Each device took its own image, byte for byte.
    for (int i = 0; i < kInstances; ++i)
        QCOMPARE(readFile(path(QStringLiteral("images/dev%1-001.bin").arg(i))), images.at(i));

    // One record per run, each with its device, image and certificate.
    const QList<QJsonObject> all = records();
    QCOMPARE(all.size(), kInstances);
    QSet<QString> devices;
    QSet<QString> certificates;
    for (const QJsonObject &one : all) {
        const QString device = one.value(QStringLiteral("path")).toString();
        QVERIFY2(device.startsWith(QLatin1String("dev")), qPrintable(device));
        const int i = device.mid(3).toInt();
        devices.insert(device);
        QCOMPARE(one.value(QStringLiteral("status")).toInt(), 0);
        QCOMPARE(one.value(QStringLiteral("serial")).toString(), serials.at(i));
        QCOMPARE(one.value(QStringLiteral("imageSha256")).toString(), sha256(images.at(i)));
        QCOMPARE(one.value(QStringLiteral("bytesTaken")).toInt(), images.at(i).size());
        QCOMPARE(one.value(QStringLiteral("deviation")).toString(),
                 QStringLiteral("+0.0%1").arg(i));
        const QString certificate = one.value(QStringLiteral("certificate")).toString();
        QVERIFY2(QFileInfo(certificate).isFile(), qPrintable(certificate));
        QVERIFY2(QFileInfo(certificate)
                     .fileName()
                     .startsWith(QStringLiteral("Certificate-%1-").arg(serials.at(i))),
                 qPrintable(certificate));
        certificates.insert(certificate);
    }
    QCOMPARE(devices.size(), kInstances);
    // No certificate written over another.
    QCOMPARE(certificates.size(), kInstances);
    QCOMPARE(QDir(path(QStringLiteral("certificates")))
                 .entryList({QStringLiteral("*.pdf")}, QDir::Files)
                 .size(),
             kInstances);

    // The key store every start wrote into is whole, with the program's
    // registration in it.
    QJsonParseError error;
    QJsonDocument::fromJson(readFile(path(QStringLiteral("registry.json"))), &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    registry::KeyStore store(path(QStringLiteral("registry.json")));
    QCOMPARE(store.readString(registry::RootKey::LocalMachine,
                              QStringLiteral("Software\\ORVIK\\Vemo"),
                              QStringLiteral("VemoUSBDemo")),
             ToolProcess::vemotool());
}

void TestConcurrentRuns::stationScript_data()
{
    QTest::addColumn<QString>("faultyDevice"); // fields of the second Vemo2
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("summary"); // a pattern per device, sorted, then the summary
    QTest::newRow("every device done")
        << "" << 0
        << QStringList{"a Vemo2 200000011 done 2.10 -> 2.11 5000 bytes * 0 done",
                       "b Vemo2 200000012 done 2.10 -> 2.11 5000 bytes * 0 done",
                       "c Vemo3 V30000013 done 2.10 -> 2.11 3000 bytes * 0 done",
                       "station: 3 done, 0 failed, 0 left alone (3 runs in * s)"};
    // It never answers after its update: its check fails, the others go on.
    QTest::newRow("one device fails")
        << R"(, "answers": { "USB-Vemo:NSF?!!": "" })" << 1
        << QStringList{"a Vemo2 200000011 done 2.10 -> 2.11 5000 bytes * 0 done",
                       "b Vemo2 200000012 FAILED 2.10 -> 2.11 5000 bytes * 5 verification "
                       "failed: the device did not answer within 15 s",
                       "c Vemo3 V30000013 done 2.10 -> 2.11 3000 bytes * 0 done",
                       "station: 2 done, 1 failed, 0 left alone (3 runs in * s)"};
}

// The production station's script, the headless station: it updates each
// device with its own verified, recorded instance at once, a line each as
// it ends, and sums up.
void TestConcurrentRuns::stationScript()
{
    QFETCH(QString, faultyDevice);
    QFETCH(int, exitCode);
    QFETCH(QStringList, summary);

    const QString sim = path(QStringLiteral("station.json"));
    QFile simFile(sim);
    QVERIFY(simFile.open(QIODevice::WriteOnly));
    QString devices;
    const QStringList ids{"a", "b", "c"};
    const QStringList serials{"200000011", "200000012", "V30000013"};
    for (int i = 0; i < 3; ++i) {
        devices += QStringLiteral(R"(%1{ "id": "%2", "generation": "%3", "serial": "%4",
            "firmware": "2.10", "restartDelayMs": 50, "eraseDelayMs": 50,
            "loaderAnnouncesBlank": true, "imageFolder": "%5/images" %6 })")
                       .arg(i == 0 ? QString() : QStringLiteral(","), ids.at(i),
                            i == 2 ? QStringLiteral("Vemo3") : QStringLiteral("Vemo2"),
                            serials.at(i), m_dir->path(), i == 1 ? faultyDevice : QString());
    }
    simFile.write(QStringLiteral("{ \"devices\": [ %1 ] }").arg(devices).toUtf8());
    simFile.close();
    const QByteArray vemo2 = testBytes(5000, 2);
    const QByteArray vemo3 = testBytes(3000, 3);
    for (const auto &[name, bytes] : {std::pair{QStringLiteral("vemo2.bin"), vemo2},
                                      std::pair{QStringLiteral("vemo3.bin"), vemo3}}) {
        QFile image(path(name));
        QVERIFY(image.open(QIODevice::WriteOnly));
        image.write(bytes);
    }
    // An earlier station run's record stays and is not read again.
    {
        QFile earlier(path(QStringLiteral("station.jsonl")));
        QVERIFY(earlier.open(QIODevice::WriteOnly));
        earlier.write("{\"device\":\"200000011\",\"status\":4,\"reason\":\"earlier\"}\n");
    }

    ToolProcess::Setup setup;
    setup.workingDirectory = m_dir->path();
    setup.extra.insert(QStringLiteral("VEMOTOOL"), ToolProcess::vemotool());
    setup.extra.insert(QStringLiteral("VEMOTOOL_OPTIONS"),
                       QStringLiteral("--sim=%1 --registry=%2 --timeout=15")
                           .arg(sim, path(QStringLiteral("registry.json"))));
    ToolProcess station;
    station.start(setup, QStringLiteral(VEMO_SOURCE_DIR "/scripts/station"),
                  {QStringLiteral("Vemo2=vemo2.bin"), QStringLiteral("Vemo3=vemo3.bin")});
    const ToolProcess::Result ended = station.finish(300000);
    QVERIFY(ended.finished);
    const QString output = QString::fromUtf8(ended.out);
    const QString errors = QString::fromUtf8(ended.err);
    QVERIFY2(ended.status() == exitCode, qPrintable(output + errors));

    QStringList lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString &line : lines)
        line = line.simplified();
    // A line per device as its run ends, in any order; the summary last.
    QVERIFY(!lines.isEmpty());
    const QString last = lines.takeLast();
    lines.sort();
    lines << last;
    QCOMPARE(lines.size(), summary.size());
    for (int i = 0; i < summary.size(); ++i) {
        const QRegularExpression want(QLatin1Char('^') +
                                      QRegularExpression::escape(summary.at(i))
                                          .replace(QLatin1String("\\*"), QLatin1String("\\S+")) +
                                      QLatin1Char('$'));
        QVERIFY2(want.match(lines.at(i)).hasMatch(), qPrintable(lines.at(i)));
    }
    // Each device took its image.
    for (int i = 0; i < 3; ++i)
        QCOMPARE(readFile(path(QStringLiteral("images/%1-001.bin").arg(ids.at(i)))),
                 i == 2 ? vemo3 : vemo2);
    // Its records follow the earlier one.
    QCOMPARE(records(QStringLiteral("station.jsonl")).size(), 4);
}

QTEST_GUILESS_MAIN(TestConcurrentRuns)
#include "tst_concurrentruns.moc"
