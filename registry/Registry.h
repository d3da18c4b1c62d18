#pragma once

#include "registry/KeyStore.h"

#include <QString>
#include <QStringList>

namespace registry {

// The root keys and access masks under the names the registry code uses.
constexpr RootKey HKEY_LOCAL_MACHINE = RootKey::LocalMachine;
constexpr RootKey HKEY_CURRENT_USER = RootKey::CurrentUser;

constexpr quint32 KEY_QUERY_VALUE = 0x0001;
constexpr quint32 KEY_SET_VALUE = 0x0002;
constexpr quint32 KEY_CREATE_SUB_KEY = 0x0004;
constexpr quint32 KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr quint32 KEY_READ = 0x20019;
constexpr quint32 KEY_WRITE = 0x20006;
constexpr quint32 KEY_ALL_ACCESS = 0xF003F;

// The registry class: one open key at a time under a chosen root key, with
// the rights of an access mask, over a key store (the default store unless
// one is given). Reads of values of the other type, writes the access mask
// or the store refuses, and stores that cannot be read end in RegistryError.
class TRegistry
{
public:
    explicit TRegistry(KeyStore *store = nullptr);
    explicit TRegistry(quint32 access, KeyStore *store = nullptr);
    ~TRegistry();
    TRegistry(const TRegistry &) = delete;
    TRegistry &operator=(const TRegistry &) = delete;

    registry::RootKey RootKey = HKEY_CURRENT_USER;
    quint32 Access = KEY_ALL_ACCESS;

    // Opens the key: relative to the open key unless the path starts with a
    // backslash or no key is open, else relative to the root key. Missing
    // keys are created when canCreate is set (which needs KEY_CREATE_SUB_KEY);
    // otherwise the result is false and the key open before stays open.
    bool OpenKey(const QString &key, bool canCreate);
    void CloseKey();
    bool HasCurrentKey() const { return m_open; }
    // The open key's path below the root key.
    QString CurrentPath() const { return m_path; }

    // Names of the open key's direct subkeys; empty when no key is open.
    void GetKeyNames(QStringList &strings) const;
    // False when no key is open.
    bool ValueExists(const QString &name) const;
    // A missing value (or no open key) gives an empty text; an integer
    // value raises.
    QString ReadString(const QString &name) const;
    // Raises when the value is missing or a string.
    qint32 ReadInteger(const QString &name) const;
    void WriteString(const QString &name, const QString &value);
    void WriteInteger(const QString &name, qint32 value);

private:
    void require(quint32 rights, const QString &what) const;
    // The open key, checked to still exist, for a write.
    void requireOpenKeyForWrite(const QString &name) const;

    KeyStore &m_store;
    bool m_open = false;
    QString m_path;
};

} // namespace registry
