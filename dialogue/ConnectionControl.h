#pragma once

#include <QString>

namespace dialogue {

class WindowPort;

// The window's work with one device: opening the selected device (the named
// one, when the run was told which) and preparing the window for its
// generation, closing it, following it as it leaves and joins the bus
// (re-opening it by itself while an update runs, where it left), and the
// driver line with its warning for an old driver. Plug-and-play events of
// other devices leave an open device alone.
class ConnectionControl
{
public:
    explicit ConnectionControl(WindowPort &window) : FWindow(window) {}

    void OpenClick();
    void CloseClick();
    void PnPRemoveNotification();
    void PnPAddNotification();
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
    // Another device came back where the updated one left: it is not
    // opened; an unattended update ends (and is not loaded into it).
    void RefuseOtherDevice(const QString &line);
    // Starts reading on the newly opened device, retrying with a pipe reset.
    void StartReading();
    void PrepareForGeneration(const QString &deviceName);

    WindowPort &FWindow;
};

} // namespace dialogue
