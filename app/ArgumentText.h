#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The program's arguments as text. An argument is bytes; the program names
// files by text, which becomes those bytes again only when they are text in
// the locale's encoding. Bytes that are not would name another file (every
// undecodable byte turns into U+FFFD, and back into three other bytes), so
// such an argument is refused, never used.
class ArgumentText
{
public:
    // The arguments, argument 0 (the program) included; on an argument that
    // is not text, an empty list and error set to one line naming it.
    static QStringList decode(int argc, const char *const argv[], QString *error);
    // Whether the bytes come back unchanged from their text.
    static bool isText(const QByteArray &bytes);
    // The bytes readable in a message: printable ASCII as it is, every
    // other byte as \xHH.
    static QString escaped(const QByteArray &bytes);
};
