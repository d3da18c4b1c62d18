#pragma once

#include <QString>

namespace dialogue {

class DeviceDialogue;
class WindowPort;

// The window's work with one device: opening the selected device (the named
// one, when the run was told which) and preparing the window for its
// generation, closing it, the list kept current as devices leave and join
// the bus, and the driver line with its warning for an old driver.
// Plug-and-play events of other devices leave an open device alone. What an
// update does with the device leaving and coming back is the update flow's.
class ConnectionControl
{
public:
    enum class Mode
    {
        Normal, // asks the new firmware's version, the device controls on
        Update, // the device came back in its loader: nothing is asked, the controls stay off
    };

    explicit ConnectionControl(DeviceDialogue &dialogue);

    // Opens the selected device; true when it opened.
    bool OpenClick(Mode mode);
    void CloseClick();
    // A device left: true when it was the open one (or none was open), which
    // is closed now; false when the open device is still there (another's
    // event: the list is rebuilt, nothing else).
    bool PnPRemoveNotification();
    // A device arrived: the number of devices listed now, or -1 when the
    // open device is still there (another's event: only listed).
    int PnPAddNotification();
    void ShowDriverInfo();

    // The driver version text read as a number ("2.10" is 2.1); a text that
    // cannot be read counts as 2.5.
    static double driverVersionNumber(const QString &driver);
    // Drivers older than this get the warning.
    static constexpr double CurrentDriverVersion = 2.5;

    // How often a refused start of reading is retried with a pipe reset.
    static constexpr int ReadStartRetries = 5;

private:
    // A device is open and has not left the bus: an event of another one.
    bool OpenDeviceStillAttached();
    // Starts reading on the newly opened device, retrying with a pipe reset.
    void StartReading();
    void PrepareForGeneration(const QString &deviceName);

    DeviceDialogue &FDialogue;
    WindowPort &FWindow;
};

} // namespace dialogue
