// File transfer: 64-byte chunks on OUT 0x02, each sent from the completion
// of the one before, with progress percentages; the transfer is complete
// when the device took the last chunk, and a close lets the chunk in flight
// finish first.

#include "tests/link/LinkFixture.h"
#include "tests/support/TestBytes.h"

#include <QFile>
#include <QtTest>

#include <sys/stat.h>
#include <sys/types.h>

using usbio::Status;
namespace st = usbio::status;

namespace {

// One report of a transfer that ended early.
struct Failure
{
    QByteArray file;
    qint64 sent = 0;
    qint64 size = 0;
    Status reason = 0;
    TObject *sender = nullptr;
};

// One report of a transfer whose last chunk the device took.
struct Completion
{
    QByteArray file;
    qint64 size = 0;
    qint64 elapsedMs = -1;
    TObject *sender = nullptr;
};

// What the window sees of a transfer.
struct Progress
{
    QList<int> percents;
    QList<TObject *> senders;
    int hundreds = 0;
    std::function<void(int)> also;
    QList<Failure> failures;
    QList<Completion> completions;
    // Every report in order: "42", "100", "failed", "complete".
    QStringList order;

    void bind(TVemoUSBinterface &link)
    {
        link.OnFileProgress = [this](TObject *sender, int percent) {
            percents << percent;
            senders << sender;
            order << QString::number(percent);
            if (percent == 100)
                ++hundreds;
            if (also)
                also(percent);
        };
        link.OnFileFailed = [this](TObject *sender, const AnsiString &file, qint64 sent,
                                   qint64 size, Status reason) {
            failures << Failure{file, sent, size, reason, sender};
            order << QStringLiteral("failed");
        };
        link.OnFileComplete = [this](TObject *sender, const AnsiString &file, qint64 size,
                                     qint64 elapsedMs) {
            completions << Completion{file, size, elapsedMs, sender};
            order << QStringLiteral("complete");
        };
    }
    // The device took the whole image.
    bool finished() const { return completions.size() == 1; }
    bool ended() const { return !completions.isEmpty() || !failures.isEmpty(); }
};

} // namespace

class LinkFileTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void chunks_data();
    void chunks();
    void largeRandomImageArrivesByteExact();
    void progressPercent_data();
    void progressPercent();
    void commandDuringTransferLeavesImageIntact();
    void failedStart_data();
    void failedStart();
    void emptyFileRefused();
    void missingFileRefused();
    void unreadableFileRefused_data();
    void unreadableFileRefused();
    void sendWhileRunningRefused();
    void imageIsTheFileAsItWasAtTheStart_data();
    void imageIsTheFileAsItWasAtTheStart();
    void refusedChunkReported_data();
    void refusedChunkReported();
    void chunkNeitherTakenNorRefused();
    void closeDuringTransfer_data();
    void closeDuringTransfer();
    void closeInsideTheClosesWait();
    void removalDuringTransferThenSecondUpdate();
    void completionQueuedAtCloseIsTaken();
    void destroyingLinkDuringTransfer();
};

void LinkFileTest::chunks_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("chunkSizes");
    QTest::addColumn<QList<int>>("percents");
    QTest::addColumn<QStringList>("calls");

    const QString start = QStringLiteral("F:ResetPipe;F:StartWriting(64,5,5,0)");
    auto calls = [&](const QString &middle) {
        return (start + QLatin1Char(';') + middle + QStringLiteral(";F:StopWriting"))
            .split(QLatin1Char(';'));
    };
    QTest::newRow("1 byte") << 1 << QList<int>{1} << QList<int>{100}
                            << calls(QStringLiteral("F:WriteData(1,0)"));
    QTest::newRow("63 bytes") << 63 << QList<int>{63} << QList<int>{100}
                              << calls(QStringLiteral("F:WriteData(63,0)"));
    QTest::newRow("64 bytes") << 64 << QList<int>{64} << QList<int>{100}
                              << calls(QStringLiteral("F:WriteData(64,0)"));
    QTest::newRow("65 bytes") << 65 << QList<int>{64, 1} << QList<int>{100, 100}
                              << calls(QStringLiteral(
                                     "F:WriteData(64,0);F:ResetPipe;F:WriteData(1,0)"));
    QTest::newRow("100 bytes") << 100 << QList<int>{64, 36} << QList<int>{100, 100}
                               << calls(QStringLiteral(
                                      "F:WriteData(64,0);F:ResetPipe;F:WriteData(36,0)"));
    QTest::newRow("128 bytes") << 128 << QList<int>{64, 64} << QList<int>{100, 100}
                               << calls(QStringLiteral("F:WriteData(64,0);F:WriteData(64,0)"));
    QTest::newRow("200 bytes") << 200 << QList<int>{64, 64, 64, 8} << QList<int>{64, 96, 100, 100}
                               << calls(QStringLiteral(
                                      "F:WriteData(64,0);F:WriteData(64,0);F:WriteData(64,0);"
                                      "F:ResetPipe;F:WriteData(8,0)"));
}

void LinkFileTest::chunks()
{
    QFETCH(int, size);
    QFETCH(QList<int>, chunkSizes);

    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    const QByteArray image = testBytes(size, quint32(size));
    const QByteArray path = f.writeFile(image);
    const int descriptors = LinkFixture::openDescriptors();
    Progress progress;
    progress.bind(f.link());
    f.journal().calls.clear();

    QCOMPARE(f.link().SendFile(path), Status(0));
    // The transfer ends with the writer stopped.
    QVERIFY(LinkFixture::waitFor(
        [&] { return f.journal().count(QStringLiteral("F:StopWriting")) == 1; }));
    LinkFixture::settle();

    QCOMPARE(f.chunkSizes(), chunkSizes);
    QCOMPARE(f.receivedImage(), image);
    QTEST(progress.percents, "percents");
    QTEST(f.journal().callsOf(QLatin1Char('F')), "calls");
    QCOMPARE(f.journal().count(QStringLiteral("C:")), 0);
    for (TObject *sender : std::as_const(progress.senders))
        QVERIFY(qobject_cast<TUSBIOInterface3 *>(sender) != nullptr);
    // Complete once, after the last completion's 100.
    QCOMPARE(progress.completions.size(), 1);
    QCOMPARE(progress.completions.first().file, path);
    QCOMPARE(progress.completions.first().size, qint64(size));
    QVERIFY(progress.completions.first().elapsedMs >= 0);
    QVERIFY(qobject_cast<TUSBIOInterface3 *>(progress.completions.first().sender) != nullptr);
    QCOMPARE(progress.order.mid(progress.order.size() - 2),
             (QStringList{QStringLiteral("100"), QStringLiteral("complete")}));
    QVERIFY(progress.failures.isEmpty());
    QCOMPARE(LinkFixture::openDescriptors(), descriptors); // the file is closed

    // Over: the next transfer starts.
    progress = {};
    progress.bind(f.link());
    QCOMPARE(f.link().SendFile(path), Status(0));
    QVERIFY(LinkFixture::waitFor([&] { return progress.finished(); }));
    QCOMPARE(progress.percents.last(), 100);
}

void LinkFileTest::largeRandomImageArrivesByteExact()
{
    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    const QByteArray image = testBytes(1024 * 1024 + 37, 1234);
    const QByteArray path = f.writeFile(image);
    Progress progress;
    progress.bind(f.link());

    QCOMPARE(f.link().SendFile(path), Status(0));
    QVERIFY(LinkFixture::waitFor([&] { return progress.finished(); }, 60000));
    QCOMPARE(f.receivedImage(), image);
    QCOMPARE(progress.percents.size(), (image.size() + 63) / 64);
    QVERIFY(std::is_sorted(progress.percents.begin(), progress.percents.end()));
    QCOMPARE(progress.percents.first(), int(128 * 100 / image.size()));
}

void LinkFileTest::progressPercent_data()
{
    QTest::addColumn<qint64>("sent");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("percent");

    QTest::newRow("first of two chunks") << qint64(64) << qint64(128) << 50;
    QTest::newRow("rounded down") << qint64(64) << qint64(200) << 32;
    QTest::newRow("all of it") << qint64(200) << qint64(200) << 100;
    // sent * 100 passes 2^31 from about 21.5 MB on.
    QTest::newRow("past 2^31 / 100, almost all")
        << qint64(22 * 1024 * 1024) << qint64(22 * 1024 * 1024 + 5) << 99;
    QTest::newRow("past 2^31 / 100, half") << qint64(21474837) << qint64(2 * 21474837) << 50;
    QTest::newRow("largest image, first chunk") << qint64(64) << qint64(2147483647) << 0;
    QTest::newRow("largest image, all but a chunk")
        << qint64(2147483647 - 64) << qint64(2147483647) << 99;
    QTest::newRow("largest image, all of it") << qint64(2147483647) << qint64(2147483647) << 100;
}

void LinkFileTest::progressPercent()
{
    QFETCH(qint64, sent);
    QFETCH(qint64, size);
    QTEST(TVemoUSBinterface::FileProgressPercent(sent, size), "percent");
}

void LinkFileTest::commandDuringTransferLeavesImageIntact()
{
    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    const QByteArray image = testBytes(64 * 40 + 3, 99);
    const QByteArray path = f.writeFile(image);
    f.device()->clearRecords();
    Progress progress;
    progress.bind(f.link());
    QList<Status> commandStatus;
    bool midway = false;
    progress.also = [&](int percent) {
        // Commands from inside the transfer's own steps: one midway, one at
        // each 100.
        if ((percent >= 30 && !midway) || percent == 100) {
            midway = true;
            commandStatus << f.link().SendCommand("ZZZZZZZZZZZZZZZZYYYY\r");
        }
    };

    QCOMPARE(f.link().SendFile(path), Status(0));
    // And one right after the first chunk was handed over.
    QCOMPARE(f.link().SendCommand("XXXXXXXXXXXXXXXXWWWW\r"), Status(0));
    QVERIFY(LinkFixture::waitFor([&] { return progress.finished(); }));
    LinkFixture::settle();

    QCOMPARE(f.receivedImage(), image);
    QCOMPARE(commandStatus, (QList<Status>{0, 0, 0}));
    QVERIFY(LinkFixture::waitFor([&] { return f.device()->receivedPieces().size() == 8; }));
    LinkFixture::settle();
    QCOMPARE(f.device()->receivedPieces().size(), 8);
    QCOMPARE(f.device()->receivedPieces().first(), QByteArray("XXXXXXXXXXXXXXXX"));
    QVERIFY(f.device()->receivedPieces().contains("ZZZZZZZZZZZZZZZZ"));
}

void LinkFileTest::failedStart_data()
{
    QTest::addColumn<QString>("failing");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QStringList>("calls");

    QTest::newRow("pipe reset") << "F:ResetPipe" << QString()
                                << QStringList{QStringLiteral("F:ResetPipe")};
    QTest::newRow("start writing")
        << "F:StartWriting"
        << "Error SendFile"
        << QStringList{QStringLiteral("F:ResetPipe"), QStringLiteral("F:StartWriting(64,5,5,0)"),
                       QStringLiteral("R:ErrorText(E0002001)")};
    QTest::newRow("write data") << "F:WriteData" << QString()
                                << QStringList{QStringLiteral("F:ResetPipe"),
                                               QStringLiteral("F:StartWriting(64,5,5,0)"),
                                               QStringLiteral("F:WriteData(64,0)"),
                                               QStringLiteral("F:StopWriting")};
}

void LinkFileTest::failedStart()
{
    QFETCH(QString, failing);
    QFETCH(QString, box);
    QFETCH(QStringList, calls);

    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    const QByteArray image = testBytes(200, 7);
    const QByteArray path = f.writeFile(image);
    const int descriptors = LinkFixture::openDescriptors();
    Progress progress;
    progress.bind(f.link());
    f.device()->clearRecords();
    f.journal().calls.clear();
    f.journal().force(failing, st::TransferFailed, 1);

    QCOMPARE(f.link().SendFile(path), st::TransferFailed);
    QCOMPARE(f.journal().calls, calls);
    QCOMPARE(LinkFixture::openDescriptors(), descriptors);
    if (box.isEmpty()) {
        QVERIFY(f.boxes().isEmpty());
    } else {
        QCOMPARE(f.boxes().size(), 1);
        QCOMPARE(f.boxes().first().caption, box);
        QCOMPARE(f.boxes().first().text,
                 QString::fromLocal8Bit(f.link().StatusText(long(st::TransferFailed))));
        QCOMPARE(f.boxes().first().flags, 0);
    }
    LinkFixture::settle();
    QVERIFY(progress.percents.isEmpty());
    // Told by the result alone: nothing had started.
    QVERIFY(progress.failures.isEmpty());
    QVERIFY(f.device()->receivedChunks().isEmpty());

    // Nothing left behind: the next transfer starts and sends the image.
    QCOMPARE(f.link().SendFile(path), Status(0));
    QVERIFY(LinkFixture::waitFor([&] { return progress.finished(); }));
    QCOMPARE(f.receivedImage(), image);
    QCOMPARE(LinkFixture::openDescriptors(), descriptors);
}

void LinkFileTest::emptyFileRefused()
{
    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    const QByteArray path = f.writeFile(QByteArray());
    const int descriptors = LinkFixture::openDescriptors();
    f.journal().calls.clear();

    QCOMPARE(f.link().SendFile(path), st::FileEmpty);
    QVERIFY(f.journal().calls.isEmpty());
    QCOMPARE(LinkFixture::openDescriptors(), descriptors);
    QCOMPARE(f.link().StatusText(long(st::FileEmpty)), QByteArray("The file is empty"));

    // Refusing it started nothing.
    Progress progress;
    progress.bind(f.link());
    QCOMPARE(f.link().SendFile(f.writeFile("x", QStringLiteral("one.bin"))), Status(0));
    QVERIFY(LinkFixture::waitFor([&] { return progress.hundreds == 1; }));
    QCOMPARE(f.receivedImage(), QByteArray("x"));
}

void LinkFileTest::missingFileRefused()
{
    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    f.journal().calls.clear();
    const QByteArray missing = f.writeFile("x") + ".missing";

    QCOMPARE(f.link().SendFile(missing), st::FileOpenFailed);
    QVERIFY(f.journal().calls.isEmpty());
    QCOMPARE(f.link().StatusText(long(st::FileOpenFailed)),
             QByteArray("The file cannot be opened"));
}

void LinkFileTest::sendWhileRunningRefused()
{
    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    const QByteArray first = f.writeFile(testBytes(300, 1), QStringLiteral("first.bin"));
    const QByteArray second = f.writeFile(testBytes(300, 2), QStringLiteral("second.bin"));
    const int descriptors = LinkFixture::openDescriptors();
    Progress progress;
    progress.bind(f.link());

    QCOMPARE(f.link().SendFile(first), Status(0));
    QVERIFY(f.link().FileTransferRunning());
    // The image is in memory: no file stays open while it streams.
    QCOMPARE(LinkFixture::openDescriptors(), descriptors);
    QCOMPARE(f.link().SendFile(second), st::TransferRunning);
    QVERIFY(!f.link().StatusText(long(st::TransferRunning)).isEmpty());

    QVERIFY(LinkFixture::waitFor([&] { return progress.finished(); }));
    QVERIFY(!f.link().FileTransferRunning());
    QCOMPARE(f.receivedImage(), testBytes(300, 1));
    QCOMPARE(LinkFixture::openDescriptors(), descriptors);
}

void LinkFileTest::unreadableFileRefused_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<Status>("status");

    // A folder opens for reading but gives no bytes.
    QTest::newRow("a folder") << "folder" << st::FileNotRegular;
    // Its open would wait for a writer, for ever.
    QTest::newRow("a FIFO") << "fifo" << st::FileNotRegular;
    // It never ends: read whole, it would fill the memory.
    QTest::newRow("a device") << "/dev/zero" << st::FileNotRegular;
    // Larger than any image a loader takes: not read into memory.
    QTest::newRow("past the bound of an image")
        << QStringLiteral("sparse %1").arg(32 * 1024 * 1024 + 1) << st::FileTooLarge;
}

void LinkFileTest::unreadableFileRefused()
{
    QFETCH(QString, what);
    QFETCH(Status, status);

    // Nothing starts, and nothing blocks.
    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    const QByteArray image = f.writeFile("x");
    QByteArray file = image + ".other";
    if (what == QLatin1String("folder")) {
        file = image.left(image.lastIndexOf('/'));
    } else if (what == QLatin1String("fifo")) {
        QVERIFY(::mkfifo(file.constData(), 0600) == 0);
    } else if (what.startsWith(QLatin1Char('/'))) {
        file = QFile::encodeName(what);
    } else if (what.startsWith(QLatin1String("sparse "))) {
        QFile sparse(QFile::decodeName(file));
        QVERIFY(sparse.open(QIODevice::WriteOnly));
        QVERIFY(sparse.resize(what.section(QLatin1Char(' '), 1).toLongLong()));
    }
    const int descriptors = LinkFixture::openDescriptors();
    f.journal().calls.clear();

    QCOMPARE(f.link().SendFile(file), status);
    QVERIFY(f.journal().calls.isEmpty());
    QVERIFY(!f.link().FileTransferRunning());
    QCOMPARE(LinkFixture::openDescriptors(), descriptors);
}

void LinkFileTest::imageIsTheFileAsItWasAtTheStart_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("rewritten with other bytes") << "rewrite";
    QTest::newRow("cut short") << "shrink";
    QTest::newRow("grown") << "grow";
    QTest::newRow("deleted") << "delete";
}

// The file changes on disk while its image streams (an installer run again,
// a copy over it): the device gets the file as it was when the transfer
// started, whole, and nothing else.
void LinkFileTest::imageIsTheFileAsItWasAtTheStart()
{
    QFETCH(QString, change);

    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    // Larger than a stdio buffer, so a reader that kept the file open would
    // see the change.
    const QByteArray image = testBytes(64 * 1024 + 5, 5);
    const QByteArray path = f.writeFile(image);
    const QString name = QFile::decodeName(path);
    Progress progress;
    progress.bind(f.link());
    bool changed = false;
    progress.also = [&](int) {
        if (changed)
            return;
        changed = true;
        if (change == QLatin1String("rewrite"))
            f.writeFile(testBytes(image.size(), 6));
        else if (change == QLatin1String("shrink"))
            QVERIFY(QFile::resize(name, 16 * 1024));
        else if (change == QLatin1String("grow"))
            f.writeFile(image + testBytes(4096, 7));
        else
            QVERIFY(QFile::remove(name));
    };

    QCOMPARE(f.link().SendFile(path), Status(0));
    QVERIFY(LinkFixture::waitFor([&] { return progress.ended(); }, 30000));

    QVERIFY(changed);
    QVERIFY(progress.failures.isEmpty());
    QCOMPARE(progress.completions.size(), 1);
    QCOMPARE(progress.completions.first().size, qint64(image.size()));
    QCOMPARE(f.receivedImage(), image);
}

void LinkFileTest::refusedChunkReported_data()
{
    QTest::addColumn<int>("refused"); // which chunk's write data is refused, from 1
    QTest::addColumn<QList<int>>("percents");

    // 330 bytes: five chunks of 64, one of 10. The first chunk is SendFile's.
    QTest::newRow("second chunk, the first of the steps") << 2 << QList<int>{};
    QTest::newRow("middle chunk") << 4 << QList<int>{38, 58};
    QTest::newRow("last chunk") << 6 << QList<int>{38, 58, 77, 96};
}

void LinkFileTest::refusedChunkReported()
{
    QFETCH(int, refused);

    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    const QByteArray image = testBytes(330, 11);
    const QByteArray path = f.writeFile(image);
    const int descriptors = LinkFixture::openDescriptors();
    Progress progress;
    progress.bind(f.link());
    const auto armWhenDue = [&] {
        if (f.journal().count(QStringLiteral("F:WriteData")) == refused - 1)
            f.journal().force(QStringLiteral("F:WriteData"), st::Busy, 1);
    };
    progress.also = [&](int) { armWhenDue(); };
    f.journal().calls.clear();

    QCOMPARE(f.link().SendFile(path), Status(0));
    armWhenDue();
    QVERIFY(LinkFixture::waitFor([&] { return !progress.failures.isEmpty(); }));
    LinkFixture::settle();

    QTEST(progress.percents, "percents");
    QCOMPARE(progress.failures.size(), 1);
    const Failure failure = progress.failures.first();
    QCOMPARE(failure.file, path);
    QCOMPARE(failure.sent, qint64(64 * (refused - 1)));
    QCOMPARE(failure.size, qint64(330));
    QCOMPARE(failure.reason, st::Busy);
    QVERIFY(qobject_cast<TUSBIOInterface3 *>(failure.sender) != nullptr);
    // The refused chunk was the last call but the writer's stop.
    const QStringList calls = f.journal().callsOf(QLatin1Char('F'));
    QCOMPARE(calls.count(QStringLiteral("F:StopWriting")), 1);
    QCOMPARE(calls.last(), QStringLiteral("F:StopWriting"));
    QVERIFY(calls.at(calls.size() - 2).startsWith(QStringLiteral("F:WriteData(")));
    QCOMPARE(f.journal().count(QStringLiteral("F:WriteData")), refused);
    QCOMPARE(f.receivedImage(), image.left(64 * (refused - 1)));
    QCOMPARE(LinkFixture::openDescriptors(), descriptors);

    // A second transfer goes through whole.
    f.device()->clearRecords();
    progress = {};
    progress.bind(f.link());
    QCOMPARE(f.link().SendFile(path), Status(0));
    QVERIFY(LinkFixture::waitFor([&] { return progress.finished(); }));
    QCOMPARE(f.receivedImage(), image);
    QVERIFY(progress.failures.isEmpty());
}

// The device neither takes nor refuses a chunk (a stalled pipe gives no
// completion): the transfer fails after FileChunkWaitMs instead of waiting
// for ever, with what the device took.
void LinkFileTest::chunkNeitherTakenNorRefused()
{
    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    const QByteArray image = testBytes(330, 12);
    const QByteArray path = f.writeFile(image);
    f.link().FileChunkWaitMs = 100;
    Progress progress;
    progress.bind(f.link());
    // The third chunk is never taken.
    progress.also = [&](int) {
        if (f.journal().count(QStringLiteral("F:WriteData")) == 2)
            f.device()->faults().writeCompletionDelayMs = -1;
    };

    QCOMPARE(f.link().SendFile(path), Status(0));
    QVERIFY(LinkFixture::waitFor([&] { return progress.ended(); }));
    LinkFixture::settle(20);

    QVERIFY(progress.completions.isEmpty());
    QCOMPARE(progress.failures.size(), 1);
    QCOMPARE(progress.failures.first().sent, qint64(128));
    QCOMPARE(progress.failures.first().size, qint64(330));
    QCOMPARE(progress.failures.first().reason, st::Timeout);
    QVERIFY(!f.link().FileTransferRunning());
    QCOMPARE(f.journal().count(QStringLiteral("F:WriteData")), 3);
    QCOMPARE(f.receivedImage(), image.left(128));
    QVERIFY(f.link().Opened); // the device stays open: the window decides
}

void LinkFileTest::closeDuringTransfer_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("handedOver"); // chunks handed over when the device closes
    QTest::addColumn<int>("delayMs");    // until the chunk in flight is taken; -1: never
    QTest::addColumn<QList<int>>("percents");
    QTest::addColumn<QString>("end"); // "complete", or the failure's reason
    QTest::addColumn<int>("taken");

    // 330 bytes: five chunks of 64, one of 10. The close waits for the chunk
    // in flight and sends nothing after it.
    QTest::newRow("first chunk in flight, taken within the wait")
        << 330 << 1 << 200 << QList<int>{} << "Cancelled" << 64;
    QTest::newRow("half-way, taken within the wait")
        << 330 << 3 << 200 << QList<int>{38, 58} << "Cancelled" << 192;
    // The chunk that completes the image: the close must not cancel it.
    QTest::newRow("last chunk in flight, taken within the wait")
        << 330 << 6 << 200 << QList<int>{38, 58, 77, 96, 100, 100} << "complete" << 330;
    QTest::newRow("one chunk, taken within the wait")
        << 40 << 1 << 200 << QList<int>{100} << "complete" << 40;
    // Neither taken nor refused in time: failed, never complete.
    QTest::newRow("half-way, never taken")
        << 330 << 3 << -1 << QList<int>{38, 58} << "Timeout" << 128;
    QTest::newRow("last chunk, never taken")
        << 330 << 6 << -1 << QList<int>{38, 58, 77, 96, 100} << "Timeout" << 320;
    QTest::newRow("one chunk, never taken") << 40 << 1 << -1 << QList<int>{} << "Timeout" << 0;
}

void LinkFileTest::closeDuringTransfer()
{
    QFETCH(int, size);
    QFETCH(int, handedOver);
    QFETCH(int, delayMs);
    QFETCH(QString, end);
    QFETCH(int, taken);

    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    f.link().FileCloseWaitMs = 600;
    const QByteArray image = testBytes(size, quint32(size));
    const QByteArray path = f.writeFile(image);
    const int descriptors = LinkFixture::openDescriptors();
    Progress progress;
    progress.bind(f.link());
    bool openAtFailure = true;
    f.link().OnFileFailed = [&, record = f.link().OnFileFailed](TObject *sender,
                                                                const AnsiString &file, qint64 sent,
                                                                qint64 total, Status reason) {
        openAtFailure = f.link().Opened;
        record(sender, file, sent, total, reason);
    };
    // The chunk in flight at the close is slow, or never taken.
    const auto slowWhenDue = [&] {
        if (f.journal().count(QStringLiteral("F:WriteData")) == handedOver - 1)
            f.device()->faults().writeCompletionDelayMs = delayMs;
    };
    progress.also = [&](int) { slowWhenDue(); };

    slowWhenDue();
    QCOMPARE(f.link().SendFile(path), Status(0));
    QVERIFY(LinkFixture::waitFor(
        [&] { return f.journal().count(QStringLiteral("F:WriteData")) == handedOver; }));
    f.journal().calls.clear();

    f.link().CloseDevice();

    // The transfer ends ahead of the close (at the completion, or given up
    // on); a failure is reported last. The wait asked whether the device was
    // still there.
    QStringList calls = f.journal().calls;
    calls.removeAll(QStringLiteral("F:GetDeviceAddress"));
    QCOMPARE(calls,
             (QStringList{QStringLiteral("F:StopWriting"), QStringLiteral("R:CloseDevice"),
                          QStringLiteral("C:CloseDevice"), QStringLiteral("F:CloseDevice")}));
    QVERIFY(!f.link().Opened);
    QVERIFY(!f.link().FileTransferRunning());
    QCOMPARE(LinkFixture::openDescriptors(), descriptors);
    QTEST(progress.percents, "percents");
    if (end == QLatin1String("complete")) {
        QVERIFY(progress.failures.isEmpty());
        QCOMPARE(progress.completions.size(), 1);
        QCOMPARE(progress.completions.first().size, qint64(size));
        QCOMPARE(progress.order.last(), QStringLiteral("complete"));
    } else {
        QVERIFY(progress.completions.isEmpty());
        QCOMPARE(progress.failures.size(), 1);
        const Failure failure = progress.failures.first();
        QCOMPARE(failure.file, path);
        QCOMPARE(failure.sent, qint64(taken));
        QCOMPARE(failure.size, qint64(size));
        QCOMPARE(failure.reason, end == QLatin1String("Timeout") ? st::Timeout : st::Cancelled);
        QVERIFY(qobject_cast<TUSBIOInterface3 *>(failure.sender) != nullptr);
        QVERIFY(!openAtFailure);
    }
    QCOMPARE(f.receivedImage(), image.left(taken));

    // A completion that comes after the close starts nothing again.
    f.device()->faults().writeCompletionDelayMs = 0;
    const QList<int> percentsAtClose = progress.percents;
    f.journal().calls.clear();
    f.journal().components.at(2)->raise(usbio::EventId::WriteComplete);
    LinkFixture::settle(20);
    QVERIFY(f.journal().calls.isEmpty());
    QCOMPARE(progress.percents, percentsAtClose);
    QCOMPARE(progress.failures.size() + progress.completions.size(), 1);
    QCOMPARE(f.receivedImage(), image.left(taken));

    // Once the device is open again, the next transfer goes through whole.
    QCOMPARE(f.link().OpenDevice(0), Status(0));
    f.device()->clearRecords();
    progress = {};
    progress.bind(f.link());
    const QByteArray again = testBytes(200, 77);
    QCOMPARE(f.link().SendFile(f.writeFile(again, QStringLiteral("again.bin"))), Status(0));
    QVERIFY(LinkFixture::waitFor([&] { return progress.finished(); }));
    QCOMPARE(f.receivedImage(), again);
    QCOMPARE(progress.percents, (QList<int>{64, 96, 100, 100}));
    QVERIFY(progress.failures.isEmpty());
    QCOMPARE(LinkFixture::openDescriptors(), descriptors);
}

// The device leaves while a close waits for its chunk, and the removal's
// handler closes it too (as the window's does): the inner close ends the
// transfer, the outer one finds the device closed; one report.
void LinkFileTest::closeInsideTheClosesWait()
{
    LinkFixture f;
    f.link().ConnectInterfaces();
    QCOMPARE(f.link().EnablePnP(), Status(0));
    f.link().ScanDevices();
    QCOMPARE(f.link().OpenDevice(0), Status(0));
    // Were the removal not seen, the test would run into its own time-out.
    f.link().FileCloseWaitMs = 60000;
    const QByteArray image = testBytes(330, 13);
    Progress progress;
    progress.bind(f.link());
    progress.also = [&](int) {
        if (f.journal().count(QStringLiteral("F:WriteData")) == 2)
            f.device()->faults().writeCompletionDelayMs = -1;
    };
    int removals = 0;
    f.link().OnDeviceRemoved = [&](TObject *, const IDispatchRef &) {
        ++removals;
        f.link().CloseDevice();
    };

    QCOMPARE(f.link().SendFile(f.writeFile(image)), Status(0));
    QVERIFY(LinkFixture::waitFor(
        [&] { return f.journal().count(QStringLiteral("F:WriteData")) == 3; }));
    QTimer::singleShot(50, [&] { f.bus().detach(f.device()); });
    f.journal().calls.clear();
    f.link().CloseDevice();

    QCOMPARE(removals, 1);
    QVERIFY(!f.link().Opened);
    QCOMPARE(f.journal().count(QStringLiteral("F:CloseDevice")), 1);
    QCOMPARE(progress.failures.size(), 1);
    QCOMPARE(progress.failures.first().reason, st::DeviceGone);
    QCOMPARE(progress.failures.first().sent, qint64(128));
    QVERIFY(progress.completions.isEmpty());
    QCOMPARE(f.receivedImage(), image.left(128));
}

void LinkFileTest::removalDuringTransferThenSecondUpdate()
{
    // As the window does it: the removal closes the device. The chunk in
    // flight is lost with the device, so the transfer would wait for ever.
    LinkFixture f;
    f.link().ConnectInterfaces();
    QCOMPARE(f.link().EnablePnP(), Status(0));
    f.link().ScanDevices();
    QCOMPARE(f.link().OpenDevice(0), Status(0));
    // The close must see the device gone rather than wait for the chunk it
    // lost: a wait would run into the test's own time-out.
    f.link().FileCloseWaitMs = 60000;
    usbio::SimDevice *device = f.device();
    const QByteArray image = testBytes(64 * 50, 21);
    const QByteArray path = f.writeFile(image);
    const int descriptors = LinkFixture::openDescriptors();
    Progress progress;
    progress.bind(f.link());
    bool detached = false;
    progress.also = [&](int percent) {
        if (percent >= 50 && !detached) {
            detached = true;
            f.bus().detach(device);
        }
    };
    int removals = 0;
    int arrivals = 0;
    f.link().OnDeviceRemoved = [&](TObject *, const IDispatchRef &) {
        ++removals;
        f.link().CloseDevice();
    };
    f.link().OnDeviceArrived = [&](TObject *, const IDispatchRef &) { ++arrivals; };

    QCOMPARE(f.link().SendFile(path), Status(0));
    QVERIFY(LinkFixture::waitFor([&] { return !progress.failures.isEmpty(); }));
    LinkFixture::settle(20);
    QCOMPARE(removals, 1);
    QCOMPARE(progress.failures.size(), 1);
    const Failure failure = progress.failures.first();
    QCOMPARE(failure.file, path);
    QCOMPARE(failure.size, qint64(image.size()));
    QCOMPARE(failure.reason, st::DeviceGone);
    // What the device took: the chunks before the one it lost.
    QCOMPARE(failure.sent, qint64(64) * progress.percents.size());
    QVERIFY(progress.percents.last() >= 50 && progress.percents.last() < 100);
    QCOMPARE(f.receivedImage(), image.left(int(failure.sent)));
    QVERIFY(progress.completions.isEmpty());
    QCOMPARE(LinkFixture::openDescriptors(), descriptors);

    // The device comes back; the second update needs no restart of the link.
    device->clearRecords();
    f.bus().attach(device);
    QVERIFY(LinkFixture::waitFor([&] { return arrivals == 1; }));
    QCOMPARE(f.link().ScanDevices(), 1);
    QCOMPARE(f.link().OpenDevice(0), Status(0));
    progress = {};
    progress.bind(f.link());
    QCOMPARE(f.link().SendFile(path), Status(0));
    QVERIFY(LinkFixture::waitFor([&] { return progress.finished(); }));
    QCOMPARE(f.receivedImage(), image);
    QVERIFY(progress.failures.isEmpty());
    QCOMPARE(LinkFixture::openDescriptors(), descriptors);
}

void LinkFileTest::completionQueuedAtCloseIsTaken()
{
    // A completion already queued when the close begins is the chunk's own:
    // the close takes it (the device has those bytes) and reports them. It
    // is not left to arrive after a transfer started right after the
    // reopen, which would take it for its own, put a second chunk in flight
    // and end one completion early.
    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    const QByteArray first = f.writeFile(testBytes(330, 31), QStringLiteral("first.bin"));
    const QByteArray image = testBytes(330, 32);
    const QByteArray second = f.writeFile(image, QStringLiteral("second.bin"));
    Progress progress;
    progress.bind(f.link());
    f.journal().swallowWriteCompletions[QLatin1Char('F')] = true;

    QCOMPARE(f.link().SendFile(first), Status(0));
    f.journal().components.at(2)->raise(usbio::EventId::WriteComplete);
    f.link().CloseDevice();
    QCOMPARE(progress.failures.size(), 1);
    QCOMPARE(progress.failures.first().sent, qint64(64));
    QCOMPARE(progress.failures.first().reason, st::Cancelled);
    QCOMPARE(f.journal().count(QStringLiteral("F:WriteData")), 1);
    QCOMPARE(f.link().OpenDevice(0), Status(0));
    f.device()->clearRecords();
    f.journal().calls.clear();
    progress = {};
    progress.bind(f.link());
    QCOMPARE(f.link().SendFile(second), Status(0));
    LinkFixture::settle(20);

    // Only the new transfer's first chunk is out, its completion held back.
    QCOMPARE(f.journal().count(QStringLiteral("F:WriteData")), 1);
    QVERIFY(progress.percents.isEmpty());

    // Its completion comes: the transfer runs to its end, chunk by chunk.
    f.journal().swallowWriteCompletions[QLatin1Char('F')] = false;
    f.journal().components.at(2)->raise(usbio::EventId::WriteComplete);
    QVERIFY(LinkFixture::waitFor([&] { return progress.finished(); }));
    LinkFixture::settle();
    QCOMPARE(f.receivedImage(), image);
    QCOMPARE(progress.percents, (QList<int>{38, 58, 77, 96, 100, 100}));
    QVERIFY(progress.failures.isEmpty());
}

void LinkFileTest::destroyingLinkDuringTransfer()
{
    // The window's link goes with a chunk in flight: nothing is reported to
    // handlers that may be gone, nothing more is sent.
    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    const QByteArray path = f.writeFile(testBytes(1000, 3));
    const int descriptors = LinkFixture::openDescriptors();
    Progress progress;
    progress.bind(f.link());
    progress.also = [&](int) { f.device()->faults().writeCompletionDelayMs = -1; };

    QCOMPARE(f.link().SendFile(path), Status(0));
    QVERIFY(LinkFixture::waitFor([&] { return !progress.percents.isEmpty(); }));
    f.destroyLink();
    LinkFixture::settle(20);

    QCOMPARE(progress.percents, QList<int>{12});
    QVERIFY(!progress.ended());
    QCOMPARE(f.receivedImage(), testBytes(1000, 3).left(64));
    QCOMPARE(LinkFixture::openDescriptors(), descriptors);
}

QTEST_GUILESS_MAIN(LinkFileTest)
#include "tst_link_file.moc"
