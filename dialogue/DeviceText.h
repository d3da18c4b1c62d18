#pragma once

#include <QByteArray>
#include <QString>

namespace dialogue {

// The devices speak 8-bit text in the Windows-1252 code page: one byte is one
// character. These conversions keep that one-to-one mapping, so a line shown
// or printed holds exactly the characters the device sent.
class DeviceText
{
public:
    // Every byte becomes one character; 0x80-0x9F take their Windows-1252
    // meaning (the five bytes the code page leaves undefined keep their C1
    // control character). A zero byte is dropped: it is never shown.
    static QString decode(const QByteArray &bytes);
    // The reverse for text typed by the operator: characters outside the
    // code page become "?".
    static QByteArray encode(const QString &text);
};

} // namespace dialogue
