#pragma once

#include "usbio/Component.h"
#include "usbio/devicemodel/VemoIdentity.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

namespace registry {
class KeyStore;
}

namespace usbio {

class SimConfig;
class SimDevice;

// What a simulated device is and how fast it answers.
struct SimDeviceSettings
{
    // Where the device sits on the bus, as a listing names it (its id in a
    // configuration file); "device<N>" when empty, the first N that no
    // other device of the bus has.
    QString id;
    Generation generation = Generation::Vemo2;
    QByteArray serialNumber = "000000001"; // 9 characters
    QByteArray firmwareVersion = "2.10";
    QByteArray calibrationDate = "00-00-00"; // 8 characters, as "ABGL" stores it
    QByteArray deviation = "+0.000";         // up to 11 characters
    // Instance id under the generation's Enum\USB key; derived from the
    // serial number when empty.
    QString instanceId;
    int lifeTickPeriodMs = 0; // 0: no life ticks
    int restartDelayMs = 0;   // time off the bus when the device restarts
    int eraseDelayMs = 0;     // loader: time until "Flash is BLANK"
    int imageSize = 0;        // loader: bytes of a full image; 0: a short chunk ends it
    // loader: erases and sends "Flash is BLANK" by itself when it starts
    bool loaderAnnouncesBlank = false;
    // What the device runs when it comes onto the bus: its firmware, or
    // its loader over an erased flash, as an update that failed after the
    // erase leaves it (no serial number, "USB-Vemo:BWF!!!" erases without
    // a restart); it stays in the loader until a whole image is in.
    enum class Boot
    {
        Firmware,
        Loader,
    };
    Boot bootsInto = Boot::Firmware;
    // Scripted answers: command (without CR) -> reply; a CR is added when
    // the reply has none, an empty reply makes the device stay silent.
    QMap<QByteArray, QByteArray> answers;
    // What the device leaves behind for a script or a test to check:
    // every whole image the loader takes, saved into this folder, one file
    // per image named "<name>-<sequence>.bin" (none when empty) ...
    QString imageFolder;
    // ... and a JSON file with its state (serial number, calibration date,
    // firmware version, loader or not), rewritten whenever that changes
    // (none when empty). Both are written aside and renamed into place.
    QString stateFile;
    // The device's name in those files; the instance id when empty.
    QString name;
    // How many bytes of the chunks that reach OUT 0x02 the device keeps for
    // receivedChunks(); later chunks are only counted (not read from a
    // configuration file).
    qint64 chunkRecordBytes = 16 * 1024 * 1024;
};

// Component failures a test or a configuration file can inject. Statuses of
// 0 mean "no fault".
struct SimFaults
{
    Status openStatus = 0;
    Status declareStatus = 0; // AddInterface
    Status selectStatus = 0;  // SetConfiguration
    Status bindStatus = 0;
    Status resetPipeStatus = 0;
    Status startWritingStatus = 0;
    Status writeDataStatus = 0;
    int startReadingFailures = 0; // the next N StartReading calls are refused
    Status startReadingStatus = status::TransferFailed;
    int readErrors = 0; // the next N finished reads report an error
    Status readErrorStatus = status::TransferFailed;
    // Delay of a write completion in ms; -1: the completion never comes.
    int writeCompletionDelayMs = 0;
    bool errorTextFails = false; // ErrorText raises ComponentError
    DriverInfo driverInfo{0x0210, 0x0250, 1234, 0};
};

// The simulated bus: virtual Vemo devices, and the "sim" backend of
// components that reach them. Devices appear in attach order. Attached
// devices are published into the key store the way the Windows driver does.
class SimBus : public QObject
{
    Q_OBJECT
public:
    // store: where devices are published; the default store when null.
    explicit SimBus(registry::KeyStore *store = nullptr, QObject *parent = nullptr);
    ~SimBus() override; // unregisters the backend it installed

    // Registers this bus as the "sim" backend and selects it.
    void install();

    // A new device, on the bus at once (PnP arrival, key store updated).
    SimDevice *attach(const SimDeviceSettings &settings = {});
    // Puts a detached device of this bus back, at the end of the order, with
    // its firmware as it was.
    void attach(SimDevice *device);
    // Takes the device off the bus for good (PnP removal). The object stays
    // with the bus, records and all, until the bus goes.
    void detach(SimDevice *device);
    // The bus number the devices report; every simulated device is on it.
    static constexpr int BusNumber = 1;

    // Attached devices in attach order, restarting ones included.
    QList<SimDevice *> devices() const;

    // Faults of the bus itself.
    Status pnpEnableStatus = 0; // EnablePnPNotification refuses with this
    // Whether the "sim" backend is there at all; false makes it "not
    // registered" (install() then registers nothing, and withdraws it when
    // this bus had installed it).
    void setComponentRegistered(bool registered);
    bool componentRegistered() const;

    // Reads devices, answers, timings and faults from a JSON file and
    // attaches its devices. On failure returns false with a readable error
    // and attaches nothing.
    bool loadConfig(const QString &path, QString *error = nullptr);
    // The same for a configuration read and checked before; its timeline
    // starts now.
    void applyConfig(const SimConfig &config);

    // Every component instance created from this bus, alive or not, counted.
    int componentsCreated() const;

private:
    struct Impl;
    Impl *d;
    friend class SimDevice;
    friend class SimComponent;
};

} // namespace usbio
