#pragma once

#include <QByteArray>

#include <functional>

struct libusb_transfer;
struct libusb_device_handle;

namespace usbio {

// One bulk transfer in flight, with the buffer it owns. It calls its owner
// back once, when libusb is done with it (completed, failed or cancelled);
// an owner that goes away first calls disown(), and the transfer then frees
// itself when libusb is done.
class LibusbTransfer
{
public:
    using Done = std::function<void(LibusbTransfer *)>;

    // A read of size bytes, or a write of data, on endpoint.
    static LibusbTransfer *read(libusb_device_handle *handle, quint8 endpoint, int size, Done done);
    static LibusbTransfer *write(libusb_device_handle *handle, quint8 endpoint,
                                 const QByteArray &data, Done done);
    ~LibusbTransfer();
    LibusbTransfer(const LibusbTransfer &) = delete;
    LibusbTransfer &operator=(const LibusbTransfer &) = delete;

    // libusb's result of the submission (LIBUSB_SUCCESS or an error).
    int submit();
    // Asks libusb to cancel; the callback still comes.
    void cancel();
    void disown();

    bool cancelRequested() const { return m_cancelRequested; }
    // Set when the device left while the transfer was in flight.
    bool deviceLeft = false;
    // libusb's transfer status, once done.
    int status() const;
    // The bytes a finished read gave.
    QByteArray received() const;

private:
    LibusbTransfer(libusb_device_handle *handle, quint8 endpoint, QByteArray buffer, Done done);
    static void finished(libusb_transfer *transfer);

    libusb_transfer *m_transfer;
    QByteArray m_buffer;
    Done m_done;
    bool m_cancelRequested = false;
};

} // namespace usbio
