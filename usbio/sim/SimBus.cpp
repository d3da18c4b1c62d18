#include "usbio/sim/SimBus.h"

#include "usbio/Backend.h"
#include "usbio/sim/SimBus_p.h"
#include "usbio/sim/SimComponent.h"
#include "usbio/sim/SimConfig.h"

#include <QHash>
#include <QTimer>

namespace usbio {

namespace {

const QString kBackendName = QStringLiteral("sim");
// The bus whose backend is registered as "sim" now.
SimBus *g_installedBus = nullptr;

} // namespace

PresentDevice SimBus::Impl::present(const SimDevice *device)
{
    return PresentDevice{device->settings().generation, device->instanceId()};
}

void SimBus::Impl::publish()
{
    QList<PresentDevice> list;
    for (const SimDevice *device : std::as_const(devices)) {
        if (device->onBus())
            list.append(present(device));
    }
    keys.publish(list);
}

void SimBus::Impl::createInstanceKey(const SimDevice *device)
{
    keys.recordInstance(present(device));
}

void SimBus::Impl::arrive(SimDevice *device)
{
    SimDevice::Impl *dev = device->d;
    dev->onBus = true;
    ++dev->session;
    // As a host does: every arrival, a restart too, gets the next address.
    dev->address = ++lastAddress;
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
    applyConfig(config);
    return true;
}

void SimBus::applyConfig(const SimConfig &config)
{
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
}

} // namespace usbio
