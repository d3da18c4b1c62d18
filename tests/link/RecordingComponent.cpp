#include "tests/link/RecordingComponent.h"

QStringList CallJournal::callsOf(QChar role) const
{
    QStringList mine;
    for (const QString &call : calls) {
        if (call.startsWith(role))
            mine << call;
    }
    return mine;
}

int CallJournal::count(const QString &prefix) const
{
    int n = 0;
    for (const QString &call : calls) {
        if (call.startsWith(prefix))
            ++n;
    }
    return n;
}

RecordingComponent::RecordingComponent(std::unique_ptr<usbio::Component> inner,
                                       std::shared_ptr<CallJournal> journal)
    : m_inner(std::move(inner)), m_journal(std::move(journal))
{
    static const char roles[] = {'R', 'C', 'F'};
    m_role = QChar(roles[m_journal->created++ % 3]);
    m_journal->components << this;
    connect(
        m_inner.get(), &usbio::Component::eventRaised, this,
        [this](usbio::EventId id, const usbio::EventObjectRef &object) { forward(id, object); });
}

void RecordingComponent::forward(usbio::EventId id, const usbio::EventObjectRef &object)
{
    if (id == usbio::EventId::WriteComplete && m_journal->swallowWriteCompletions.value(m_role))
        return;
    Q_EMIT eventRaised(id, object);
}

void RecordingComponent::note(const QString &call)
{
    const QString entry = QString(m_role) + QLatin1Char(':') + call;
    ++m_journal->tally[entry.left(entry.indexOf(QLatin1Char('(')))];
    m_journal->calls << entry;
}

std::optional<usbio::Status> RecordingComponent::takeForced(const char *operation)
{
    const QString key = QString(m_role) + QLatin1Char(':') + QLatin1String(operation);
    auto it = m_journal->forced.find(key);
    if (it == m_journal->forced.end())
        return std::nullopt;
    const usbio::Status status = it->status;
    if (it->times > 0 && --it->times == 0)
        m_journal->forced.erase(it);
    return status;
}

usbio::Status RecordingComponent::result(const char *operation, usbio::Status real)
{
    return takeForced(operation).value_or(real);
}

int RecordingComponent::EnumerateDevices(const QString &interfaceGuid)
{
    note(QStringLiteral("EnumerateDevices(%1)").arg(interfaceGuid));
    return m_inner->EnumerateDevices(interfaceGuid);
}

usbio::Status RecordingComponent::DescribeDevice(int index, usbio::DeviceDescription &description)
{
    note(QStringLiteral("DescribeDevice(%1)").arg(index));
    return result("DescribeDevice", m_inner->DescribeDevice(index, description));
}

usbio::Status RecordingComponent::OpenDevice(int index)
{
    note(QStringLiteral("OpenDevice(%1)").arg(index));
    return result("OpenDevice", m_inner->OpenDevice(index));
}

void RecordingComponent::CloseDevice()
{
    note(QStringLiteral("CloseDevice"));
    m_inner->CloseDevice();
}

usbio::Status RecordingComponent::GetDriverInfo(usbio::DriverInfo &info)
{
    note(QStringLiteral("GetDriverInfo"));
    return result("GetDriverInfo", m_inner->GetDriverInfo(info));
}

usbio::Status RecordingComponent::GetDeviceAddress(usbio::DeviceAddress &address)
{
    note(QStringLiteral("GetDeviceAddress"));
    return result("GetDeviceAddress", m_inner->GetDeviceAddress(address));
}

void RecordingComponent::SetDeviceParameter(int value)
{
    note(QStringLiteral("SetDeviceParameter(%1)").arg(value));
    m_inner->SetDeviceParameter(value);
}

usbio::Status RecordingComponent::AddInterface(int interfaceNumber, int alternateSetting,
                                               int maximumTransferSize)
{
    note(QStringLiteral("AddInterface(%1,%2,%3)")
             .arg(interfaceNumber)
             .arg(alternateSetting)
             .arg(maximumTransferSize));
    return result("AddInterface",
                  m_inner->AddInterface(interfaceNumber, alternateSetting, maximumTransferSize));
}

void RecordingComponent::DeleteInterfaces()
{
    note(QStringLiteral("DeleteInterfaces"));
    m_inner->DeleteInterfaces();
}

usbio::Status RecordingComponent::SetConfiguration(int configurationIndex)
{
    note(QStringLiteral("SetConfiguration(%1)").arg(configurationIndex));
    return result("SetConfiguration", m_inner->SetConfiguration(configurationIndex));
}

usbio::Status RecordingComponent::UnconfigureDevice()
{
    note(QStringLiteral("UnconfigureDevice"));
    return result("UnconfigureDevice", m_inner->UnconfigureDevice());
}

QString RecordingComponent::ErrorText(usbio::Status status)
{
    note(QStringLiteral("ErrorText(%1)").arg(QString::number(status, 16).toUpper()));
    return m_inner->ErrorText(status);
}

usbio::Status RecordingComponent::Bind(quint8 endpointAddress)
{
    note(QStringLiteral("Bind(%1)").arg(endpointAddress, 2, 16, QLatin1Char('0')));
    return result("Bind", m_inner->Bind(endpointAddress));
}

usbio::Status RecordingComponent::Unbind()
{
    note(QStringLiteral("Unbind"));
    return result("Unbind", m_inner->Unbind());
}

usbio::Status RecordingComponent::StartReading(int sizeOfBuffer, int numberOfBuffers,
                                               int maxErrorCount)
{
    note(QStringLiteral("StartReading(%1,%2,%3)")
             .arg(sizeOfBuffer)
             .arg(numberOfBuffers)
             .arg(maxErrorCount));
    // A forced refusal leaves the inner component untouched, as a refusing
    // component would be.
    if (const auto forced = takeForced("StartReading"))
        return *forced;
    return m_inner->StartReading(sizeOfBuffer, numberOfBuffers, maxErrorCount);
}

usbio::Status RecordingComponent::ReadData(QByteArray &buffer, int &byteCount)
{
    note(QStringLiteral("ReadData"));
    const usbio::Status status = m_inner->ReadData(buffer, byteCount);
    if (!m_journal->forcedReadCounts.isEmpty())
        byteCount = m_journal->forcedReadCounts.takeFirst();
    if (m_journal->staleFill != 0 && status == 0) {
        if (buffer.size() < 16)
            buffer.resize(16);
        for (qsizetype i = qMax(0, byteCount); i < buffer.size(); ++i)
            buffer[i] = m_journal->staleFill;
    }
    return result("ReadData", status);
}

void RecordingComponent::StopReading()
{
    note(QStringLiteral("StopReading"));
    m_inner->StopReading();
}

usbio::Status RecordingComponent::StartWriting(int sizeOfBuffer, int numberOfBuffers,
                                               int maxErrorCount, bool writeStatus)
{
    note(QStringLiteral("StartWriting(%1,%2,%3,%4)")
             .arg(sizeOfBuffer)
             .arg(numberOfBuffers)
             .arg(maxErrorCount)
             .arg(int(writeStatus)));
    // A forced refusal leaves the inner component untouched, as a refusing
    // component would be.
    if (const auto forced = takeForced("StartWriting"))
        return *forced;
    return m_inner->StartWriting(sizeOfBuffer, numberOfBuffers, maxErrorCount, writeStatus);
}

usbio::Status RecordingComponent::WriteData(const QByteArray &buffer, quint32 userTag)
{
    note(QStringLiteral("WriteData(%1,%2)").arg(buffer.size()).arg(userTag));
    // A refused array never reaches the wire.
    if (const auto forced = takeForced("WriteData"))
        return *forced;
    return m_inner->WriteData(buffer, userTag);
}

void RecordingComponent::StopWriting()
{
    note(QStringLiteral("StopWriting"));
    m_inner->StopWriting();
}

usbio::Status RecordingComponent::ResetPipe()
{
    note(QStringLiteral("ResetPipe"));
    return result("ResetPipe", m_inner->ResetPipe());
}

usbio::Status RecordingComponent::AbortPipe()
{
    note(QStringLiteral("AbortPipe"));
    return result("AbortPipe", m_inner->AbortPipe());
}

usbio::Status RecordingComponent::EnablePnPNotification(const QString &interfaceGuid)
{
    note(QStringLiteral("EnablePnPNotification(%1)").arg(interfaceGuid));
    return result("EnablePnPNotification", m_inner->EnablePnPNotification(interfaceGuid));
}
