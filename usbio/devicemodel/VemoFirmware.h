#pragma once

#include "usbio/devicemodel/DeviceModel.h"
#include "usbio/devicemodel/ImageBuffer.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QTimer>

namespace usbio {

class DeviceModelHost;

// The firmware of a Vemo timing device, with its boot loader.
//
// Normal mode: takes 16-byte command pieces on OUT 0x01 (zero padding
// stripped), assembles commands up to CR, and answers on IN 0x81 in packets
// of at most 16 bytes. The five "USB-Vemo:" commands act without CR as soon
// as their 15 characters are in. Life ticks (a time of day, and "VEMO:"
// status chunks) go out at lifeTickPeriodMs when it is not 0.
//
// "USB-Vemo:BWF!!!" restarts the device into its loader. The loader answers
// the same command, after eraseDelayMs, with "Flash is BLANK" (or announces
// it by itself when it starts, with loaderAnnouncesBlank); then it takes
// the image on OUT 0x02 in 64-byte chunks until a short chunk (or imageSize
// bytes) and restarts into normal mode with the next firmware version.
//
// A device whose flash was erased and never got a whole image (an update
// cut short) starts in its loader at every power-on (flashErased).
class VemoFirmware : public QObject, public DeviceModel
{
    Q_OBJECT
public:
    struct Settings
    {
        QByteArray deviceName = "Vemo2"; // "Vemo", "Vemo2" or "Vemo3"
        QByteArray serialNumber = "000000001";
        QByteArray firmwareVersion = "2.10";
        QByteArray calibrationDate = "00-00-00";
        QByteArray deviation = "+0.000";
        int lifeTickPeriodMs = 0;
        int restartDelayMs = 0;
        int eraseDelayMs = 0;
        int imageSize = 0; // 0: a short chunk ends the image
        // The loader erases and announces "Flash is BLANK" by itself when it
        // starts, without waiting for the loader request to be repeated.
        bool loaderAnnouncesBlank = false;
        // The flash holds no firmware (an update failed after the erase):
        // the device starts in its loader, which gives no serial number,
        // until a whole image is in.
        bool flashErased = false;
        // Scripted answers: command (without CR) -> reply. A reply gets a CR
        // when it has none; an empty reply makes the device stay silent.
        QMap<QByteArray, QByteArray> answers;
    };

    VemoFirmware(const Settings &settings, DeviceModelHost *host, QObject *parent = nullptr);
    ~VemoFirmware() override;

    void powerOn() override;
    void powerOff() override;
    void receive(quint8 endpoint, const QByteArray &bytes) override;

    const Settings &settings() const { return m_settings; }
    bool inLoader() const { return m_loader; }
    // The loader is erasing the flash: "Flash is BLANK" follows after
    // eraseDelayMs.
    bool erasing() const { return m_loaderState == LoaderState::Erasing; }
    QByteArray serialNumber() const { return m_settings.serialNumber; }
    QByteArray firmwareVersion() const { return m_settings.firmwareVersion; }
    QByteArray calibrationDate() const { return m_settings.calibrationDate; }
    QByteArray deviation() const { return m_settings.deviation; }
    // What the device's descriptors give as it runs now (while it is off,
    // as it will start): bcdDevice (the firmware's version, or the loader's
    // 1.00) and the serial-number string, which the loader does not give
    // (empty).
    quint16 release() const;
    QByteArray serialString() const;
    // What "DTP" commands sent to the printer channel.
    QList<QByteArray> printerLines() const { return m_printerLines; }
    // The image under way in the loader (bytes taken so far).
    QByteArray imageInProgress() const { return m_image.bytes(); }

    // Sends text on IN 0x81, cut into packets of at most 16 bytes.
    void send(const QByteArray &text);

    // The firmware version after an update: the last number one higher
    // ("2.10" -> "2.11", "1.9" -> "1.10").
    static QByteArray nextVersion(const QByteArray &version);
    // True for the five 15-character USB-interface commands.
    static bool isUsbCommand(const QByteArray &command);

private:
    enum class LoaderState
    {
        Idle,      // waiting for the erase request
        Erasing,   // "Flash is BLANK" follows after the erase delay
        Receiving, // taking the image on OUT 0x02
    };

    void takeCommandBytes(const QByteArray &bytes);
    void dispatch(const QByteArray &command);
    void normalCommand(const QByteArray &command);
    void operatorCommand(const QByteArray &command);
    void loaderCommand(const QByteArray &command);
    // Erases the flash; "Flash is BLANK" follows after eraseDelayMs.
    void erase();
    void takeImageChunk(const QByteArray &chunk);
    void lifeTick();
    // The loader runs now, or will at the next power-on while off.
    bool loaderInDescriptors() const;
    QByteArray versionLine() const;

    Settings m_settings;
    DeviceModelHost *m_host;
    bool m_loader = false;
    bool m_powered = false;
    bool m_enterLoader = false; // the next power-on starts the loader
    bool m_flashValid = true;   // false from an erase until a whole image is in
    LoaderState m_loaderState = LoaderState::Idle;
    QByteArray m_commandLine;
    ImageBuffer m_image;
    QMap<QByteArray, QByteArray> m_values; // operator settings by command prefix
    QList<QByteArray> m_printerLines;
    QTimer m_lifeTimer;
    int m_ticks = 0;
    // Bumped at power-off, so timers started before it do nothing.
    quint64 m_epoch = 0;
    quint64 m_erases = 0; // the latest erase is the one that answers
};

} // namespace usbio
