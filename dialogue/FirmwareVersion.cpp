#include "dialogue/FirmwareVersion.h"

#include <QRegularExpression>
#include <QStringList>

namespace dialogue {

namespace {

// The digits and dots of a version, without its V; empty for no version.
QString numberOf(const QString &text)
{
    // \z: "$" would take a line break at the end for none.
    static const QRegularExpression version(QStringLiteral("\\A[Vv]?([0-9]+(?:\\.[0-9]+)*)\\z"));
    if (text.size() > FirmwareVersion::MaxLength)
        return QString();
    const QRegularExpressionMatch match = version.match(text);
    return match.hasMatch() ? match.captured(1) : QString();
}

} // namespace

bool FirmwareVersion::isVersion(const QString &text)
{
    return !numberOf(text).isEmpty();
}

bool FirmwareVersion::answerHolds(const QString &answer, const QString &version)
{
    const QString wanted = numberOf(version);
    if (wanted.isEmpty())
        return false;
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    const QStringList words = answer.split(blanks, Qt::SkipEmptyParts);
    for (const QString &word : words) {
        if (numberOf(word) == wanted)
            return true;
    }
    return false;
}

} // namespace dialogue
