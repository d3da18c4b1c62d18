#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <memory>
#include <optional>
#include <stdexcept>
#include <variant>

namespace registry {

enum class RootKey
{
    LocalMachine, // HKEY_LOCAL_MACHINE
    CurrentUser,  // HKEY_CURRENT_USER
};

// The store's error: a read of the wrong type, a refused write, a file that
// cannot be read or parsed. The message names what failed.
class RegistryError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// A value is either a string or a 32-bit integer.
using Value = std::variant<QString, qint32>;

// A hierarchical key store standing in for the Windows registry.
//
// Key paths are backslash-separated and relative to a root key; key and value
// names compare without regard to letter case and keep the case they were
// created with. Persistent keys are kept in one JSON file, saved atomically
// under a lock; every write re-reads the file under that lock first, so two
// running instances lose nothing of each other's writes. A file that could
// be read once and is damaged later (by another program) leaves the store
// working on the keys it read, with one warning; its next write mends the
// file. A file that was never read well is never written. Volatile keys (and
// everything below them) live in memory only, as Windows keeps the driver
// service's list of present devices.
class KeyStore
{
public:
    // A store backed by filePath. The file is read lazily; a missing file is
    // an empty store. An empty path gives a store that lives in memory only.
    explicit KeyStore(const QString &filePath);
    ~KeyStore();
    KeyStore(const KeyStore &) = delete;
    KeyStore &operator=(const KeyStore &) = delete;

    QString filePath() const;

    // The file used when no --registry option is given: $VEMO_REGISTRY, else
    // a file under the XDG config location.
    static QString defaultFilePath();
    // The store the program works on (set at start-up, or by a test).
    static KeyStore &defaultStore();
    static void setDefaultStore(KeyStore *store);

    bool keyExists(RootKey root, const QString &path) const;
    // Creates the key and its missing parents. A volatile key is never saved.
    void createKey(RootKey root, const QString &path, bool isVolatile = false);
    // Removes the key with all its subkeys and values; missing keys are no error.
    void deleteKey(RootKey root, const QString &path);
    // Direct subkey names, in the case they were created with.
    QStringList subKeyNames(RootKey root, const QString &path) const;
    QStringList valueNames(RootKey root, const QString &path) const;

    bool valueExists(RootKey root, const QString &path, const QString &name) const;
    std::optional<Value> value(RootKey root, const QString &path, const QString &name) const;
    // Throws RegistryError when the value is missing or of the other type.
    QString readString(RootKey root, const QString &path, const QString &name) const;
    qint32 readInteger(RootKey root, const QString &path, const QString &name) const;
    // Writes create the key when missing; they throw RegistryError when the
    // store cannot be saved (read-only file or folder, unreadable file).
    void writeString(RootKey root, const QString &path, const QString &name, const QString &text);
    void writeInteger(RootKey root, const QString &path, const QString &name, qint32 number);
    void deleteValue(RootKey root, const QString &path, const QString &name);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace registry
