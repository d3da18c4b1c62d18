// The "libusb" backend against the Vemo device model behind a mocked kernel
// (umockdev): enumeration, the shared open, reads and writes, the loader
// cycle, an image, a disconnect and a stall, each as the component contract
// has them.

#include "tests/usbio/EventRecorder.h"
#include "tests/usbio/umockdev/LibusbFixture.h"
#include "tests/usbio/umockdev/UmockdevMain.h"
#include "usbio/Backend.h"

#include <QTest>

using namespace usbio;

namespace {

const QString kGuid = QString::fromLatin1(kDeviceInterfaceGuid);

} // namespace

class TestLibusb : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void enumerationOfTwoGenerationsInOrder();
    void commandInPiecesAndItsAnswer();
};

void TestLibusb::init()
{
    if (const QString missing = umockdevMissing(); !missing.isEmpty())
        QSKIP(qPrintable(missing));
}

void TestLibusb::enumerationOfTwoGenerationsInOrder()
{
    LibusbFixture f;
    f.mock.add(Generation::Vemo3, 2);
    f.mock.add(Generation::Vemo, 1);
    f.start();
    auto c = f.component();
    QCOMPARE(c->EnumerateDevices(kGuid), 2);
}

void TestLibusb::commandInPiecesAndItsAnswer()
{
    LibusbFixture f;
    UsbMockDevice *device = f.mock.add(Generation::Vemo2, 1);
    f.start();
    auto reader = f.pipe(kInEndpoint);
    auto writer = f.pipe(kCommandEndpoint);
    QVERIFY(reader && writer);
    EventRecorder reads(reader.get());
    EventRecorder writes(writer.get());
    QCOMPARE(reader->StartReading(16, 5, 5), status::Success);
    QCOMPARE(writer->StartWriting(16, 5, 5, false), status::Success);
    QCOMPARE(writer->WriteData(QByteArray("DEV").leftJustified(16, '\0'), 0), status::Success);
    QVERIFY(writes.waitFor(EventId::WriteComplete, 1));
    QCOMPARE(writer->WriteData(QByteArray("NR?\r").leftJustified(16, '\0'), 0), status::Success);
    QVERIFY(writes.waitFor(EventId::WriteComplete, 2));
    QVERIFY(reads.waitFor(EventId::ReadComplete, 1));
    QByteArray buffer(16, '\0');
    int count = 0;
    QCOMPARE(reader->ReadData(buffer, count), status::Success);
    QCOMPARE(buffer.left(count), QByteArray("DEVNR000000001\r"));
    QCOMPARE(device->commands(), QList<QByteArray>{"DEVNR?"});
}

VEMO_UMOCKDEV_TEST_MAIN(TestLibusb)
#include "tst_usbio_libusb.moc"
