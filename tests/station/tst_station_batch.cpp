// The headless station (vemotool --station --batch) from outside, on the
// simulated bus: its lines, its summary and its exit status; with --auto it
// goes on until a signal, which ends the runs under way as SIGTERM ends any
// run, each saying how far its image got. (The lines of a station over
// several devices, done and failed: tst_concurrentruns, through
// scripts/station.)

#include "tests/support/TestBytes.h"
#include "tests/support/ToolProcess.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/types.h>

class TestStationBatch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void endsWithItsSummary_data();
    void endsWithItsSummary();
    void autoGoesOnUntilASignal();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    QString sim(const QString &devices);
    std::unique_ptr<QTemporaryDir> m_dir;
};

namespace {

QString vemo2(const QString &id, const QString &serial, const QString &more = QString())
{
    return QStringLiteral(R"({ "id": "%1", "generation": "Vemo2", "serial": "%2",
        "firmware": "2.10", "restartDelayMs": 50, "eraseDelayMs": 50,
        "loaderAnnouncesBlank": true %3 })")
        .arg(id, serial, more);
}

} // namespace

void TestStationBatch::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QFile image(path(QStringLiteral("vemo2.bin")));
    QVERIFY(image.open(QIODevice::WriteOnly));
    image.write(testBytes(5000, 9));
}

QString TestStationBatch::sim(const QString &devices)
{
    QFile file(path(QStringLiteral("station.json")));
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write(QStringLiteral("{ \"devices\": [ %1 ] }").arg(devices).toUtf8());
    return file.fileName();
}

void TestStationBatch::endsWithItsSummary_data()
{
    QTest::addColumn<QString>("devices");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("lines"); // patterns, sorted; the summary last
    QTest::newRow("every device done")
        << vemo2(QStringLiteral("1-1.1"), QStringLiteral("200000001")) << 0
        << QStringList{"1-1.1 Vemo2 200000001 done 2.10 -> 2.11 5000 bytes * 0 done",
                       "station: 1 done, 0 failed, 0 left alone (1 runs in * s)"};
    QTest::newRow("a device left alone")
        << vemo2(QStringLiteral("1-1.1"), QStringLiteral("200000001")) +
               QStringLiteral(
                   R"(, { "id": "1-1.2", "generation": "Vemo3", "serial": "V30000002" })")
        << 1
        << QStringList{"1-1.1 Vemo2 200000001 done 2.10 -> 2.11 5000 bytes * 0 done",
                       "1-1.2 Vemo3 V30000002 LEFT ALONE: no image given for Vemo3",
                       "station: 1 done, 0 failed, 1 left alone (1 runs in * s)"};
    QTest::newRow("no device") << QString() << 4
                               << QStringList{"station: 0 done, 0 failed, 0 left alone (0 runs "
                                              "in * s)",
                                              "station: no device to update"};
}

void TestStationBatch::endsWithItsSummary()
{
    QFETCH(QString, devices);
    QFETCH(int, status);
    QFETCH(QStringList, lines);
    const ToolProcess::Result ended = ToolProcess::run(
        {QStringLiteral("--station"), QStringLiteral("--batch"),
         QStringLiteral("--sim=") + sim(devices), QStringLiteral("--registry=registry.json"),
         QStringLiteral("--image=Vemo2=vemo2.bin")},
        ToolProcess::inFolder(m_dir->path()));
    QVERIFY2(ended.status() == status, ended.out.constData());
    QStringList said = QString::fromUtf8(ended.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString &line : said)
        line = line.simplified();
    // The devices' lines in any order, then the summary.
    const qsizetype devicesSaid = said.size() - (status == 4 ? 2 : 1);
    QVERIFY(devicesSaid >= 0);
    std::sort(said.begin(), said.begin() + devicesSaid);
    QCOMPARE(said.size(), lines.size());
    for (int i = 0; i < lines.size(); ++i) {
        const QRegularExpression want(QLatin1Char('^') +
                                      QRegularExpression::escape(lines.at(i))
                                          .replace(QLatin1String("\\*"), QLatin1String("\\S+")) +
                                      QLatin1Char('$'));
        QVERIFY2(want.match(said.at(i)).hasMatch(), qPrintable(said.at(i)));
    }
    // The record file by default, in the current folder; a log per run.
    QCOMPARE(QFile::exists(path(QStringLiteral("station.jsonl"))), true);
    QCOMPARE(QDir(path(QStringLiteral("station-logs"))).entryList(QDir::Files).size(),
             qsizetype(status == 4 ? 0 : 1));
}

void TestStationBatch::autoGoesOnUntilASignal()
{
    // It takes its chunks slowly: the signal comes while its image goes in.
    const QString devices =
        vemo2(QStringLiteral("1-1.1"), QStringLiteral("200000001"),
              QStringLiteral(R"(, "faults": { "writeCompletionDelayMs": 20 })"));
    ToolProcess station;
    station.start(ToolProcess::inFolder(m_dir->path()),
                  {QStringLiteral("--station"), QStringLiteral("--batch"), QStringLiteral("--auto"),
                   QStringLiteral("--sim=") + sim(devices),
                   QStringLiteral("--registry=registry.json"),
                   QStringLiteral("--image=Vemo2=vemo2.bin")});
    // Its run's log says when the image has started to go in.
    const auto logText = [this] {
        const QStringList logs = QDir(path(QStringLiteral("station-logs"))).entryList(QDir::Files);
        QFile log(path(QStringLiteral("station-logs/")) + logs.value(0));
        return !logs.isEmpty() && log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    };
    QTRY_VERIFY_WITH_TIMEOUT(logText().contains("sending File...."), 60000);
    QVERIFY(station.running());
    ::kill(pid_t(station.processId()), SIGTERM);
    const ToolProcess::Result ended = station.finish();
    QCOMPARE(ended.status(), 1);
    const QStringList said =
        QString::fromUtf8(ended.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(said.size(), 3);
    QCOMPARE(said.at(0), QStringLiteral("station: interrupted by SIGTERM; the runs under way end"));
    QFile records(path(QStringLiteral("station.jsonl")));
    QVERIFY(records.open(QIODevice::ReadOnly));
    const QJsonObject record = QJsonDocument::fromJson(records.readAll()).object();
    QCOMPARE(record.value(QStringLiteral("status")).toInt(), 5);
    const QString reason = record.value(QStringLiteral("reason")).toString();
    QVERIFY2(reason.startsWith(QLatin1String("transfer failed: interrupted by SIGTERM at ")),
             qPrintable(reason));
    QVERIFY2(said.at(1).simplified().endsWith(QStringLiteral(" 5 ") + reason),
             qPrintable(said.at(1)));
    QVERIFY2(said.at(2).startsWith(QLatin1String("station: 0 done, 1 failed, 0 left alone")),
             qPrintable(said.at(2)));
}

QTEST_GUILESS_MAIN(TestStationBatch)
#include "tst_station_batch.moc"
