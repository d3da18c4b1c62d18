#include "tests/link/LinkFixture.h"

#include "platform/EventPump.h"
#include "registry/KeyStore.h"
#include "tests/support/FakeHostServices.h"
#include "usbio/Backend.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QtTest>

#include <dirent.h>

namespace {

const QString kRecordingBackend = QStringLiteral("recording-sim");

} // namespace

LinkFixture::LinkFixture(const usbio::SimDeviceSettings &settings, bool attach)
    : m_host(std::make_unique<FakeHostServices>()),
      m_store(std::make_unique<registry::KeyStore>(QString())),
      m_journal(std::make_shared<CallJournal>())
{
    platform::setHost(m_host.get());
    registry::KeyStore::setDefaultStore(m_store.get());
    m_bus = std::make_unique<usbio::SimBus>(m_store.get());
    m_bus->install();

    // Every instance the link creates is a simulated one behind a recorder.
    std::shared_ptr<CallJournal> journal = m_journal;
    usbio::registerBackend(kRecordingBackend, [journal]() -> std::unique_ptr<usbio::Component> {
        usbio::selectBackend(QStringLiteral("sim"));
        std::unique_ptr<usbio::Component> inner = usbio::createComponent();
        usbio::selectBackend(kRecordingBackend);
        if (!inner)
            return nullptr;
        return std::make_unique<RecordingComponent>(std::move(inner), journal);
    });
    usbio::selectBackend(kRecordingBackend);

    if (attach)
        m_device = m_bus->attach(settings);
    createLink();
}

LinkFixture::~LinkFixture()
{
    destroyLink();
    usbio::unregisterBackend(kRecordingBackend);
    m_bus.reset();
    registry::KeyStore::setDefaultStore(nullptr);
    platform::setHost(nullptr);
}

void LinkFixture::createLink()
{
    m_link.reset();
    m_link = std::make_unique<TVemoUSBinterface>(nullptr);
}

void LinkFixture::destroyLink()
{
    m_link.reset();
    // Events the dead components had queued go with them.
    settle(1);
}

usbio::Status LinkFixture::open()
{
    m_link->ConnectInterfaces();
    m_link->ScanDevices();
    return m_link->OpenDevice(0);
}

bool LinkFixture::openAndReceive()
{
    const usbio::Status opened = open();
    if (opened != 0) {
        qWarning("open refused: %08X", opened);
        return false;
    }
    const usbio::Status started = m_link->StartReceive(false);
    if (started != 0) {
        qWarning("start receive refused: %08X", started);
        return false;
    }
    return true;
}

QList<ShownBox> LinkFixture::boxes() const
{
    QList<ShownBox> shown;
    for (const FakeHostServices::Call &box : m_host->boxes())
        shown << ShownBox{box.text, box.caption, box.flags};
    return shown;
}

QStringList LinkFixture::exceptions() const
{
    return m_host->exceptions();
}

bool LinkFixture::waitFor(const std::function<bool()> &done, int timeoutMs)
{
    // Not QTest::qWaitFor: it naps between rounds, and a transfer needs a
    // round per chunk.
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        const qint64 left = timeoutMs - timer.elapsed();
        if (left <= 0)
            return false;
        platform::EventPump::handleMessage(int(qMin<qint64>(left, 50)));
    }
    return true;
}

void LinkFixture::settle(int ms)
{
    QElapsedTimer timer;
    timer.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    } while (timer.elapsed() < ms);
}

QByteArray LinkFixture::writeFile(const QByteArray &bytes, const QString &name)
{
    const QString path = m_dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return QFile::encodeName(path);
}

QByteArray LinkFixture::receivedImage() const
{
    QByteArray image;
    for (const QByteArray &chunk : m_device->receivedChunks())
        image += chunk;
    return image;
}

QList<int> LinkFixture::chunkSizes() const
{
    QList<int> sizes;
    for (const QByteArray &chunk : m_device->receivedChunks())
        sizes << int(chunk.size());
    return sizes;
}

int LinkFixture::openDescriptors()
{
    // The listing's own descriptor is among them every time alike.
    int count = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (const dirent *entry = readdir(dir)) {
            if (entry->d_name[0] != '.')
                ++count;
        }
        closedir(dir);
    }
    return count;
}
