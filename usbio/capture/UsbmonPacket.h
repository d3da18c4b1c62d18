#pragma once

#include "usbio/Status.h"

#include <QByteArray>
#include <QtGlobal>

#include <array>

namespace usbio {

// One event of a USB transfer as Linux's usbmon reports it through its
// memory-mapped interface: the 64-byte header, then the bytes captured.
// This is the packet of pcap's link type 220 (LINKTYPE_USB_LINUX_MMAPPED),
// which Wireshark's USB dissector reads.
struct UsbmonPacket
{
    enum class Event : char
    {
        Submit = 'S',
        Complete = 'C',
        Error = 'E', // the submission was refused
    };
    enum class TransferType : quint8
    {
        Isochronous = 0,
        Interrupt = 1,
        Control = 2,
        Bulk = 3,
    };

    quint64 urbId = 0; // the same for a submission and its completion
    Event event = Event::Submit;
    TransferType transferType = TransferType::Bulk;
    quint8 endpoint = 0; // 0x80 set for IN
    quint8 device = 0;   // address on the bus
    quint16 bus = 0;
    qint64 seconds = 0;
    qint32 microseconds = 0;
    // 0, or a negative errno: -EINPROGRESS for a submission, the result of a
    // completion, the refusal of an error event.
    qint32 status = 0;
    // Bytes of the transfer: asked for by a submission, moved by a
    // completion.
    quint32 length = 0;
    // The 8-byte setup packet of a control submission.
    bool hasSetup = false;
    std::array<quint8, 8> setup{};
    // What goes into the capture: the data of an OUT submission or of an IN
    // completion; nothing for the other events.
    QByteArray data;

    static constexpr int HeaderSize = 64;

    // Appends header and data to out, in the byte order of a little-endian
    // host: the order a pcap file written with the little-endian magic
    // declares. At most maxData bytes of data are kept.
    void appendTo(QByteArray &out, int maxData) const;

    // The status of a completion or an error event for a component status:
    // the negative errno a Linux host controller reports for the like.
    static qint32 errnoOf(Status status);
    // What a submission carries until it completes.
    static qint32 inProgress();
};

} // namespace usbio
