// The capture of the USB traffic on the "libusb" backend, against the Vemo
// device model behind a mocked kernel (umockdev): the session that the
// simulated bus's capture test runs gives the same packets here, and the
// same as on the simulated bus run in this very process.

#include "link/VemoUSBinterface.h"
#include "tests/support/ScopedHost.h"
#include "tests/usbio/SimFixture.h"
#include "tests/usbio/capture/CaptureSession.h"
#include "tests/usbio/capture/TsharkReader.h"
#include "tests/usbio/umockdev/LibusbFixture.h"
#include "tests/usbio/umockdev/UmockdevMain.h"
#include "tests/usbio/umockdev/UmockdevTestCase.h"
#include "usbio/capture/UsbCapture.h"

#include <QTemporaryDir>
#include <QTest>

using namespace usbio;

namespace {

// Runs the session through the link on the selected backend with the
// capture going into path; empty when it went through.
QString captureSession(const QString &path, const QString &folder)
{
    UsbCapture capture;
    QString error;
    if (!capture.start(path, &error))
        return error;
    TVemoUSBinterface link(nullptr);
    CaptureSession session(folder);
    return session.run(link);
}

} // namespace

class TestLibusbCapture : public UmockdevTestCase
{
    Q_OBJECT

private Q_SLOTS:
    void sameSessionSamePackets();
};

void TestLibusbCapture::sameSessionSamePackets()
{
    QString why;
    if (!TsharkReader::available(&why))
        QSKIP(qPrintable(why));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ScopedHost host;

    // On the mocked kernel, through libusb.
    const QString libusbCapture = dir.filePath(QStringLiteral("libusb.pcap"));
    {
        LibusbFixture f;
        registry::KeyStore::setDefaultStore(&f.store);
        VemoFirmware::Settings settings;
        settings.answers = CaptureSession::answers();
        UsbMockDevice *device = f.mock.add(Generation::Vemo2, 1, settings);
        f.start();
        const QString failed = captureSession(libusbCapture, dir.path());
        registry::KeyStore::setDefaultStore(nullptr);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        QCOMPARE(device->chunks().size(), 4);
        QCOMPARE(device->clearedHalts(), (QList<quint8>{0x01, 0x01, 0x02, 0x02}));
    }

    // On the simulated bus.
    const QString simCapture = dir.filePath(QStringLiteral("sim.pcap"));
    {
        SimFixture sim;
        registry::KeyStore::setDefaultStore(&sim.store);
        SimDeviceSettings settings;
        settings.answers = CaptureSession::answers();
        sim.bus.attach(settings);
        const QString failed = captureSession(simCapture, dir.path());
        registry::KeyStore::setDefaultStore(nullptr);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
    }

    const TsharkReader::Result libusb = TsharkReader::read(libusbCapture);
    const TsharkReader::Result sim = TsharkReader::read(simCapture);
    QCOMPARE(libusb.errors, QStringList());
    QCOMPARE(libusb.described(), CaptureSession::expectedPackets());
    QCOMPARE(libusb.described(), sim.described());
    // The device where the mocked bus put it: bus 1, the first address
    // after the root hub's, as on the simulated bus.
    for (int i = 0; i < libusb.packets.size(); ++i) {
        QCOMPARE(libusb.packets.at(i).bus, sim.packets.at(i).bus);
        QCOMPARE(libusb.packets.at(i).device, sim.packets.at(i).device);
        QCOMPARE(libusb.packets.at(i).device, 2);
    }
}

VEMO_UMOCKDEV_TEST_MAIN(TestLibusbCapture)
#include "tst_usbio_libusb_capture.moc"
