#include "usbio/libusb/LibusbTransfer.h"

#include <libusb.h>

#include <new>

namespace usbio {

LibusbTransfer::LibusbTransfer(libusb_device_handle *handle, quint8 endpoint, QByteArray buffer,
                               Done done)
    : m_transfer(libusb_alloc_transfer(0)), m_buffer(std::move(buffer)), m_done(std::move(done))
{
    if (!m_transfer)
        throw std::bad_alloc();
    // No time-out: a read waits for the device, a write ends with the
    // device taking it or with a cancellation.
    libusb_fill_bulk_transfer(m_transfer, handle, endpoint,
                              reinterpret_cast<unsigned char *>(m_buffer.data()),
                              int(m_buffer.size()), &LibusbTransfer::finished, this, 0);
}

LibusbTransfer::~LibusbTransfer()
{
    libusb_free_transfer(m_transfer);
}

LibusbTransfer *LibusbTransfer::read(libusb_device_handle *handle, quint8 endpoint, int size,
                                     Done done)
{
    return new LibusbTransfer(handle, endpoint, QByteArray(size, '\0'), std::move(done));
}

LibusbTransfer *LibusbTransfer::write(libusb_device_handle *handle, quint8 endpoint,
                                      const QByteArray &data, Done done)
{
    // A deep copy: libusb writes from this buffer while the caller's array
    // may change.
    return new LibusbTransfer(handle, endpoint, QByteArray(data.constData(), data.size()),
                              std::move(done));
}

int LibusbTransfer::submit()
{
    return libusb_submit_transfer(m_transfer);
}

void LibusbTransfer::cancel()
{
    if (m_cancelRequested)
        return;
    m_cancelRequested = true;
    // NOT_FOUND: already finished and waiting to be reaped; the callback
    // still comes.
    libusb_cancel_transfer(m_transfer);
}

void LibusbTransfer::disown()
{
    m_done = nullptr;
}

int LibusbTransfer::status() const
{
    return m_transfer->status;
}

QByteArray LibusbTransfer::received() const
{
    return m_buffer.left(qBound(0, m_transfer->actual_length, int(m_buffer.size())));
}

void LibusbTransfer::finished(libusb_transfer *transfer)
{
    auto *self = static_cast<LibusbTransfer *>(transfer->user_data);
    if (self->m_done) {
        // The owner takes it from here, freeing it included.
        const Done done = std::move(self->m_done);
        self->m_done = nullptr;
        done(self);
    } else {
        delete self;
    }
}

} // namespace usbio
