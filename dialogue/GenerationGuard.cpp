#include "dialogue/GenerationGuard.h"

#include "dialogue/DeviceDialogue.h"
#include "dialogue/Generations.h"
#include "dialogue/WindowPort.h"
#include "platform/HostServices.h"
#include "registry/RegTools.h"

#include <QFileInfo>

namespace dialogue {

QString GenerationGuard::OtherGeneration(WindowPort &window, const QString &file, int index,
                                         QString *deviceName)
{
    const QString named = generationNamedBy(file);
    if (named.isEmpty())
        return QString();
    *deviceName = window.regTools().GetDeviceName(index);
    return named == *deviceName ? QString() : named;
}

QString GenerationGuard::Refusal(DeviceDialogue &dialogue, const QString &file, int index)
{
    if (dialogue.runSettings().force)
        return QString();
    QString device;
    const QString named = OtherGeneration(dialogue.window(), file, index, &device);
    if (named.isEmpty())
        return QString();
    return QStringLiteral("Firmware of another generation: %1 is for a %2, the device is a %3 "
                          "(--force loads it)")
        .arg(QFileInfo(file).fileName(), named, device);
}

bool GenerationGuard::OperatorAgrees(DeviceDialogue &dialogue)
{
    platform::HostServices &host = platform::host();
    WindowPort &window = dialogue.window();
    // The update's own checks come first, with their own boxes.
    const QString file = window.fileName();
    // Update works with the one device, or the named one among others.
    const bool oneDevice = dialogue.deviceChoice().hasNamed() || window.deviceItemCount() == 1;
    if (dialogue.update().unattended() || !oneDevice || !host.fileExists(file))
        return true;
    QString device;
    const QString named =
        OtherGeneration(window, file, qMax(0, window.selectedDeviceIndex()), &device);
    if (named.isEmpty())
        return true;
    const int answer = host.messageBox(
        QStringLiteral("%1 is firmware for a %2, but the device is a %3. Load it all the same?")
            .arg(QFileInfo(file).fileName(), named, device),
        QString::fromLatin1(QuestionCaption),
        platform::MB_YESNO | platform::MB_ICONQUESTION | platform::MB_DEFBUTTON2);
    return answer == platform::IDYES;
}

} // namespace dialogue
