#pragma once

#include "link/VemoUSBinterface.h"
#include "tests/link/RecordingComponent.h"
#include "usbio/sim/SimBus.h"
#include "usbio/sim/SimDevice.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <memory>

class FakeHostServices;
namespace registry {
class KeyStore;
}

// A message box the link showed.
struct ShownBox
{
    QString text;
    QString caption;
    int flags = 0;
};

// One link against one simulated device, with the host fake installed and
// every component call of the link written to journal().
class LinkFixture
{
public:
    // attach: put one device with these settings on the bus.
    explicit LinkFixture(const usbio::SimDeviceSettings &settings = {}, bool attach = true);
    ~LinkFixture();
    LinkFixture(const LinkFixture &) = delete;
    LinkFixture &operator=(const LinkFixture &) = delete;

    TVemoUSBinterface &link() { return *m_link; }
    usbio::SimBus &bus() { return *m_bus; }
    usbio::SimDevice *device() const { return m_device; }
    CallJournal &journal() { return *m_journal; }
    FakeHostServices &host() { return *m_host; }

    // Creates the link (again), dropping the one before.
    void createLink();
    void destroyLink();
    // ConnectInterfaces, ScanDevices and OpenDevice(0); the open's status.
    usbio::Status open();
    // open() and StartReceive(false); fails the test on a non-zero status.
    bool openAndReceive();

    QList<ShownBox> boxes() const;
    QStringList exceptions() const;

    // Handles events until done() holds or timeoutMs passed.
    static bool waitFor(const std::function<bool()> &done, int timeoutMs = 5000);
    // Handles everything that is queued now and whatever that posts, for a
    // few milliseconds.
    static void settle(int ms = 5);

    // A file with these bytes in the fixture's temporary directory; its
    // 8-bit path as SendFile takes it.
    QByteArray writeFile(const QByteArray &bytes,
                         const QString &name = QStringLiteral("image.bin"));
    // Concatenation of the chunks that reached OUT 0x02.
    QByteArray receivedImage() const;
    // Byte sizes of those chunks.
    QList<int> chunkSizes() const;

    // Descriptors the process has open (to see that files are closed).
    static int openDescriptors();

private:
    std::unique_ptr<FakeHostServices> m_host;
    std::unique_ptr<registry::KeyStore> m_store;
    std::unique_ptr<usbio::SimBus> m_bus;
    std::shared_ptr<CallJournal> m_journal;
    std::unique_ptr<TVemoUSBinterface> m_link;
    usbio::SimDevice *m_device = nullptr;
    QTemporaryDir m_dir;
};
