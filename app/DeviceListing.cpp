#include "app/DeviceListing.h"

#include "platform/TerminalText.h"
#include "usbio/Component.h"
#include "usbio/devicemodel/VemoIdentity.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>
#include <optional>

namespace {

QString hex4(quint16 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

} // namespace

QList<DeviceListing::Row> DeviceListing::collect(usbio::Component &component)
{
    QList<Row> rows;
    const int count = component.EnumerateDevices(QString::fromLatin1(usbio::kDeviceInterfaceGuid));
    for (int i = 0; i < count; ++i) {
        usbio::DeviceDescription description;
        if (component.DescribeDevice(i, description) != usbio::status::Success)
            continue;
        Row row;
        row.number = i + 1;
        const std::optional<usbio::Generation> generation =
            usbio::generationOfProduct(description.productId);
        row.generation = generation ? QString::fromLatin1(usbio::generationName(*generation))
                                    : hex4(description.productId);
        row.serial = description.serialNumber;
        row.firmware = usbio::releaseText(description.release);
        row.path = description.busPath;
        row.vendorId = description.vendorId;
        row.productId = description.productId;
        rows.append(row);
    }
    return rows;
}

QString DeviceListing::text(const QList<Row> &rows)
{
    // What a device says of itself is one column each, whatever it holds: a
    // blank, a control character or a serial number of "-" (which stands
    // for none) is quoted.
    using platform::TerminalText;
    QList<QStringList> cells;
    for (const Row &row : rows)
        cells.append({QString::number(row.number), TerminalText::column(row.generation),
                      row.serial.isEmpty() ? QStringLiteral("-") : TerminalText::column(row.serial),
                      TerminalText::column(row.firmware), TerminalText::column(row.path)});
    QList<int> widths(5, 0);
    for (const QStringList &line : std::as_const(cells)) {
        for (int column = 0; column < line.size(); ++column)
            widths[column] = std::max(widths.at(column), int(line.at(column).size()));
    }
    QString out;
    for (const QStringList &line : std::as_const(cells)) {
        QString text;
        for (int column = 0; column < line.size(); ++column) {
            // The path is last: nothing to align after it.
            const bool last = column == line.size() - 1;
            text += last ? line.at(column) : line.at(column).leftJustified(widths.at(column) + 2);
        }
        out += text + QLatin1Char('\n');
    }
    return out;
}

QByteArray DeviceListing::json(const QList<Row> &rows)
{
    QJsonArray array;
    for (const Row &row : rows) {
        QJsonObject object;
        object.insert(QStringLiteral("index"), row.number);
        object.insert(QStringLiteral("generation"), row.generation);
        object.insert(QStringLiteral("serial"),
                      row.serial.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(row.serial));
        object.insert(QStringLiteral("firmware"), row.firmware);
        object.insert(QStringLiteral("path"), row.path);
        object.insert(QStringLiteral("vendorId"), hex4(row.vendorId));
        object.insert(QStringLiteral("productId"), hex4(row.productId));
        array.append(object);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Compact) + '\n';
}
