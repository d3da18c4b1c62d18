// File transfer: 64-byte chunks on OUT 0x02, each sent from the completion
// of the one before, with progress percentages.

#include "tests/link/LinkFixture.h"
#include "tests/support/TestBytes.h"

#include <QFile>
#include <QtTest>

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

// What the window sees of a transfer.
struct Progress
{
    QList<int> percents;
    QList<TObject *> senders;
    int hundreds = 0;
    std::function<void(int)> also;
    QList<Failure> failures;

    void bind(TVemoUSBinterface &link)
    {
        link.OnFileProgress = [this](TObject *sender, int percent) {
            percents << percent;
            senders << sender;
            if (percent == 100)
                ++hundreds;
            if (also)
                also(percent);
        };
        link.OnFileFailed = [this](TObject *sender, const AnsiString &file, qint64 sent,
                                   qint64 size, Status reason) {
            failures << Failure{file, sent, size, reason, sender};
        };
    }
    // Every transfer of more than one chunk reports 100 twice.
    bool finished() const { return hundreds == 2; }
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
    void sendWhileRunningRefused();
    void faultDuringTransferEndsIt_data();
    void faultDuringTransferEndsIt();
    void refusedChunkReported_data();
    void refusedChunkReported();
    void closeDuringTransfer_data();
    void closeDuringTransfer();
    void removalDuringTransferThenSecondUpdate();
    void completionQueuedBeforeCloseIsDropped();
    void destroyingLinkClosesFile();
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
    QCOMPARE(LinkFixture::openDescriptors(), descriptors); // the file is closed

    // Over: the next transfer starts.
    progress = {};
    progress.bind(f.link());
    QCOMPARE(f.link().SendFile(path), Status(0));
    QVERIFY(LinkFixture::waitFor(
        [&] { return f.journal().count(QStringLiteral("F:StopWriting")) == 2; }));
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
    QCOMPARE(LinkFixture::openDescriptors(), descriptors + 1); // the file being sent
    QCOMPARE(f.link().SendFile(second), st::TransferRunning);
    QCOMPARE(LinkFixture::openDescriptors(), descriptors + 1);
    QVERIFY(!f.link().StatusText(long(st::TransferRunning)).isEmpty());

    QVERIFY(LinkFixture::waitFor([&] { return progress.finished(); }));
    QCOMPARE(f.receivedImage(), testBytes(300, 1));
    QCOMPARE(LinkFixture::openDescriptors(), descriptors);
}

void LinkFileTest::faultDuringTransferEndsIt_data()
{
    QTest::addColumn<bool>("shrink"); // else: the next chunk's write data is refused
    QTest::addColumn<int>("mostReceived");

    QTest::newRow("file shrinks") << true << 16 * 1024;
    // The chunks of SendFile and of the first step arrive, the third is
    // refused.
    QTest::newRow("chunk refused") << false << 128;
}

void LinkFileTest::faultDuringTransferEndsIt()
{
    QFETCH(bool, shrink);
    QFETCH(int, mostReceived);

    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    // Larger than the stdio buffer, so the shrink is seen by later reads.
    const QByteArray image = testBytes(64 * 1024, 5);
    const QByteArray path = f.writeFile(image);
    const int descriptors = LinkFixture::openDescriptors();
    Progress progress;
    progress.bind(f.link());
    bool faulted = false;
    progress.also = [&](int) {
        if (faulted)
            return;
        if (shrink) {
            faulted = QFile::resize(QFile::decodeName(path), 16 * 1024);
        } else {
            f.journal().force(QStringLiteral("F:WriteData"), st::TransferFailed, 1);
            faulted = true;
        }
    };

    QCOMPARE(f.link().SendFile(path), Status(0));
    QVERIFY(
        LinkFixture::waitFor([&] { return f.journal().count(QStringLiteral("F:StopWriting")); }));
    LinkFixture::settle();

    QVERIFY(faulted);
    // Never reported complete, nothing beyond the file's bytes sent.
    QCOMPARE(progress.hundreds, 0);
    QVERIFY(f.receivedImage().size() <= mostReceived);
    QVERIFY(!f.receivedImage().isEmpty());
    QCOMPARE(f.receivedImage(), image.left(f.receivedImage().size()));
    QCOMPARE(LinkFixture::openDescriptors(), descriptors);
    // Reported once, with what reached the device.
    QCOMPARE(progress.failures.size(), 1);
    const Failure failure = progress.failures.first();
    QCOMPARE(failure.file, path);
    QCOMPARE(failure.size, qint64(image.size()));
    QCOMPARE(failure.sent, qint64(f.receivedImage().size()));
    QCOMPARE(failure.reason, shrink ? st::FileReadFailed : st::TransferFailed);
    QVERIFY(qobject_cast<TUSBIOInterface3 *>(failure.sender) != nullptr);

    // And the next transfer starts.
    f.device()->clearRecords();
    progress = {};
    progress.bind(f.link());
    QCOMPARE(f.link().SendFile(f.writeFile("again", QStringLiteral("again.bin"))), Status(0));
    QVERIFY(LinkFixture::waitFor([&] { return progress.hundreds == 1; }));
    QCOMPARE(f.receivedImage(), QByteArray("again"));
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

void LinkFileTest::closeDuringTransfer_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("handedOver"); // chunks handed over when the device closes
    QTest::addColumn<QList<int>>("percents");
    QTest::addColumn<bool>("failed");

    // 330 bytes: five chunks of 64, one of 10.
    QTest::newRow("at 0 %, first chunk in flight") << 330 << 1 << QList<int>{} << true;
    QTest::newRow("half-way") << 330 << 3 << QList<int>{38, 58} << true;
    // The loader restarts once it has every byte; its removal may come before
    // the last completion. The window had its 100: the end is quiet.
    QTest::newRow("after the last hand-over")
        << 330 << 6 << QList<int>{38, 58, 77, 96, 100} << false;
    // An image of one chunk has no 100 before its completion: the close
    // gives it.
    QTest::newRow("one chunk, after its hand-over") << 40 << 1 << QList<int>{100} << false;
}

void LinkFileTest::closeDuringTransfer()
{
    QFETCH(int, size);
    QFETCH(int, handedOver);
    QFETCH(bool, failed);

    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    const QByteArray image = testBytes(size, quint32(size));
    const QByteArray path = f.writeFile(image);
    const int descriptors = LinkFixture::openDescriptors();
    Progress progress;
    progress.bind(f.link());
    // The completion of the chunk handed over last never comes.
    const auto stallWhenDue = [&] {
        if (f.journal().count(QStringLiteral("F:WriteData")) == handedOver)
            f.journal().swallowWriteCompletions[QLatin1Char('F')] = true;
    };
    progress.also = [&](int) { stallWhenDue(); };

    QCOMPARE(f.link().SendFile(path), Status(0));
    stallWhenDue();
    QVERIFY(LinkFixture::waitFor(
        [&] { return f.journal().count(QStringLiteral("F:WriteData")) == handedOver; }));
    LinkFixture::settle(20);
    QCOMPARE(f.journal().count(QStringLiteral("F:WriteData")), handedOver);
    QCOMPARE(LinkFixture::openDescriptors(), descriptors + 1);
    f.journal().calls.clear();
    const qint64 sent = qMin<qint64>(qint64(64) * handedOver, size);

    f.link().CloseDevice();

    // The transfer ends ahead of the close; the report comes last.
    QCOMPARE(f.journal().calls,
             (QStringList{QStringLiteral("F:StopWriting"), QStringLiteral("R:CloseDevice"),
                          QStringLiteral("C:CloseDevice"), QStringLiteral("F:CloseDevice")}));
    QVERIFY(!f.link().Opened);
    QCOMPARE(LinkFixture::openDescriptors(), descriptors);
    QTEST(progress.percents, "percents");
    QCOMPARE(progress.failures.size(), failed ? 1 : 0);
    if (failed) {
        const Failure failure = progress.failures.first();
        QCOMPARE(failure.file, path);
        QCOMPARE(failure.sent, sent);
        QCOMPARE(failure.size, qint64(size));
        QCOMPARE(failure.reason, st::DeviceGone);
        QVERIFY(qobject_cast<TUSBIOInterface3 *>(failure.sender) != nullptr);
    }
    QCOMPARE(f.receivedImage(), image.left(int(sent)));

    // A completion that comes after the close starts nothing again.
    f.journal().swallowWriteCompletions[QLatin1Char('F')] = false;
    const QList<int> percentsAtClose = progress.percents;
    f.journal().calls.clear();
    f.journal().components.at(2)->raise(usbio::EventId::WriteComplete);
    LinkFixture::settle(20);
    QVERIFY(f.journal().calls.isEmpty());
    QCOMPARE(progress.percents, percentsAtClose);
    QCOMPARE(progress.failures.size(), failed ? 1 : 0);

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

void LinkFileTest::removalDuringTransferThenSecondUpdate()
{
    // As the window does it: the removal closes the device. The chunk in
    // flight is lost with the device, so the transfer would wait for ever.
    LinkFixture f;
    f.link().ConnectInterfaces();
    QCOMPARE(f.link().EnablePnP(), Status(0));
    f.link().ScanDevices();
    QCOMPARE(f.link().OpenDevice(0), Status(0));
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
    QCOMPARE(failure.sent, qint64(64) * progress.percents.size() + 64);
    QVERIFY(progress.percents.last() >= 50 && progress.percents.last() < 100);
    QVERIFY(f.receivedImage().size() <= failure.sent);
    QCOMPARE(f.receivedImage(), image.left(f.receivedImage().size()));
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

void LinkFileTest::completionQueuedBeforeCloseIsDropped()
{
    // A completion already queued when the device closes arrives after a
    // transfer started right after the reopen; taken for that transfer's own,
    // it would put a second chunk in flight and end the transfer one
    // completion early.
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

void LinkFileTest::destroyingLinkClosesFile()
{
    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    const QByteArray path = f.writeFile(testBytes(1000, 3));
    const int descriptors = LinkFixture::openDescriptors();
    f.journal().swallowWriteCompletions[QLatin1Char('F')] = true;

    QCOMPARE(f.link().SendFile(path), Status(0));
    QCOMPARE(LinkFixture::openDescriptors(), descriptors + 1);
    f.destroyLink();
    QCOMPARE(LinkFixture::openDescriptors(), descriptors);
}

QTEST_GUILESS_MAIN(LinkFileTest)
#include "tst_link_file.moc"
