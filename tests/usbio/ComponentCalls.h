#pragma once

#include "usbio/Component.h"

#include <QByteArray>
#include <QMetaType>

#include <functional>

// Calls of the component contract as its tests make them, on any backend.

// Takes the oldest finished read into a 16-byte array and gives the bytes
// the read gave. count: the byte count ReadData reported (-1 when it left
// it alone); status: what ReadData returned.
QByteArray readOne(usbio::Component &component, int *count = nullptr,
                   usbio::Status *status = nullptr);

// One operation of a component, for a column of a data table.
using ComponentOperation = std::function<usbio::Status(usbio::Component &)>;

// Column "operation" with a row for every operation that works on the open
// device, each with arguments it would take on an open device's pipe.
void addOperationsOnTheOpenDevice();

Q_DECLARE_METATYPE(ComponentOperation)
