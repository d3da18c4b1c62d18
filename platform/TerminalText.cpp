#include "platform/TerminalText.h"

namespace platform {

namespace {

QString escapeOf(QChar c)
{
    switch (c.unicode()) {
    case '\n':
        return QStringLiteral("\\n");
    case '\r':
        return QStringLiteral("\\r");
    case '\t':
        return QStringLiteral("\\t");
    case 0x1b:
        return QStringLiteral("\\e");
    default:
        break;
    }
    if (c.unicode() <= 0xff)
        return QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
    return QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
}

QString escapedExcept(const QString &text, bool keepLines)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (TerminalText::isControl(c) && !(keepLines && c == QLatin1Char('\n')))
            out += escapeOf(c);
        else
            out += c;
    }
    return out;
}

} // namespace

bool TerminalText::isControl(QChar c)
{
    // C0, DEL and C1, and the two separators some readers take for a line
    // break.
    const char16_t u = c.unicode();
    return u < 0x20 || (u >= 0x7f && u <= 0x9f) || u == 0x2028 || u == 0x2029;
}

QString TerminalText::escaped(const QString &text)
{
    for (const QChar c : text) {
        if (isControl(c))
            return escapedExcept(text, false);
    }
    return text;
}

QString TerminalText::escapedKeepingLines(const QString &text)
{
    return escapedExcept(text, true);
}

QString TerminalText::column(const QString &value)
{
    bool plain = !value.isEmpty() && value != QLatin1String("-");
    for (const QChar c : value) {
        if (c.isSpace() || isControl(c) || c == QLatin1Char('\'') || c == QLatin1Char('"') ||
            c == QLatin1Char('\\'))
            plain = false;
    }
    if (plain)
        return value;
    QString out = QStringLiteral("'");
    for (const QChar c : value) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('\''))
            out += QLatin1Char('\\') + QString(c);
        else if (isControl(c))
            out += escapeOf(c);
        else
            out += c;
    }
    return out + QLatin1Char('\'');
}

} // namespace platform
