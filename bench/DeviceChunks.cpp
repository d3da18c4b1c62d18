#include "bench/DeviceChunks.h"

namespace {

QByteArray twoDigits(qint64 value)
{
    return QByteArray::number(value % 100).rightJustified(2, '0');
}

QByteArray timeOfDay(qint64 n)
{
    const qint64 centis = n * 7;
    return twoDigits(centis / 360000) + ':' + twoDigits(centis / 6000) + ':' +
           twoDigits(centis / 100) + '.' + twoDigits(centis) + '\r';
}

} // namespace

QByteArray DeviceChunks::chunk(qint64 n)
{
    switch (n % Period) {
    case 0:
    case 6:
        return timeOfDay(n);
    case 1:
        return QByteArrayLiteral("Vemo2 firmware V"); // held for the next
    case 2:
        return QByteArrayLiteral("2.10\r");
    case 3:
        return QByteArrayLiteral("OK\r");
    case 4:
        return QByteArrayLiteral("VEMO:RUN BAT OK\r");
    case 5:
        return "SP2W " + QByteArray::number(n % 100000) + '\r';
    default:
        return QByteArrayLiteral("AS 1234 C0\r");
    }
}
