#include "usbio/Backend.h"

#include <QMap>

namespace usbio {

namespace {

struct Registry
{
    QMap<QString, ComponentFactory> factories;
    QMap<QString, QString> notes;
    QString selected = QStringLiteral("libusb");
    ComponentWrapper wrapper;
};

// One registry per process; the program and every test run on one thread.
Registry &backends()
{
    static Registry registry;
    return registry;
}

} // namespace

void registerBackend(const QString &name, ComponentFactory factory)
{
    if (!factory) {
        unregisterBackend(name);
        return;
    }
    backends().factories.insert(name, std::move(factory));
}

void unregisterBackend(const QString &name)
{
    backends().factories.remove(name);
}

bool isBackendRegistered(const QString &name)
{
    return backends().factories.contains(name);
}

QStringList registeredBackends()
{
    return backends().factories.keys();
}

void selectBackend(const QString &name)
{
    backends().selected = name;
}

QString selectedBackend()
{
    return backends().selected;
}

std::unique_ptr<Component> createComponent()
{
    const Registry &registry = backends();
    const auto it = registry.factories.constFind(registry.selected);
    if (it == registry.factories.constEnd())
        return nullptr;
    std::unique_ptr<Component> component = it.value()();
    if (component && registry.wrapper)
        return registry.wrapper(std::move(component));
    return component;
}

void setComponentWrapper(ComponentWrapper wrapper)
{
    backends().wrapper = std::move(wrapper);
}

void setBackendNote(const QString &name, const QString &note)
{
    if (note.isEmpty())
        backends().notes.remove(name);
    else
        backends().notes.insert(name, note);
}

QString selectedBackendNote()
{
    const Registry &registry = backends();
    return registry.notes.value(registry.selected);
}

} // namespace usbio
