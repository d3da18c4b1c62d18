#pragma once

#include "registry/KeyStore.h"

#include <QString>

// The message of the RegistryError that call raises, or "no error".
template <typename Call> QString errorOf(Call call)
{
    try {
        call();
    } catch (const registry::RegistryError &e) {
        return QString::fromStdString(e.what());
    }
    return QStringLiteral("no error");
}
