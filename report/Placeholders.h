#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

namespace report {

// Bracketed placeholders in the text of a report object: "[NAME]" stands for
// the value of the variable NAME. A bracket has no other meaning.
class Placeholders
{
public:
    // The names in line, in order; raises ReportError for a "[" without
    // its "]" or a name that is empty.
    static QStringList names(const QString &line);
    // line with every placeholder replaced by its value. The values are
    // inserted as they are: a bracket inside a value is not read again.
    static QString substitute(const QString &line, const QHash<QString, QString> &values);
};

} // namespace report
