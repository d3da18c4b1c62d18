#include "platform/BatchHostServices.h"

#include "platform/MessageBoxStyle.h"
#include "platform/TerminalText.h"

#include <QRegularExpression>

#include <cstdio>

namespace platform {

QString BatchHostServices::boxLine(const QString &caption, const QString &text)
{
    static const QRegularExpression breaks(QStringLiteral("[\\r\\n]+"));
    QString line = caption + QStringLiteral(": ") + text;
    line.replace(breaks, QStringLiteral(" "));
    // A device's or a user's text in the box reaches no terminal as a command.
    return TerminalText::escaped(line.trimmed());
}

void BatchHostServices::report(const QString &line)
{
    ++m_boxes;
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
    if (logLine)
        logLine(line);
}

int BatchHostServices::messageBox(const QString &text, const QString &caption, int flags)
{
    report(boxLine(caption, text));
    const MessageBoxStyle style = MessageBoxStyle::fromFlags(flags);
    return style.resultFor(style.defaultButton);
}

bool BatchHostServices::chooseFile(const QString &, QString &)
{
    return false;
}

void BatchHostServices::showException(const QString &message)
{
    report(boxLine(QStringLiteral("Exception"), message));
}

} // namespace platform
