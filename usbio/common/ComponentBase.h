#pragma once

#include "usbio/Component.h"
#include "usbio/common/ComponentState.h"

namespace usbio {

// What every backend's component does the same way: the operations on the
// declared interface, the configuration and the bound pipe, each as the
// component rules check and step it (ComponentState), once. A backend keeps
// the device handle and the transport: it says whether its handle is open
// and the device configured, moves the device's configuration, starts and
// cancels the transfers, and may refuse a step of its own after the rules
// allowed it (the simulated device's injected faults).
//
// Each operation checks in the same order: the handle (NotOpened,
// DeviceGone), the configuration and the pipe (NotConfigured, NotBound), the
// rules (InvalidParameter, AlreadyRunning / NotRunning, Busy), then the
// transport's own refusal. A write the device refused halts the pipe: write
// data refuses with TransferFailed until ResetPipe.
class ComponentBase : public Component
{
    Q_OBJECT
public:
    using Component::Component;

    void CloseDevice() final;
    void SetDeviceParameter(int value) final;
    Status AddInterface(int interfaceNumber, int alternateSetting, int maximumTransferSize) final;
    void DeleteInterfaces() final;
    Status SetConfiguration(int configurationIndex) final;
    Status UnconfigureDevice() final;
    Status Bind(quint8 endpointAddress) final;
    Status Unbind() final;
    Status StartReading(int sizeOfBuffer, int numberOfBuffers, int maxErrorCount) final;
    Status ReadData(QByteArray &buffer, int &byteCount) final;
    void StopReading() final;
    Status StartWriting(int sizeOfBuffer, int numberOfBuffers, int maxErrorCount,
                        bool writeStatus) final;
    Status WriteData(const QByteArray &buffer, quint32 userTag) final;
    void StopWriting() final;
    Status ResetPipe() final;
    Status AbortPipe() final;
    Status EnablePnPNotification(const QString &interfaceGuid) final;

    // For tests: what this instance holds.
    int deviceParameter() const { return m_parameter; }
    quint8 boundEndpoint() const { return m_state.endpoint(); }
    bool isReading() const { return m_state.isReading(); }
    bool isWriting() const { return m_state.isWriting(); }
    int finishedReads() const { return m_state.finishedReads(); }

protected:
    // The steps a backend may refuse on its own once the rules allowed them.
    enum class Step
    {
        DeclareInterface,
        SelectConfiguration,
        Bind,
        StartReading,
        StartWriting,
        WriteData,
        ResetPipe,
        EnablePnP,
    };

    // The handle: NotOpened, DeviceGone or Success.
    virtual Status checkOpen() const = 0;
    // Whether the open device has its configuration now; asked only while
    // the handle is open.
    virtual bool deviceConfigured() const = 0;
    // The transport's own refusal of step; Success by default.
    virtual Status refusal(Step step);
    // Gives the device its configuration, for every instance that opened it.
    virtual Status configureDevice() = 0;
    // Drops the device's configuration: the transfers of every other
    // instance that opened it end without events. This instance's pipe is
    // released after.
    virtual void unconfigureDevice() = 0;
    // Starts reads on the read slots that are free (reading, on the bound IN
    // pipe); the status of a read the transport refused.
    virtual Status fillReadSlots() = 0;
    // Cancels the reads in flight and waits until the transport gave them
    // back; none of them delivers anything.
    virtual void cancelReads() = 0;
    // Hands buffer to the bound OUT pipe as one transfer; its completion is
    // posted once the device took it.
    virtual Status submitWrite(const QByteArray &buffer) = 0;
    virtual int writesInFlight() const = 0;
    // Cancels the writes in flight, as cancelReads.
    virtual void cancelWrites() = 0;
    // Clears a halt of the bound pipe on the device; Success by default.
    virtual Status clearHalt();
    // Releases the device handle (CloseDevice, after the pipe and the
    // declarations are gone).
    virtual void releaseDevice() = 0;

    // Reads in flight and finished reads are gone, and the completions of
    // the reading session posted so far are not delivered.
    void stopReads();
    // Writes in flight are gone, and the completions of the writing session
    // posted so far are not delivered.
    void stopWrites();
    // Stops reading and writing, as above, and unbinds.
    void releasePipe();
    // A write the device refused: the pipe stays halted until ResetPipe.
    void haltPipe() { m_halted = true; }

    // NotOpened, DeviceGone, NotConfigured, NotBound or Success.
    Status checkPipe() const;

    ComponentState m_state;

private:
    int m_parameter = 0;
    bool m_halted = false;
};

} // namespace usbio
