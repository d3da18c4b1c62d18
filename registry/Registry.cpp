#include "registry/Registry.h"

#include "registry/RegistryFormat.h"

namespace registry {

namespace {

QString joinPath(const QString &base, const QString &relative)
{
    const QStringList parts =
        (base + QLatin1Char('\\') + relative).split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    return parts.join(QLatin1Char('\\'));
}

} // namespace

TRegistry::TRegistry(KeyStore *store) : m_store(store ? *store : KeyStore::defaultStore()) {}

TRegistry::TRegistry(quint32 access, KeyStore *store) : TRegistry(store)
{
    Access = access;
}

TRegistry::~TRegistry()
{
    CloseKey();
}

void TRegistry::require(quint32 rights, const QString &what) const
{
    if ((Access & rights) != rights)
        throw RegistryError(QStringLiteral("access 0x%1 does not allow %2")
                                .arg(Access, 0, 16)
                                .arg(what)
                                .toStdString());
}

bool TRegistry::OpenKey(const QString &key, bool canCreate)
{
    const bool relative = m_open && !key.startsWith(QLatin1Char('\\'));
    const QString path = joinPath(relative ? m_path : QString(), key);
    if (!m_store.keyExists(RootKey, path)) {
        if (!canCreate)
            return false;
        require(KEY_CREATE_SUB_KEY,
                QStringLiteral("creating %1\\%2").arg(RegistryFormat::rootName(RootKey), path));
        m_store.createKey(RootKey, path);
    }
    m_open = true;
    m_path = path;
    return true;
}

void TRegistry::CloseKey()
{
    m_open = false;
    m_path.clear();
}

void TRegistry::GetKeyNames(QStringList &strings) const
{
    strings.clear();
    if (!m_open)
        return;
    require(KEY_ENUMERATE_SUB_KEYS, QStringLiteral("listing subkeys"));
    strings = m_store.subKeyNames(RootKey, m_path);
}

bool TRegistry::ValueExists(const QString &name) const
{
    if (!m_open)
        return false;
    require(KEY_QUERY_VALUE, QStringLiteral("reading \"%1\"").arg(name));
    return m_store.valueExists(RootKey, m_path, name);
}

QString TRegistry::ReadString(const QString &name) const
{
    if (!m_open)
        return QString();
    require(KEY_QUERY_VALUE, QStringLiteral("reading \"%1\"").arg(name));
    if (!m_store.valueExists(RootKey, m_path, name))
        return QString();
    return m_store.readString(RootKey, m_path, name);
}

qint32 TRegistry::ReadInteger(const QString &name) const
{
    if (!m_open)
        throw RegistryError(
            QStringLiteral("cannot read \"%1\": no key is open").arg(name).toStdString());
    require(KEY_QUERY_VALUE, QStringLiteral("reading \"%1\"").arg(name));
    return m_store.readInteger(RootKey, m_path, name);
}

void TRegistry::requireOpenKeyForWrite(const QString &name) const
{
    if (!m_open)
        throw RegistryError(
            QStringLiteral("cannot write \"%1\": no key is open").arg(name).toStdString());
    require(KEY_SET_VALUE, QStringLiteral("writing \"%1\"").arg(name));
    // A key deleted while open is not silently made again.
    if (!m_store.keyExists(RootKey, m_path))
        throw RegistryError(QStringLiteral("cannot write \"%1\": the key %2\\%3 was deleted")
                                .arg(name, RegistryFormat::rootName(RootKey), m_path)
                                .toStdString());
}

void TRegistry::WriteString(const QString &name, const QString &value)
{
    requireOpenKeyForWrite(name);
    m_store.writeString(RootKey, m_path, name, value);
}

void TRegistry::WriteInteger(const QString &name, qint32 value)
{
    requireOpenKeyForWrite(name);
    m_store.writeInteger(RootKey, m_path, name, value);
}

} // namespace registry
