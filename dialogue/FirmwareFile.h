#pragma once

#include <QString>

namespace dialogue {

// What the dialogue asks of a firmware file before it sends anything: is it
// an installer to run first, where does an installer leave its image, and
// can the image be sent at all.
class FirmwareFile
{
public:
    // "vemo2.exe" in any letter case: an installer to run first.
    static bool isInstaller(const QString &fileName);
    // Where an installer leaves the image for a device name.
    static QString imagePath(const QString &tempDirectory, const QString &deviceName);
    // Why an image file cannot be sent, as "WHAT is empty: FILE" (not a
    // regular file, larger than an image can be, cannot be read, empty);
    // empty when it can. Looked at without blocking: a FIFO is not opened.
    static QString unusableImageText(const QString &file, const QString &what);

    // The installer's one argument.
    static constexpr const char *InstallerArgument = " /auto";
};

} // namespace dialogue
