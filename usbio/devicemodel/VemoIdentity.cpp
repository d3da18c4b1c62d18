#include "usbio/devicemodel/VemoIdentity.h"

#include <QList>

namespace usbio {

namespace {

void appendWord(QByteArray &bytes, quint16 word)
{
    bytes.append(char(word & 0xFF));
    bytes.append(char(word >> 8));
}

void appendBulkEndpoint(QByteArray &bytes, quint8 address)
{
    bytes.append(char(7));    // bLength
    bytes.append(char(0x05)); // ENDPOINT
    bytes.append(char(address));
    bytes.append(char(0x02)); // bulk
    appendWord(bytes, kMaxPacketSize);
    bytes.append(char(0)); // bInterval
}

} // namespace

const generations::Descriptor &descriptor(Generation generation)
{
    const generations::GenerationTable &table = generations::table();
    const int index = int(generation);
    return index >= 0 && index < table.size() ? table.rows().at(index) : table.first();
}

quint16 productId(Generation generation)
{
    return descriptor(generation).productId;
}

std::optional<Generation> generationOfProduct(quint16 product)
{
    const int index = generations::table().indexOfProduct(product);
    if (index < 0)
        return std::nullopt;
    return Generation(index);
}

QByteArray generationName(Generation generation)
{
    return descriptor(generation).name.toLatin1();
}

quint16 releaseOfVersion(const QByteArray &version)
{
    const QList<QByteArray> parts = version.split('.');
    if (parts.size() != 2)
        return 0;
    bool majorOk = false, minorOk = false;
    const int major = parts.at(0).toInt(&majorOk);
    const int minor = parts.at(1).toInt(&minorOk);
    if (!majorOk || !minorOk || major < 0 || major > 99 || minor < 0 || minor > 99)
        return 0;
    const auto bcd = [](int value) { return quint16(((value / 10) << 4) | (value % 10)); };
    return quint16(bcd(major) << 8 | bcd(minor));
}

QByteArray deviceDescriptors(Generation generation, quint16 release, quint8 serialIndex)
{
    QByteArray bytes;
    // Device: USB 2.0, class per interface, control packets of 64 bytes,
    // at most a serial-number string, one configuration.
    bytes.append(char(18));
    bytes.append(char(0x01));
    appendWord(bytes, 0x0200);
    bytes.append(3, char(0)); // class, subclass, protocol
    bytes.append(char(64));
    appendWord(bytes, kVendorId);
    appendWord(bytes, productId(generation));
    appendWord(bytes, release); // bcdDevice
    bytes.append(2, char(0));   // iManufacturer, iProduct
    bytes.append(char(serialIndex));
    bytes.append(char(1));

    // Configuration 1: bus powered, 100 mA, one vendor-specific interface
    // with the three bulk endpoints.
    constexpr quint16 kTotalLength = 9 + 9 + 3 * 7;
    bytes.append(char(9));
    bytes.append(char(0x02));
    appendWord(bytes, kTotalLength);
    bytes.append(char(1));    // bNumInterfaces
    bytes.append(char(1));    // bConfigurationValue
    bytes.append(char(0));    // iConfiguration
    bytes.append(char(0x80)); // bmAttributes
    bytes.append(char(50));   // bMaxPower, 2 mA units

    bytes.append(char(9));
    bytes.append(char(0x04));
    bytes.append(char(kInterfaceNumber));
    bytes.append(char(0)); // bAlternateSetting
    bytes.append(char(3)); // bNumEndpoints
    bytes.append(char(0xFF));
    bytes.append(2, char(0)); // subclass, protocol
    bytes.append(char(0));    // iInterface

    appendBulkEndpoint(bytes, kCommandEndpoint);
    appendBulkEndpoint(bytes, kInEndpoint);
    appendBulkEndpoint(bytes, kImageEndpoint);
    return bytes;
}

} // namespace usbio
