#include "tests/usbio/umockdev/UsbMockDevice.h"

#include "tests/usbio/umockdev/UsbMockBus.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QStringList>
#include <QTimer>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/ioctl.h>
#include <utility>
// After sys/ioctl.h, which it needs.
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

using namespace usbio;

struct UsbMockDevice::Urb
{
    UMockdevIoctlClient *client = nullptr;
    UMockdevIoctlData *data = nullptr; // the URB, kept until it is reaped
    quint8 endpoint = 0;
    bool done = false; // status and length are set; waiting to be reaped
    // When it finished, counted over the device's life: the reap gives the
    // finished URBs back in this order, as the kernel does.
    quint64 finishedAs = 0;
    // An IN URB that took a packet: written into its buffer when it is
    // reaped, on the handler's thread (the only one that may reach the
    // host's memory).
    bool filled = false;
    QByteArray packet;
    bool failed = false; // an IN URB that ends with a bus error
    // An OUT URB the device takes later: when (on the mock's clock), and
    // what it takes.
    qint64 dueMs = -1;
    QByteArray bytes;
    // An OUT URB the firmware is taking (on the main thread): it finishes
    // once the firmware has acted on it. Named by id there.
    quint64 id = 0;
    bool taking = false;
    bool taken = false; // taken whole: its status is set when it is reaped
};

// One plug-in of the device: its node and handler. A host that still has
// the node of an earlier plug-in open gets ENODEV on it.
struct UsbMockDevice::Plug
{
    UsbMockDevice *device = nullptr;
    quint64 session = 0;
    QString devNode;
    UMockdevIoctlBase *handler = nullptr;
    bool attached = false;
    QList<Urb> flying;
};

namespace {

usbdevfs_urb *urbOf(UMockdevIoctlData *data)
{
    return reinterpret_cast<usbdevfs_urb *>(data->data);
}

// Milliseconds on a clock the handler's thread and the main thread share.
qint64 mockClockMs()
{
    static const QElapsedTimer clock = [] {
        QElapsedTimer started;
        started.start();
        return started;
    }();
    return clock.elapsed();
}

gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer plug);

void onClientVanished(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer plug);

void onClientConnected(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer plug);

} // namespace

UsbMockDevice::UsbMockDevice(UsbMockBus *bus, Generation generation, const QString &name,
                             const VemoFirmware::Settings &settings)
    : m_bus(bus), m_generation(generation), m_name(name)
{
    VemoFirmware::Settings firmware = settings;
    firmware.deviceName = generationName(generation);
    m_firmware = std::make_unique<VemoFirmware>(firmware, this);
}

UsbMockDevice::~UsbMockDevice()
{
    unplug();
    for (const std::unique_ptr<Plug> &plug : m_plugs) {
        g_signal_handlers_disconnect_by_data(plug->handler, plug.get());
        if (plug->attached)
            umockdev_testbed_detach_ioctl(m_bus->testbed(), plug->devNode.toUtf8().constData(),
                                          nullptr);
        for (const Urb &urb : std::as_const(plug->flying))
            g_object_unref(urb.data);
        g_object_unref(plug->handler);
    }
}

QString UsbMockDevice::sysPath() const
{
    // Behind a hub the device's folder is inside the hub's.
    QString path = QStringLiteral("/sys/devices/usb1");
    const QStringList ports = m_name.mid(2).split(QLatin1Char('.'));
    for (int depth = 1; depth <= ports.size(); ++depth)
        path += QStringLiteral("/1-") + ports.mid(0, depth).join(QLatin1Char('.'));
    return path;
}

QString UsbMockDevice::devNode() const
{
    QMutexLocker lock(&m_lock);
    return QStringLiteral("/dev/bus/usb/001/%1").arg(m_address, 3, 10, QLatin1Char('0'));
}

QString UsbMockDevice::instanceId() const
{
    return m_name;
}

bool UsbMockDevice::onBus() const
{
    QMutexLocker lock(&m_lock);
    return m_onBus;
}

void UsbMockDevice::plug(bool holdNode)
{
    auto plug = std::make_unique<Plug>();
    {
        QMutexLocker lock(&m_lock);
        if (m_onBus)
            return;
        m_address = m_bus->nextAddress();
        plug->session = ++m_session;
        m_inPackets.clear();
        m_halted.clear();
    }
    plug->device = this;
    plug->devNode = devNode();
    plug->handler = umockdev_ioctl_base_new();
    g_signal_connect(plug->handler, "handle-ioctl", G_CALLBACK(onIoctl), plug.get());
    g_signal_connect(plug->handler, "client-vanished", G_CALLBACK(onClientVanished), plug.get());
    g_signal_connect(plug->handler, "client-connected", G_CALLBACK(onClientConnected), plug.get());
    Plug *current = plug.get();
    {
        QMutexLocker lock(&m_lock);
        m_plugs.push_back(std::move(plug));
        m_onBus = true;
    }
    // The handler goes on the node before the device appears.
    attachNode(*current);
    // The descriptors of what starts now: the firmware gives its version and
    // serial number, the loader neither.
    const QByteArray serial = m_firmware->serialString();
    m_bus->addToTestbed(m_name, m_address,
                        deviceDescriptors(m_generation, m_firmware->release(),
                                          serial.isEmpty() ? 0 : kSerialStringIndex),
                        true, serial);
    if (holdNode) {
        // The node is taken out of the way before anyone looks at the new
        // device, and put back by releaseNode().
        gchar *root = umockdev_testbed_get_root_dir(m_bus->testbed());
        m_heldNode = QString::fromUtf8(root) + current->devNode;
        g_free(root);
        m_heldAside = m_heldNode + QStringLiteral(".late");
        QFile::rename(m_heldNode, m_heldAside);
        m_heldSession = current->session;
    }
    m_firmware->powerOn();
}

void UsbMockDevice::releaseNode()
{
    bool stillPlugged = false;
    {
        QMutexLocker lock(&m_lock);
        stillPlugged = m_heldSession != 0 && m_heldSession == m_session && m_onBus;
    }
    if (stillPlugged)
        QFile::rename(m_heldAside, m_heldNode);
    m_heldSession = 0;
}

void UsbMockDevice::attachNode(Plug &plug)
{
    GError *error = nullptr;
    if (!umockdev_testbed_attach_ioctl(m_bus->testbed(), plug.devNode.toUtf8().constData(),
                                       plug.handler, &error)) {
        qWarning("cannot attach the ioctl handler: %s", error ? error->message : "?");
        g_clear_error(&error);
        return;
    }
    plug.attached = true;
}

void UsbMockDevice::unplug()
{
    {
        QMutexLocker lock(&m_lock);
        if (!m_onBus)
            return;
        m_onBus = false;
        m_inPackets.clear();
    }
    m_firmware->powerOff();
    const QByteArray path = sysPath().toUtf8();
    umockdev_testbed_uevent(m_bus->testbed(), path.constData(), "remove");
    umockdev_testbed_remove_device(m_bus->testbed(), path.constData());
}

void UsbMockDevice::stallNextWrite(quint8 endpoint)
{
    QMutexLocker lock(&m_lock);
    m_stallNext.append(endpoint);
}

void UsbMockDevice::holdWrites(bool hold)
{
    QMutexLocker lock(&m_lock);
    m_holdWrites = hold;
}

void UsbMockDevice::setWriteDelayMs(int ms)
{
    QMutexLocker lock(&m_lock);
    m_writeDelayMs = ms;
}

void UsbMockDevice::failNextReads(int count)
{
    QMutexLocker lock(&m_lock);
    m_failReads = count;
    serviceReads();
}

void UsbMockDevice::failNextClaim(int error)
{
    QMutexLocker lock(&m_lock);
    m_failClaim = error;
}

void UsbMockDevice::setNodeWritableByUsers(bool writable)
{
    gchar *root = umockdev_testbed_get_root_dir(m_bus->testbed());
    const QString testbed = QString::fromUtf8(root);
    g_free(root);
    // The way to the node stays open to everyone, as /dev is.
    const QFileDevice::Permissions open = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                          QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                          QFileDevice::ExeOther;
    for (const QString &path :
         {testbed + devNode(), testbed + QStringLiteral("/ioctl") + devNode()}) {
        QString folder = QFileInfo(path).absolutePath();
        while (folder.startsWith(testbed)) {
            QFile::setPermissions(folder, open);
            folder = QFileInfo(folder).absolutePath();
        }
    }
    // umockdev's socket behind the node is the mock's own plumbing: every
    // user reaches it, whatever the node allows.
    QFile::setPermissions(testbed + QStringLiteral("/ioctl") + devNode(),
                          open | QFileDevice::WriteGroup | QFileDevice::WriteOther);
    QFileDevice::Permissions node = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                    QFileDevice::ReadGroup | QFileDevice::ReadOther;
    if (writable)
        node |= QFileDevice::WriteGroup | QFileDevice::WriteOther;
    if (!QFile::setPermissions(testbed + devNode(), node))
        qWarning("cannot set the rights of %s", qPrintable(devNode()));
}

QList<quint8> UsbMockDevice::clearedHalts() const
{
    QMutexLocker lock(&m_lock);
    return m_clearedHalts;
}

int UsbMockDevice::inUrbsSubmitted() const
{
    QMutexLocker lock(&m_lock);
    return m_inSubmitted;
}

int UsbMockDevice::inUrbsInFlight() const
{
    QMutexLocker lock(&m_lock);
    if (m_plugs.empty())
        return 0;
    int count = 0;
    for (const Urb &urb : std::as_const(m_plugs.back()->flying))
        count += (urb.endpoint & 0x80) && !urb.done ? 1 : 0;
    return count;
}

int UsbMockDevice::opens() const
{
    QMutexLocker lock(&m_lock);
    return m_opens;
}

int UsbMockDevice::claims() const
{
    QMutexLocker lock(&m_lock);
    return m_claims;
}

void UsbMockDevice::sendToHost(const QByteArray &packet)
{
    QMutexLocker lock(&m_lock);
    if (!m_onBus)
        return;
    m_inPackets.append(packet);
    serviceReads();
}

void UsbMockDevice::finish(Urb &urb)
{
    urb.done = true;
    urb.finishedAs = ++m_finished;
}

void UsbMockDevice::serviceReads()
{
    // As the host controller does: a read pending on the device takes the
    // next packet the device has at once (or fails, when a failure is due),
    // whenever the host gets round to reaping it. A packet the device sent
    // before it left is in the host's hands then, not lost with the device.
    if (!m_onBus || m_plugs.empty())
        return;
    for (Urb &urb : m_plugs.back()->flying) {
        if (!(urb.endpoint & 0x80) || urb.done)
            continue;
        if (m_failReads > 0) {
            --m_failReads;
            urb.failed = true;
        } else if (!m_inPackets.isEmpty()) {
            urb.filled = true;
            urb.packet = m_inPackets.takeFirst();
        } else {
            return;
        }
        finish(urb);
    }
}

void UsbMockDevice::restart(int offBusMs)
{
    unplug();
    const quint64 session = m_session;
    QTimer::singleShot(qMax(0, offBusMs), this, [this, session] {
        if (session == m_session)
            plug();
    });
}

void UsbMockDevice::commandReceived(const QByteArray &command)
{
    m_commands.append(command);
}

void UsbMockDevice::imageReceived(const QByteArray &image)
{
    m_image = image;
    Q_EMIT imageArrived(image);
}

UsbMockDevice::Urb *UsbMockDevice::findTaking(quint64 session, quint64 id)
{
    for (const std::unique_ptr<Plug> &plug : m_plugs) {
        if (plug->session != session)
            continue;
        for (Urb &urb : plug->flying) {
            if (urb.id == id)
                return urb.done ? nullptr : &urb;
        }
    }
    return nullptr;
}

void UsbMockDevice::take(quint64 session, quint8 endpoint, const QByteArray &bytes, quint64 id)
{
    {
        QMutexLocker lock(&m_lock);
        Urb *urb = findTaking(session, id);
        if (!urb)
            return; // discarded, or the host closed the device
        urb->taking = false;
        if (session != m_session || !m_onBus)
            return; // gone before it got there: the reap ends it with ENODEV
        // Taken: the write completes as the firmware gets the data, before
        // its answer, also when the firmware restarts the device on it (the
        // loader request, the last chunk of an image).
        urb->taken = true;
        finish(*urb);
    }
    deliver(session, endpoint, bytes);
}

void UsbMockDevice::deliver(quint64 session, quint8 endpoint, const QByteArray &bytes)
{
    {
        QMutexLocker lock(&m_lock);
        if (session != m_session || !m_onBus)
            return;
    }
    if (endpoint == kCommandEndpoint)
        m_pieces.append(bytes);
    else if (endpoint == kImageEndpoint)
        m_chunks.append(bytes);
    m_firmware->receive(endpoint, bytes);
}

namespace {

gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer plug)
{
    return UsbMockDevice::handleIoctl(plug, client) ? TRUE : FALSE;
}

void onClientVanished(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer plug)
{
    UsbMockDevice::handleClientGone(plug, client);
}

void onClientConnected(UMockdevIoctlBase *, UMockdevIoctlClient *, gpointer plug)
{
    UsbMockDevice::handleClientOpened(plug);
}

} // namespace

bool UsbMockDevice::handleIoctl(void *plugData, void *client)
{
    auto *plug = static_cast<Plug *>(plugData);
    return plug->device->ioctl(*plug, client);
}

void UsbMockDevice::handleClientOpened(void *plugData)
{
    auto *plug = static_cast<Plug *>(plugData);
    QMutexLocker lock(&plug->device->m_lock);
    ++plug->device->m_opens;
}

void UsbMockDevice::handleClientGone(void *plugData, void *client)
{
    // A host that closed the node leaves its URBs behind.
    auto *plug = static_cast<Plug *>(plugData);
    QMutexLocker lock(&plug->device->m_lock);
    for (int i = int(plug->flying.size()) - 1; i >= 0; --i) {
        if (plug->flying.at(i).client == client) {
            g_object_unref(plug->flying.at(i).data);
            plug->flying.removeAt(i);
        }
    }
}

bool UsbMockDevice::ioctl(Plug &plug, void *clientData)
{
    auto *client = static_cast<UMockdevIoctlClient *>(clientData);
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    const auto fail = [client](int error) { umockdev_ioctl_client_complete(client, -1, error); };
    const auto succeed = [client] { umockdev_ioctl_client_complete(client, 0, 0); };

    QMutexLocker lock(&m_lock);
    const bool gone = plug.session != m_session || !m_onBus;
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(quint32), nullptr);
        *reinterpret_cast<quint32 *>(caps->data) = USBDEVFS_CAP_BULK_CONTINUATION |
                                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        g_object_unref(caps);
        succeed();
        return true;
    }
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
        // No kernel driver is bound to the interface.
        fail(gone ? ENODEV : ENODATA);
        return true;
    case USBDEVFS_CLAIMINTERFACE:
        if (m_failClaim != 0 && !gone) {
            fail(std::exchange(m_failClaim, 0));
            return true;
        }
        [[fallthrough]];
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESET:
        if (gone) {
            fail(ENODEV);
        } else {
            m_claims += request == USBDEVFS_CLAIMINTERFACE ? 1 : 0;
            succeed();
        }
        return true;
    case USBDEVFS_CLEAR_HALT: {
        if (gone) {
            fail(ENODEV);
            return true;
        }
        UMockdevIoctlData *ep = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
        const quint8 endpoint = quint8(*reinterpret_cast<unsigned *>(ep->data));
        g_object_unref(ep);
        m_halted.removeAll(endpoint);
        m_clearedHalts.append(endpoint);
        succeed();
        return true;
    }
    case USBDEVFS_SUBMITURB: {
        if (gone) {
            fail(ENODEV);
            return true;
        }
        UMockdevIoctlData *data =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        usbdevfs_urb *urb = urbOf(data);
        Urb entry;
        entry.client = client;
        entry.data = data;
        entry.endpoint = urb->endpoint;
        if (urb->endpoint & 0x80) {
            ++m_inSubmitted;
        } else {
            // OUT data goes to the firmware, on the main thread.
            UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(
                data, offsetof(usbdevfs_urb, buffer), size_t(urb->buffer_length), nullptr);
            const QByteArray bytes(reinterpret_cast<const char *>(buffer->data),
                                   urb->buffer_length);
            g_object_unref(buffer);
            if (m_stallNext.removeOne(urb->endpoint) && !m_halted.contains(urb->endpoint))
                m_halted.append(urb->endpoint);
            entry.done =
                m_holdWrites || m_writeDelayMs > 0 ? false : m_halted.contains(urb->endpoint);
            if (m_holdWrites) {
                // In flight until discarded; the device never sees it.
            } else if (m_writeDelayMs > 0) {
                // Taken when it is due (see the reap), unless discarded first.
                entry.dueMs = mockClockMs() + m_writeDelayMs;
                entry.bytes = bytes;
            } else if (m_halted.contains(urb->endpoint)) {
                urb->status = -EPIPE;
                urb->actual_length = 0;
            } else {
                // The device takes it, and the write completes, when its
                // firmware gets to it: a device whose firmware is busy holds
                // the host's next write back (its endpoint refuses more data
                // meanwhile), so the host cannot run ahead of the firmware
                // by more than a write.
                entry.id = ++m_urbIds;
                entry.taking = true;
                const quint64 session = plug.session;
                const quint8 endpoint = urb->endpoint;
                const quint64 id = entry.id;
                QMetaObject::invokeMethod(
                    this,
                    [this, session, endpoint, bytes, id] { take(session, endpoint, bytes, id); },
                    Qt::QueuedConnection);
            }
        }
        if (entry.done)
            entry.finishedAs = ++m_finished;
        plug.flying.append(entry);
        if (entry.endpoint & 0x80)
            serviceReads();
        succeed();
        return true;
    }
    case USBDEVFS_DISCARDURB: {
        const gulong address = *reinterpret_cast<gulong *>(arg->data);
        for (Urb &urb : plug.flying) {
            if (urb.client == client && urb.data->client_addr == address) {
                if (urb.done) {
                    fail(EINVAL); // finished already: it is reaped as it is
                } else {
                    urbOf(urb.data)->status = -ENOENT;
                    urbOf(urb.data)->actual_length = 0;
                    finish(urb);
                    succeed();
                }
                return true;
            }
        }
        fail(EINVAL);
        return true;
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        // Delayed writes that are due: the device takes them now, in the
        // order they were submitted.
        for (Urb &urb : plug.flying) {
            if (urb.done || urb.dueMs < 0 || urb.dueMs > mockClockMs() || gone)
                continue;
            usbdevfs_urb *raw = urbOf(urb.data);
            finish(urb);
            if (m_halted.contains(urb.endpoint)) {
                raw->status = -EPIPE;
                raw->actual_length = 0;
                continue;
            }
            raw->status = 0;
            raw->actual_length = raw->buffer_length;
            const quint64 session = plug.session;
            const quint8 endpoint = urb.endpoint;
            const QByteArray bytes = urb.bytes;
            QMetaObject::invokeMethod(
                this, [this, session, endpoint, bytes] { deliver(session, endpoint, bytes); },
                Qt::QueuedConnection);
        }
        // As the kernel gives them back: in the order they finished. An IN
        // URB finishes when the device has a packet for it (see
        // serviceReads), so an OUT URB the device took at its submission
        // comes before the read that carries the device's answer to it.
        int pick = -1;
        for (int i = 0; i < plug.flying.size(); ++i) {
            const Urb &urb = plug.flying.at(i);
            if (urb.client == client && urb.done &&
                (pick < 0 || urb.finishedAs < plug.flying.at(pick).finishedAs))
                pick = i;
        }
        // A device that left ends the rest with ENODEV, one at each reap.
        for (int i = 0; i < plug.flying.size() && pick < 0 && gone; ++i) {
            Urb &urb = plug.flying[i];
            if (urb.client != client || urb.taking)
                continue;
            urbOf(urb.data)->status = -ENODEV;
            urbOf(urb.data)->actual_length = 0;
            finish(urb);
            pick = i;
        }
        if (pick >= 0 && plug.flying.at(pick).filled) {
            Urb &urb = plug.flying[pick];
            usbdevfs_urb *raw = urbOf(urb.data);
            const int length = qMin(int(urb.packet.size()), raw->buffer_length);
            UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(
                urb.data, offsetof(usbdevfs_urb, buffer), size_t(raw->buffer_length), nullptr);
            std::memcpy(buffer->data, urb.packet.constData(), size_t(length));
            g_object_unref(buffer);
            raw->actual_length = length;
            raw->status = urb.packet.size() > raw->buffer_length ? -EOVERFLOW : 0;
        } else if (pick >= 0 && plug.flying.at(pick).taken) {
            usbdevfs_urb *raw = urbOf(plug.flying.at(pick).data);
            raw->status = 0;
            raw->actual_length = raw->buffer_length;
        } else if (pick >= 0 && plug.flying.at(pick).failed) {
            urbOf(plug.flying.at(pick).data)->status = -EPROTO;
            urbOf(plug.flying.at(pick).data)->actual_length = 0;
        }
        if (pick >= 0) {
            UMockdevIoctlData *picked = plug.flying.at(pick).data;
            plug.flying.removeAt(pick);
            UMockdevIoctlData *pointer =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
            umockdev_ioctl_data_set_ptr(pointer, 0, picked);
            g_object_unref(pointer);
            g_object_unref(picked);
            succeed();
            return true;
        }
        fail(gone ? ENODEV : EAGAIN);
        return true;
    }
    default:
        return false;
    }
}
