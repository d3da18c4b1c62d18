#include "usbio/libusb/LibusbBackend.h"

#include "usbio/Backend.h"
#include "usbio/libusb/LibusbComponent.h"
#include "usbio/libusb/LibusbDevice.h"
#include "usbio/libusb/LibusbEventPump.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTimer>

#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace usbio {

namespace {

Q_LOGGING_CATEGORY(lcLibusb, "vemo.usbio.libusb")

const QString kBackendName = QStringLiteral("libusb");
// Between two looks at the node of an arrived device.
constexpr int kArrivalRetryMs = 50;

// The backend registered as "libusb" now.
LibusbBackend *g_installedBackend = nullptr;

std::optional<Generation> vemoGeneration(libusb_device *device)
{
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0 || descriptor.idVendor != kVendorId)
        return std::nullopt;
    return generationOfProduct(descriptor.idProduct);
}

} // namespace

struct LibusbHotplug
{
    static int LIBUSB_CALL callback(libusb_context *, libusb_device *device,
                                    libusb_hotplug_event event, void *user)
    {
        static_cast<LibusbBackend *>(user)->hotplugNotified(
            device, event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
        return 0; // stay registered
    }
};

LibusbBackend::LibusbBackend(registry::KeyStore *store, QObject *parent)
    : QObject(parent), m_keys(store)
{}

LibusbBackend::~LibusbBackend()
{
    if (g_installedBackend == this) {
        unregisterBackend(kBackendName);
        setBackendNote(kBackendName, QString());
        g_installedBackend = nullptr;
    }
    stop();
}

void LibusbBackend::install()
{
    if (!m_installed) {
        start();
        m_installed = true;
    }
    registerBackend(kBackendName, [this]() -> std::unique_ptr<Component> {
        return std::make_unique<LibusbComponent>(this);
    });
    setBackendNote(kBackendName, m_note);
    selectBackend(kBackendName);
    g_installedBackend = this;
}

void LibusbBackend::start()
{
    const int error = libusb_init(&m_context);
    if (error != 0) {
        m_context = nullptr;
        m_note = QStringLiteral("USB: libusb cannot start (%1); no USB device can be found")
                     .arg(QString::fromUtf8(libusb_strerror(error)));
        publish();
        return;
    }
    // libusb starts without one, but finds nothing and hears of nothing.
    if (::access(usbFileSystem.toLocal8Bit().constData(), F_OK) != 0)
        m_note = QStringLiteral("USB: this system has no USB file system (%1 is missing); no USB "
                                "device can be found")
                     .arg(usbFileSystem);

    m_pump = std::make_unique<LibusbEventPump>(m_context);
    m_pump->setRoundEnd([this] { queueHeard(); });
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        // Watching starts before the first look, so nothing falls between.
        libusb_hotplug_callback_handle handle = 0;
        const int registered = libusb_hotplug_register_callback(
            m_context, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
            LIBUSB_HOTPLUG_NO_FLAGS, kVendorId, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            &LibusbHotplug::callback, this, &handle);
        m_hotplugRegistered = registered == 0;
        m_hotplugHandle = handle;
        if (!m_hotplugRegistered)
            qCWarning(lcLibusb) << "no plug-and-play notification:" << libusb_strerror(registered);
    }

    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(m_context, &list);
    for (ssize_t i = 0; i < count; ++i) {
        if (const std::optional<Generation> generation = vemoGeneration(list[i]))
            insertSorted(std::make_shared<LibusbDevice>(list[i], *generation));
    }
    if (list)
        libusb_free_device_list(list, 1);
    for (const std::shared_ptr<LibusbDevice> &device : std::as_const(m_devices))
        m_keys.recordInstance(device->present());
    publish();
}

void LibusbBackend::stop()
{
    // The components give their transfers and handles back while libusb is
    // still there; after this they find no device.
    const QList<LibusbComponent *> components = m_components;
    for (LibusbComponent *component : components)
        component->backendGone();
    m_components.clear();
    if (!m_context)
        return;
    if (m_hotplugRegistered)
        libusb_hotplug_deregister_callback(m_context, m_hotplugHandle);
    m_hotplugRegistered = false;
    for (auto it = m_arriving.cbegin(); it != m_arriving.cend(); ++it)
        libusb_unref_device(it.key());
    m_arriving.clear();
    m_heard.clear();
    m_devices.clear();
    // Hotplug work still queued holds libusb's devices: it goes while
    // libusb is there to take them back.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    m_pump.reset();
    libusb_exit(m_context);
    m_context = nullptr;
}

void LibusbBackend::hotplugNotified(libusb_device *device, bool arrived)
{
    // Inside libusb's event handling: no libusb call that waits, no handle
    // closed here. The device is kept until the queued work is done, or
    // dropped: the backend may stop before the event loop gets to it (a
    // device restarting as the program ends), and stop() lets it go then.
    m_heard.append(
        {std::shared_ptr<libusb_device>(libusb_ref_device(device), &libusb_unref_device), arrived});
    if (!m_pump || !m_pump->handling())
        queueHeard();
}

void LibusbBackend::queueHeard()
{
    // libusb reports a removal in the same round as the transfers the
    // device finished before it left (a reply, then a restart), and the
    // removal first. The round's transfer completions are queued by now, so
    // the reads the host already had are taken before the removal ends
    // them: a reply sent just before a restart is not lost.
    const QList<Heard> heard = std::exchange(m_heard, {});
    for (const Heard &one : heard) {
        QMetaObject::invokeMethod(
            this,
            [this, held = one.device, arrived = one.arrived] {
                if (!m_context)
                    return;
                if (arrived)
                    arrive(held.get(), 0);
                else
                    leave(held.get());
            },
            Qt::QueuedConnection);
    }
}

void LibusbBackend::arrive(libusb_device *device, int waitedMs)
{
    // A retry finds the device only while it has not left meanwhile (the
    // wait holds a reference of it); a second announcement is dropped.
    if ((waitedMs > 0) != m_arriving.contains(device))
        return;
    const std::optional<Generation> generation = vemoGeneration(device);
    if (!generation)
        return; // another product of the vendor
    const bool known = std::any_of(m_devices.cbegin(), m_devices.cend(),
                                   [device](const std::shared_ptr<LibusbDevice> &present) {
                                       return present->device() == device;
                                   });
    if (known)
        return;
    auto candidate = std::make_shared<LibusbDevice>(device, *generation);
    // udev sets the node's rights a moment after the kernel announces the
    // device: until then an open would be refused.
    if (!candidate->nodeAccessible() && waitedMs < arrivalWaitMs) {
        if (!m_arriving.contains(device))
            m_arriving.insert(libusb_ref_device(device), 0);
        QTimer::singleShot(kArrivalRetryMs, this, [this, device, waitedMs] {
            if (m_context)
                arrive(device, waitedMs + kArrivalRetryMs);
        });
        return;
    }
    if (m_arriving.remove(device))
        libusb_unref_device(device);
    insertSorted(candidate);
    m_keys.recordInstance(candidate->present());
    publish();
    const QList<LibusbComponent *> components = m_components;
    for (LibusbComponent *component : components)
        component->pnpEvent(EventId::PnPAddNotification, candidate->devicePath());
}

void LibusbBackend::leave(libusb_device *device)
{
    if (m_arriving.remove(device)) {
        // Never reported: it leaves without a word.
        libusb_unref_device(device);
        return;
    }
    const auto it = std::find_if(m_devices.begin(), m_devices.end(),
                                 [device](const std::shared_ptr<LibusbDevice> &present) {
                                     return present->device() == device;
                                 });
    if (it == m_devices.end())
        return;
    const std::shared_ptr<LibusbDevice> gone = *it;
    m_devices.erase(it);
    gone->markGone();
    // The handles fail first: pending reads end, writes are cancelled, the
    // handle is closed; then the removal is announced.
    const QList<LibusbComponent *> holders = gone->holders();
    for (LibusbComponent *component : holders)
        component->deviceLeft(gone.get());
    gone->closeHandle();
    publish();
    const QList<LibusbComponent *> components = m_components;
    for (LibusbComponent *component : components)
        component->pnpEvent(EventId::PnPRemoveNotification, gone->devicePath());
}

void LibusbBackend::insertSorted(const std::shared_ptr<LibusbDevice> &device)
{
    const auto at =
        std::upper_bound(m_devices.begin(), m_devices.end(), device,
                         [](const std::shared_ptr<LibusbDevice> &a,
                            const std::shared_ptr<LibusbDevice> &b) { return *a < *b; });
    m_devices.insert(at, device);
}

void LibusbBackend::publish()
{
    QList<PresentDevice> list;
    for (const std::shared_ptr<LibusbDevice> &device : std::as_const(m_devices))
        list.append(device->present());
    m_keys.publish(list);
}

} // namespace usbio
