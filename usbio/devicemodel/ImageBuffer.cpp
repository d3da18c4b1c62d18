#include "usbio/devicemodel/ImageBuffer.h"

#include <algorithm>

namespace usbio {

void ImageBuffer::append(const QByteArray &chunk)
{
    qsizetype at = 0;
    while (at < chunk.size()) {
        if (m_blocks.isEmpty() || m_blocks.last().size() == m_blocks.last().capacity()) {
            const qsizetype room = m_blocks.isEmpty()
                                       ? FirstBlock
                                       : std::min(m_blocks.last().capacity() * 2, LargestBlock);
            m_blocks.append(QByteArray());
            m_blocks.last().reserve(room);
        }
        QByteArray &block = m_blocks.last();
        const qsizetype n = std::min(chunk.size() - at, block.capacity() - block.size());
        block.append(chunk.constData() + at, n);
        at += n;
    }
    m_size += chunk.size();
}

QByteArray ImageBuffer::bytes() const
{
    QByteArray image;
    image.reserve(m_size);
    for (const QByteArray &block : m_blocks)
        image.append(block);
    return image;
}

QByteArray ImageBuffer::take()
{
    if (m_blocks.size() == 1) {
        QByteArray image = m_blocks.takeFirst();
        clear();
        return image;
    }
    QByteArray image;
    image.reserve(m_size);
    for (QByteArray &block : m_blocks) {
        image.append(block);
        block = QByteArray();
    }
    clear();
    return image;
}

void ImageBuffer::clear()
{
    m_blocks.clear();
    m_size = 0;
}

} // namespace usbio
