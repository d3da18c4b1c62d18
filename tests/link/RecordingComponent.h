#pragma once

#include "usbio/Component.h"

#include <QHash>
#include <QList>
#include <QPointer>
#include <QStringList>

#include <memory>
#include <optional>

// What every RecordingComponent of a test writes to and reads from: the
// calls in the order they happened, and statuses to report in place of the
// real ones.
class RecordingComponent;

struct CallJournal
{
    // "R:OpenDevice(0)" - role letter (R reader, C command writer, F file
    // writer, by creation order), operation, arguments.
    QStringList calls;
    // Key "R:ResetPipe" (role and operation): a status to report instead of
    // the inner component's, for the next `times` calls (-1: until cleared).
    struct Forced
    {
        usbio::Status status = 0;
        int times = -1;
    };
    QHash<QString, Forced> forced;
    // Write completions of a role that are dropped (never delivered).
    QHash<QChar, bool> swallowWriteCompletions;
    // Byte counts to report from the reader's next read data calls instead
    // of the real one (a read that gave 0 bytes, say).
    QList<int> forcedReadCounts;
    // When not 0: the reader's array is filled with this byte behind the
    // bytes a read gave, as an earlier, longer read would have left it.
    char staleFill = 0;
    int created = 0;
    // The components by creation order (reader, command writer, file writer).
    QList<QPointer<RecordingComponent>> components;

    void force(const QString &key, usbio::Status status, int times = -1)
    {
        forced[key] = {status, times};
    }
    // Calls of one operation of one role ("F:StopWriting"), counted as they
    // come (cheap enough to ask after every chunk of a large transfer).
    QHash<QString, int> tally;
    int tallyOf(const QString &operation) const { return tally.value(operation); }

    QStringList callsOf(QChar role) const;
    // Calls whose text starts with prefix ("F:WriteData").
    int count(const QString &prefix) const;
};

// A component that hands every call to an inner component (the simulated
// one) and writes it down, so the tests see the link's exact order of calls
// and can make any single call of any one of the three objects fail.
class RecordingComponent : public usbio::Component
{
public:
    RecordingComponent(std::unique_ptr<usbio::Component> inner,
                       std::shared_ptr<CallJournal> journal);

    int EnumerateDevices(const QString &interfaceGuid) override;
    usbio::Status OpenDevice(int index) override;
    usbio::Status DescribeDevice(int index, usbio::DeviceDescription &description) override;
    void CloseDevice() override;
    usbio::Status GetDriverInfo(usbio::DriverInfo &info) override;
    usbio::Status GetDeviceAddress(usbio::DeviceAddress &address) override;
    void SetDeviceParameter(int value) override;
    usbio::Status AddInterface(int interfaceNumber, int alternateSetting,
                               int maximumTransferSize) override;
    void DeleteInterfaces() override;
    usbio::Status SetConfiguration(int configurationIndex) override;
    usbio::Status UnconfigureDevice() override;
    QString ErrorText(usbio::Status status) override;
    usbio::Status Bind(quint8 endpointAddress) override;
    usbio::Status Unbind() override;
    usbio::Status StartReading(int sizeOfBuffer, int numberOfBuffers, int maxErrorCount) override;
    usbio::Status ReadData(QByteArray &buffer, int &byteCount) override;
    void StopReading() override;
    usbio::Status StartWriting(int sizeOfBuffer, int numberOfBuffers, int maxErrorCount,
                               bool writeStatus) override;
    usbio::Status WriteData(const QByteArray &buffer, quint32 userTag) override;
    void StopWriting() override;
    usbio::Status ResetPipe() override;
    usbio::Status AbortPipe() override;
    usbio::Status EnablePnPNotification(const QString &interfaceGuid) override;

    QChar role() const { return m_role; }
    // Queues an event as the component would, without anything behind it
    // (a completion that comes late, say).
    void raise(usbio::EventId id) { postEvent(id); }

private:
    void note(const QString &call);
    // The status to report for operation: a forced one, else the real one.
    usbio::Status result(const char *operation, usbio::Status real);
    std::optional<usbio::Status> takeForced(const char *operation);
    void forward(usbio::EventId id, const usbio::EventObjectRef &object);

    std::unique_ptr<usbio::Component> m_inner;
    std::shared_ptr<CallJournal> m_journal;
    QChar m_role;
};
