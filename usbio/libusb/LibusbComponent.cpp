#include "usbio/libusb/LibusbComponent.h"

#include "usbio/libusb/LibusbBackend.h"
#include "usbio/libusb/LibusbDevice.h"
#include "usbio/libusb/LibusbEventPump.h"
#include "usbio/libusb/LibusbStatus.h"
#include "usbio/libusb/LibusbTransfer.h"

#include <QLoggingCategory>

#include <libusb.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cstdio>

namespace usbio {

namespace {

Q_LOGGING_CATEGORY(lcLibusbComponent, "vemo.usbio.libusb")

// How long a stop waits for libusb to give cancelled transfers back.
constexpr int kDrainMs = 2000;

// The running kernel's version, as "major.minor.patch" numbers.
void kernelVersion(quint32 &majorMinor, quint32 &patch)
{
    majorMinor = 0;
    patch = 0;
    utsname system{};
    if (uname(&system) != 0)
        return;
    unsigned major = 0, minor = 0, level = 0;
    const int parsed = std::sscanf(system.release, "%u.%u.%u", &major, &minor, &level);
    if (parsed >= 2)
        majorMinor = (std::min(major, 255u) << 8) | std::min(minor, 255u);
    if (parsed >= 3)
        patch = level;
}

} // namespace

LibusbComponent::LibusbComponent(LibusbBackend *backend, QObject *parent)
    : ComponentBase(parent), m_backend(backend)
{
    if (backend)
        backend->addComponent(this);
}

LibusbComponent::~LibusbComponent()
{
    CloseDevice();
    if (m_backend)
        m_backend->removeComponent(this);
}

Status LibusbComponent::checkOpen() const
{
    if (!m_device)
        return status::NotOpened;
    return m_device->gone() ? status::DeviceGone : status::Success;
}

bool LibusbComponent::deviceConfigured() const
{
    return m_device->configured();
}

int LibusbComponent::EnumerateDevices(const QString &interfaceGuid)
{
    m_list.clear();
    if (!m_backend || !ComponentState::isDriverInterface(interfaceGuid))
        return 0;
    m_list = m_backend->devices();
    return int(m_list.size());
}

Status LibusbComponent::OpenDevice(int index)
{
    // A second open replaces the handle this instance holds.
    CloseDevice();
    if (index < 0 || index >= m_list.size())
        return status::NoSuchDevice;
    const std::shared_ptr<LibusbDevice> device = m_list.at(index);
    if (device->gone())
        return status::DeviceGone;
    if (const Status status = device->acquire(this))
        return status;
    m_device = device;
    return status::Success;
}

Status LibusbComponent::DescribeDevice(int index, DeviceDescription &description)
{
    if (index < 0 || index >= m_list.size())
        return status::NoSuchDevice;
    const std::shared_ptr<LibusbDevice> &device = m_list.at(index);
    if (device->gone() || !m_backend)
        return status::DeviceGone;
    description = device->description(m_backend->usbDevicesFolder);
    return status::Success;
}

void LibusbComponent::releaseDevice()
{
    if (m_device) {
        m_device->release(this);
        m_device.reset();
    }
}

Status LibusbComponent::GetDriverInfo(DriverInfo &info)
{
    const libusb_version *library = libusb_get_version();
    info.apiVersion =
        (std::min<quint32>(library->major, 255) << 8) | std::min<quint32>(library->minor, 255);
    kernelVersion(info.driverVersion, info.driverBuild);
    info.flags = libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) ? 1 : 0;
    return status::Success;
}

Status LibusbComponent::GetDeviceAddress(DeviceAddress &address)
{
    if (const Status open = checkOpen())
        return open;
    address = m_device->address();
    return status::Success;
}

Status LibusbComponent::configureDevice()
{
    return m_device->configure();
}

void LibusbComponent::unconfigureDevice()
{
    // The configuration is the device's: every holder's transfers end with
    // it. The other holders keep their pipe and find out at their next
    // operation (NotConfigured).
    m_device->unconfigure();
    const QList<LibusbComponent *> holders = m_device->holders();
    for (LibusbComponent *holder : holders) {
        if (holder != this)
            holder->deviceConfigurationDropped(m_device.get());
    }
}

QString LibusbComponent::ErrorText(Status status)
{
    return statusDescription(status);
}

Status LibusbComponent::fillReadSlots()
{
    while (m_state.readSlotFree(int(m_reads.size())) && m_device && !m_device->gone() &&
           m_device->handle()) {
        LibusbTransfer *transfer =
            LibusbTransfer::read(m_device->handle(), m_state.endpoint(), m_state.readSize(),
                                 [this](LibusbTransfer *done) { readFinished(done); });
        if (const Status status = submit(transfer, m_reads))
            return status;
    }
    return status::Success;
}

void LibusbComponent::readFinished(LibusbTransfer *transfer)
{
    m_reads.removeOne(transfer);
    const std::unique_ptr<LibusbTransfer> owned(transfer);
    if (transfer->deviceLeft) {
        // Each read pending when the device left ends with one completion;
        // read data then gives DeviceGone.
        postReadComplete();
        return;
    }
    if (transfer->cancelRequested())
        return; // stopped, reset or aborted: nothing is delivered
    switch (transfer->status()) {
    case LIBUSB_TRANSFER_COMPLETED:
        m_state.readSucceeded(transfer->received());
        break;
    case LIBUSB_TRANSFER_CANCELLED:
        return;
    case LIBUSB_TRANSFER_NO_DEVICE:
        // Gone before the backend heard of it: no read is started again (a
        // new session counts its failures afresh).
        m_state.readFailed(status::DeviceGone);
        m_state.stopReading();
        break;
    default: // stall, overflow, bus error
        m_state.readFailed(status::TransferFailed);
        break;
    }
    postReadComplete();
}

Status LibusbComponent::submitWrite(const QByteArray &buffer)
{
    LibusbTransfer *transfer =
        LibusbTransfer::write(m_device->handle(), m_state.endpoint(), buffer,
                              [this](LibusbTransfer *done) { writeFinished(done); });
    return submit(transfer, m_writes);
}

void LibusbComponent::writeFinished(LibusbTransfer *transfer)
{
    m_writes.removeOne(transfer);
    const std::unique_ptr<LibusbTransfer> owned(transfer);
    const int result = transfer->status();
    // A write the device took before it left still completes; one that was
    // cancelled by the caller never does.
    if (transfer->cancelRequested() && !transfer->deviceLeft)
        return;
    switch (result) {
    case LIBUSB_TRANSFER_COMPLETED:
        postWriteComplete();
        break;
    case LIBUSB_TRANSFER_CANCELLED:
    case LIBUSB_TRANSFER_NO_DEVICE:
        break;
    default:
        // Refused by the device (a stall) or lost on the bus: the data did
        // not arrive. No completion; the pipe stays halted until reset.
        haltPipe();
        qCWarning(lcLibusbComponent, "write on endpoint 0x%02X failed: %s", m_state.endpoint(),
                  libusb_error_name(result));
        break;
    }
}

Status LibusbComponent::clearHalt()
{
    if (const int error = libusb_clear_halt(m_device->handle(), m_state.endpoint()))
        return statusOfLibusbError(error);
    return status::Success;
}

Status LibusbComponent::submit(LibusbTransfer *transfer, QList<LibusbTransfer *> &transfers)
{
    if (const int error = transfer->submit()) {
        delete transfer;
        return statusOfLibusbError(error);
    }
    transfers.append(transfer);
    return status::Success;
}

void LibusbComponent::cancelAndDrain(QList<LibusbTransfer *> &transfers)
{
    if (transfers.isEmpty())
        return;
    for (LibusbTransfer *transfer : std::as_const(transfers))
        transfer->cancel();
    LibusbEventPump *pump = m_backend ? m_backend->pump() : nullptr;
    if (pump && pump->handleUntil([&transfers] { return transfers.isEmpty(); }, kDrainMs))
        return;
    // libusb did not give them back in time: they free themselves when it
    // does, and call nobody.
    qCWarning(lcLibusbComponent) << transfers.size()
                                 << "cancelled transfers not given back in time";
    for (LibusbTransfer *transfer : std::as_const(transfers))
        transfer->disown();
    transfers.clear();
}

void LibusbComponent::deviceLeft(const LibusbDevice *device)
{
    if (m_device.get() != device)
        return;
    m_state.stopReading();
    m_state.stopWriting();
    m_state.dropFinishedReads();
    for (LibusbTransfer *transfer : std::as_const(m_reads))
        transfer->deviceLeft = true;
    for (LibusbTransfer *transfer : std::as_const(m_writes))
        transfer->deviceLeft = true;
    // Cancelled so that the handle can be closed; each pending read still
    // ends with its completion, a write the device took still completes.
    cancelAndDrain(m_reads);
    cancelAndDrain(m_writes);
}

void LibusbComponent::deviceConfigurationDropped(const LibusbDevice *device)
{
    if (m_device.get() != device)
        return;
    m_state.stopReading();
    m_state.stopWriting();
    stopReads();
    stopWrites();
}

void LibusbComponent::pnpEvent(EventId id, const QString &devicePath)
{
    if (!m_state.pnpEnabled())
        return;
    auto object = std::make_shared<EventObject>();
    object->devicePath = devicePath;
    postEvent(id, object);
}

void LibusbComponent::backendGone()
{
    CloseDevice();
    m_list.clear();
    m_backend = nullptr;
}

} // namespace usbio
