#pragma once

#include <QByteArray>
#include <QList>

namespace usbio {

// An image that arrives chunk by chunk, kept in blocks. One byte array
// grown by every chunk is moved to larger room again and again, and the
// process ends up holding the image about twice over. Each block is given
// its room once and never moves; they double in size up to LargestBlock,
// a size the C library takes straight from the system and gives back at
// once when freed, so take() joins them holding little more than the image.
class ImageBuffer
{
public:
    static constexpr qsizetype FirstBlock = 64 * 1024;
    static constexpr qsizetype LargestBlock = 32 * 1024 * 1024;

    void append(const QByteArray &chunk);
    qint64 size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }
    // The bytes so far, the buffer unchanged.
    QByteArray bytes() const;
    // The bytes so far; the buffer is empty afterwards.
    QByteArray take();
    void clear();

private:
    // Each block's room is reserved when it is made; appends fill it.
    QList<QByteArray> m_blocks;
    qint64 m_size = 0;
};

} // namespace usbio
