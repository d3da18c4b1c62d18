#include "dialogue/UpdateFlow.h"
#include "link/VemoUSBinterface.h"
#include "tests/support/DialogueRig.h"
#include "tests/support/TestBytes.h"
#include "usbio/devicemodel/VemoFirmware.h"
#include "usbio/devicemodel/VemoIdentity.h"
#include "usbio/sim/SimDevice.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

using usbio::Generation;
using Control = dialogue::WindowPort::Control;
namespace st = usbio::status;

// The firmware transfer of an update without a window, as an unattended run
// drives it over the simulated bus: it ends when the device took the last
// chunk and then only; a transfer cut short ends the run with how far the
// image got; a second "Flash is BLANK" leaves the running transfer alone;
// the image is the file as it was when the transfer started.
class TestTransfer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void failureCause_data();
    void failureCause();
    void unattendedUpdateEndsWhenTheDeviceHasTheImage_data();
    void unattendedUpdateEndsWhenTheDeviceHasTheImage();
    void transferCutShort_data();
    void transferCutShort();
    void loaderErasesDuringTheTransfer_data();
    void loaderErasesDuringTheTransfer();
    void fileRewrittenDuringTheTransfer();
    void stopTransferLetsTheChunkInFlightFinish_data();
    void stopTransferLetsTheChunkInFlightFinish();

private:
    // A rig that also runs the test's hooks: at each move of the progress
    // bar (a chunk handed over), and when the run ends; with one quick Vemo2
    // whose loader announces its blank flash by itself.
    class Rig : public DialogueRig
    {
    public:
        Rig()
        {
            const auto recordEnd = dialogue.OnEnd;
            dialogue.OnEnd = [this, recordEnd](dialogue::EndKind kind, const QString &reason) {
                if (onEnd)
                    onEnd();
                recordEnd(kind, reason);
            };
        }
        std::function<void(int percent)> onProgress;
        std::function<void()> onEnd;
        void setProgressPosition(int percent) override
        {
            DialogueRig::setProgressPosition(percent);
            if (onProgress)
                onProgress(percent);
        }
    };
    usbio::SimDevice *attach(Rig &rig, int imageSize);
    QString writeImage(const QByteArray &bytes);
    // Bytes that reached the device's OUT 0x02.
    static QByteArray received(usbio::SimDevice *device);

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestTransfer::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestTransfer::cleanup()
{
    m_dir.reset();
}

usbio::SimDevice *TestTransfer::attach(Rig &rig, int imageSize)
{
    usbio::SimDeviceSettings settings;
    settings.generation = Generation::Vemo2;
    settings.serialNumber = "000004711";
    settings.restartDelayMs = 20;
    settings.eraseDelayMs = 10;
    settings.loaderAnnouncesBlank = true;
    settings.imageSize = imageSize;
    return rig.bus().attach(settings);
}

QString TestTransfer::writeImage(const QByteArray &bytes)
{
    const QString path = m_dir->filePath(QStringLiteral("vemo2.bin"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return QString();
    return path;
}

QByteArray TestTransfer::received(usbio::SimDevice *device)
{
    return device->receivedChunks().join();
}

void TestTransfer::failureCause_data()
{
    QTest::addColumn<int>("reason");
    QTest::addColumn<QString>("text");

    QTest::newRow("device removed") << int(st::DeviceGone) << "device removed";
    QTest::newRow("stopped by a close") << int(st::Cancelled) << "stopped";
    QTest::newRow("chunk never taken") << int(st::Timeout) << "chunk not taken in time";
    QTest::newRow("chunk refused") << int(st::Busy) << "chunk refused (the text)";
}

void TestTransfer::failureCause()
{
    QFETCH(int, reason);
    QTEST(dialogue::UpdateFlow::failureCause(usbio::Status(reason), QStringLiteral("the text")),
          "text");
}

void TestTransfer::unattendedUpdateEndsWhenTheDeviceHasTheImage_data()
{
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("size");
    for (int delay : {0, 1, 5, 20}) {
        for (int size : {1, 63, 64, 65, 4096})
            QTest::addRow("%d ms, %d bytes", delay, size) << delay << size;
    }
}

// The run ends at the last chunk's completion: the device has every byte
// by then, however slowly it takes them. Ending at the hand-over of the last
// chunk, the run would close the device with that chunk still in flight.
void TestTransfer::unattendedUpdateEndsWhenTheDeviceHasTheImage()
{
    QFETCH(int, delayMs);
    QFETCH(int, size);

    Rig rig;
    usbio::SimDevice *device = attach(rig, size);
    device->faults().writeCompletionDelayMs = delayMs;
    const QByteArray image = testBytes(size, quint32(size + delayMs));
    const QString path = writeImage(image);
    // What the device holds when the run ends.
    QByteArray atTheEnd;
    rig.onEnd = [&] { atTheEnd = received(device); };
    rig.start({path});

    QTRY_VERIFY_WITH_TIMEOUT(!rig.ends.isEmpty(), 20000);
    // The program lets the link go as soon as the run ends.
    rig.destroyLink();
    QCOMPARE(atTheEnd, image);
    QCOMPARE(rig.ends.size(), 1);
    QVERIFY(!rig.ends.first().failed());
    QCOMPARE(rig.ends.first().reason, QStringLiteral("the device took the whole image"));
    QCOMPARE(received(device), image);
    QTRY_COMPARE(device->image(), image);
    const QStringList complete = rig.lines.filter(QStringLiteral("Firmware update complete: "));
    QCOMPARE(complete.size(), 1);
    QVERIFY2(complete.first().startsWith(
                 QStringLiteral("Firmware update complete: %1, %2 bytes in ").arg(path).arg(size)),
             qPrintable(complete.first()));
    QVERIFY2(complete.first().contains(QRegularExpression(QStringLiteral(" in \\d+\\.\\d s$"))),
             qPrintable(complete.first()));
    QVERIFY(!rig.dialogue.update().updating());
    QVERIFY(!rig.progressVisible);
    QVERIFY(rig.lines.filter(QStringLiteral("Firmware transfer failed")).isEmpty());
}

void TestTransfer::transferCutShort_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("reason");
    QTest::newRow("device removed mid-image")
        << "remove"
        << "transfer failed: device removed at 2048 of 8000 bytes";
    QTest::newRow("chunk refused")
        << "refuse"
        << "transfer failed: chunk refused (" + usbio::statusDescription(st::TransferFailed) +
               ") at 2048 of 8000 bytes";
}

// The device has 32 chunks when the fault strikes the 33rd: the run ends
// failed, saying how far the image got, and nothing of it says done.
void TestTransfer::transferCutShort()
{
    QFETCH(QString, fault);
    QFETCH(QString, reason);

    Rig rig;
    usbio::SimDevice *device = attach(rig, 8000);
    const QByteArray image = testBytes(8000, 3);
    const QString path = writeImage(image);
    bool struck = false;
    rig.onProgress = [&](int) {
        // The 33rd chunk was just handed over; 32 are in the device.
        if (struck || device->receivedChunks().size() != 32)
            return;
        struck = true;
        if (fault == QLatin1String("remove"))
            rig.bus().detach(device);
    };
    if (fault == QLatin1String("refuse")) {
        rig.onProgress = [&](int) {
            // The 33rd chunk is refused when the 32nd completes.
            if (!struck && device->receivedChunks().size() == 31) {
                struck = true;
                device->faults().writeDataStatus = st::TransferFailed;
            }
        };
    }
    rig.start({path});

    QTRY_VERIFY_WITH_TIMEOUT(!rig.ends.isEmpty(), 20000);
    QVERIFY(struck);
    QCOMPARE(rig.ends.size(), 1);
    QVERIFY(rig.ends.first().failed());
    QCOMPARE(rig.ends.first().reason, reason);
    QCOMPARE(received(device), image.left(2048));
    QVERIFY(rig.lines.filter(QStringLiteral("Firmware update complete")).isEmpty());
    const QStringList failed = rig.lines.filter(QStringLiteral("Firmware transfer failed: "));
    QCOMPARE(failed.size(), 1);
    QVERIFY2(
        failed.first().startsWith(
            QStringLiteral("Firmware transfer failed: %1, 2048 of 8000 bytes taken: ").arg(path)),
        qPrintable(failed.first()));
    QVERIFY(!rig.dialogue.update().updating());
}

void TestTransfer::loaderErasesDuringTheTransfer_data()
{
    QTest::addColumn<int>("erases");
    QTest::addColumn<bool>("done");
    QTest::addColumn<QString>("reason");

    QTest::newRow("once: the image goes again") << 1 << true << "the device took the whole image";
    QTest::newRow("each time: the update gives up")
        << 99 << false << "the loader erased the flash again during the transfer, 4 times";
}

// The loader erases its flash again while the image streams (a repeated
// loader request crossing its answer, or an older answer taken for the new
// one): what it took is gone, and the rest alone would make an image of the
// tail. The transfer ends after its chunk in flight and the image goes again
// from the first chunk, after the loader's next "Flash is BLANK"; a loader
// that erases every time is given up on, and the run says why.
void TestTransfer::loaderErasesDuringTheTransfer()
{
    QFETCH(int, erases);
    QFETCH(bool, done);
    QFETCH(QString, reason);
    Rig rig;
    usbio::SimDevice *device = attach(rig, 4000);
    device->faults().writeCompletionDelayMs = 1;
    const QByteArray image = testBytes(4000, 9);
    const QString path = writeImage(image);
    QStringList atTheErase;
    int erased = 0;
    bool erasedInThisTransfer = false;
    rig.onLog = [&](const QString &line) {
        if (line == QLatin1String("sending File...."))
            erasedInThisTransfer = false;
        if (line != QLatin1String(dialogue::UpdateFlow::BlankAgain) || !atTheErase.isEmpty())
            return;
        atTheErase << (rig.controlEnabled(Control::Update) ? "Update on" : "Update off");
        atTheErase << (rig.dialogue.update().updating() ? "updating" : "not updating");
        atTheErase << (rig.progressVisible ? "bar" : "no bar");
    };
    rig.onProgress = [&](int percent) {
        if (percent < 40 || erasedInThisTransfer || erased == erases)
            return;
        erasedInThisTransfer = true;
        ++erased;
        device->firmware().receive(usbio::kCommandEndpoint, "USB-Vemo:BWF!!!");
    };
    rig.start({path});

    QTRY_VERIFY_WITH_TIMEOUT(!rig.ends.isEmpty(), 20000);
    QCOMPARE(rig.ends.size(), 1);
    QCOMPARE(rig.ends.first().failed(), !done);
    QCOMPARE(rig.ends.first().reason, reason);
    QCOMPARE(atTheErase, (QStringList{"Update off", "updating", "bar"}));
    const int transfers = done ? 2 : dialogue::UpdateFlow::MaxImageRestarts + 1;
    QCOMPARE(erased, transfers - (done ? 1 : 0));
    QCOMPARE(rig.lines.count(QStringLiteral("sending File....")), transfers);
    QCOMPARE(rig.lines.count(QString::fromLatin1(dialogue::UpdateFlow::BlankAgain)), erased);
    QCOMPARE(rig.states.count(dialogue::UpdateFlow::State::Transferring), transfers);
    QVERIFY(rig.lines.filter(QStringLiteral("Error SendFile")).isEmpty());
    if (done) {
        QCOMPARE(device->image(), image);
    } else {
        // No transfer finished: the loader never took an image of the tail.
        QVERIFY(device->image().isEmpty());
        QVERIFY(rig.lines.contains(reason));
    }
}

// The file on disk changes while its image streams: the device gets the
// file as it was when the transfer started.
void TestTransfer::fileRewrittenDuringTheTransfer()
{
    Rig rig;
    usbio::SimDevice *device = attach(rig, 6400);
    device->faults().writeCompletionDelayMs = 1;
    const QByteArray image = testBytes(6400, 21);
    const QString path = writeImage(image);
    bool rewritten = false;
    rig.onProgress = [&](int) {
        if (!rewritten)
            rewritten = writeImage(testBytes(3000, 22)) == path;
    };
    rig.start({path});

    QTRY_VERIFY_WITH_TIMEOUT(!rig.ends.isEmpty(), 20000);
    QVERIFY(rewritten);
    QVERIFY(!rig.ends.first().failed());
    QCOMPARE(received(device), image);
    QTRY_COMPARE(device->image(), image);
    const QStringList complete = rig.lines.filter(QStringLiteral("Firmware update complete: "));
    QCOMPARE(complete.size(), 1);
    QVERIFY2(complete.first().startsWith(
                 QStringLiteral("Firmware update complete: %1, 6400 bytes in ").arg(path)),
             qPrintable(complete.first()));
}

void TestTransfer::stopTransferLetsTheChunkInFlightFinish_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("done");
    // The stop comes with the 33rd chunk in flight.
    QTest::newRow("mid-image") << 8000 << false;
    // That chunk is the last.
    QTest::newRow("last chunk in flight") << 2112 << true;
}

// What the window's close and a signal use: the device closes once the
// chunk in flight is done, and the run ends with how far the image got (or
// done, when that chunk was the last).
void TestTransfer::stopTransferLetsTheChunkInFlightFinish()
{
    QFETCH(int, size);
    QFETCH(bool, done);

    Rig rig;
    usbio::SimDevice *device = attach(rig, size);
    const QByteArray image = testBytes(size, 5);
    const QString path = writeImage(image);
    bool stopped = false;
    rig.onProgress = [&](int) {
        const qsizetype in = device->receivedChunks().size();
        // Handed over after the 31st is in: the 33rd chunk will take a while.
        if (in == 31)
            device->faults().writeCompletionDelayMs = 100;
        // With it in flight, the stop.
        if (in == 32 && !stopped) {
            stopped = true;
            QTimer::singleShot(0, [&] { rig.dialogue.windowClosing(); });
        }
    };
    rig.start({path});

    QTRY_VERIFY_WITH_TIMEOUT(!rig.ends.isEmpty(), 20000);
    QVERIFY(stopped);
    QCOMPARE(rig.ends.size(), 1);
    QCOMPARE(received(device), image.left(qMin(size, 33 * 64)));
    QVERIFY(!rig.link()->Opened);
    if (done) {
        QVERIFY(!rig.ends.first().failed());
        QCOMPARE(rig.ends.first().reason, QStringLiteral("the device took the whole image"));
    } else {
        QVERIFY(rig.ends.first().failed());
        QCOMPARE(rig.ends.first().reason,
                 QStringLiteral("transfer failed: stopped at 2112 of %1 bytes").arg(size));
    }
}

QTEST_GUILESS_MAIN(TestTransfer)
#include "tst_transfer.moc"
