#pragma once

#include "usbio/Component.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace usbio {

// Creates one component instance of a backend.
using ComponentFactory = std::function<std::unique_ptr<Component>()>;

// Takes every new instance, of whichever backend, and gives the instance
// the program uses in its place (one that hands each operation on to it).
using ComponentWrapper =
    std::function<std::unique_ptr<Component>(std::unique_ptr<Component> inner)>;

// Backends register under a name ("sim", "libusb"); the program selects one.
// Creating an instance of a backend that is not registered gives nullptr: the
// component is "not registered", as a COM server would be.
void registerBackend(const QString &name, ComponentFactory factory);
void unregisterBackend(const QString &name);
bool isBackendRegistered(const QString &name);
QStringList registeredBackends();

// The backend that new instances come from; "libusb" unless chosen otherwise.
void selectBackend(const QString &name);
QString selectedBackend();
std::unique_ptr<Component> createComponent();

// From now on createComponent hands each new instance to wrapper and gives
// what it returns; an empty wrapper ends it. One wrapper at a time.
void setComponentWrapper(ComponentWrapper wrapper);

// A backend that runs but cannot find any device (libusb cannot start, the
// host has no USB file system) leaves a one-line note saying why; empty
// clears it.
void setBackendNote(const QString &name, const QString &note);
// The note of the selected backend, for the message log; empty when there
// is nothing to say.
QString selectedBackendNote();

} // namespace usbio
