#include "app/ArgumentText.h"

#include <QFile>

QStringList ArgumentText::decode(int argc, const char *const argv[], QString *error)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        const QByteArray bytes(argv[i]);
        // The program's own path names no file the program opens.
        if (i > 0 && !isText(bytes)) {
            *error = QStringLiteral("vemotool: argument %1 is not text in the locale's encoding, "
                                    "so no file can be named by it: '%2'")
                         .arg(i)
                         .arg(escaped(bytes));
            return QStringList();
        }
        arguments << QFile::decodeName(bytes);
    }
    return arguments;
}

bool ArgumentText::isText(const QByteArray &bytes)
{
    return QFile::encodeName(QFile::decodeName(bytes)) == bytes;
}

QString ArgumentText::escaped(const QByteArray &bytes)
{
    QString text;
    for (const char c : bytes) {
        const uchar byte = uchar(c);
        if (byte >= 0x20 && byte < 0x7f)
            text += QLatin1Char(c);
        else
            text += QStringLiteral("\\x") +
                    QString::number(byte, 16).toUpper().rightJustified(2, QLatin1Char('0'));
    }
    return text;
}
