#include "usbio/common/ComponentBase.h"

namespace usbio {

Status ComponentBase::refusal(Step step)
{
    Q_UNUSED(step);
    return status::Success;
}

Status ComponentBase::clearHalt()
{
    return status::Success;
}

Status ComponentBase::checkPipe() const
{
    if (const Status open = checkOpen())
        return open;
    return m_state.checkPipe(deviceConfigured());
}

void ComponentBase::CloseDevice()
{
    // Declarations belong to the handle, like the pipe.
    releasePipe();
    m_state.deleteInterfaces();
    releaseDevice();
}

void ComponentBase::SetDeviceParameter(int value)
{
    m_parameter = value;
}

Status ComponentBase::AddInterface(int interfaceNumber, int alternateSetting,
                                   int maximumTransferSize)
{
    if (const Status open = checkOpen())
        return open;
    if (const Status refused =
            m_state.checkInterface(interfaceNumber, alternateSetting, maximumTransferSize))
        return refused;
    if (const Status refused = refusal(Step::DeclareInterface))
        return refused;
    m_state.declareInterface();
    return status::Success;
}

void ComponentBase::DeleteInterfaces()
{
    m_state.deleteInterfaces();
}

Status ComponentBase::SetConfiguration(int configurationIndex)
{
    if (const Status open = checkOpen())
        return open;
    if (const Status refused = m_state.checkConfiguration(configurationIndex))
        return refused;
    if (const Status refused = refusal(Step::SelectConfiguration))
        return refused;
    return configureDevice();
}

Status ComponentBase::UnconfigureDevice()
{
    if (const Status open = checkOpen())
        return open;
    // Every pipe of the device goes with its configuration: the other
    // instances find out at their next pipe operation (NotConfigured).
    unconfigureDevice();
    releasePipe();
    return status::Success;
}

Status ComponentBase::Bind(quint8 endpointAddress)
{
    if (const Status open = checkOpen())
        return open;
    if (const Status refused = m_state.checkBind(deviceConfigured(), endpointAddress))
        return refused;
    if (const Status refused = refusal(Step::Bind))
        return refused;
    m_state.bind(endpointAddress);
    m_halted = false;
    return status::Success;
}

Status ComponentBase::Unbind()
{
    const Status open = checkOpen();
    const bool wasBound = m_state.isBound();
    releasePipe();
    if (open)
        return open;
    return wasBound ? status::Success : status::NotBound;
}

Status ComponentBase::StartReading(int sizeOfBuffer, int numberOfBuffers, int maxErrorCount)
{
    if (const Status pipe = checkPipe())
        return pipe;
    if (const Status refused = m_state.checkStartReading(sizeOfBuffer, numberOfBuffers))
        return refused;
    if (const Status refused = refusal(Step::StartReading))
        return refused;
    m_state.startReading(sizeOfBuffer, numberOfBuffers, maxErrorCount);
    if (const Status status = fillReadSlots()) {
        // Nothing of the attempt stays behind.
        StopReading();
        return status;
    }
    return status::Success;
}

Status ComponentBase::ReadData(QByteArray &buffer, int &byteCount)
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

void ComponentBase::StopReading()
{
    m_state.stopReading();
    stopReads();
}

Status ComponentBase::StartWriting(int sizeOfBuffer, int numberOfBuffers, int maxErrorCount,
                                   bool writeStatus)
{
    Q_UNUSED(maxErrorCount);
    Q_UNUSED(writeStatus);
    if (const Status pipe = checkPipe())
        return pipe;
    if (const Status refused = m_state.checkStartWriting(sizeOfBuffer, numberOfBuffers))
        return refused;
    if (const Status refused = refusal(Step::StartWriting))
        return refused;
    m_state.startWriting(sizeOfBuffer, numberOfBuffers);
    return status::Success;
}

Status ComponentBase::WriteData(const QByteArray &buffer, quint32 userTag)
{
    Q_UNUSED(userTag);
    if (const Status pipe = checkPipe())
        return pipe;
    if (const Status refused = m_state.checkWriteData(buffer, writesInFlight()))
        return refused;
    if (m_halted)
        return status::TransferFailed;
    if (const Status refused = refusal(Step::WriteData))
        return refused;
    return submitWrite(buffer);
}

void ComponentBase::StopWriting()
{
    m_state.stopWriting();
    stopWrites();
}

Status ComponentBase::ResetPipe()
{
    if (const Status pipe = checkPipe())
        return pipe;
    if (const Status refused = refusal(Step::ResetPipe))
        return refused;
    // The pipe is idle before its halt is cleared.
    if (m_state.isIn()) {
        stopReads();
        m_state.resetReadErrors();
    } else {
        stopWrites();
    }
    if (const Status status = clearHalt())
        return status;
    m_halted = false;
    if (m_state.isIn() && m_state.isReading())
        return fillReadSlots();
    return status::Success;
}

Status ComponentBase::AbortPipe()
{
    if (const Status pipe = checkPipe())
        return pipe;
    if (m_state.isIn()) {
        // Reading goes on: the slots the aborted reads held are filled again.
        stopReads();
        return m_state.isReading() ? fillReadSlots() : status::Success;
    }
    stopWrites();
    return status::Success;
}

Status ComponentBase::EnablePnPNotification(const QString &interfaceGuid)
{
    if (const Status refused = refusal(Step::EnablePnP))
        return refused;
    return m_state.enablePnP(interfaceGuid);
}

void ComponentBase::stopReads()
{
    cancelReads();
    m_state.dropFinishedReads();
    endReadSession();
}

void ComponentBase::stopWrites()
{
    cancelWrites();
    endWriteSession();
}

void ComponentBase::releasePipe()
{
    m_state.stopReading();
    m_state.stopWriting();
    stopReads();
    stopWrites();
    m_state.unbind();
    m_halted = false;
}

} // namespace usbio
