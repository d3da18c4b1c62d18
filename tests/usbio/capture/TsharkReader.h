#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Reads a capture file back with tshark (Wireshark's command-line reader)
// and its USB dissector, as a service engineer would open it.
class TsharkReader
{
public:
    // One packet, in the fields tshark gives.
    struct Packet
    {
        int frame = 0;
        int capturedLength = 0; // of the whole packet, usbmon header included
        quint64 urbId = 0;
        char type = 0;         // 'S', 'C' or 'E'
        int transferType = -1; // 2 control, 3 bulk
        int endpoint = -1;     // 0x80 set for IN
        int bus = -1;
        int device = -1;
        int status = 0;
        int urbLength = 0;
        int dataLength = 0;
        QByteArray data;
        int requestIn = 0; // a completion: the frame of its submission
        // A control submission's setup: bmRequestType, bRequest and the
        // configuration value or the endpoint it names.
        QString setup;

        // "S bulk 0x01 status=-115 length=16 data=4e53..." and the like, to
        // compare sequences with readable differences.
        QString describe() const;
    };

    struct Result
    {
        bool ran = false;
        int exitCode = -1;
        QList<Packet> packets;
        // What tshark said on standard error, less its note about running
        // as root.
        QStringList errors;

        QStringList described() const;
    };

    // Whether tshark is installed; otherwise why not.
    static bool available(QString *why = nullptr);
    static Result read(const QString &path);
};
