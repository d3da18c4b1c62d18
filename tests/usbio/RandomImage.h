#pragma once

#include <QByteArray>
#include <QtGlobal>

// A firmware image of size random bytes, the same for the same seed, so that
// a failing image can be made again.
QByteArray randomImage(int size, quint32 seed);
