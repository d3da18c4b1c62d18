#pragma once

#include "usbio/Component.h"

#include <QByteArray>
#include <QString>

namespace dialogue {

class WindowPort;

// The firmware update, one state machine driven by the window's handlers:
// the Update button asks the device to restart into its loader; the device
// leaves the bus and comes back (the plug-and-play handlers close and
// re-open it, the restart reminder runs while it is away); the loader
// request is repeated until the loader reports "Flash is BLANK"; an
// installer is run to leave the image if the file is one; the image is
// streamed by the link's file transfer and its progress shown; an
// unattended run ends the program at the first 100 %.
class FirmwareUpdate
{
public:
    explicit FirmwareUpdate(WindowPort &window) : FWindow(window) {}

    void UpdateClick();
    void BWFTimerTimer();
    void RestartVemoTimerTimer();
    void SendFirmwareFile();
    void TransferProgress(int percent);
    // The transfer ended before all of the image was handed over.
    void TransferFailed(const QByteArray &fileName, qint64 sent, qint64 size, usbio::Status reason);

    // "vemo2.exe" in any letter case: an installer to run first.
    static bool isInstaller(const QString &fileName);
    // Where an installer leaves the image for a device name.
    static QString imagePath(const QString &tempDirectory, const QString &deviceName);
    // The installer's one argument.
    static constexpr const char *InstallerArgument = " /auto";

private:
    // Back to rest after the transfer ended or could not start: nothing runs.
    void EndTransfer();

    WindowPort &FWindow;
};

} // namespace dialogue
