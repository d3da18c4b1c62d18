#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

class TVemoUSBinterface;

// One short conversation with a Vemo2 through the device link, the same on
// every backend: open the device, a command in two pieces, its answer in two
// reads, a 200-byte image on the image pipe (in normal mode the device takes
// the chunks and leaves them), close. And what a capture of it holds, packet
// by packet, as tshark describes them.
class CaptureSession
{
public:
    // The command, sent as two 16-byte pieces, and the answer the device is
    // scripted to give, which comes as a read of 16 bytes and one of 8.
    static const QByteArray Command;
    static const QByteArray Answer;
    // The device's scripted answers (command without its CR -> answer).
    static QMap<QByteArray, QByteArray> answers();
    static QByteArray image();

    // folder: where the image file goes.
    explicit CaptureSession(const QString &folder);

    // Runs the session on link, whose device is the only one attached;
    // empty when it went through, else the step that failed.
    QString run(TVemoUSBinterface &link);

    // The capture of the session, in TsharkReader::Packet::describe() form.
    static QStringList expectedPackets();

private:
    QString m_imagePath;
};
