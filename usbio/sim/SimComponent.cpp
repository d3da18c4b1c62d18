#include "usbio/sim/SimComponent.h"

#include "usbio/sim/SimBus_p.h"

#include <QTimer>

#include <algorithm>
#include <memory>

namespace usbio {

SimComponent::SimComponent(SimBus *bus, QObject *parent) : ComponentBase(parent), m_bus(bus)
{
    if (bus) {
        bus->d->components.append(this);
        ++bus->d->created;
    }
}

SimComponent::~SimComponent()
{
    if (m_bus)
        m_bus->d->components.removeAll(this);
}

SimDevice *SimComponent::openDevice() const
{
    return present();
}

SimDevice *SimComponent::present() const
{
    SimDevice *device = m_device.data();
    if (!device || !device->d->attached || !device->d->onBus || device->d->session != m_session)
        return nullptr;
    return device;
}

Status SimComponent::checkOpen() const
{
    if (!m_device && m_session == 0)
        return status::NotOpened;
    return present() ? status::Success : status::DeviceGone;
}

bool SimComponent::deviceConfigured() const
{
    return m_device->d->configured;
}

Status SimComponent::refusal(Step step)
{
    if (step == Step::EnablePnP)
        return m_bus ? m_bus->pnpEnableStatus : status::Success;
    // Every other step is asked with the device open.
    SimFaults &faults = m_device->d->faults;
    switch (step) {
    case Step::DeclareInterface:
        return faults.declareStatus;
    case Step::SelectConfiguration:
        return faults.selectStatus;
    case Step::Bind:
        return faults.bindStatus;
    case Step::StartReading:
        if (faults.startReadingFailures > 0) {
            --faults.startReadingFailures;
            return faults.startReadingStatus;
        }
        return status::Success;
    case Step::StartWriting:
        return faults.startWritingStatus;
    case Step::WriteData:
        return faults.writeDataStatus;
    case Step::ResetPipe:
        return faults.resetPipeStatus;
    case Step::EnablePnP: // above
        break;
    }
    return status::Success;
}

int SimComponent::EnumerateDevices(const QString &interfaceGuid)
{
    m_list.clear();
    if (!m_bus || !ComponentState::isDriverInterface(interfaceGuid))
        return 0;
    for (SimDevice *device : std::as_const(m_bus->d->devices)) {
        if (device->d->onBus)
            m_list.append(device);
    }
    return int(m_list.size());
}

Status SimComponent::OpenDevice(int index)
{
    // A second open replaces the handle this instance holds.
    CloseDevice();
    if (index < 0 || index >= m_list.size())
        return status::NoSuchDevice;
    SimDevice *device = m_list.at(index).data();
    if (!device || !device->d->attached || !device->d->onBus)
        return status::DeviceGone;
    if (device->d->faults.openStatus != 0)
        return device->d->faults.openStatus;
    m_device = device;
    m_session = device->d->session;
    return status::Success;
}

Status SimComponent::DescribeDevice(int index, DeviceDescription &description)
{
    if (index < 0 || index >= m_list.size())
        return status::NoSuchDevice;
    // Nothing is opened: the faults of an open do not apply.
    const SimDevice *device = m_list.at(index).data();
    if (!device || !device->d->attached || !device->d->onBus)
        return status::DeviceGone;
    description = device->description();
    return status::Success;
}

void SimComponent::releaseDevice()
{
    m_device = nullptr;
    m_session = 0;
}

Status SimComponent::GetDriverInfo(DriverInfo &info)
{
    // The driver answers for the open device, else for any device it serves.
    if (SimDevice *device = present())
        info = device->d->faults.driverInfo;
    else if (m_bus && !m_bus->d->devices.isEmpty())
        info = m_bus->d->devices.first()->d->faults.driverInfo;
    else if (m_bus)
        info = m_bus->d->defaultDriverInfo;
    else
        info = DriverInfo{};
    return status::Success;
}

Status SimComponent::GetDeviceAddress(DeviceAddress &address)
{
    if (const Status open = checkOpen())
        return open;
    address = DeviceAddress{SimBus::BusNumber, m_device->d->address};
    return status::Success;
}

Status SimComponent::configureDevice()
{
    m_device->d->configured = true;
    return status::Success;
}

void SimComponent::unconfigureDevice()
{
    // The transfers of the other instances end without events.
    m_device->d->configured = false;
    if (!m_bus)
        return;
    const QList<SimComponent *> all = m_bus->d->components;
    for (SimComponent *other : all) {
        if (other != this && other->present() == m_device.data()) {
            other->stopReads();
            other->stopWrites();
        }
    }
}

QString SimComponent::ErrorText(Status status)
{
    bool fails = false;
    if (SimDevice *opened = present()) {
        fails = opened->d->faults.errorTextFails;
    } else if (m_bus) {
        for (const SimDevice *device : std::as_const(m_bus->d->devices))
            fails = fails || device->d->faults.errorTextFails;
    }
    if (fails)
        throw ComponentError("ErrorText: the component cannot give the text of a status");
    return statusDescription(status);
}

Status SimComponent::fillReadSlots()
{
    schedulePump();
    return status::Success;
}

Status SimComponent::submitWrite(const QByteArray &buffer)
{
    const quint64 id = ++m_nextWriteId;
    m_writes.append(PendingWrite{id, buffer});
    // The transfer finishes on a timer, never inside this call; a delay of
    // -1 stands for a device that never takes the data.
    const int delayMs = m_device->d->faults.writeCompletionDelayMs;
    if (delayMs >= 0)
        QTimer::singleShot(delayMs, Qt::PreciseTimer, this, [this, id] { completeWrite(id); });
    return status::Success;
}

void SimComponent::deviceDataAvailable(SimDevice *device)
{
    if (m_state.isReading() && present() == device)
        schedulePump();
}

void SimComponent::deviceLeft(SimDevice *device)
{
    if (m_device.data() != device || m_session != device->d->session)
        return;
    // Reads still pending end with the device; their completions come, and
    // read data then reports DeviceGone. Writes the device has not taken are
    // cancelled; a completion already posted for one it took still comes.
    if (m_state.isReading()) {
        const int pending = m_state.readBuffers() - m_state.finishedReads();
        for (int i = 0; i < pending; ++i)
            postReadComplete();
    }
    m_state.stopReading();
    m_state.dropFinishedReads();
    m_writes.clear();
}

void SimComponent::pnpEvent(EventId id, const SimDevice *device)
{
    if (!m_state.pnpEnabled())
        return;
    auto object = std::make_shared<EventObject>();
    object->devicePath = device->devicePath();
    postEvent(id, object);
}

void SimComponent::schedulePump()
{
    if (m_pumpScheduled)
        return;
    m_pumpScheduled = true;
    QMetaObject::invokeMethod(
        this, [this] { pump(); }, Qt::QueuedConnection);
}

// Finishes the pending reads that have something to finish with: an
// injected error, or a packet the device has queued on IN 0x81.
void SimComponent::pump()
{
    m_pumpScheduled = false;
    SimDevice *device = present();
    if (!m_state.isReading() || !device || !device->d->configured || !m_state.isIn())
        return;
    SimDevice::Impl *dev = device->d;
    // Every read slot not holding a finished read is pending on the device.
    while (m_state.readSlotFree(0)) {
        if (dev->faults.readErrors > 0) {
            --dev->faults.readErrors;
            m_state.readFailed(dev->faults.readErrorStatus);
            postReadComplete();
            continue;
        }
        if (dev->inPackets.isEmpty())
            break;
        QByteArray packet = dev->inPackets.takeFirst();
        const int size = m_state.readSize();
        if (packet.size() > size) {
            dev->inPackets.prepend(packet.mid(size));
            packet.truncate(size);
        }
        m_state.readSucceeded(packet);
        postReadComplete();
    }
}

void SimComponent::completeWrite(quint64 id)
{
    const auto it = std::find_if(m_writes.begin(), m_writes.end(),
                                 [id](const PendingWrite &write) { return write.id == id; });
    if (it == m_writes.end())
        return; // aborted meanwhile
    const QByteArray data = it->data;
    m_writes.erase(it);
    SimDevice *device = present();
    if (!device)
        return;
    // The completion is queued before the device acts on the data, so it
    // reaches the host ahead of whatever the data makes the device do.
    postWriteComplete();
    device->d->deliver(m_state.endpoint(), data);
}

} // namespace usbio
