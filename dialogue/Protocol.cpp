#include "dialogue/Protocol.h"

namespace dialogue::protocol {

QByteArray serialWrite(const QByteArray &serialNumber)
{
    return QByteArrayLiteral("DEVNR") + serialNumber + CR;
}

QByteArray calibrationDateWrite(const QByteArray &date)
{
    return QByteArrayLiteral("ABGL") + date + CR;
}

bool holdsBlank(const QByteArray &chunk)
{
    return chunk.contains("BLANK");
}

bool holdsLoaderReady(const QByteArray &chunk)
{
    return chunk.contains("Flash is BLANK");
}

bool isLifeTick(const QByteArray &chunk)
{
    if (chunk.startsWith("VEMO:"))
        return true;
    return chunk.size() >= 9 && chunk.at(2) == ':' && chunk.at(5) == ':' && chunk.at(8) == '.';
}

bool isSerialReply(const QByteArray &line)
{
    return line.startsWith("DEVNR");
}

bool serialReplyAccepted(const QByteArray &line)
{
    return line.size() == 15 || (line.size() == 14 && line.at(13) != CR);
}

QByteArray serialOf(const QByteArray &line)
{
    return line.mid(5, 9);
}

bool isCalibrationReply(const QByteArray &line)
{
    return line.startsWith("ABGL") && line.size() >= 12 && line.size() <= 25;
}

QByteArray calibrationDateOf(const QByteArray &line)
{
    return line.mid(4, 8);
}

QByteArray deviationOf(const QByteArray &line)
{
    return line.mid(13, 11);
}

} // namespace dialogue::protocol
