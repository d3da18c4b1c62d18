#include "tests/registry/StoreSetup.h"

bool applyStoreSetup(registry::KeyStore &store, const QStringList &lines, QString *error)
{
    const registry::RootKey root = registry::RootKey::LocalMachine;
    for (const QString &line : lines) {
        const QStringList part = line.split(QLatin1Char('|'));
        const QString kind = part.value(0);
        bool ok = true;
        if (kind == QLatin1String("key") && part.size() == 2)
            store.createKey(root, part[1]);
        else if (kind == QLatin1String("volatile") && part.size() == 2)
            store.createKey(root, part[1], true);
        else if (kind == QLatin1String("str") && part.size() == 4)
            store.writeString(root, part[1], part[2], part[3]);
        else if (kind == QLatin1String("int") && part.size() == 4)
            store.writeInteger(root, part[1], part[2], part[3].toInt(&ok));
        else
            ok = false;
        if (!ok) {
            *error = QStringLiteral("bad setup line: ") + line;
            return false;
        }
    }
    return true;
}
