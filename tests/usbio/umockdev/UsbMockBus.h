#pragma once

#include "usbio/devicemodel/VemoFirmware.h"
#include "usbio/devicemodel/VemoIdentity.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class UsbMockDevice;
struct _UMockdevTestbed;

// A umockdev testbed holding Vemo devices on USB bus 1, for libusb to find
// as it finds real ones. Only usable inside umockdev-wrapper.
class UsbMockBus : public QObject
{
    Q_OBJECT
public:
    UsbMockBus();
    ~UsbMockBus() override;

    // Whether the process runs under umockdev-wrapper; otherwise why not.
    static bool available(QString *why = nullptr);

    // A new device on port port of the root hub, plugged in at once.
    UsbMockDevice *add(usbio::Generation generation, int port,
                       const usbio::VemoFirmware::Settings &settings = {});
    // The same on port port of the hub at hubPort of the root hub (see
    // addHub): the kernel names it "1-<hubPort>.<port>".
    UsbMockDevice *addBehindHub(usbio::Generation generation, int hubPort, int port,
                                const usbio::VemoFirmware::Settings &settings = {});
    // A hub on port hubPort of the root hub (only listed, nothing to open).
    void addHub(int hubPort);
    QList<UsbMockDevice *> devices() const;
    // A device of another product (no handler behind it: only listed).
    void addOtherProduct(quint16 vendorId, quint16 productId, int port);

    _UMockdevTestbed *testbed() const { return m_testbed; }
    // Addresses go up with every plug-in, as on a real bus.
    int nextAddress() { return ++m_lastAddress; }
    // Puts a full-speed device into the testbed as the kernel names it
    // ("1-2", "1-1.3": its ports on bus 1), at address, with descriptors
    // and the serial-number string the kernel read (none when empty). Only
    // an openable one has a node (and the usb driver bound); the others are
    // only listed.
    void addToTestbed(const QString &name, int address, const QByteArray &descriptors,
                      bool openable, const QByteArray &serial = {});

private:
    _UMockdevTestbed *m_testbed;
    std::vector<std::unique_ptr<UsbMockDevice>> m_devices;
    int m_lastAddress = 1; // the root hub's
};
