#include "generations/GenerationFiles.h"

#include <QRegularExpression>

namespace generations {

namespace {

QString hex4(quint16 id)
{
    return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0'));
}

QStringList productIds(const GenerationTable &table)
{
    QStringList ids;
    for (const Descriptor &row : table.rows())
        ids << hex4(row.productId);
    return ids;
}

// The text as comment lines of at most 78 characters.
QString comment(const QString &text)
{
    QString lines;
    QString line = QStringLiteral("#");
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (line.size() > 1 && line.size() + 1 + word.size() > 78) {
            lines += line + QLatin1Char('\n');
            line = QStringLiteral("#");
        }
        line += QLatin1Char(' ') + word;
    }
    return lines + line + QLatin1Char('\n');
}

} // namespace

QString udevRule(const GenerationTable &table)
{
    return comment(QStringLiteral("%1 timing devices (USB vendor %2): the user logged in at the "
                                  "seat may open them, so the Vemo service tool can reach them "
                                  "through libusb without root. Numbered below 73 so that the "
                                  "seat rules apply the \"uaccess\" tag. Made by the build from "
                                  "the generation table (generations/GenerationTable.cpp).")
                       .arg(table.namesText(), hex4(kVendorId))) +
           QStringLiteral("SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", "
                          "ATTR{idVendor}==\"%1\", ATTR{idProduct}==\"%2\", TAG+=\"uaccess\"\n")
               .arg(hex4(kVendorId), productIds(table).join(QLatin1Char('|')));
}

QStringList modaliases(const GenerationTable &table)
{
    QStringList aliases;
    for (const Descriptor &row : table.rows())
        aliases << QStringLiteral("usb:v%1p%2d*")
                       .arg(hex4(kVendorId).toUpper(), hex4(row.productId).toUpper());
    return aliases;
}

QString fillTemplate(const QString &text, const GenerationTable &table, QString *error)
{
    static const QRegularExpression marker(QStringLiteral("\\{\\{([^}]*)\\}\\}"));
    static const QRegularExpression aliasLine(QStringLiteral("^([ \\t]*)\\{\\{modaliases\\}\\}$"));
    QStringList lines;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch aliases = aliasLine.match(line);
        if (aliases.hasMatch()) {
            for (const QString &alias : modaliases(table))
                lines << aliases.captured(1) + QStringLiteral("<modalias>") + alias +
                             QStringLiteral("</modalias>");
            continue;
        }
        QString filled;
        qsizetype from = 0;
        for (QRegularExpressionMatchIterator it = marker.globalMatch(line); it.hasNext();) {
            const QRegularExpressionMatch found = it.next();
            const QString name = found.captured(1);
            QString value;
            if (name == QLatin1String("generation-names")) {
                value = table.namesText();
            } else if (name == QLatin1String("product-ids")) {
                value = listText(productIds(table), QStringLiteral(" and "));
            } else {
                if (error)
                    *error = name == QLatin1String("modaliases")
                                 ? QStringLiteral("{{modaliases}} must stand alone on its line")
                                 : QStringLiteral("unknown marker {{%1}}").arg(name);
                return QString();
            }
            filled += line.mid(from, found.capturedStart() - from) + value;
            from = found.capturedEnd();
        }
        lines << filled + line.mid(from);
    }
    if (error)
        error->clear();
    return lines.join(QLatin1Char('\n'));
}

} // namespace generations
