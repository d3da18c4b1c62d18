#include "dialogue/DeviceText.h"

namespace dialogue {

namespace {

// Windows-1252 bytes 0x80-0x9F; 0 marks the five bytes the code page leaves
// undefined, which map to the C1 control character of the same value.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

char16_t characterOf(unsigned char byte)
{
    if (byte >= 0x80 && byte <= 0x9F && kHighControls[byte - 0x80] != 0)
        return kHighControls[byte - 0x80];
    return char16_t(byte);
}

} // namespace

QString DeviceText::decode(const QByteArray &bytes)
{
    QString text;
    text.reserve(bytes.size());
    for (char byte : bytes) {
        if (byte != '\0')
            text.append(QChar(characterOf(static_cast<unsigned char>(byte))));
    }
    return text;
}

QByteArray DeviceText::encode(const QString &text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (QChar character : text) {
        const char16_t code = character.unicode();
        char byte = '?';
        if (code < 0x80 || (code >= 0xA0 && code <= 0xFF)) {
            byte = char(code);
        } else {
            for (int i = 0; i < 32; ++i) {
                if (characterOf(static_cast<unsigned char>(0x80 + i)) == code) {
                    byte = char(0x80 + i);
                    break;
                }
            }
        }
        bytes.append(byte);
    }
    return bytes;
}

} // namespace dialogue
