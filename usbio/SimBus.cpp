#include "usbio/SimBus.h"

#include "registry/KeyStore.h"
#include "usbio/Backend.h"
#include "usbio/SimBus_p.h"
#include "usbio/SimComponent.h"
#include "usbio/SimConfig.h"

#include <QHash>
#include <QLoggingCategory>
#include <QTimer>

namespace usbio {

namespace {

Q_LOGGING_CATEGORY(lcSim, "vemo.usbio.sim")

const QString kBackendName = QStringLiteral("sim");
// The driver service's list of present devices (volatile, as Windows keeps it).
const QString kServiceEnum = QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\VemoUSB\\Enum");

// The bus whose backend is registered as "sim" now.
SimBus *g_installedBus = nullptr;

QString instanceKeyPath(const SimDevice *device)
{
    return QStringLiteral("SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_%1&Pid_%2\\%3")
        .arg(kVendorId, 4, 16, QLatin1Char('0'))
        .arg(productId(device->settings().generation), 4, 16, QLatin1Char('0'))
        .arg(device->instanceId());
}

} // namespace

quint16 productId(Generation generation)
{
    switch (generation) {
    case Generation::Vemo:
        return 0x0889;
    case Generation::Vemo2:
        return 0x088A;
    case Generation::Vemo3:
        return 0x088B;
    }
    return 0x088A;
}

QByteArray generationName(Generation generation)
{
    switch (generation) {
    case Generation::Vemo:
        return "Vemo";
    case Generation::Vemo2:
        return "Vemo2";
    case Generation::Vemo3:
        return "Vemo3";
    }
    return "Vemo2";
}

registry::KeyStore &SimBus::Impl::keyStore() const
{
    return store ? *store : registry::KeyStore::defaultStore();
}

void SimBus::Impl::publish()
{
    registry::KeyStore &keys = keyStore();
    try {
        keys.deleteKey(registry::RootKey::LocalMachine, kServiceEnum);
        keys.createKey(registry::RootKey::LocalMachine, kServiceEnum, true);
        qint32 count = 0;
        for (const SimDevice *device : std::as_const(devices)) {
            if (!device->onBus())
                continue;
            keys.writeString(registry::RootKey::LocalMachine, kServiceEnum,
                             QString::number(count++), device->instancePath());
        }
        keys.writeInteger(registry::RootKey::LocalMachine, kServiceEnum, QStringLiteral("Count"),
                          count);
        keys.writeInteger(registry::RootKey::LocalMachine, kServiceEnum,
                          QStringLiteral("NextInstance"), count);
    } catch (const registry::RegistryError &error) {
        qCWarning(lcSim) << "cannot publish the device list:" << error.what();
    }
}

void SimBus::Impl::createInstanceKey(const SimDevice *device)
{
    registry::KeyStore &keys = keyStore();
    const QString path = instanceKeyPath(device);
    try {
        if (keys.keyExists(registry::RootKey::LocalMachine, path))
            return;
        keys.createKey(registry::RootKey::LocalMachine, path);
        keys.writeString(registry::RootKey::LocalMachine, path, QStringLiteral("Service"),
                         QStringLiteral("VemoUSB"));
        keys.writeString(registry::RootKey::LocalMachine, path, QStringLiteral("DeviceDesc"),
                         QString::fromLatin1(generationName(device->settings().generation)) +
                             QStringLiteral(" USB device"));
    } catch (const registry::RegistryError &error) {
        qCWarning(lcSim) << "cannot record the device instance" << path << ":" << error.what();
    }
}

void SimBus::Impl::arrive(SimDevice *device)
{
    SimDevice::Impl *dev = device->d;
    dev->onBus = true;
    ++dev->session;
    dev->configured = false;
    dev->inPackets.clear();
    publish();
    notifyPnP(EventId::PnPAddNotification, device);
    dev->firmware->powerOn();
    Q_EMIT device->busStateChanged(true);
}

void SimBus::Impl::leave(SimDevice *device)
{
    SimDevice::Impl *dev = device->d;
    if (!dev->onBus)
        return;
    dev->onBus = false;
    dev->configured = false;
    dev->inPackets.clear();
    dev->firmware->powerOff();
    // Handles on the device fail first, then the removal is announced.
    const QList<SimComponent *> all = components;
    for (SimComponent *component : all)
        component->deviceLeft(device);
    publish();
    notifyPnP(EventId::PnPRemoveNotification, device);
    Q_EMIT device->busStateChanged(false);
}

void SimBus::Impl::dataAvailable(SimDevice *device)
{
    const QList<SimComponent *> all = components;
    for (SimComponent *component : all)
        component->deviceDataAvailable(device);
}

void SimBus::Impl::notifyPnP(EventId id, const SimDevice *device)
{
    const QList<SimComponent *> all = components;
    for (SimComponent *component : all)
        component->pnpEvent(id, device);
}

SimBus::SimBus(registry::KeyStore *store, QObject *parent)
    : QObject(parent), d(new Impl(this, store))
{}

SimBus::~SimBus()
{
    if (g_installedBus == this) {
        unregisterBackend(kBackendName);
        g_installedBus = nullptr;
    }
    for (SimComponent *component : std::as_const(d->components))
        component->m_bus = nullptr;
    d->components.clear();
    // The devices go before the state they refer to.
    const QList<SimDevice *> all = findChildren<SimDevice *>(Qt::FindDirectChildrenOnly);
    for (SimDevice *device : all) {
        device->d->attached = false;
        device->d->onBus = false;
    }
    qDeleteAll(all);
    delete d;
}

void SimBus::install()
{
    if (!d->componentRegistered)
        return;
    registerBackend(kBackendName, [this]() -> std::unique_ptr<Component> {
        return std::make_unique<SimComponent>(this);
    });
    selectBackend(kBackendName);
    g_installedBus = this;
    d->installed = true;
}

void SimBus::setComponentRegistered(bool registered)
{
    d->componentRegistered = registered;
    if (!registered && g_installedBus == this) {
        unregisterBackend(kBackendName);
        g_installedBus = nullptr;
        d->installed = false;
    }
}

bool SimBus::componentRegistered() const
{
    return d->componentRegistered;
}

SimDevice *SimBus::attach(const SimDeviceSettings &settings)
{
    auto *device = new SimDevice(this, settings);
    d->devices.append(device);
    d->createInstanceKey(device);
    d->arrive(device);
    return device;
}

void SimBus::attach(SimDevice *device)
{
    if (!device || device->parent() != this || d->devices.contains(device))
        return;
    device->d->attached = true;
    d->devices.append(device);
    d->createInstanceKey(device);
    d->arrive(device);
}

void SimBus::detach(SimDevice *device)
{
    if (!device || !d->devices.contains(device))
        return;
    ++device->d->restartToken; // a restart under way does not bring it back
    d->leave(device);
    d->devices.removeAll(device);
    device->d->attached = false;
    d->publish();
}

QList<SimDevice *> SimBus::devices() const
{
    return d->devices;
}

int SimBus::componentsCreated() const
{
    return d->created;
}

bool SimBus::loadConfig(const QString &path, QString *error)
{
    SimConfig config;
    if (!config.load(path, error))
        return false;

    pnpEnableStatus = config.pnpEnableStatus;
    setComponentRegistered(config.componentRegistered);

    QHash<QString, QPointer<SimDevice>> named;
    for (const SimConfig::Device &entry : std::as_const(config.devices)) {
        SimDevice *device = nullptr;
        if (entry.attached) {
            device = attach(entry.settings);
        } else {
            device = new SimDevice(this, entry.settings);
            device->d->attached = false;
        }
        device->d->faults = entry.faults;
        named.insert(entry.id, device);
    }

    for (const SimConfig::Action &action : std::as_const(config.timeline)) {
        const QPointer<SimDevice> device = named.value(action.device);
        QTimer::singleShot(action.afterMs, this, [this, action, device] {
            if (!device)
                return;
            switch (action.kind) {
            case SimConfig::Action::Attach:
                attach(device.data());
                break;
            case SimConfig::Action::Detach:
                detach(device.data());
                break;
            case SimConfig::Action::Restart:
                device->powerCycle(action.offBusMs);
                break;
            case SimConfig::Action::Send:
                device->sendToHost(action.text);
                break;
            }
        });
    }
    return true;
}

} // namespace usbio
