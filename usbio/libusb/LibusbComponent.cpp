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
    : Component(parent), m_backend(backend)
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

Status LibusbComponent::checkPipe() const
{
    if (const Status open = checkOpen())
        return open;
    return m_state.checkPipe(m_device->configured());
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

void LibusbComponent::CloseDevice()
{
    releasePipe();
    m_state.deleteInterfaces();
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

void LibusbComponent::SetDeviceParameter(int value)
{
    m_parameter = value;
}

Status LibusbComponent::AddInterface(int interfaceNumber, int alternateSetting,
                                     int maximumTransferSize)
{
    if (const Status open = checkOpen())
        return open;
    if (const Status refused =
            m_state.checkInterface(interfaceNumber, alternateSetting, maximumTransferSize))
        return refused;
    m_state.declareInterface();
    return status::Success;
}

void LibusbComponent::DeleteInterfaces()
{
    m_state.deleteInterfaces();
}

Status LibusbComponent::SetConfiguration(int configurationIndex)
{
    if (const Status open = checkOpen())
        return open;
    if (const Status refused = m_state.checkConfiguration(configurationIndex))
        return refused;
    return m_device->configure();
}

Status LibusbComponent::UnconfigureDevice()
{
    if (const Status open = checkOpen())
        return open;
    // The configuration is the device's: every holder's transfers end with
    // it. The other holders keep their pipe and find out at their next
    // operation (NotConfigured).
    m_device->unconfigure();
    const QList<LibusbComponent *> holders = m_device->holders();
    for (LibusbComponent *holder : holders) {
        if (holder != this)
            holder->deviceConfigurationDropped(m_device.get());
    }
    releasePipe();
    return status::Success;
}

QString LibusbComponent::ErrorText(Status status)
{
    return statusDescription(status);
}

Status LibusbComponent::Bind(quint8 endpointAddress)
{
    if (const Status open = checkOpen())
        return open;
    if (const Status refused = m_state.checkBind(m_device->configured(), endpointAddress))
        return refused;
    m_state.bind(endpointAddress);
    m_halted = false;
    return status::Success;
}

Status LibusbComponent::Unbind()
{
    const Status open = checkOpen();
    const bool wasBound = m_state.isBound();
    releasePipe();
    if (open)
        return open;
    return wasBound ? status::Success : status::NotBound;
}

Status LibusbComponent::StartReading(int sizeOfBuffer, int numberOfBuffers, int maxErrorCount)
{
    if (const Status pipe = checkPipe())
        return pipe;
    if (const Status refused = m_state.checkStartReading(sizeOfBuffer, numberOfBuffers))
        return refused;
    m_state.startReading(sizeOfBuffer, numberOfBuffers, maxErrorCount);
    if (const Status status = fillReadSlots()) {
        // Nothing of the attempt stays behind.
        StopReading();
        return status;
    }
    return status::Success;
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

Status LibusbComponent::ReadData(QByteArray &buffer, int &byteCount)
{
    byteCount = 0;
    if (const Status pipe = checkPipe())
        return pipe;
    ComponentState::FinishedRead read;
    if (const Status none = m_state.takeFinishedRead(read))
        return none;
    // The read's slot is free again.
    fillReadSlots();
    return read.handTo(buffer, byteCount);
}

void LibusbComponent::StopReading()
{
    m_state.stopReading();
    stopReads();
}

Status LibusbComponent::StartWriting(int sizeOfBuffer, int numberOfBuffers, int maxErrorCount,
                                     bool writeStatus)
{
    Q_UNUSED(maxErrorCount);
    Q_UNUSED(writeStatus);
    if (const Status pipe = checkPipe())
        return pipe;
    if (const Status refused = m_state.checkStartWriting(sizeOfBuffer, numberOfBuffers))
        return refused;
    m_state.startWriting(sizeOfBuffer, numberOfBuffers);
    return status::Success;
}

Status LibusbComponent::WriteData(const QByteArray &buffer, quint32 userTag)
{
    Q_UNUSED(userTag);
    if (const Status pipe = checkPipe())
        return pipe;
    if (const Status refused = m_state.checkWriteData(buffer, int(m_writes.size())))
        return refused;
    if (m_halted)
        return status::TransferFailed;
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
        m_halted = true;
        qCWarning(lcLibusbComponent, "write on endpoint 0x%02X failed: %s", m_state.endpoint(),
                  libusb_error_name(result));
        break;
    }
}

void LibusbComponent::StopWriting()
{
    m_state.stopWriting();
    stopWrites();
}

Status LibusbComponent::ResetPipe()
{
    if (const Status pipe = checkPipe())
        return pipe;
    // libusb wants the pipe idle before its halt is cleared.
    if (m_state.isIn()) {
        stopReads();
        m_state.resetReadErrors();
    } else {
        stopWrites();
    }
    if (const int error = libusb_clear_halt(m_device->handle(), m_state.endpoint()))
        return statusOfLibusbError(error);
    m_halted = false;
    if (m_state.isIn())
        return fillReadSlots();
    return status::Success;
}

Status LibusbComponent::AbortPipe()
{
    if (const Status pipe = checkPipe())
        return pipe;
    if (m_state.isIn()) {
        stopReads();
        return fillReadSlots();
    }
    stopWrites();
    return status::Success;
}

Status LibusbComponent::EnablePnPNotification(const QString &interfaceGuid)
{
    return m_state.enablePnP(interfaceGuid);
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

void LibusbComponent::stopReads()
{
    cancelAndDrain(m_reads);
    m_state.dropFinishedReads();
    endReadSession();
}

void LibusbComponent::stopWrites()
{
    cancelAndDrain(m_writes);
    endWriteSession();
}

void LibusbComponent::releasePipe()
{
    m_state.stopReading();
    m_state.stopWriting();
    stopReads();
    stopWrites();
    m_state.unbind();
    m_halted = false;
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
