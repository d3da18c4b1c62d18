#include "tests/support/TempKeyStore.h"

TempKeyStore::TempKeyStore(Backing backing)
    : m_store(std::make_unique<registry::KeyStore>(
          backing == File ? m_dir.filePath(QStringLiteral("registry.json")) : QString())),
      m_previous(&registry::KeyStore::defaultStore())
{
    registry::KeyStore::setDefaultStore(m_store.get());
}

TempKeyStore::~TempKeyStore()
{
    registry::KeyStore::setDefaultStore(m_previous);
}
