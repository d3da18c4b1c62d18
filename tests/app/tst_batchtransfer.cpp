#include "tests/support/TestBytes.h"
#include "tests/support/ToolProcess.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

// The unattended update as a production line runs it, on the simulated
// Vemo2: a --batch process whose device takes each chunk only after a delay.
// The run reports done (status 0) only when the device holds the image byte
// for byte, whatever the delay and the image's size.
class TestBatchTransfer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void deviceHoldsTheImageWhenTheRunIsDone_data();
    void deviceHoldsTheImageWhenTheRunIsDone();
};

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

void TestBatchTransfer::deviceHoldsTheImageWhenTheRunIsDone_data()
{
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("size");
    for (int delay : {0, 1, 5, 20}) {
        for (int size : {1, 63, 64, 65, 4096, 100001})
            QTest::addRow("%d ms, %d bytes", delay, size) << delay << size;
    }
}

void TestBatchTransfer::deviceHoldsTheImageWhenTheRunIsDone()
{
    QFETCH(int, delayMs);
    QFETCH(int, size);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray image = testBytes(size, quint32(size * 31 + delayMs));
    const QString imagePath = dir.filePath(QStringLiteral("vemo2.bin"));
    {
        QFile file(imagePath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(image), qint64(size));
    }
    // The loader knows the image's size, so an image of whole chunks ends
    // too; it leaves every image it takes in the folder.
    const QString sim = dir.filePath(QStringLiteral("sim.json"));
    {
        QFile file(sim);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral(R"({ "devices": [ { "id": "line", "generation": "Vemo2",
            "restartDelayMs": 20, "eraseDelayMs": 10, "loaderAnnouncesBlank": true,
            "imageSize": %1, "imageFolder": "images",
            "faults": { "writeCompletionDelayMs": %2 } } ] })")
                       .arg(size)
                       .arg(delayMs)
                       .toUtf8());
    }
    const QString log = dir.filePath(QStringLiteral("run.log"));

    ToolProcess::Setup setup;
    setup.tempFolder = dir.path();
    const ToolProcess::Result ended = ToolProcess::run(
        {QStringLiteral("--batch"), QStringLiteral("--timeout=120"), QStringLiteral("--sim=") + sim,
         QStringLiteral("--registry=") + dir.filePath(QStringLiteral("registry.json")),
         QStringLiteral("--log-file=") + log, imagePath},
        setup, 150000);
    QVERIFY(ended.finished);
    const QString diagnostics =
        QString::fromLocal8Bit(readFile(log)) + QString::fromLocal8Bit(ended.err);
    QVERIFY(!ended.crashed);
    QVERIFY2(ended.exitCode == 0, qPrintable(diagnostics));

    // Done: the device took every byte, and the log says so once.
    QCOMPARE(readFile(dir.filePath(QStringLiteral("images/line-001.bin"))), image);
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("images/line-002.bin"))));
    const QStringList lines = QString::fromLocal8Bit(readFile(log)).split(QLatin1Char('\n'));
    const QRegularExpression complete(
        QStringLiteral("^Firmware update complete: %1, %2 bytes in \\d+\\.\\d s$")
            .arg(QRegularExpression::escape(imagePath))
            .arg(size));
    QCOMPARE(lines.filter(complete).size(), 1);
    QVERIFY2(lines.filter(QStringLiteral("Firmware transfer failed")).isEmpty(),
             qPrintable(diagnostics));
}

QTEST_GUILESS_MAIN(TestBatchTransfer)
#include "tst_batchtransfer.moc"
