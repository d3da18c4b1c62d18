#include "dialogue/ProductionCommandLine.h"

#include "dialogue/DeviceText.h"

namespace dialogue {

ProductionCommandLine ProductionCommandLine::parse(const QStringList &arguments)
{
    ProductionCommandLine line;
    if (arguments.isEmpty())
        return line;

    const QString first = arguments.first().toUpper();
    // Only an argument that begins with "/SERIAL" is a serial number: a
    // firmware path such as "lot7/serial4.bin" is a file.
    if (first.startsWith(QLatin1String("/SERIAL")) && first.size() == 16) {
        line.run = Run::Serial;
        line.serialNumber = DeviceText::encode(first.mid(7, 9));
        return line;
    }
    line.run = Run::Update;
    line.firmwareFile = arguments.first();
    line.calibrate =
        arguments.size() > 1 && arguments.at(1).toUpper() == QLatin1String("/CALIBRATE");
    return line;
}

QByteArray ProductionCommandLine::calibrationDate(const QDate &today)
{
    return QString::asprintf("%02d-%02d-%02d", today.year() % 100, today.month(), today.day())
        .toLatin1();
}

} // namespace dialogue
