// The link's calls into the window: a handler may destroy the link (the
// window closing, an unattended run ending at its first 100) or act on it
// again, so each callback comes when the link's state is at rest and the
// link touches nothing of itself after it. Run under AddressSanitizer, a
// touch after the destruction fails the run.

#include "tests/link/LinkFixture.h"
#include "tests/support/FakeHostServices.h"

#include <QElapsedTimer>
#include <QtTest>

using usbio::Status;
namespace st = usbio::status;

namespace {

// Of 330 bytes: five chunks of 64 and one of 10.
QByteArray image(qsizetype size, char seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(seed + i * 7);
    return bytes;
}

// Binds every callback of the link to a recorder, so a call that comes
// after the one under test shows.
void recordAll(TVemoUSBinterface &link, QStringList &seen)
{
    link.OnDeviceRemoved = [&seen](TObject *, const IDispatchRef &) { seen << "removed"; };
    link.OnDeviceArrived = [&seen](TObject *, const IDispatchRef &) { seen << "arrived"; };
    link.OnReadDone = [&seen](TObject *, const IDispatchRef &) { seen << "read done"; };
    link.OnCommandWritten = [&seen](TObject *, const IDispatchRef &) { seen << "written"; };
    link.OnDataReceived = [&seen](TObject *, AnsiString &) { seen << "data"; };
    link.OnFileProgress = [&seen](TObject *, int percent) {
        seen << QStringLiteral("progress %1").arg(percent);
    };
    link.OnFileFailed = [&seen](TObject *, const AnsiString &, qint64, qint64, Status) {
        seen << "failed";
    };
}

} // namespace

class LinkCallbackTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void handlerDestroysLink_data();
    void handlerDestroysLink();
    void handlerStartsNextTransfer_data();
    void handlerStartsNextTransfer();
    void commandFromCommandWrittenDoesNotWait();
};

void LinkCallbackTest::handlerDestroysLink_data()
{
    QTest::addColumn<QString>("callback");
    QTest::newRow("device arrived") << "device arrived";
    QTest::newRow("device removed") << "device removed";
    QTest::newRow("read done") << "read done";
    QTest::newRow("data received") << "data received";
    QTest::newRow("command written") << "command written";
    QTest::newRow("command written, next piece waiting") << "command written, next waiting";
    QTest::newRow("progress of a chunk") << "progress";
    QTest::newRow("100 at the last hand-over") << "100 at hand-over";
    QTest::newRow("100 at the last completion") << "100 at completion";
    QTest::newRow("100 at close, one chunk outstanding") << "100 at close";
    QTest::newRow("failed: chunk refused") << "failed refused";
    QTest::newRow("failed: device closed") << "failed close";
    QTest::newRow("box of a refused file start") << "file box";
    QTest::newRow("box of a refused command start") << "command box";
}

void LinkCallbackTest::handlerDestroysLink()
{
    QFETCH(QString, callback);

    const bool pnp = callback.startsWith(QLatin1String("device"));
    LinkFixture f({}, callback != QLatin1String("device arrived"));
    const int descriptors = LinkFixture::openDescriptors();
    QStringList seen;
    int handled = 0;
    // The handler under test: it destroys the link, and a call the link
    // makes after it shows in `seen`. Each handler goes on with its own
    // captures afterwards, as a window's handler may: the closure must
    // outlive the link that held it.
    int returned = 0;
    const auto destroy = [&] {
        ++handled;
        seen << "destroyed";
        f.destroyLink();
    };
    TVemoUSBinterface &link = f.link();
    recordAll(link, seen);
    const QByteArray longImage = f.writeFile(image(330, 1), QStringLiteral("long.bin"));
    const QByteArray twoChunks = f.writeFile(image(100, 2), QStringLiteral("two.bin"));
    const QByteArray oneChunk = f.writeFile(image(40, 3), QStringLiteral("one.bin"));
    if (pnp) {
        link.ConnectInterfaces();
        QCOMPARE(link.EnablePnP(), Status(0));
    } else {
        QVERIFY(f.openAndReceive());
    }

    if (callback == QLatin1String("device arrived")) {
        link.OnDeviceArrived = [&](TObject *, const IDispatchRef &) {
            destroy();
            ++returned;
        };
        f.bus().attach();
    } else if (callback == QLatin1String("device removed")) {
        link.OnDeviceRemoved = [&](TObject *, const IDispatchRef &) {
            destroy();
            ++returned;
        };
        f.bus().detach(f.device());
    } else if (callback == QLatin1String("read done")) {
        link.OnReadDone = [&](TObject *, const IDispatchRef &) {
            destroy();
            ++returned;
        };
        f.device()->sendToHost("0123456789ABCDEFmore");
    } else if (callback == QLatin1String("data received")) {
        link.OnDataReceived = [&](TObject *, AnsiString &data) {
            destroy();
            data = "the link's text outlives the link"; // the text is the link's to drop
            ++returned;
        };
        f.device()->sendToHost("0123456789ABCDEFmore");
    } else if (callback == QLatin1String("command written")) {
        link.OnCommandWritten = [&](TObject *, const IDispatchRef &) {
            destroy();
            ++returned;
        };
        QCOMPARE(link.SendCommand("NSF?\r"), Status(0));
    } else if (callback == QLatin1String("command written, next waiting")) {
        link.OnCommandWritten = [&](TObject *, const IDispatchRef &) {
            destroy();
            ++returned;
        };
        // The second piece waits for the first one's completion, whose
        // handler destroys the link.
        QCOMPARE(link.SendCommand("0123456789ABCDEFG"), st::Cancelled);
    } else if (callback == QLatin1String("progress")) {
        link.OnFileProgress = [&](TObject *, int percent) {
            if (percent < 100) {
                destroy();
                ++returned;
            }
        };
        QCOMPARE(link.SendFile(longImage), Status(0));
    } else if (callback == QLatin1String("100 at hand-over")) {
        link.OnFileProgress = [&](TObject *, int) {
            destroy();
            ++returned;
        };
        QCOMPARE(link.SendFile(twoChunks), Status(0));
    } else if (callback == QLatin1String("100 at completion")) {
        // Of an image of one chunk, the only report.
        link.OnFileProgress = [&](TObject *, int) {
            destroy();
            ++returned;
        };
        QCOMPARE(link.SendFile(oneChunk), Status(0));
    } else if (callback == QLatin1String("100 at close")) {
        link.OnFileProgress = [&](TObject *, int) {
            destroy();
            ++returned;
        };
        f.journal().swallowWriteCompletions[QLatin1Char('F')] = true;
        QCOMPARE(link.SendFile(oneChunk), Status(0));
        link.CloseDevice();
    } else if (callback == QLatin1String("failed refused")) {
        link.OnFileFailed = [&](TObject *, const AnsiString &, qint64, qint64, Status) {
            destroy();
            ++returned;
        };
        QCOMPARE(link.SendFile(longImage), Status(0));
        f.journal().force(QStringLiteral("F:WriteData"), st::Busy, 1);
    } else if (callback == QLatin1String("failed close")) {
        link.OnFileFailed = [&](TObject *, const AnsiString &, qint64, qint64, Status) {
            destroy();
            ++returned;
        };
        f.journal().swallowWriteCompletions[QLatin1Char('F')] = true;
        QCOMPARE(link.SendFile(longImage), Status(0));
        link.CloseDevice();
    } else if (callback == QLatin1String("file box")) {
        // A modal box handles messages; the window may close meanwhile.
        f.host().onBox = [&](const FakeHostServices::Call &) {
            destroy();
            ++returned;
        };
        f.journal().force(QStringLiteral("F:StartWriting"), st::Busy, 1);
        QCOMPARE(link.SendFile(longImage), st::Busy);
    } else if (callback == QLatin1String("command box")) {
        f.host().onBox = [&](const FakeHostServices::Call &) {
            destroy();
            ++returned;
        };
        f.journal().force(QStringLiteral("C:StartWriting"), st::Busy, 1);
        QCOMPARE(link.SendCommand("0123456789ABCDEFG"), st::Busy);
    } else {
        QFAIL("no such callback");
    }

    QVERIFY(LinkFixture::waitFor([&] { return handled > 0; }));
    // Whatever the dead link's objects had queued comes and goes.
    LinkFixture::settle(30);
    QCOMPARE(handled, 1);
    QCOMPARE(returned, 1);
    QCOMPARE(seen.last(), QStringLiteral("destroyed"));
    QCOMPARE(LinkFixture::openDescriptors(), descriptors);
}

void LinkCallbackTest::handlerStartsNextTransfer_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("end");

    QTest::newRow("one chunk, at its completion") << 40 << "completion";
    QTest::newRow("several chunks, at the last completion") << 330 << "completion";
    QTest::newRow("chunk refused") << 330 << "refused";
    QTest::newRow("device closed mid-transfer") << 330 << "close";
    QTest::newRow("device closed, one chunk outstanding") << 40 << "close";
}

void LinkCallbackTest::handlerStartsNextTransfer()
{
    // Whatever ends a transfer, the callback that reports it finds it ended:
    // the next one starts from inside it (after a reopen when it was closed).
    QFETCH(int, size);
    QFETCH(QString, end);

    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    const QByteArray first = f.writeFile(image(size, 4), QStringLiteral("first.bin"));
    const QByteArray nextImage = image(200, 5);
    const QByteArray next = f.writeFile(nextImage, QStringLiteral("next.bin"));
    const int descriptors = LinkFixture::openDescriptors();
    TVemoUSBinterface &link = f.link();

    QList<Status> started;
    bool wasOpened = true;
    bool reportedEnd = false;
    int secondHundreds = 0;
    const auto startNext = [&] {
        reportedEnd = true;
        wasOpened = link.Opened;
        if (!link.Opened)
            started << link.OpenDevice(0);
        f.journal().swallowWriteCompletions[QLatin1Char('F')] = false;
        f.device()->clearRecords();
        started << link.SendFile(next);
    };
    int firstHundreds = 0;
    link.OnFileProgress = [&](TObject *, int percent) {
        if (reportedEnd) {
            secondHundreds += percent == 100;
            return;
        }
        // The end of the first transfer: the second 100 of a longer image;
        // the only one of an image of one chunk (at its completion, or from
        // the close).
        if (percent == 100 && (++firstHundreds == 2 || size <= 64))
            startNext();
    };
    link.OnFileFailed = [&](TObject *, const AnsiString &, qint64, qint64, Status) { startNext(); };

    QCOMPARE(link.SendFile(first), Status(0));
    if (end == QLatin1String("refused")) {
        f.journal().force(QStringLiteral("F:WriteData"), st::Busy, 1);
    } else if (end == QLatin1String("close")) {
        f.journal().swallowWriteCompletions[QLatin1Char('F')] = true;
        LinkFixture::settle();
        link.CloseDevice();
        QVERIFY(!wasOpened);
    }

    QVERIFY(LinkFixture::waitFor([&] { return reportedEnd; }));
    QCOMPARE(started, end == QLatin1String("close") ? (QList<Status>{0, 0}) : QList<Status>{0});
    QVERIFY(LinkFixture::waitFor([&] { return secondHundreds == 2; }));
    LinkFixture::settle();
    QCOMPARE(f.receivedImage(), nextImage);
    QCOMPARE(LinkFixture::openDescriptors(), descriptors);
}

void LinkCallbackTest::commandFromCommandWrittenDoesNotWait()
{
    // The piece is over when the window hears of it: a command sent from
    // there goes out at once instead of waiting for a completion that has
    // already come.
    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    f.device()->clearRecords();
    QList<Status> nested;
    f.link().OnCommandWritten = [&](TObject *, const IDispatchRef &) {
        if (nested.isEmpty())
            nested << f.link().SendCommand("NSF?\r");
    };

    QElapsedTimer elapsed;
    elapsed.start();
    QCOMPARE(f.link().SendCommand("SP2W\r"), Status(0));
    QVERIFY(LinkFixture::waitFor([&] { return f.device()->receivedPieces().size() == 2; }));
    QCOMPARE(nested, QList<Status>{0});
    QVERIFY(elapsed.elapsed() < 1000);
    QCOMPARE(f.journal().count(QStringLiteral("C:AbortPipe")), 0);
    QCOMPARE(f.device()->receivedPieces().last(), QByteArray("NSF?\r").append(11, '\0'));
}

QTEST_GUILESS_MAIN(LinkCallbackTest)
#include "tst_link_callbacks.moc"
