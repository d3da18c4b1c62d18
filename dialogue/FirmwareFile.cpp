#include "dialogue/FirmwareFile.h"

#include "dialogue/Generations.h"
#include "files/RegularFile.h"

#include <QDir>
#include <QFile>

namespace dialogue {

bool FirmwareFile::isInstaller(const QString &fileName)
{
    // Only ASCII letters change case: ".EXE" in any mix of cases.
    return fileName.right(4).toLatin1().toUpper() == ".EXE";
}

QString FirmwareFile::imagePath(const QString &tempDirectory, const QString &deviceName)
{
    QString path = tempDirectory;
    if (!path.endsWith(QDir::separator()))
        path += QDir::separator();
    return path + generationFor(deviceName).imageFileName;
}

QString FirmwareFile::unusableImageText(const QString &file, const QString &what)
{
    using files::RegularFile;
    RegularFile::Problem problem = RegularFile::Problem::None;
    RegularFile::checkForReading(file, RegularFile::FirmwareImageLimit, &problem);
    if (problem == RegularFile::Problem::NotRegular)
        return QStringLiteral("%1 is not a regular file: %2").arg(what, file);
    if (problem == RegularFile::Problem::TooLarge)
        return QStringLiteral("%1 is larger than %2: %3")
            .arg(what, RegularFile::sizeText(RegularFile::FirmwareImageLimit), file);
    QFile image(file);
    if (problem != RegularFile::Problem::None || !image.open(QIODevice::ReadOnly))
        return QStringLiteral("%1 cannot be read: %2").arg(what, file);
    if (image.size() == 0)
        return QStringLiteral("%1 is empty: %2").arg(what, file);
    return QString();
}

} // namespace dialogue
