#pragma once

#include "registry/KeyStore.h"

#include <QTemporaryDir>

#include <memory>

// A key store of its own for a test: a file in a fresh temporary folder (or
// memory only), installed as the default store for this object's lifetime;
// the store before is the default again afterwards.
class TempKeyStore
{
public:
    enum Backing
    {
        File,
        Memory,
    };
    explicit TempKeyStore(Backing backing = File);
    ~TempKeyStore();
    TempKeyStore(const TempKeyStore &) = delete;
    TempKeyStore &operator=(const TempKeyStore &) = delete;

    registry::KeyStore &store() { return *m_store; }
    registry::KeyStore *operator->() { return m_store.get(); }
    // The store's file (empty in memory); it does not exist before the first write.
    QString filePath() const { return m_store->filePath(); }
    // The temporary folder, for other files of the test.
    QString dirPath() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<registry::KeyStore> m_store;
    registry::KeyStore *m_previous;
};
