#include "station/DeviceWatch.h"

#include "generations/GenerationTable.h"
#include "usbio/Backend.h"
#include "usbio/Component.h"
#include "usbio/devicemodel/VemoIdentity.h"

namespace station {

DeviceWatch::DeviceWatch(QObject *parent) : QObject(parent) {}

DeviceWatch::~DeviceWatch() = default;

bool DeviceWatch::start(QString *error)
{
    m_component = usbio::createComponent();
    if (!m_component) {
        *error = QStringLiteral("the USB backend is not there (no component)");
        return false;
    }
    const QString guid = QString::fromLatin1(usbio::kDeviceInterfaceGuid);
    const usbio::Status status = m_component->EnablePnPNotification(guid);
    if (status != usbio::status::Success) {
        *error = QStringLiteral("no plug-and-play from the USB backend: %1")
                     .arg(m_component->ErrorText(status));
        return false;
    }
    connect(m_component.get(), &usbio::Component::eventRaised, this,
            [this](usbio::EventId id, const usbio::EventObjectRef &) {
                if (id == usbio::EventId::PnPAddNotification ||
                    id == usbio::EventId::PnPRemoveNotification)
                    rescan();
            });
    rescan();
    return true;
}

void DeviceWatch::rescan()
{
    if (!m_component)
        return;
    QList<Device> devices;
    const int count =
        m_component->EnumerateDevices(QString::fromLatin1(usbio::kDeviceInterfaceGuid));
    for (int i = 0; i < count; ++i) {
        usbio::DeviceDescription description;
        // One that left meanwhile is not there.
        if (m_component->DescribeDevice(i, description) != usbio::status::Success)
            continue;
        const generations::Descriptor *generation =
            generations::table().byProductId(description.productId);
        Device device;
        device.path = description.busPath;
        device.generation =
            generation ? generation->name
                       : QStringLiteral("%1").arg(description.productId, 4, 16, QLatin1Char('0'));
        device.serial = description.serialNumber;
        device.firmware = usbio::releaseText(description.release);
        devices.append(device);
    }
    if (devices == m_devices)
        return;
    m_devices = devices;
    Q_EMIT devicesChanged(m_devices);
}

} // namespace station
