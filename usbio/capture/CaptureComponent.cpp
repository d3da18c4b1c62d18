#include "usbio/capture/CaptureComponent.h"

#include "usbio/capture/CaptureFile.h"

namespace usbio {

namespace {

using Event = UsbmonPacket::Event;

// The standard requests the component's operations stand for.
constexpr quint8 kToDevice = 0x00;   // bmRequestType: host to device, standard, device
constexpr quint8 kToEndpoint = 0x02; // bmRequestType: host to device, standard, endpoint
constexpr quint8 kClearFeature = 0x01;
constexpr quint8 kSetConfiguration = 0x09;
constexpr quint16 kEndpointHalt = 0x00;

// Whether a request the operation stands for went to the device: it
// succeeded, or the device or the bus failed it. Every other status is a
// refusal before anything was sent.
bool reachedTheDevice(Status result)
{
    return result == status::Success || result == status::TransferFailed ||
           result == status::UsbError;
}

} // namespace

CaptureComponent::CaptureComponent(std::unique_ptr<Component> inner,
                                   std::shared_ptr<CaptureFile> file, QObject *parent)
    : Component(parent), m_inner(std::move(inner)), m_file(std::move(file))
{
    // Delivered from the event loop; passed on at once, in the same order.
    connect(m_inner.get(), &Component::eventRaised, this,
            [this](EventId id, const EventObjectRef &object) { innerEvent(id, object); });
}

CaptureComponent::~CaptureComponent()
{
    // The inner component ends its transfers as it goes.
    endTransfers();
}

void CaptureComponent::innerEvent(EventId id, const EventObjectRef &object)
{
    // What the handlers do with the event (take the read and start the
    // next, hand over the next chunk) goes out with its packet, at once.
    const CaptureFile::Batch batch(*m_file);
    if (id == EventId::WriteComplete && !m_writes.isEmpty()) {
        // Writes on a pipe complete in the order they were queued.
        const PendingWrite write = m_writes.takeFirst();
        UsbmonPacket done = packet(Event::Complete, m_endpoint, write.urbId);
        done.length = write.length;
        record(done);
    }
    Q_EMIT eventRaised(id, object);
}

Status CaptureComponent::seen(Status status)
{
    if (status == status::DeviceGone)
        m_gone = true;
    return status;
}

UsbmonPacket CaptureComponent::packet(Event event, quint8 endpoint, quint64 urbId) const
{
    UsbmonPacket p;
    p.urbId = urbId;
    p.event = event;
    // Every pipe of the device is a bulk pipe; endpoint 0 carries the
    // standard requests.
    p.transferType = (endpoint & 0x7F) == 0 ? UsbmonPacket::TransferType::Control
                                            : UsbmonPacket::TransferType::Bulk;
    p.endpoint = endpoint;
    p.bus = quint16(m_address.bus);
    p.device = quint8(m_address.address);
    p.status = event == Event::Submit ? UsbmonPacket::inProgress() : 0;
    return p;
}

void CaptureComponent::record(UsbmonPacket &p)
{
    m_file->write(p);
}

void CaptureComponent::submitRead()
{
    const quint64 id = m_file->nextUrbId();
    UsbmonPacket submit = packet(Event::Submit, m_endpoint, id);
    submit.length = quint32(m_readSize);
    record(submit);
    m_reads.append(id);
}

void CaptureComponent::completeRead(qint32 status, const QByteArray &data)
{
    // A read the capture did not see submitted (the backend kept one
    // pending across a refused reset, say) is submitted here first.
    if (m_reads.isEmpty())
        submitRead();
    UsbmonPacket done = packet(Event::Complete, m_endpoint, m_reads.takeFirst());
    done.status = status;
    done.length = quint32(data.size());
    done.data = data;
    record(done);
}

void CaptureComponent::controlRequest(quint8 requestType, quint8 request, quint16 value,
                                      quint16 index, Status result)
{
    const quint64 id = m_file->nextUrbId();
    if (!reachedTheDevice(result)) {
        UsbmonPacket refused = packet(Event::Error, 0x00, id);
        refused.status = UsbmonPacket::errnoOf(result);
        record(refused);
        return;
    }
    UsbmonPacket submit = packet(Event::Submit, 0x00, id);
    submit.hasSetup = true;
    submit.setup = {requestType,
                    request,
                    quint8(value & 0xFF),
                    quint8(value >> 8),
                    quint8(index & 0xFF),
                    quint8(index >> 8),
                    0,
                    0};
    record(submit);
    UsbmonPacket done = packet(Event::Complete, 0x00, id);
    done.status = UsbmonPacket::errnoOf(result);
    record(done);
}

qint32 CaptureComponent::endedStatus() const
{
    return UsbmonPacket::errnoOf(m_gone ? status::DeviceGone : status::Cancelled);
}

void CaptureComponent::endReads()
{
    const qint32 status = endedStatus();
    while (!m_reads.isEmpty()) {
        UsbmonPacket done = packet(Event::Complete, m_endpoint, m_reads.takeFirst());
        done.status = status;
        record(done);
    }
}

void CaptureComponent::endWrites()
{
    const qint32 status = endedStatus();
    while (!m_writes.isEmpty()) {
        UsbmonPacket done = packet(Event::Complete, m_endpoint, m_writes.takeFirst().urbId);
        done.status = status;
        record(done);
    }
}

void CaptureComponent::endTransfers()
{
    endReads();
    endWrites();
}

bool CaptureComponent::readRefillAllowed() const
{
    return m_reading && (m_maxReadErrors <= 0 || m_readErrors < m_maxReadErrors);
}

int CaptureComponent::EnumerateDevices(const QString &interfaceGuid)
{
    return m_inner->EnumerateDevices(interfaceGuid);
}

Status CaptureComponent::OpenDevice(int index)
{
    // A second open replaces the handle, and ends what ran on it.
    endTransfers();
    m_reading = false;
    m_endpoint = 0;
    m_open = false;
    m_gone = false;
    m_address = DeviceAddress{};
    const Status status = m_inner->OpenDevice(index);
    if (status == status::Success) {
        m_open = true;
        if (m_inner->GetDeviceAddress(m_address) != status::Success)
            m_address = DeviceAddress{};
    }
    return status;
}

Status CaptureComponent::DescribeDevice(int index, DeviceDescription &description)
{
    // No transfer: the descriptors are read from the host's copy.
    return m_inner->DescribeDevice(index, description);
}

void CaptureComponent::CloseDevice()
{
    m_inner->CloseDevice();
    endTransfers();
    m_reading = false;
    m_endpoint = 0;
    m_open = false;
}

Status CaptureComponent::GetDriverInfo(DriverInfo &info)
{
    return m_inner->GetDriverInfo(info);
}

Status CaptureComponent::GetDeviceAddress(DeviceAddress &address)
{
    return m_inner->GetDeviceAddress(address);
}

void CaptureComponent::SetDeviceParameter(int value)
{
    m_inner->SetDeviceParameter(value);
}

Status CaptureComponent::AddInterface(int interfaceNumber, int alternateSetting,
                                      int maximumTransferSize)
{
    return seen(m_inner->AddInterface(interfaceNumber, alternateSetting, maximumTransferSize));
}

void CaptureComponent::DeleteInterfaces()
{
    m_inner->DeleteInterfaces();
}

Status CaptureComponent::SetConfiguration(int configurationIndex)
{
    const Status status = seen(m_inner->SetConfiguration(configurationIndex));
    // Configuration index 0 is the device's first configuration, value 1.
    if (m_open)
        controlRequest(kToDevice, kSetConfiguration, quint16(configurationIndex + 1), 0, status);
    return status;
}

Status CaptureComponent::UnconfigureDevice()
{
    const Status status = seen(m_inner->UnconfigureDevice());
    if (status == status::Success) {
        // The pipe goes with the configuration.
        endTransfers();
        m_reading = false;
        m_endpoint = 0;
    }
    return status;
}

QString CaptureComponent::ErrorText(Status status)
{
    return m_inner->ErrorText(status);
}

Status CaptureComponent::Bind(quint8 endpointAddress)
{
    const Status status = seen(m_inner->Bind(endpointAddress));
    if (status == status::Success)
        m_endpoint = endpointAddress;
    return status;
}

Status CaptureComponent::Unbind()
{
    // The pipe is released whatever the status says.
    const Status status = seen(m_inner->Unbind());
    endTransfers();
    m_reading = false;
    m_endpoint = 0;
    return status;
}

Status CaptureComponent::StartReading(int sizeOfBuffer, int numberOfBuffers, int maxErrorCount)
{
    const Status status = seen(m_inner->StartReading(sizeOfBuffer, numberOfBuffers, maxErrorCount));
    if (status == status::Success) {
        m_reading = true;
        m_readSize = sizeOfBuffer;
        m_readBuffers = numberOfBuffers;
        m_maxReadErrors = maxErrorCount;
        m_readErrors = 0;
        endReads();
        for (int i = 0; i < numberOfBuffers; ++i)
            submitRead();
    }
    return status;
}

Status CaptureComponent::ReadData(QByteArray &buffer, int &byteCount)
{
    const Status status = seen(m_inner->ReadData(buffer, byteCount));
    switch (status) {
    case status::Success:
        m_readErrors = 0;
        completeRead(0, buffer.left(byteCount));
        break;
    case status::TransferFailed: // a read that failed on the bus
        ++m_readErrors;
        completeRead(UsbmonPacket::errnoOf(status), {});
        break;
    case status::DeviceGone: // a read the device's leaving ended
        if (!m_reads.isEmpty())
            completeRead(UsbmonPacket::errnoOf(status), {});
        m_reading = false;
        return status;
    default: // nothing was taken
        return status;
    }
    // The slot is free again: the component starts the next read.
    if (readRefillAllowed())
        submitRead();
    return status;
}

void CaptureComponent::StopReading()
{
    m_inner->StopReading();
    m_reading = false;
    endReads();
}

Status CaptureComponent::StartWriting(int sizeOfBuffer, int numberOfBuffers, int maxErrorCount,
                                      bool writeStatus)
{
    return seen(m_inner->StartWriting(sizeOfBuffer, numberOfBuffers, maxErrorCount, writeStatus));
}

Status CaptureComponent::WriteData(const QByteArray &buffer, quint32 userTag)
{
    const Status status = seen(m_inner->WriteData(buffer, userTag));
    if (!m_open || m_endpoint == 0)
        return status;
    const quint64 id = m_file->nextUrbId();
    if (status != status::Success) {
        UsbmonPacket refused = packet(Event::Error, m_endpoint, id);
        refused.status = UsbmonPacket::errnoOf(status);
        record(refused);
        return status;
    }
    UsbmonPacket submit = packet(Event::Submit, m_endpoint, id);
    submit.length = quint32(buffer.size());
    submit.data = buffer;
    record(submit);
    m_writes.append(PendingWrite{id, submit.length});
    return status;
}

void CaptureComponent::StopWriting()
{
    m_inner->StopWriting();
    endWrites();
}

Status CaptureComponent::ResetPipe()
{
    const Status status = seen(m_inner->ResetPipe());
    if (!m_open || m_endpoint == 0)
        return status;
    if (status == status::Success) {
        // The pipe is idle before its halt is cleared.
        endTransfers();
        m_readErrors = 0;
    }
    controlRequest(kToEndpoint, kClearFeature, kEndpointHalt, m_endpoint, status);
    if (status == status::Success && m_reading) {
        for (int i = 0; i < m_readBuffers; ++i)
            submitRead();
    }
    return status;
}

Status CaptureComponent::AbortPipe()
{
    const Status status = seen(m_inner->AbortPipe());
    if (status != status::Success)
        return status;
    endTransfers();
    if (m_reading) {
        for (int i = 0; i < m_readBuffers; ++i)
            submitRead();
    }
    return status;
}

Status CaptureComponent::EnablePnPNotification(const QString &interfaceGuid)
{
    return m_inner->EnablePnPNotification(interfaceGuid);
}

} // namespace usbio
