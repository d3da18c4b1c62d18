#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <memory>

namespace usbio {
class Component;
}

namespace station {

// A device as the station sees it, from its descriptors: nothing is opened
// or claimed, so the runs that drive the devices are never in its way.
struct Device
{
    QString path;       // the bus path: the socket it is plugged into
    QString generation; // the generation table's name ("Vemo2")
    QString serial;     // empty: none (a device in its loader gives none)
    QString firmware;   // bcdDevice, "2.10" (the loader's "1.00")

    bool operator==(const Device &other) const
    {
        return path == other.path && generation == other.generation && serial == other.serial &&
               firmware == other.firmware;
    }
};

// The Vemo devices on the bus, kept current by plug-and-play: one component
// instance of the selected backend with its plug-and-play events on; every
// arrival or removal reads the list again. No timer: between two events the
// watch costs nothing.
class DeviceWatch : public QObject
{
    Q_OBJECT
public:
    explicit DeviceWatch(QObject *parent = nullptr);
    ~DeviceWatch() override;

    // Starts watching; false with why when the backend gives no component
    // or no plug-and-play.
    bool start(QString *error);
    // The devices attached now, in the bus's order.
    const QList<Device> &devices() const { return m_devices; }
    // Reads the list again (as an event does).
    void rescan();

Q_SIGNALS:
    // The list changed: a device came, left, or gives other descriptors.
    void devicesChanged(const QList<station::Device> &devices);

private:
    std::unique_ptr<usbio::Component> m_component;
    QList<Device> m_devices;
};

} // namespace station
