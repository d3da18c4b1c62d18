#pragma once

#include <QByteArray>
#include <QString>

namespace dialogue {

class DeviceDialogue;
class WindowPort;

// What the window does with every chunk the device sends: the raw log, the
// beep for a blank flash, the loader's readiness handed to the update,
// hiding life ticks, joining split lines into the message log, the echo
// mode, and the two replies of the production runs (the serial number,
// stored and handed on; the calibration data, printed as a certificate).
class IncomingLines
{
public:
    explicit IncomingLines(DeviceDialogue &dialogue);

    void DeviceDataReceived(const QByteArray &chunk);

private:
    void Echo(const QByteArray &line);
    void SerialReply(const QByteArray &line);
    void CalibrationReply(const QByteArray &line);

    DeviceDialogue &FDialogue;
    WindowPort &FWindow;
};

} // namespace dialogue
