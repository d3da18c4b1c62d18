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
// streamed by the link's file transfer and its progress shown. The update
// is complete when the device has taken the last chunk (not when it was
// handed over): only then does it end, and an unattended run with it.
class FirmwareUpdate
{
public:
    explicit FirmwareUpdate(WindowPort &window) : FWindow(window) {}

    void UpdateClick();
    void BWFTimerTimer();
    void RestartVemoTimerTimer();
    // Prepares the image and starts its transfer; nothing while a transfer
    // runs (that one goes on untouched).
    void SendFirmwareFile();
    // The bar follows what was handed over; it ends nothing.
    void TransferProgress(int percent);
    // The device took the whole image: the update is complete.
    void TransferComplete(const QByteArray &fileName, qint64 size, qint64 elapsedMs);
    // The transfer ended before the device took all of the image; taken: the
    // bytes it took.
    void TransferFailed(const QByteArray &fileName, qint64 taken, qint64 size,
                        usbio::Status reason);

    // Whether the window may close: while a transfer runs the operator is
    // asked first (No, the default, keeps the window and the transfer).
    bool CloseQuery();
    // Lets the chunk in flight finish and closes the device, so a transfer
    // ends with what the device took; its end is reported as any other
    // (TransferComplete when that chunk was the last, else TransferFailed:
    // "transfer failed: stopped at N of M bytes"). Nothing without a transfer.
    void StopTransfer();

    // Why a transfer failed, from the link's reason: "device removed",
    // "chunk refused (statusText)", ... An unattended run ends with
    // "transfer failed: " + this + " at 2048 of 8000 bytes".
    static QString failureCause(usbio::Status reason, const QString &statusText);
    static constexpr const char *CloseQuestion =
        "A firmware update is running. Closing now stops it, and the device stays in its "
        "loader without firmware. Close anyway?";
    static constexpr const char *CloseCaption = "Firmware update running";

    // "vemo2.exe" in any letter case: an installer to run first.
    static bool isInstaller(const QString &fileName);
    // Why an image file cannot be sent, as "WHAT is empty: FILE" (not a
    // regular file, larger than an image can be, cannot be read, empty);
    // empty when it can. Looked at without blocking: a FIFO is not opened.
    static QString unusableImageText(const QString &file, const QString &what);
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
