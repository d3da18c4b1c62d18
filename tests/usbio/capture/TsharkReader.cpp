#include "tests/usbio/capture/TsharkReader.h"

#include <QProcess>
#include <QStandardPaths>

namespace {

const QStringList kFields = {
    "frame.number",        "frame.cap_len",        "usb.urb_id",         "usb.urb_type",
    "usb.transfer_type",   "usb.endpoint_address", "usb.bus_id",         "usb.device_address",
    "usb.urb_status",      "usb.urb_len",          "usb.data_len",       "usb.capdata",
    "usb.request_in",      "usb.bmRequestType",    "usb.setup.bRequest", "usb.bConfigurationValue",
    "usb.setup.wEndpoint",
};

int number(const QString &text)
{
    bool ok = false;
    const int value =
        text.startsWith(QLatin1String("0x")) ? text.mid(2).toInt(&ok, 16) : text.toInt(&ok);
    return ok ? value : -1;
}

} // namespace

QString TsharkReader::Packet::describe() const
{
    QString text = QStringLiteral("%1 %2 0x%3 status=%4 length=%5")
                       .arg(QLatin1Char(type))
                       .arg(transferType == 2   ? QStringLiteral("control")
                            : transferType == 3 ? QStringLiteral("bulk")
                                                : QString::number(transferType))
                       .arg(endpoint, 2, 16, QLatin1Char('0'))
                       .arg(status)
                       .arg(urbLength);
    if (!data.isEmpty())
        text += QStringLiteral(" data=") + QString::fromLatin1(data.toHex());
    if (!setup.isEmpty())
        text += QStringLiteral(" setup=") + setup;
    return text;
}

QStringList TsharkReader::Result::described() const
{
    QStringList lines;
    for (const Packet &packet : packets)
        lines << packet.describe();
    return lines;
}

bool TsharkReader::available(QString *why)
{
    if (!QStandardPaths::findExecutable(QStringLiteral("tshark")).isEmpty())
        return true;
    if (why)
        *why = QStringLiteral("tshark is not installed (scripts/deps.sh installs it)");
    return false;
}

TsharkReader::Result TsharkReader::read(const QString &path)
{
    Result result;
    QStringList arguments{QStringLiteral("-r"), path,
                          QStringLiteral("-T"), QStringLiteral("fields"),
                          QStringLiteral("-E"), QStringLiteral("separator=/t"),
                          QStringLiteral("-E"), QStringLiteral("occurrence=f")};
    for (const QString &field : kFields)
        arguments << QStringLiteral("-e") << field;

    QProcess tshark;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Not under the test's mocked kernel or its sanitizers.
    env.remove(QStringLiteral("LD_PRELOAD"));
    env.remove(QStringLiteral("UMOCKDEV_DIR"));
    tshark.setProcessEnvironment(env);
    tshark.start(QStringLiteral("tshark"), arguments);
    if (!tshark.waitForFinished(60000) || tshark.exitStatus() != QProcess::NormalExit)
        return result;
    result.ran = true;
    result.exitCode = tshark.exitCode();

    const QList<QByteArray> errorLines = tshark.readAllStandardError().split('\n');
    for (const QByteArray &line : errorLines) {
        const QString text = QString::fromLocal8Bit(line).trimmed();
        if (!text.isEmpty() && !text.startsWith(QLatin1String("Running as user \"root\"")))
            result.errors << text;
    }

    const QList<QByteArray> lines = tshark.readAllStandardOutput().split('\n');
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        const QStringList f = QString::fromLatin1(line).split(QLatin1Char('\t'));
        if (f.size() != kFields.size()) {
            result.errors << QStringLiteral("unexpected line: ") + QString::fromLatin1(line);
            continue;
        }
        Packet p;
        p.frame = number(f[0]);
        p.capturedLength = number(f[1]);
        p.urbId = f[2].mid(2).toULongLong(nullptr, 16);
        p.type = f[3].size() == 3 ? f[3].at(1).toLatin1() : '?'; // 'S'
        p.transferType = number(f[4]);
        p.endpoint = number(f[5]);
        p.bus = number(f[6]);
        p.device = number(f[7]);
        p.status = number(f[8]);
        p.urbLength = number(f[9]);
        p.dataLength = number(f[10]);
        p.data = QByteArray::fromHex(f[11].toLatin1().replace(':', ""));
        p.requestIn = f[12].isEmpty() ? 0 : number(f[12]);
        if (!f[13].isEmpty()) {
            p.setup = f[13] + QLatin1Char(',') + f[14];
            if (!f[15].isEmpty())
                p.setup += QStringLiteral(",config ") + f[15];
            if (!f[16].isEmpty())
                p.setup +=
                    QStringLiteral(",endpoint 0x%1").arg(number(f[16]), 2, 16, QLatin1Char('0'));
        }
        result.packets << p;
    }
    return result;
}
