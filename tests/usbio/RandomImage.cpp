#include "tests/usbio/RandomImage.h"

#include <QRandomGenerator>

QByteArray randomImage(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray image(size, '\0');
    for (char &byte : image)
        byte = char(generator.bounded(256));
    return image;
}
