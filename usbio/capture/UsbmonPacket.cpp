#include "usbio/capture/UsbmonPacket.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <system_error>

namespace usbio {

namespace {

qint32 negative(std::errc error)
{
    return -static_cast<qint32>(error);
}

template <typename T> void put(char *at, T value)
{
    qToLittleEndian(value, at);
}

} // namespace

qint32 UsbmonPacket::inProgress()
{
    return negative(std::errc::operation_in_progress);
}

qint32 UsbmonPacket::errnoOf(Status status)
{
    switch (status) {
    case status::Success:
        return 0;
    case status::DeviceGone:
    case status::NoSuchDevice:
        return negative(std::errc::no_such_device);
    case status::TransferFailed: // a stalled pipe
        return negative(std::errc::broken_pipe);
    case status::Cancelled: // unlinked by the host
        return negative(std::errc::no_such_file_or_directory);
    case status::Busy:
    case status::AccessDenied:
        return negative(std::errc::device_or_resource_busy);
    case status::PermissionDenied:
        return negative(std::errc::permission_denied);
    case status::Timeout:
        return negative(std::errc::timed_out);
    // The component's own refusals: the call does not fit the pipe's state.
    case status::InvalidParameter:
    case status::NotOpened:
    case status::NotConfigured:
    case status::NotBound:
    case status::AlreadyBound:
    case status::AlreadyRunning:
    case status::NotRunning:
    case status::NoData:
    case status::NoInterface:
        return negative(std::errc::invalid_argument);
    default:
        return negative(std::errc::io_error);
    }
}

void UsbmonPacket::appendTo(QByteArray &out, int maxData) const
{
    const bool in = endpoint & 0x80;
    // Data travels with an OUT submission and an IN completion only.
    const bool carriesData = (event == Event::Submit && !in) || (event == Event::Complete && in);
    const int captured = carriesData ? int(std::min<qsizetype>(data.size(), maxData)) : 0;
    const qsizetype start = out.size();
    out.resize(start + HeaderSize + captured);
    char *h = out.data() + start;
    std::memset(h, 0, HeaderSize);

    // What stands in place of data the event does not carry.
    char dataFlag = 0;
    if (event == Event::Error)
        dataFlag = 'E';
    else if (event == Event::Submit && in)
        dataFlag = '<';
    else if (event == Event::Complete && !in)
        dataFlag = '>';

    put<quint64>(h + 0, urbId);
    h[8] = char(event);
    h[9] = char(transferType);
    h[10] = char(endpoint);
    h[11] = char(device);
    put<quint16>(h + 12, bus);
    h[14] = hasSetup ? 0 : '-';
    h[15] = captured > 0 ? 0 : dataFlag;
    put<qint64>(h + 16, seconds);
    put<qint32>(h + 24, microseconds);
    put<qint32>(h + 28, status);
    put<quint32>(h + 32, length);
    put<quint32>(h + 36, quint32(captured));
    if (hasSetup)
        std::memcpy(h + 40, setup.data(), setup.size());
    // interval, start frame, transfer flags and iso descriptors stay 0: no
    // interrupt or isochronous pipe is captured.
    if (captured > 0)
        std::memcpy(h + HeaderSize, data.constData(), size_t(captured));
}

} // namespace usbio
