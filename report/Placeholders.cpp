#include "report/Placeholders.h"

#include "report/ReportError.h"

namespace report {

namespace {

// Calls part(text) for the text between placeholders and name(n) for each one.
template <class Text, class Name> void scan(const QString &line, Text text, Name name)
{
    int from = 0;
    for (;;) {
        const int open = line.indexOf(QLatin1Char('['), from);
        if (open < 0) {
            text(line.mid(from));
            return;
        }
        const int close = line.indexOf(QLatin1Char(']'), open + 1);
        if (close < 0)
            throw ReportError(QStringLiteral("\"[\" without \"]\" in \"%1\"").arg(line));
        const QString n = line.mid(open + 1, close - open - 1).trimmed();
        if (n.isEmpty())
            throw ReportError(QStringLiteral("empty placeholder in \"%1\"").arg(line));
        text(line.mid(from, open - from));
        name(n);
        from = close + 1;
    }
}

} // namespace

QStringList Placeholders::names(const QString &line)
{
    QStringList found;
    scan(
        line, [](const QString &) {}, [&](const QString &n) { found << n; });
    return found;
}

QString Placeholders::substitute(const QString &line, const QHash<QString, QString> &values)
{
    QString result;
    scan(
        line, [&](const QString &text) { result += text; },
        [&](const QString &n) {
            const auto it = values.constFind(n);
            if (it == values.constEnd())
                throw ReportError(QStringLiteral("unknown variable [%1]").arg(n));
            result += *it;
        });
    return result;
}

} // namespace report
