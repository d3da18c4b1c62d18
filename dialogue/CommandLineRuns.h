#pragma once

#include "dialogue/EndKind.h"
#include "dialogue/ProductionCommandLine.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace dialogue {

class DeviceDialogue;
class WindowPort;

// The production runs, started at the end of start-up with the command
// line: the serial run, and the unattended update with or without the
// calibration steps before it. They work with the one device listed, or,
// when the run was told one (DeviceChoice), with that one among any others.
class CommandLineRuns
{
public:
    explicit CommandLineRuns(DeviceDialogue &dialogue);

    // arguments: those after the program path.
    void Dispatch(const QStringList &arguments);

    // What the last dispatch ran, for whoever watches the run.
    const ProductionCommandLine &LastRun() const { return FLastRun; }
    // The serial run's write reached the device.
    bool SerialWritten() const { return FSerialWritten; }
    // The serial run had its one device open (so a write that failed is the
    // device's, not a missing device).
    bool SerialDeviceOpen() const { return FSerialDeviceOpen; }

private:
    void SerialRun(const QByteArray &serialNumber);
    void CalibrationSteps();
    // The device the run was told (--device) selected in the list; when it
    // is not attached (or the serial number names several), the run is
    // refused with a line naming what is attached.
    bool SelectNamedDevice();
    // Why an image file cannot be loaded (empty, unreadable); empty when it
    // can, and for an installer. The image read is noted for the record.
    QString UnusableImage(const QString &file);
    // The device the run works with, as the list describes it, noted for
    // the record.
    void NoteChosenDevice();
    // A box with the error icon, then the request to end the program.
    void Refuse(EndKind kind, const QString &text);

    DeviceDialogue &FDialogue;
    WindowPort &FWindow;
    ProductionCommandLine FLastRun;
    bool FSerialWritten = false;
    bool FSerialDeviceOpen = false;
};

} // namespace dialogue
