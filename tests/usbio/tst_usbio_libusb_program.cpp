// The whole program on the "libusb" backend, offscreen, against devices of
// a mocked kernel (umockdev): its start-up finds the devices and lists them.
// The program runs as a child process inside the same testbed; the ioctl
// handlers behind the devices stay in this process.

#include "tests/usbio/umockdev/UmockdevMain.h"
#include "tests/usbio/umockdev/UsbMockBus.h"
#include "tests/usbio/umockdev/UsbMockDevice.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace usbio;

namespace {

const QString kNoVemoDetected =
    QStringLiteral("No Vemo detected, be shure Vemo is connected and latest driver is installed!!");

// The program with its message log on standard output, in a folder of its
// own (the last line of its start-up is that folder).
class Program
{
public:
    explicit Program(const QStringList &options)
    {
        m_process.setWorkingDirectory(m_dir.path());
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        m_process.setProcessEnvironment(environment);
        m_process.start(QStringLiteral(VEMOTOOL_PATH),
                        options + QStringList{QStringLiteral("--registry=") +
                                                  m_dir.filePath(QStringLiteral("registry.json")),
                                              QStringLiteral("--log-file=-")});
    }
    ~Program()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(5000))
                m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    // The log of its start-up: read until the folder line (near its end)
    // has come and then nothing more for a second, at most 30 s in all.
    QStringList startupLog()
    {
        const QString folder = QDir(m_dir.path()).canonicalPath();
        QElapsedTimer clock;
        clock.start();
        QElapsedTimer quiet;
        quiet.start();
        while (clock.elapsed() < 30000 && m_process.state() != QProcess::NotRunning &&
               !(m_lines.contains(folder) && quiet.elapsed() > 1000)) {
            m_process.waitForReadyRead(100);
            const QByteArray more = m_process.readAllStandardOutput();
            if (!more.isEmpty())
                quiet.restart();
            m_output += more;
            m_lines = QString::fromLocal8Bit(m_output).split(QLatin1Char('\n'));
        }
        return m_lines;
    }
    QString errors() { return QString::fromLocal8Bit(m_process.readAllStandardError()); }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_output;
    QStringList m_lines;
};

} // namespace

class TestLibusbProgram : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void startupFindsAndListsTheDevices_data();
    void startupFindsAndListsTheDevices();
    void startupWithoutDevice();
};

void TestLibusbProgram::init()
{
    if (const QString missing = umockdevMissing(); !missing.isEmpty())
        QSKIP(qPrintable(missing));
}

void TestLibusbProgram::startupFindsAndListsTheDevices_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::newRow("--usb=libusb") << QStringList{QStringLiteral("--usb=libusb")};
    QTest::newRow("the default") << QStringList{};
}

void TestLibusbProgram::startupFindsAndListsTheDevices()
{
    QFETCH(QStringList, options);
    UsbMockBus mock;
    mock.add(Generation::Vemo3, 2);
    mock.add(Generation::Vemo2, 1);
    Program program(options);
    const QStringList log = program.startupLog();
    const QString diagnostics = log.join(QLatin1Char('\n')) + program.errors();

    // Found through libusb and published as the driver would: the registry
    // probe names both, in enumeration order.
    const int vemo2 = int(log.indexOf(QStringLiteral("Vemo2 found")));
    const int vemo3 = int(log.indexOf(QStringLiteral("Vemo3 found")));
    QVERIFY2(vemo2 >= 0 && vemo3 > vemo2, qPrintable(diagnostics));
    QVERIFY2(log.contains(QStringLiteral("Vemo2 USB driver installed")), qPrintable(diagnostics));
    QVERIFY2(log.contains(QStringLiteral("PnPNotification enabled")), qPrintable(diagnostics));
    // The device list holds them: the window did not find it empty, and
    // took no entry for an unknown device.
    QVERIFY2(!log.contains(kNoVemoDetected), qPrintable(diagnostics));
    for (const QString &line : log) {
        QVERIFY2(!line.startsWith(QLatin1String("Unknown device detected")), qPrintable(line));
        QVERIFY2(!line.startsWith(QLatin1String("USB:")), qPrintable(line));
    }
}

void TestLibusbProgram::startupWithoutDevice()
{
    UsbMockBus mock;
    // Another product of the vendor is not a Vemo.
    mock.addOtherProduct(kVendorId, 0x0999, 1);
    Program program({QStringLiteral("--usb=libusb")});
    const QStringList log = program.startupLog();
    const QString diagnostics = log.join(QLatin1Char('\n')) + program.errors();
    QVERIFY2(log.contains(QStringLiteral("No Vemo found")), qPrintable(diagnostics));
    QVERIFY2(log.contains(kNoVemoDetected), qPrintable(diagnostics));
    // A host without a USB file system (this testbed holds no device node)
    // says so in one line, before plug-and-play is enabled.
    const bool usbFileSystem = ::access("/dev/bus/usb", F_OK) == 0;
    const int note = int(log.indexOf(
        QStringLiteral("USB: this system has no USB file system (/dev/bus/usb is missing); no USB "
                       "device can be found")));
    QCOMPARE(note >= 0, !usbFileSystem);
    if (note >= 0)
        QVERIFY(note < log.indexOf(QStringLiteral("PnPNotification enabled")));
}

VEMO_UMOCKDEV_TEST_MAIN(TestLibusbProgram)
#include "tst_usbio_libusb_program.moc"
