#include "report/Expression.h"

#include "report/ReportError.h"

namespace report {

QString Expression::evaluate(const QString &expression)
{
    const QString source = expression.trimmed();
    if (source.isEmpty())
        return QString();
    if (!source.startsWith(QLatin1Char('\'')))
        throw ReportError(
            QStringLiteral("expected a text in single quotes, found \"%1\"").arg(expression));

    QString text;
    int i = 1;
    for (;;) {
        if (i >= source.size())
            throw ReportError(
                QStringLiteral("the text in \"%1\" has no closing quote").arg(expression));
        const QChar c = source.at(i);
        if (c != QLatin1Char('\'')) {
            text.append(c);
            ++i;
        } else if (i + 1 < source.size() && source.at(i + 1) == QLatin1Char('\'')) {
            text.append(c); // a doubled quote stands for one
            i += 2;
        } else {
            break;
        }
    }
    if (i + 1 < source.size())
        throw ReportError(QStringLiteral("unexpected \"%1\" after the text in \"%2\"")
                              .arg(source.mid(i + 1), expression));
    return text;
}

QString Expression::quoted(const QString &text)
{
    QString literal = text;
    literal.replace(QLatin1Char('\''), QStringLiteral("''"));
    return QLatin1Char('\'') + literal + QLatin1Char('\'');
}

} // namespace report
