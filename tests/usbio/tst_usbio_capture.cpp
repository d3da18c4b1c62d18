// The capture of the USB traffic (--capture=FILE) on the simulated bus, read
// back with tshark: the packets of a session in order, with their endpoints,
// directions, lengths and bytes; a file cut anywhere still opens; failures
// carry their status; the wrapper passes the component's events on as the
// contract wants; and the program writes a capture to standard output.

#include "link/VemoUSBinterface.h"
#include "tests/support/ScopedHost.h"
#include "tests/support/TestMain.h"
#include "tests/usbio/EventRecorder.h"
#include "tests/usbio/SimFixture.h"
#include "tests/usbio/capture/CaptureSession.h"
#include "tests/usbio/capture/TsharkReader.h"
#include "usbio/Backend.h"
#include "usbio/capture/CaptureComponent.h"
#include "usbio/capture/CaptureFile.h"
#include "usbio/capture/UsbCapture.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>

using namespace usbio;

namespace {

const QString kGuid = QString::fromLatin1(kDeviceInterfaceGuid);

// A simulated Vemo2 with the session's answers, the host services the link
// needs, and the capture started into a file of a folder of its own.
class SimCapture
{
public:
    SimCapture()
    {
        registry::KeyStore::setDefaultStore(&sim.store);
        SimDeviceSettings settings;
        settings.answers = CaptureSession::answers();
        device = sim.bus.attach(settings);
        path = dir.filePath(QStringLiteral("session.pcap"));
    }
    ~SimCapture() { registry::KeyStore::setDefaultStore(nullptr); }

    ScopedHost host;
    SimFixture sim;
    SimDevice *device = nullptr;
    QTemporaryDir dir;
    QString path;
};

// The usbmon packets the capture of the session holds, and where each
// record ends in the file.
QList<qint64> recordEnds(const TsharkReader::Result &read)
{
    QList<qint64> ends;
    qint64 at = 24; // the file header
    for (const TsharkReader::Packet &packet : read.packets) {
        at += 16 + packet.capturedLength;
        ends << at;
    }
    return ends;
}

// The hex a 16-byte command piece of text shows in a capture.
QString piece(const QByteArray &text)
{
    return QString::fromLatin1(text.leftJustified(16, '\0').toHex());
}

using CaptureAct = std::function<void(SimFixture &, SimDevice &, Component &)>;

} // namespace

Q_DECLARE_METATYPE(CaptureAct)

class TestCapture : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void sessionReadsBackAsSentAndReceived();
    void cutCaptureStillOpens_data();
    void cutCaptureStillOpens();
    void failuresCarryTheirStatus_data();
    void failuresCarryTheirStatus();
    void eventsPassAsTheContractWants();
    void describingPassesThroughWithoutAPacket();
    void fileThatCannotBeCreated_data();
    void fileThatCannotBeCreated();
    void programCapturesToStandardOutput();
    void packetsOfAnEventGoOutTogether();
    void lostCaptureSaysWhyOnceAndKeepsWholePackets_data();
    void lostCaptureSaysWhyOnceAndKeepsWholePackets();

private:
    // The session's capture, written once and read by several tests.
    QTemporaryDir m_dir;
    QString m_sessionCapture;
};

void TestCapture::initTestCase()
{
    QString why;
    if (!TsharkReader::available(&why))
        QSKIP(qPrintable(why));
    QVERIFY(m_dir.isValid());
}

void TestCapture::sessionReadsBackAsSentAndReceived()
{
    SimCapture t;
    UsbCapture capture;
    QString error;
    QVERIFY2(capture.start(t.path, &error), qPrintable(error));
    {
        // The link knows nothing of the capture: its instances come wrapped.
        TVemoUSBinterface link(nullptr);
        CaptureSession session(t.dir.path());
        const QString failed = session.run(link);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
    }
    QCOMPARE(t.device->receivedChunks().size(), 4);

    const TsharkReader::Result read = TsharkReader::read(t.path);
    QVERIFY(read.ran);
    QCOMPARE(read.exitCode, 0);
    QCOMPARE(read.errors, QStringList());
    QCOMPARE(read.described(), CaptureSession::expectedPackets());
    for (const TsharkReader::Packet &packet : read.packets) {
        // The device as the bus numbers it: bus 1, the first address after
        // the root hub's.
        QCOMPARE(packet.bus, 1);
        QCOMPARE(packet.device, t.device->address());
        QCOMPARE(packet.device, 2);
        // Wireshark pairs each completion with its submission.
        if (packet.type == 'C') {
            QVERIFY2(packet.requestIn > 0, qPrintable(packet.describe()));
            const TsharkReader::Packet &submit = read.packets.at(packet.requestIn - 1);
            QCOMPARE(submit.type, 'S');
            QCOMPARE(submit.urbId, packet.urbId);
            QCOMPARE(submit.endpoint, packet.endpoint);
        }
    }

    QFile::remove(m_sessionCapture);
    m_sessionCapture = m_dir.filePath(QStringLiteral("session.pcap"));
    QVERIFY(QFile::copy(t.path, m_sessionCapture));
}

void TestCapture::cutCaptureStillOpens_data()
{
    QTest::addColumn<quint32>("seed"); // 0: at the end of a record
    QTest::newRow("at a random byte, 1") << quint32(1);
    QTest::newRow("at a random byte, 2") << quint32(2);
    QTest::newRow("at a random byte, 3") << quint32(3);
    QTest::newRow("at a random byte, 4") << quint32(4);
    QTest::newRow("between two records") << quint32(0);
}

void TestCapture::cutCaptureStillOpens()
{
    QFETCH(quint32, seed);
    if (m_sessionCapture.isEmpty())
        QSKIP("the session's capture was not made");
    const TsharkReader::Result whole = TsharkReader::read(m_sessionCapture);
    QVERIFY(whole.packets.size() > 10);
    const QList<qint64> ends = recordEnds(whole);
    QFile source(m_sessionCapture);
    QVERIFY(source.open(QIODevice::ReadOnly));
    const QByteArray bytes = source.readAll();
    QCOMPARE(ends.last(), bytes.size());

    // Anywhere past the file header and short of the end; or at the end of
    // a record half-way through.
    const qint64 cut =
        seed ? 24 + QRandomGenerator(seed).bounded(bytes.size() - 25) : ends.at(ends.size() / 2);
    const QString path = m_dir.filePath(QStringLiteral("cut-%1.pcap").arg(seed));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes.left(cut));
    file.close();

    const TsharkReader::Result read = TsharkReader::read(path);
    QVERIFY(read.ran);
    const qsizetype wholeRecords =
        std::count_if(ends.cbegin(), ends.cend(), [cut](qint64 end) { return end <= cut; });
    // Every packet before the cut, as in the whole file.
    QCOMPARE(read.described(), whole.described().mid(0, wholeRecords));
    if (ends.contains(cut)) {
        QCOMPARE(read.errors, QStringList());
        QCOMPARE(read.exitCode, 0);
    } else {
        // Only the record the cut went through is reported.
        QVERIFY2(read.errors.size() == 1 &&
                     read.errors.first().contains(QLatin1String("cut short in the middle of a "
                                                                "packet")),
                 qPrintable(QStringLiteral("cut at %1: %2").arg(cut).arg(read.errors.join('\n'))));
    }
}

void TestCapture::failuresCarryTheirStatus_data()
{
    QTest::addColumn<quint8>("endpoint");
    QTest::addColumn<CaptureAct>("act");
    QTest::addColumn<QStringList>("lastPackets");

    QTest::newRow("a write the component refuses")
        << quint8(0x01) << CaptureAct([](SimFixture &, SimDevice &device, Component &writer) {
               device.faults().writeDataStatus = status::TransferFailed;
               QCOMPARE(writer.StartWriting(16, 5, 5, false), status::Success);
               QCOMPARE(writer.WriteData(QByteArray(16, 'a'), 0), status::TransferFailed);
           })
        << QStringList{"E bulk 0x01 status=-32 length=0"};
    QTest::newRow("a write the device never takes, stopped")
        << quint8(0x02) << CaptureAct([](SimFixture &, SimDevice &device, Component &writer) {
               device.faults().writeCompletionDelayMs = -1;
               QCOMPARE(writer.StartWriting(64, 5, 5, false), status::Success);
               QCOMPARE(writer.WriteData("abc", 0), status::Success);
               SimFixture::settle();
               writer.StopWriting();
           })
        << QStringList{"S bulk 0x02 status=-115 length=3 data=616263",
                       "C bulk 0x02 status=-2 length=0"};
    QTest::newRow("a read that fails on the bus")
        << quint8(0x81)
        << CaptureAct([](SimFixture &, SimDevice &device, Component &reader) {
               device.faults().readErrors = 1;
               QCOMPARE(reader.StartReading(16, 1, 5), status::Success);
               EventRecorder events(&reader);
               QVERIFY(events.waitFor(EventId::ReadComplete, 1));
               QByteArray buffer(16, '\0');
               int count = 0;
               QCOMPARE(reader.ReadData(buffer, count), status::TransferFailed);
           })
        // The failure counts towards the limit of 5; below it, a new read
        // takes the slot, and goes with the component.
        << QStringList{"S bulk 0x81 status=-115 length=16", "C bulk 0x81 status=-32 length=0",
                       "S bulk 0x81 status=-115 length=16", "C bulk 0x81 status=-2 length=0"};
    QTest::newRow("the device leaves with a read pending")
        << quint8(0x81) << CaptureAct([](SimFixture &sim, SimDevice &device, Component &reader) {
               QCOMPARE(reader.StartReading(16, 1, 5), status::Success);
               EventRecorder events(&reader);
               sim.bus.detach(&device);
               QVERIFY(events.waitFor(EventId::ReadComplete, 1));
               QByteArray buffer(16, '\0');
               int count = 0;
               QCOMPARE(reader.ReadData(buffer, count), status::DeviceGone);
               reader.CloseDevice();
           })
        << QStringList{"S bulk 0x81 status=-115 length=16", "C bulk 0x81 status=-19 length=0"};
    QTest::newRow("a reset on a device that left")
        << quint8(0x01) << CaptureAct([](SimFixture &sim, SimDevice &device, Component &writer) {
               sim.bus.detach(&device);
               QCOMPARE(writer.ResetPipe(), status::DeviceGone);
           })
        << QStringList{"C control 0x00 status=0 length=0", "E control 0x00 status=-19 length=0"};
    QTest::newRow("a reset the device fails")
        << quint8(0x01) << CaptureAct([](SimFixture &, SimDevice &device, Component &writer) {
               device.faults().resetPipeStatus = status::UsbError;
               QCOMPARE(writer.ResetPipe(), status::UsbError);
           })
        << QStringList{"S control 0x00 status=-115 length=0 setup=0x02,1,endpoint 0x01",
                       "C control 0x00 status=-5 length=0"};
}

void TestCapture::failuresCarryTheirStatus()
{
    QFETCH(quint8, endpoint);
    QFETCH(CaptureAct, act);
    QFETCH(QStringList, lastPackets);

    SimCapture t;
    auto file = std::make_shared<CaptureFile>();
    QVERIFY(file->open(t.path));
    {
        CaptureComponent component(t.sim.component(), file);
        QCOMPARE(SimFixture::openPipe(component, endpoint), status::Success);
        act(t.sim, *t.device, component);
        if (QTest::currentTestFailed())
            return;
    }
    const TsharkReader::Result read = TsharkReader::read(t.path);
    QCOMPARE(read.errors, QStringList());
    const QStringList packets = read.described();
    QCOMPARE(packets.mid(packets.size() - lastPackets.size()), lastPackets);
}

void TestCapture::eventsPassAsTheContractWants()
{
    SimCapture t;
    auto file = std::make_shared<CaptureFile>();
    QVERIFY(file->open(t.path));
    auto writer = std::make_unique<CaptureComponent>(t.sim.component(), file);
    QCOMPARE(SimFixture::openPipe(*writer, 0x01), status::Success);
    EventRecorder events(writer.get());

    // A completion comes from the event loop, never inside the write.
    QCOMPARE(writer->StartWriting(16, 5, 5, false), status::Success);
    events.insideCall = true;
    QCOMPARE(writer->WriteData(QByteArray("NSF?\r").leftJustified(16, '\0'), 0), status::Success);
    events.insideCall = false;
    QVERIFY(events.waitFor(EventId::WriteComplete, 1));
    QCOMPARE(events.raisedInsideCall, 0);

    // A completion queued before a stop is not delivered, and the capture
    // shows the write ended by the host, not completed.
    connect(t.device, &SimDevice::commandReceived, writer.get(), [&] { writer->StopWriting(); });
    QCOMPARE(writer->WriteData(QByteArray("DEVNR?\r").leftJustified(16, '\0'), 0), status::Success);
    QVERIFY(SimFixture::waitFor([&] { return t.device->receivedCommands().size() == 2; }));
    SimFixture::settle(10);
    QCOMPARE(events.count(EventId::WriteComplete), 1);

    // The events of a wrapper destroyed before they are delivered go with it.
    QCOMPARE(writer->StartWriting(16, 5, 5, false), status::Success);
    QCOMPARE(writer->WriteData(QByteArray(16, 'x'), 0), status::Success);
    int raised = 0;
    connect(writer.get(), &Component::eventRaised, this, [&raised] { ++raised; });
    writer.reset();
    SimFixture::settle();
    QCOMPARE(raised, 0);

    const TsharkReader::Result read = TsharkReader::read(t.path);
    const QStringList packets = read.described();
    QCOMPARE(packets.mid(packets.size() - 6),
             (QStringList{
                 "S bulk 0x01 status=-115 length=16 data=" + piece("NSF?\r"),
                 "C bulk 0x01 status=0 length=16",
                 "S bulk 0x01 status=-115 length=16 data=" + piece("DEVNR?\r"),
                 "C bulk 0x01 status=-2 length=0",
                 "S bulk 0x01 status=-115 length=16 data=" + piece(QByteArray(16, 'x')),
                 "C bulk 0x01 status=-2 length=0",
             }));
}

void TestCapture::describingPassesThroughWithoutAPacket()
{
    SimCapture t;
    SimDeviceSettings second;
    second.generation = Generation::Vemo3;
    second.serialNumber = "300000002";
    second.instanceId = QStringLiteral("second");
    second.id = QStringLiteral("right");
    t.sim.bus.attach(second);
    auto file = std::make_shared<CaptureFile>();
    QVERIFY(file->open(t.path));
    CaptureComponent wrapper(t.sim.component(), file);
    QCOMPARE(wrapper.EnumerateDevices(kGuid), 2);
    DeviceDescription description;
    QCOMPARE(wrapper.DescribeDevice(2, description), status::NoSuchDevice);
    QCOMPARE(wrapper.DescribeDevice(1, description), status::Success);
    QCOMPARE(description.busPath, QStringLiteral("right"));
    QCOMPARE(description.serialNumber, QStringLiteral("300000002"));
    QCOMPARE(description.productId, kVemo3ProductId);
    // Nothing went over the bus: the file holds its header alone.
    file.reset();
    QCOMPARE(QFileInfo(t.path).size(), qint64(24));
}

void TestCapture::fileThatCannotBeCreated_data()
{
    QTest::addColumn<QString>("path"); // "TMP/" stands for a folder of the test
    QTest::newRow("in a missing folder") << "TMP/no-such-folder/usb.pcap";
    QTest::newRow("a folder") << "TMP/";
    // Its open would wait for a reader, for ever.
    QTest::newRow("a FIFO") << "TMP/FIFO";
    QTest::newRow("a device") << "/dev/full";
}

void TestCapture::fileThatCannotBeCreated()
{
    QFETCH(QString, path);
    QTemporaryDir dir;
    path.replace(QLatin1String("TMP/"), dir.path() + QLatin1Char('/'));
    if (path.endsWith(QLatin1String("/FIFO")))
        QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
    SimFixture sim;

    UsbCapture capture;
    QString error;
    QVERIFY(!capture.start(path, &error));
    QVERIFY(!capture.running());
    QVERIFY2(error.contains(path) && !error.contains(QLatin1Char('\n')), qPrintable(error));
    // Nothing is wrapped.
    std::unique_ptr<Component> component = createComponent();
    QVERIFY(qobject_cast<SimComponent *>(component.get()));
}

void TestCapture::programCapturesToStandardOutput()
{
    QTemporaryDir dir;
    const QString sim = dir.filePath(QStringLiteral("vemo2.json"));
    QFile simFile(sim);
    QVERIFY(simFile.open(QIODevice::WriteOnly));
    simFile.write(R"({ "devices": [ { "generation": "Vemo2", "serial": "000004711" } ] })");
    simFile.close();

    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VEMO_REGISTRY"), dir.filePath(QStringLiteral("registry.json")));
    program.setProcessEnvironment(env);
    program.setStandardOutputFile(dir.filePath(QStringLiteral("stdout.pcap")));
    program.start(QStringLiteral(VEMOTOOL_PATH),
                  {QStringLiteral("--batch"), QStringLiteral("--sim=") + sim,
                   QStringLiteral("--capture=-"), QStringLiteral("/SERIAL123456789")});
    QVERIFY(program.waitForFinished(60000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);

    // Standard output is the capture, and it holds the serial number as
    // the program wrote it and as the device read it back.
    const TsharkReader::Result read =
        TsharkReader::read(dir.filePath(QStringLiteral("stdout.pcap")));
    QCOMPARE(read.errors, QStringList());
    QByteArray written;
    QByteArray received;
    for (const TsharkReader::Packet &packet : read.packets) {
        if (packet.type == 'S' && packet.endpoint == 0x01)
            written += packet.data;
        if (packet.type == 'C' && packet.endpoint == 0x81)
            received += packet.data;
    }
    QVERIFY2(written.contains("DEVNR123456789\r"), written.constData());
    QVERIFY2(received.contains("DEVNR123456789\r"), received.constData());
}

// The packets written while an event's handlers run go out together when
// they have run; an event handled inside a wait of another writes all that
// was collected, and so does the event loop before it waits.
void TestCapture::packetsOfAnEventGoOutTogether()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("batch.pcap"));
    const auto written = [&] { return QFileInfo(path).size(); };
    CaptureFile file;
    QVERIFY(file.open(path));
    const qint64 header = written();
    UsbmonPacket packet;
    packet.endpoint = 0x02;
    packet.length = 4;
    packet.data = "abcd";

    file.write(packet); // outside any event: at once
    const qint64 one = written() - header;
    QVERIFY(one > 0);
    {
        const CaptureFile::Batch event(file);
        file.write(packet);
        QCOMPARE(written(), header + one);
        {
            const CaptureFile::Batch nested(file);
            file.write(packet);
        }
        QCOMPARE(written(), header + 3 * one);
        file.write(packet);
        QCOMPARE(written(), header + 3 * one);
    }
    QCOMPARE(written(), header + 4 * one);
    {
        const CaptureFile::Batch event(file);
        file.write(packet);
        // A wait inside the handler: the loop blocks, the packet is out.
        QEventLoop wait;
        QTimer::singleShot(20, &wait, &QEventLoop::quit);
        wait.exec();
        QCOMPARE(written(), header + 5 * one);
    }
    QCOMPARE(written(), header + 5 * one);
}

void TestCapture::lostCaptureSaysWhyOnceAndKeepsWholePackets_data()
{
    QTest::addColumn<bool>("fullDisk"); // else: its file removed, as the program is told
    QTest::newRow("a file that may grow no further") << true;
    QTest::newRow("a file removed") << false;
}

// A capture that cannot be kept ends with the system's reason, said once,
// and leaves a file of whole packets: a packet cut in the middle would
// spoil the capture for its reader.
void TestCapture::lostCaptureSaysWhyOnceAndKeepsWholePackets()
{
    QFETCH(bool, fullDisk);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("lost.pcap"));
    CaptureFile file;
    QStringList failures;
    file.onFailure = [&failures](const QString &why) { failures << why; };
    QVERIFY(file.open(path));
    UsbmonPacket packet;
    packet.endpoint = 0x02;
    packet.length = 64;
    packet.data = QByteArray(64, 'x');
    file.write(packet);
    const qint64 onePacket = QFileInfo(path).size() - 24;
    QVERIFY(onePacket > 64);

    // The file may hold one more packet and a half.
    struct rlimit before = {};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto previousSignal = std::signal(SIGXFSZ, SIG_IGN);
    if (fullDisk) {
        struct rlimit limit = before;
        limit.rlim_cur = rlim_t(24 + 2 * onePacket + onePacket / 2);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    } else {
        QVERIFY(QFile::remove(path));
        file.fail(
            QStringLiteral("'%1' was removed or replaced while the run wrote into it").arg(path));
    }
    for (int i = 0; i < 4; ++i)
        file.write(packet);
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, previousSignal);

    QCOMPARE(failures.size(), 1);
    QCOMPARE(file.failure(), failures.first());
    if (!fullDisk) {
        QVERIFY(failures.first().contains(QLatin1String("removed or replaced")));
        return;
    }
    QVERIFY2(failures.first() == QStringLiteral("cannot write '%1': File too large").arg(path),
             qPrintable(failures.first()));
    // Two whole packets, not the half of the third.
    QCOMPARE(QFileInfo(path).size(), 24 + 2 * onePacket);
    const TsharkReader::Result read = TsharkReader::read(path);
    if (read.ran) {
        QCOMPARE(read.errors, QStringList());
        QCOMPARE(read.packets.size(), 2);
    }
}

VEMO_TEST_MAIN(TestCapture)
#include "tst_usbio_capture.moc"
