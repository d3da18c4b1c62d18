// The key store's file as another program (or a broken disk) may leave it:
// the parser refuses it with a reason or reads it; what it reads is written
// out and read back to the same keys, and a store on such a file answers
// reads without touching the file.

#include "fuzz/FuzzInput.h"
#include "registry/KeyStore.h"
#include "registry/RegistryFormat.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzCoreApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char *>(data), qsizetype(size));
    registry::KeyTree tree;
    QString error;
    if (!registry::RegistryFormat::parse(content, tree, &error)) {
        FUZZ_CHECK(!error.isEmpty(), content);
        return 0;
    }
    const QByteArray written = registry::RegistryFormat::serialize(tree);
    registry::KeyTree reread;
    FUZZ_CHECK(registry::RegistryFormat::parse(written, reread, &error), error.toUtf8());
    FUZZ_CHECK(registry::RegistryFormat::serialize(reread) == written, written);

    // The store over the file: the keys it holds, each read by its path.
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("registry.json"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(content) != content.size())
            return 0;
    }
    registry::KeyStore store(path);
    for (registry::RootKey root :
         {registry::RootKey::LocalMachine, registry::RootKey::CurrentUser}) {
        QStringList paths{QString()};
        for (int i = 0; i < paths.size() && i < 200; ++i) {
            const QString key = paths.at(i);
            FUZZ_CHECK(key.isEmpty() || store.keyExists(root, key), key.toUtf8());
            for (const QString &name : store.valueNames(root, key))
                FUZZ_CHECK(store.value(root, key, name).has_value(), name.toUtf8());
            for (const QString &child : store.subKeyNames(root, key))
                paths << (key.isEmpty() ? child : key + QLatin1Char('\\') + child);
        }
    }
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::ReadOnly) && file.readAll() == content, QByteArray());
    return 0;
}
