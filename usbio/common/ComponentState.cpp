#include "usbio/common/ComponentState.h"

#include "usbio/devicemodel/VemoIdentity.h"

#include <QUuid>

#include <algorithm>

namespace usbio {

Status ComponentState::FinishedRead::handTo(QByteArray &buffer, int &byteCount) const
{
    if (status != 0)
        return status;
    if (buffer.size() < data.size())
        buffer.resize(data.size());
    std::copy(data.cbegin(), data.cend(), buffer.begin());
    byteCount = int(data.size());
    return status::Success;
}

bool ComponentState::isDriverInterface(const QString &guid)
{
    const QUuid asked = QUuid::fromString(guid);
    return !asked.isNull() && asked == QUuid::fromString(QLatin1String(kDeviceInterfaceGuid));
}

Status ComponentState::checkInterface(int interfaceNumber, int alternateSetting,
                                      int maximumTransferSize) const
{
    if (interfaceNumber != kInterfaceNumber || alternateSetting != 0 || maximumTransferSize <= 0 ||
        m_declaredInterfaces > 0)
        return status::InvalidParameter;
    return status::Success;
}

Status ComponentState::checkConfiguration(int configurationIndex) const
{
    if (configurationIndex != 0)
        return status::InvalidParameter;
    if (m_declaredInterfaces == 0)
        return status::NoInterface;
    return status::Success;
}

Status ComponentState::checkPipe(bool deviceConfigured) const
{
    if (!deviceConfigured)
        return status::NotConfigured;
    if (m_endpoint == 0)
        return status::NotBound;
    return status::Success;
}

Status ComponentState::checkBind(bool deviceConfigured, quint8 endpointAddress) const
{
    if (!deviceConfigured)
        return status::NotConfigured;
    if (m_endpoint != 0)
        return status::AlreadyBound;
    if (endpointAddress != kInEndpoint && endpointAddress != kCommandEndpoint &&
        endpointAddress != kImageEndpoint)
        return status::InvalidParameter;
    return status::Success;
}

Status ComponentState::checkStartReading(int sizeOfBuffer, int numberOfBuffers) const
{
    if (!isIn() || sizeOfBuffer <= 0 || numberOfBuffers <= 0)
        return status::InvalidParameter;
    if (m_reading)
        return status::AlreadyRunning;
    return status::Success;
}

void ComponentState::startReading(int sizeOfBuffer, int numberOfBuffers, int maxErrorCount)
{
    m_reading = true;
    m_readSize = sizeOfBuffer;
    m_readBuffers = numberOfBuffers;
    m_maxReadErrors = maxErrorCount;
    m_readErrors = 0;
    m_finished.clear();
}

bool ComponentState::readSlotFree(int readsInFlight) const
{
    return m_reading && readsInFlight + m_finished.size() < m_readBuffers &&
           (m_maxReadErrors <= 0 || m_readErrors < m_maxReadErrors);
}

void ComponentState::readSucceeded(const QByteArray &data)
{
    m_readErrors = 0;
    m_finished.append(FinishedRead{status::Success, data});
}

void ComponentState::readFailed(Status status)
{
    ++m_readErrors;
    m_finished.append(FinishedRead{status, {}});
}

Status ComponentState::takeFinishedRead(FinishedRead &read)
{
    if (!isIn())
        return status::InvalidParameter;
    if (m_finished.isEmpty())
        return m_reading ? status::NoData : status::NotRunning;
    read = m_finished.takeFirst();
    return status::Success;
}

Status ComponentState::checkStartWriting(int sizeOfBuffer, int numberOfBuffers) const
{
    if (isIn() || sizeOfBuffer <= 0 || numberOfBuffers <= 0)
        return status::InvalidParameter;
    if (m_writing)
        return status::AlreadyRunning;
    return status::Success;
}

void ComponentState::startWriting(int sizeOfBuffer, int numberOfBuffers)
{
    m_writing = true;
    m_writeSize = sizeOfBuffer;
    m_writeBuffers = numberOfBuffers;
}

Status ComponentState::checkWriteData(const QByteArray &buffer, int pendingWrites) const
{
    if (isIn())
        return status::InvalidParameter;
    if (!m_writing)
        return status::NotRunning;
    if (buffer.size() > m_writeSize)
        return status::InvalidParameter;
    if (pendingWrites >= m_writeBuffers)
        return status::Busy;
    return status::Success;
}

Status ComponentState::enablePnP(const QString &interfaceGuid)
{
    if (!isDriverInterface(interfaceGuid)) {
        if (QUuid::fromString(interfaceGuid).isNull())
            return status::InvalidParameter;
        return status::Success;
    }
    m_pnpEnabled = true;
    return status::Success;
}

} // namespace usbio
