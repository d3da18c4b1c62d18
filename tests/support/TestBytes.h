#pragma once

#include <QByteArray>

// Bytes for images and files in tests: every value 0 to 255 occurs, and the
// same size and seed always give the same bytes, so a failure repeats.
QByteArray testBytes(qsizetype size, quint32 seed = 1);
