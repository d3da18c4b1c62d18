#pragma once

#include <QString>

namespace platform {

// Text that goes to a terminal or a line script (standard error, the log
// file, --list), where the program's own words and what it was given or
// told (an option's value, a device's serial number or bus path, a device's
// line) meet: a control character in the latter must neither break a line
// that a script reads as one, nor reach the terminal as a command (an ESC
// sequence), nor shift a column.
class TerminalText
{
public:
    // text with each control character written as an escape: "\n", "\r",
    // "\t", "\e", any other as "\xHH" (up to U+00FF) or "\uHHHH" (the line
    // and paragraph separators). Everything else, backslashes too, stays as
    // it is, so text escaped once is the same escaped again.
    static QString escaped(const QString &text);
    // The same, with the line breaks ("\n") kept: lines of a program's
    // output, or of a log entry that holds several.
    static QString escapedKeepingLines(const QString &text);
    // A value as one column of a text table: as it is when it reads as one
    // column of itself; in single quotes, with "\\", "\'" and the control
    // characters escaped, when it is empty, is "-" (which a table gives for
    // none), or holds a blank, a quote, a backslash or a control character.
    static QString column(const QString &value);

    // Whether c is written as an escape.
    static bool isControl(QChar c);
};

} // namespace platform
