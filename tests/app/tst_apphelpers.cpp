#include "app/AnchorLayout.h"
#include "app/LogFile.h"
#include "app/OpenDialog.h"
#include "tests/support/TestMain.h"

#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

// The window's small helpers: anchored placement, the log-file copy and the
// dialog filter in the toolkit's form.
class TestAppHelpers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void anchoredPlacement_data();
    void anchoredPlacement();
    void applyMovesRegisteredControls();

    void logFileAppendsFlushedLines();
    void logFileReportsUnwritablePath();

    void dialogFilter_data();
    void dialogFilter();
};

using A = AnchorLayout;

void TestAppHelpers::anchoredPlacement_data()
{
    QTest::addColumn<QRect>("design");
    QTest::addColumn<int>("anchors");
    QTest::addColumn<QSize>("client");
    QTest::addColumn<QRect>("expected");

    const QRect r(16, 160, 353, 303);
    QTest::newRow("left top stays") << r << int(A::AnchorDefault) << QSize(484, 543) << r;
    QTest::newRow("all four stretch")
        << r << int(A::AnchorLeft | A::AnchorTop | A::AnchorRight | A::AnchorBottom)
        << QSize(484, 543) << QRect(16, 160, 453, 353);
    QTest::newRow("top right moves right")
        << QRect(280, 108, 91, 25) << int(A::AnchorTop | A::AnchorRight) << QSize(484, 543)
        << QRect(380, 108, 91, 25);
    QTest::newRow("left bottom moves down")
        << QRect(232, 466, 145, 17) << int(A::AnchorLeft | A::AnchorBottom) << QSize(484, 543)
        << QRect(232, 516, 145, 17);
    QTest::newRow("left top right stretches wide only")
        << QRect(16, 112, 183, 21) << int(A::AnchorLeft | A::AnchorTop | A::AnchorRight)
        << QSize(484, 543) << QRect(16, 112, 283, 21);
    QTest::newRow("smaller window moves left")
        << QRect(280, 108, 91, 25) << int(A::AnchorTop | A::AnchorRight) << QSize(334, 493)
        << QRect(230, 108, 91, 25);
    QTest::newRow("stretching never goes negative")
        << QRect(16, 136, 353, 18) << int(A::AnchorLeft | A::AnchorTop | A::AnchorRight)
        << QSize(10, 493) << QRect(16, 136, 0, 18);
    QTest::newRow("design size changes nothing")
        << r << int(A::AnchorLeft | A::AnchorTop | A::AnchorRight | A::AnchorBottom)
        << QSize(384, 493) << r;
}

void TestAppHelpers::anchoredPlacement()
{
    QFETCH(QRect, design);
    QFETCH(int, anchors);
    QFETCH(QSize, client);
    QFETCH(QRect, expected);

    const AnchorLayout layout(QSize(384, 493));
    QCOMPARE(layout.placed(design, anchors, client), expected);
}

void TestAppHelpers::applyMovesRegisteredControls()
{
    QWidget parent;
    QWidget fixed(&parent);
    QWidget moving(&parent);
    AnchorLayout layout(QSize(384, 493));
    layout.place(&fixed, QRect(1, 2, 30, 40));
    layout.place(&moving, QRect(100, 200, 30, 40), A::AnchorRight | A::AnchorBottom);
    QCOMPARE(moving.geometry(), QRect(100, 200, 30, 40));
    QCOMPARE(layout.anchors(&moving), int(A::AnchorRight | A::AnchorBottom));
    QCOMPARE(layout.designRect(&moving), QRect(100, 200, 30, 40));

    layout.apply(QSize(404, 503));
    QCOMPARE(fixed.geometry(), QRect(1, 2, 30, 40));
    QCOMPARE(moving.geometry(), QRect(120, 210, 30, 40));
    // Back at the design size everything is where it was designed.
    layout.apply(QSize(384, 493));
    QCOMPARE(moving.geometry(), QRect(100, 200, 30, 40));
}

void TestAppHelpers::logFileAppendsFlushedLines()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("run.log"));
    {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("earlier run\n");
    }

    LogFile log;
    QVERIFY(log.open(path));
    QVERIFY(log.isOpen());
    log.writeLine(QStringLiteral("Vemo2 found"));
    // Flushed at once: another reader sees the line while the file is open.
    QFile reader(path);
    QVERIFY(reader.open(QIODevice::ReadOnly));
    QCOMPARE(reader.readAll(), QByteArray("earlier run\nVemo2 found\n"));
    log.writeLine(QStringLiteral("W\u00e4rme"));
    QCOMPARE(reader.readAll(), QByteArray("W\xc3\xa4rme\n"));
    log.close();
    QVERIFY(!log.isOpen());
    log.writeLine(QStringLiteral("after close")); // goes nowhere
    QCOMPARE(reader.readAll(), QByteArray());
}

void TestAppHelpers::logFileReportsUnwritablePath()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A regular file where a folder should be: no user can write below it.
    const QString blocker = dir.filePath(QStringLiteral("blocker"));
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    LogFile log;
    QString error;
    QVERIFY(!log.open(blocker + QStringLiteral("/run.log"), &error));
    QVERIFY(!log.isOpen());
    QVERIFY2(error.contains(blocker), qPrintable(error));
}

void TestAppHelpers::dialogFilter_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QStringList>("qt");

    QTest::newRow("layout filter") << "Vemo update files|vemo.exe;vemo.bin"
                                   << QStringList{"Vemo update files (vemo.exe vemo.bin)"};
    QTest::newRow("Vemo3 filter") << "Vemo3 update files|vemo3.exe;vemo3.bin"
                                  << QStringList{"Vemo3 update files (vemo3.exe vemo3.bin)"};
    QTest::newRow("two entries") << "Images|*.bin|All|*.*"
                                 << QStringList{"Images (*.bin)", "All (*.*)"};
    QTest::newRow("empty") << QString() << QStringList{};
    QTest::newRow("description without names") << "Lonely" << QStringList{};
}

void TestAppHelpers::dialogFilter()
{
    QFETCH(QString, filter);
    QFETCH(QStringList, qt);
    QCOMPARE(TOpenDialog::qtNameFilters(filter), qt);
}

VEMO_TEST_MAIN(TestAppHelpers)
#include "tst_apphelpers.moc"
