#pragma once

#include "usbio/Component.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace usbio {

// What one component instance keeps whatever its backend: the interface it
// declared, the pipe it bound, the reading session on an IN pipe with its
// finished reads, the writing session on an OUT pipe, and whether it wants
// plug-and-play events. Its checks are the component rules every backend
// makes in the same order; a backend checks its handle first (NotOpened,
// DeviceGone), asks these, and adds its transport's own refusals after them.
// It raises no events and ends no session: that stays with the component.
class ComponentState
{
public:
    // A read that finished and waits for ReadData.
    struct FinishedRead
    {
        Status status = 0;
        QByteArray data;

        // What ReadData gives for it. The bytes go into the caller's array;
        // what lies past them stays as it was, so only byteCount tells
        // where the read ends.
        Status handTo(QByteArray &buffer, int &byteCount) const;
    };

    // Whether guid names the driver interface of the Vemo devices, the only
    // one a component serves (in any spelling QUuid reads).
    static bool isDriverInterface(const QString &guid);

    // Interfaces. The device has one interface with one setting, declared
    // once per handle; configuration 0 needs it.
    Status checkInterface(int interfaceNumber, int alternateSetting, int maximumTransferSize) const;
    void declareInterface() { ++m_declaredInterfaces; }
    void deleteInterfaces() { m_declaredInterfaces = 0; }
    // InvalidParameter, NoInterface or Success.
    Status checkConfiguration(int configurationIndex) const;

    // The pipe. deviceConfigured: whether the open device has its
    // configuration now.
    // NotConfigured, NotBound or Success for a pipe operation.
    Status checkPipe(bool deviceConfigured) const;
    // NotConfigured, AlreadyBound, InvalidParameter (not one of the
    // device's three endpoints) or Success.
    Status checkBind(bool deviceConfigured, quint8 endpointAddress) const;
    void bind(quint8 endpointAddress) { m_endpoint = endpointAddress; }
    void unbind() { m_endpoint = 0; }
    bool isBound() const { return m_endpoint != 0; }
    quint8 endpoint() const { return m_endpoint; }
    bool isIn() const { return m_endpoint & 0x80; }

    // Reading, on a bound pipe.
    // InvalidParameter (an OUT pipe, no buffers), AlreadyRunning or Success.
    Status checkStartReading(int sizeOfBuffer, int numberOfBuffers) const;
    // A new session: no finished read, no failure counted.
    void startReading(int sizeOfBuffer, int numberOfBuffers, int maxErrorCount);
    void stopReading() { m_reading = false; }
    bool isReading() const { return m_reading; }
    int readSize() const { return m_readSize; }
    int readBuffers() const { return m_readBuffers; }
    // Whether another read may start: reading, a slot free beside
    // readsInFlight and the finished reads (a finished read keeps its slot
    // until it is taken), and fewer than maxErrorCount failures in a row.
    bool readSlotFree(int readsInFlight) const;
    // A read gave data: the run of failures ends.
    void readSucceeded(const QByteArray &data);
    // A read failed; it counts towards maxErrorCount.
    void readFailed(Status status);
    void resetReadErrors() { m_readErrors = 0; }
    void dropFinishedReads() { m_finished.clear(); }
    int finishedReads() const { return int(m_finished.size()); }
    // ReadData on a bound pipe: InvalidParameter on an OUT pipe, NoData
    // (reading, nothing finished) or NotRunning; else Success and read is
    // the oldest finished read, whose slot is free now.
    Status takeFinishedRead(FinishedRead &read);

    // Writing, on a bound pipe.
    // InvalidParameter (an IN pipe, no buffers), AlreadyRunning or Success.
    Status checkStartWriting(int sizeOfBuffer, int numberOfBuffers) const;
    void startWriting(int sizeOfBuffer, int numberOfBuffers);
    void stopWriting() { m_writing = false; }
    bool isWriting() const { return m_writing; }
    // WriteData on a bound pipe with pendingWrites not yet completed:
    // InvalidParameter (an IN pipe), NotRunning, InvalidParameter (more
    // than a buffer holds), Busy (every buffer in flight) or Success.
    Status checkWriteData(const QByteArray &buffer, int pendingWrites) const;

    // Plug-and-play. InvalidParameter for what is no guid; another
    // interface's devices never come through a component, so enabling them
    // succeeds and changes nothing.
    Status enablePnP(const QString &interfaceGuid);
    bool pnpEnabled() const { return m_pnpEnabled; }

private:
    int m_declaredInterfaces = 0;
    quint8 m_endpoint = 0; // 0: no pipe bound
    bool m_pnpEnabled = false;

    bool m_reading = false;
    int m_readSize = 0;
    int m_readBuffers = 0;
    int m_maxReadErrors = 0;
    int m_readErrors = 0;
    QList<FinishedRead> m_finished;

    bool m_writing = false;
    int m_writeSize = 0;
    int m_writeBuffers = 0;
};

} // namespace usbio
