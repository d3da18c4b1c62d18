#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

namespace dialogue {

class WindowPort;

// What the window does with every chunk the device sends: the raw log, the
// beep for a blank flash, the hand-over to the firmware transfer when the
// loader is ready, hiding life ticks, joining split lines into the message
// log, the echo mode, and the two replies of the production runs (the
// serial number, stored; the calibration data, printed as a certificate).
class IncomingLines
{
public:
    explicit IncomingLines(WindowPort &window) : FWindow(window) {}

    void DeviceDataReceived(const QByteArray &chunk);

    // The one line a "Flash is BLANK" gets while a transfer runs.
    static constexpr const char *BlankIgnored =
        "Flash is BLANK ignored: the firmware transfer is running";

    // Told of every serial-number reply once it is taken: accepted with the
    // number now in the window state, or refused after its box. Set by
    // whoever waits for one (the serial read-back of an unattended run).
    std::function<void(bool accepted, const QByteArray &serial)> OnSerialReply;
    // Told of every line shown in the message log, after its replies were
    // acted on (the check after an unattended update waits for one).
    std::function<void(const QByteArray &line)> OnLineShown;
    // Told of every calibration reply once its certificate was printed
    // (made) or could not be (with the report engine's message).
    std::function<void(bool made, const QString &error)> OnCertificate;

private:
    void Echo(const QByteArray &line);
    void SerialReply(const QByteArray &line);
    void CalibrationReply(const QByteArray &line);

    WindowPort &FWindow;
};

} // namespace dialogue
