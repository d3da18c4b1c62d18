// The link's calls into the window: a handler may destroy the link (the
// window closing, an unattended run ending at its first 100) or act on it
// again, so each callback comes when the link's state is at rest and the
// link touches nothing of itself after it. Run under AddressSanitizer, a
// touch after the destruction fails the run.

#include "tests/link/LinkFixture.h"
#include "tests/support/FakeHostServices.h"

#include <QTimer>
#include <QtTest>

#include <functional>

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
    link.OnFileComplete = [&seen](TObject *, const AnsiString &, qint64, qint64) {
        seen << "complete";
    };
}

// How a row of handlerDestroysLink finds the link before its trigger.
enum class Start
{
    ListeningNoDevice, // plug-and-play on, no device attached
    Listening,         // plug-and-play on, a device attached, not opened
    Receiving,         // the device open and read
};

// One row's world: the fixture, its link, the images a row may send, and
// what the handler under test did.
struct Scene
{
    explicit Scene(LinkFixture &fixture) : f(fixture), link(fixture.link()) {}

    LinkFixture &f;
    TVemoUSBinterface &link;
    QByteArray longImage; // five chunks of 64 and one of 10
    QByteArray twoChunks;
    QByteArray oneChunk;
    QStringList seen;
    int handled = 0;
    int returned = 0;

    // The handler under test, for any callback: it destroys the link and
    // then goes on with its own captures, as a window's handler may, so the
    // closure must outlive the link that held it.
    auto destroying()
    {
        return [this](auto &&...) {
            ++handled;
            seen << QStringLiteral("destroyed");
            f.destroyLink();
            ++returned;
        };
    }
};

// Binds the handler under test to one callback and sets off what calls it.
using Trigger = std::function<void(Scene &)>;

} // namespace

Q_DECLARE_METATYPE(Start)
Q_DECLARE_METATYPE(Trigger)

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
    QTest::addColumn<Start>("start");
    QTest::addColumn<Trigger>("trigger");

    QTest::newRow("device arrived") << Start::ListeningNoDevice << Trigger([](Scene &s) {
        s.link.OnDeviceArrived = s.destroying();
        s.f.bus().attach();
    });
    QTest::newRow("device removed") << Start::Listening << Trigger([](Scene &s) {
        s.link.OnDeviceRemoved = s.destroying();
        s.f.bus().detach(s.f.device());
    });
    QTest::newRow("read done") << Start::Receiving << Trigger([](Scene &s) {
        s.link.OnReadDone = s.destroying();
        s.f.device()->sendToHost("0123456789ABCDEFmore");
    });
    QTest::newRow("data received") << Start::Receiving << Trigger([](Scene &s) {
        s.link.OnDataReceived = [destroy = s.destroying()](TObject *, AnsiString &data) {
            destroy();
            data = "the link's text outlives the link"; // the text is the link's to drop
        };
        s.f.device()->sendToHost("0123456789ABCDEFmore");
    });
    QTest::newRow("command written") << Start::Receiving << Trigger([](Scene &s) {
        s.link.OnCommandWritten = s.destroying();
        QCOMPARE(s.link.SendCommand("NSF?\r"), Status(0));
    });
    QTest::newRow("command written, next piece waiting")
        << Start::Receiving << Trigger([](Scene &s) {
               s.link.OnCommandWritten = s.destroying();
               // The second piece waits for the first one's completion, whose
               // handler destroys the link.
               QCOMPARE(s.link.SendCommand("0123456789ABCDEFG"), st::Cancelled);
           });
    QTest::newRow("progress of a chunk") << Start::Receiving << Trigger([](Scene &s) {
        s.link.OnFileProgress = [destroy = s.destroying()](TObject *, int percent) {
            if (percent < 100)
                destroy();
        };
        QCOMPARE(s.link.SendFile(s.longImage), Status(0));
    });
    QTest::newRow("100 at the last hand-over") << Start::Receiving << Trigger([](Scene &s) {
        s.link.OnFileProgress = s.destroying();
        QCOMPARE(s.link.SendFile(s.twoChunks), Status(0));
    });
    // Of an image of one chunk, the only report.
    QTest::newRow("100 at the last completion") << Start::Receiving << Trigger([](Scene &s) {
        s.link.OnFileProgress = s.destroying();
        QCOMPARE(s.link.SendFile(s.oneChunk), Status(0));
    });
    QTest::newRow("complete, at the last completion") << Start::Receiving << Trigger([](Scene &s) {
        s.link.OnFileComplete = s.destroying();
        QCOMPARE(s.link.SendFile(s.twoChunks), Status(0));
    });
    // A close waits for the chunk in flight, handling messages: the window
    // may go inside that wait.
    QTest::newRow("complete, inside a close's wait") << Start::Receiving << Trigger([](Scene &s) {
        s.link.OnFileComplete = s.destroying();
        s.f.device()->faults().writeCompletionDelayMs = 50;
        QCOMPARE(s.link.SendFile(s.oneChunk), Status(0));
        s.link.CloseDevice();
    });
    QTest::newRow("timer inside a close's wait") << Start::Receiving << Trigger([](Scene &s) {
        s.f.device()->faults().writeCompletionDelayMs = -1;
        QCOMPARE(s.link.SendFile(s.longImage), Status(0));
        QTimer::singleShot(20, s.destroying());
        s.link.CloseDevice();
    });
    QTest::newRow("failed: chunk not taken in time") << Start::Receiving << Trigger([](Scene &s) {
        s.link.OnFileFailed = s.destroying();
        s.link.FileChunkWaitMs = 20;
        s.f.device()->faults().writeCompletionDelayMs = -1;
        QCOMPARE(s.link.SendFile(s.longImage), Status(0));
    });
    QTest::newRow("failed: chunk refused") << Start::Receiving << Trigger([](Scene &s) {
        s.link.OnFileFailed = s.destroying();
        QCOMPARE(s.link.SendFile(s.longImage), Status(0));
        s.f.journal().force(QStringLiteral("F:WriteData"), st::Busy, 1);
    });
    QTest::newRow("failed: device closed") << Start::Receiving << Trigger([](Scene &s) {
        s.link.OnFileFailed = s.destroying();
        QCOMPARE(s.link.SendFile(s.longImage), Status(0));
        s.link.CloseDevice();
    });
    QTest::newRow("failed: device closed, chunk never taken")
        << Start::Receiving << Trigger([](Scene &s) {
               s.link.OnFileFailed = s.destroying();
               s.link.FileCloseWaitMs = 20;
               s.f.device()->faults().writeCompletionDelayMs = -1;
               QCOMPARE(s.link.SendFile(s.longImage), Status(0));
               s.link.CloseDevice();
           });
    // A modal box handles messages; the window may close meanwhile.
    QTest::newRow("box of a refused file start") << Start::Receiving << Trigger([](Scene &s) {
        s.f.host().onBox = s.destroying();
        s.f.journal().force(QStringLiteral("F:StartWriting"), st::Busy, 1);
        QCOMPARE(s.link.SendFile(s.longImage), st::Busy);
    });
    QTest::newRow("box of a refused command start") << Start::Receiving << Trigger([](Scene &s) {
        s.f.host().onBox = s.destroying();
        s.f.journal().force(QStringLiteral("C:StartWriting"), st::Busy, 1);
        QCOMPARE(s.link.SendCommand("0123456789ABCDEFG"), st::Busy);
    });
}

void LinkCallbackTest::handlerDestroysLink()
{
    QFETCH(Start, start);
    QFETCH(Trigger, trigger);

    LinkFixture f({}, start != Start::ListeningNoDevice);
    const int descriptors = LinkFixture::openDescriptors();
    Scene s(f);
    recordAll(s.link, s.seen);
    s.longImage = f.writeFile(image(330, 1), QStringLiteral("long.bin"));
    s.twoChunks = f.writeFile(image(100, 2), QStringLiteral("two.bin"));
    s.oneChunk = f.writeFile(image(40, 3), QStringLiteral("one.bin"));
    if (start == Start::Receiving) {
        QVERIFY(f.openAndReceive());
    } else {
        s.link.ConnectInterfaces();
        QCOMPARE(s.link.EnablePnP(), Status(0));
    }

    trigger(s);
    QVERIFY(LinkFixture::waitFor([&] { return s.handled > 0; }));
    // Whatever the dead link's objects had queued comes and goes.
    LinkFixture::settle(30);
    QCOMPARE(s.handled, 1);
    QCOMPARE(s.returned, 1);
    QCOMPARE(s.seen.last(), QStringLiteral("destroyed"));
    QCOMPARE(LinkFixture::openDescriptors(), descriptors);
}

void LinkCallbackTest::handlerStartsNextTransfer_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("end");

    QTest::newRow("one chunk, at its completion") << 40 << "completion";
    QTest::newRow("several chunks, at the last completion") << 330 << "completion";
    QTest::newRow("chunk refused") << 330 << "refused";
    QTest::newRow("chunk not taken in time") << 330 << "timeout";
    QTest::newRow("device closed mid-transfer") << 330 << "close";
    QTest::newRow("device closed, chunk never taken") << 330 << "close, never taken";
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
    link.FileCloseWaitMs = 50;
    // Only the row about the chunk wait may end by it; in the others the
    // close's own wait (or the device) must come first.
    link.FileChunkWaitMs = end == QLatin1String("timeout") ? 50 : 5000;

    QList<Status> started;
    bool wasOpened = true;
    bool reportedEnd = false;
    int nextCompleted = 0;
    const auto startNext = [&] {
        if (reportedEnd) {
            ++nextCompleted;
            return;
        }
        reportedEnd = true;
        wasOpened = link.Opened;
        if (!link.Opened)
            started << link.OpenDevice(0);
        f.device()->faults().writeCompletionDelayMs = 0;
        f.device()->clearRecords();
        started << link.SendFile(next);
    };
    link.OnFileComplete = [&](TObject *, const AnsiString &, qint64, qint64) { startNext(); };
    link.OnFileFailed = [&](TObject *, const AnsiString &, qint64, qint64, Status) {
        QVERIFY(!reportedEnd);
        startNext();
    };

    if (end == QLatin1String("timeout") || end == QLatin1String("close, never taken"))
        f.device()->faults().writeCompletionDelayMs = -1;
    QCOMPARE(link.SendFile(first), Status(0));
    if (end == QLatin1String("refused")) {
        f.journal().force(QStringLiteral("F:WriteData"), st::Busy, 1);
    } else if (end.startsWith(QLatin1String("close"))) {
        link.CloseDevice();
        QVERIFY(!wasOpened);
    }

    QVERIFY(LinkFixture::waitFor([&] { return reportedEnd; }));
    QCOMPARE(started,
             end.startsWith(QLatin1String("close")) ? (QList<Status>{0, 0}) : QList<Status>{0});
    QVERIFY(LinkFixture::waitFor([&] { return nextCompleted == 1; }));
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
    // Whether the nested command handled a message: a call queued just
    // before it runs inside it only when it handles messages, as a wait does.
    bool insideNested = false;
    QString queuedCallRan;
    f.link().OnCommandWritten = [&](TObject *, const IDispatchRef &) {
        if (!nested.isEmpty())
            return;
        QTimer::singleShot(0, [&] {
            queuedCallRan = insideNested ? QStringLiteral("inside") : QStringLiteral("after");
        });
        insideNested = true;
        nested << f.link().SendCommand("NSF?\r");
        insideNested = false;
    };

    QCOMPARE(f.link().SendCommand("SP2W\r"), Status(0));
    QVERIFY(LinkFixture::waitFor([&] { return f.device()->receivedPieces().size() == 2; }));
    QCOMPARE(nested, QList<Status>{0});
    QVERIFY(LinkFixture::waitFor([&] { return !queuedCallRan.isEmpty(); }));
    QCOMPARE(queuedCallRan, QStringLiteral("after"));
    QCOMPARE(f.journal().count(QStringLiteral("C:AbortPipe")), 0);
    QCOMPARE(f.device()->receivedPieces().last(), QByteArray("NSF?\r").append(11, '\0'));
}

QTEST_GUILESS_MAIN(LinkCallbackTest)
#include "tst_link_callbacks.moc"
