#pragma once

#include <QString>

namespace dialogue {

class WindowPort;

// The window's work with one device: opening the selected device and
// preparing the window for its generation, closing it, following it as it
// leaves and joins the bus (re-opening it by itself while an update runs),
// and the driver line with its warning for an old driver.
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
    // Starts reading on the newly opened device, retrying with a pipe reset.
    void StartReading();
    void PrepareForGeneration(const QString &deviceName);

    WindowPort &FWindow;
};

} // namespace dialogue
