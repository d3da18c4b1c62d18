#pragma once

#include "usbio/devicemodel/DeviceModelHost.h"
#include "usbio/devicemodel/VemoFirmware.h"
#include "usbio/devicemodel/VemoIdentity.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

#include <memory>

class UsbMockBus;

// One Vemo on the mocked bus: the device model (the very firmware the
// simulated bus runs) behind a hand-written handler of the usbdevfs ioctls
// that libusb sends to the device node (capabilities, claim and release,
// submit / reap / discard URB, clear halt). Restarts of the firmware take
// the device off the testbed (remove uevent) and add it again at a new
// address (add uevent), as a real device re-enumerates.
//
// Threads: the ioctl handler runs on umockdev's own thread and touches only
// the URB lists and the device's IN queue, under a lock; OUT data reaches
// the firmware on the main thread, where the firmware lives.
//
// Timing, as a real device and host controller have it: a write completes
// when the firmware gets its data (so the host cannot run ahead of the
// firmware by more than a write), and a read pending on the device takes
// the next packet the firmware sends at once (so an answer sent just
// before a restart is in the host's hands, not lost with the device).
class UsbMockDevice : public QObject, public usbio::DeviceModelHost
{
    Q_OBJECT
public:
    // name: where it is plugged in, as the kernel names it ("1-2", "1-1.3").
    UsbMockDevice(UsbMockBus *bus, usbio::Generation generation, const QString &name,
                  const usbio::VemoFirmware::Settings &settings);
    ~UsbMockDevice() override;

    usbio::VemoFirmware &firmware() { return *m_firmware; }
    usbio::Generation generation() const { return m_generation; }
    // "/sys/devices/usb1/1-<port>" (behind a hub "/sys/devices/usb1/1-1/1-1.3")
    // and the current node "/dev/bus/usb/001/<n>".
    QString sysPath() const;
    QString devNode() const;
    // "1-<port>[.<port>]", as the kernel and the backend name the instance.
    QString instanceId() const;
    bool onBus() const;

    // Puts the device on the bus (add uevent) at a new address; takes it off
    // (remove uevent). Both act at once. With holdNode the device node
    // appears only at releaseNode(), later than the device, as when udev is
    // slow.
    void plug(bool holdNode = false);
    void releaseNode();
    void unplug();

    // Faults: the next write on the endpoint stalls, and so does every one
    // after it until the host clears the halt.
    void stallNextWrite(quint8 endpoint);
    // Writes stay in flight (the device does not take them) while held.
    void holdWrites(bool hold);
    // The device takes each write this long after its submission (0: at
    // once); one discarded before never reaches it.
    void setWriteDelayMs(int ms);
    // The next count reads end with a bus error.
    void failNextReads(int count);
    // The next claim of the interface fails with the errno error (EBUSY:
    // another program holds it).
    void failNextClaim(int error);
    // Whether the device node gives an ordinary user write access, as the
    // udev rule grants it; without, only root may open the device.
    void setNodeWritableByUsers(bool writable);

    // What reached the device, as sent.
    QList<QByteArray> pieces() const { return m_pieces; }
    QList<QByteArray> chunks() const { return m_chunks; }
    QList<QByteArray> commands() const { return m_commands; }
    QByteArray image() const { return m_image; }
    // Endpoints whose halt the host cleared, in order.
    QList<quint8> clearedHalts() const;
    // IN URBs submitted on the device over its whole life, and those in
    // flight now.
    int inUrbsSubmitted() const;
    int inUrbsInFlight() const;
    int claims() const;
    // Times the device node was opened (by libusb_open), over its whole life.
    int opens() const;

    // DeviceModelHost
    void sendToHost(const QByteArray &packet) override;
    void restart(int offBusMs) override;
    void commandReceived(const QByteArray &command) override;
    void imageReceived(const QByteArray &image) override;

    // Entry points of the handler's signals, on umockdev's thread.
    static bool handleIoctl(void *plug, void *client);
    static void handleClientGone(void *plug, void *client);
    static void handleClientOpened(void *plug);

Q_SIGNALS:
    void imageArrived(const QByteArray &image);

private:
    struct Plug;
    struct Urb;
    bool ioctl(Plug &plug, void *client);
    void deliver(quint64 session, quint8 endpoint, const QByteArray &bytes);
    // An OUT URB finishes and its data reaches the firmware.
    void take(quint64 session, quint8 endpoint, const QByteArray &bytes, quint64 id);
    // With the lock held: the URB id of the plug-in session, while it is
    // not finished.
    Urb *findTaking(quint64 session, quint64 id);
    // With the lock held: the device's packets (and due read failures) go
    // into the reads pending on its current plug-in, oldest first.
    void serviceReads();
    void finish(Urb &urb);
    void attachNode(Plug &plug);

    UsbMockBus *m_bus;
    usbio::Generation m_generation;
    QString m_name;
    std::unique_ptr<usbio::VemoFirmware> m_firmware;
    QList<QByteArray> m_pieces;
    QList<QByteArray> m_chunks;
    QList<QByteArray> m_commands;
    QByteArray m_image;

    // Shared with the handler thread.
    mutable QMutex m_lock;
    std::vector<std::unique_ptr<Plug>> m_plugs; // every plug-in, the current one last
    quint64 m_session = 0;                      // of the current plug-in
    // The node plug() held aside: where it belongs, where it is, and the
    // plug-in it belongs to (0: none held).
    QString m_heldNode;
    QString m_heldAside;
    quint64 m_heldSession = 0;
    bool m_onBus = false;
    int m_address = 0;
    QList<QByteArray> m_inPackets;
    QList<quint8> m_stallNext;
    bool m_holdWrites = false;
    int m_writeDelayMs = 0;
    int m_failReads = 0;
    quint64 m_finished = 0; // URBs finished over the device's life
    quint64 m_urbIds = 0;
    int m_failClaim = 0;
    QList<quint8> m_halted;
    QList<quint8> m_clearedHalts;
    int m_inSubmitted = 0;
    int m_claims = 0;
    int m_opens = 0;
};
