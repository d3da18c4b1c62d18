#include "dialogue/RunFacts.h"

#include <QCryptographicHash>
#include <QFileInfo>

namespace dialogue {

void RunFacts::noteDevice(const QString &name, const usbio::DeviceDescription &description)
{
    const bool first = !FGeneration && !FBusPath;
    if (!FGeneration && !name.isEmpty())
        FGeneration = name;
    // The loader gives no serial number: the one known stays.
    if (!FSerialNumber && !description.serialNumber.isEmpty())
        FSerialNumber = description.serialNumber;
    if (!FBusPath && !description.busPath.isEmpty())
        FBusPath = description.busPath;
    if (first && description.release != 0)
        FFirmwareBefore = usbio::releaseText(description.release);
}

void RunFacts::noteImage(const QString &path, const QByteArray &bytes)
{
    FImagePath = QFileInfo(path).absoluteFilePath();
    FImageSize = bytes.size();
    FImageSha256 =
        QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

void RunFacts::noteCalibration(const QString &deviation, const QString &date)
{
    FDeviation = deviation;
    FCalibrationDate = date;
}

} // namespace dialogue
