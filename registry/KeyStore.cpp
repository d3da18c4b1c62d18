#include "registry/KeyStore.h"

#include "files/RegularFile.h"
#include "registry/KeyNode.h"
#include "registry/RegistryFormat.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThread>

namespace registry {

namespace {

// How long a writer waits for another instance's lock, and when a lock left
// behind counts as stale. A write holds the lock for milliseconds only.
constexpr int kLockWaitMs = 10000;
constexpr int kStaleLockMs = 5000;
constexpr int kLockPauseMs = 10; // the longest pause between two tries

QStringList splitPath(const QString &path)
{
    return path.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
}

QString keyText(RootKey root, const QStringList &segments)
{
    QStringList parts{RegistryFormat::rootName(root)};
    parts += segments;
    return parts.join(QLatin1Char('\\'));
}

// What tells that the file changed since it was last read: whether it is
// there, its size and its modification time. A save within the grain of the
// time stamp (a millisecond here, up to two seconds on some file systems)
// can keep both, so a file seen while it was that fresh is also compared by
// content until it is older (see Impl::changedUnseen).
struct FileStamp
{
    bool exists = false;
    qint64 size = -1;
    qint64 modifiedMs = -1;
    QString error; // the file's state could not be read

    bool operator==(const FileStamp &other) const
    {
        return exists == other.exists && size == other.size && modifiedMs == other.modifiedMs &&
               error == other.error;
    }
    bool operator!=(const FileStamp &other) const { return !(*this == other); }
};

constexpr qint64 kTimeStampGrainMs = 2000;

// Why a file that does not show cannot be looked at: a folder on its way
// that may not be entered. Empty when the file is simply not there.
QString unreachable(const QString &path)
{
    QFileInfo nearest(QFileInfo(path).absolutePath());
    while (!nearest.exists() && !nearest.isRoot())
        nearest = QFileInfo(nearest.absolutePath());
    if (nearest.exists() && nearest.isDir() && !nearest.isExecutable())
        return QStringLiteral("Permission denied");
    return QString();
}

FileStamp stampOf(const QString &path)
{
    FileStamp stamp;
    const QFileInfo info(path);
    stamp.exists = info.exists();
    if (!stamp.exists) {
        stamp.error = unreachable(path);
        return stamp;
    }
    stamp.size = info.size();
    stamp.modifiedMs = info.lastModified().toMSecsSinceEpoch();
    return stamp;
}

// Whether a save could still come with the same stamp.
bool withinGrain(const FileStamp &stamp)
{
    return stamp.exists &&
           QDateTime::currentMSecsSinceEpoch() - stamp.modifiedMs < kTimeStampGrainMs;
}

KeyStore *g_defaultStore = nullptr;

} // namespace

struct KeyStore::Impl
{
    QString path; // absolute; empty for a memory-only store

    // The persistent keys as last read from the file (or, without a file,
    // the only copy). Once the file has been read, it stays the last good
    // copy while the file cannot be used (another program damaged it).
    KeyTree persistent;
    bool haveGoodCopy = false;
    bool loaded = false;
    FileStamp loadedStamp;
    QString loadError; // why the file as last seen cannot be used
    bool damageReported = false;
    // The bytes last read or written, kept while their stamp is within its
    // grain: a save by another instance then shows only in the content.
    QByteArray freshContent;
    bool fresh = false;

    // Volatile keys of this object, with the keys on the way to them.
    KeyTree overlay;

    RegistryError cannotRead(const QString &why) const
    {
        return RegistryError(QStringLiteral("cannot read key store %1: %2")
                                 .arg(QDir::toNativeSeparators(path), why)
                                 .toStdString());
    }
    RegistryError cannotWrite(const QString &why) const
    {
        return RegistryError(QStringLiteral("cannot write key store %1: %2")
                                 .arg(QDir::toNativeSeparators(path), why)
                                 .toStdString());
    }

    // Brings the persistent keys up to the file's current content. Throws
    // when the file cannot be read or parsed and was never read before; a
    // file that could be read once and no longer can leaves the keys as they
    // were then.
    const KeyTree &current()
    {
        if (path.isEmpty())
            return persistent;
        const FileStamp stamp = stampOf(path);
        if (!loaded || stamp != loadedStamp || changedUnseen(stamp))
            load(stamp);
        if (!loadError.isEmpty() && !haveGoodCopy)
            throw cannotRead(loadError);
        return persistent;
    }

    // Said once for each time the file goes bad, so a program working on
    // tells why its changes will replace what is there.
    void reportDamage()
    {
        if (damageReported)
            return;
        damageReported = true;
        qWarning("key store %s cannot be read any more (%s); working on with the keys read "
                 "before, which the next change writes back",
                 qUtf8Printable(QDir::toNativeSeparators(path)), qUtf8Printable(loadError));
    }

    // The stamp is as loaded; whether the content changed all the same.
    bool changedUnseen(const FileStamp &stamp)
    {
        if (!fresh)
            return false;
        QByteArray content;
        if (!files::RegularFile::read(path, files::RegularFile::InputLimit, &content, nullptr) ||
            content != freshContent)
            return true;
        remember(stamp, freshContent);
        return false;
    }

    void remember(const FileStamp &stamp, const QByteArray &content)
    {
        loadedStamp = stamp;
        fresh = withinGrain(stamp);
        freshContent = fresh ? content : QByteArray();
    }

    void load(const FileStamp &stamp)
    {
        loaded = true;
        remember(stamp, QByteArray());
        QString error;
        KeyTree read;
        if (readFile(stamp, read, &error)) {
            persistent = std::move(read);
            haveGoodCopy = true;
            loadError.clear();
            damageReported = false;
            return;
        }
        loadError = error;
        if (haveGoodCopy)
            reportDamage();
    }

    // The file's keys; false with the reason when it cannot be used.
    bool readFile(const FileStamp &stamp, KeyTree &read, QString *error)
    {
        if (!stamp.error.isEmpty()) {
            *error = stamp.error;
            return false;
        }
        if (!stamp.exists)
            return true; // a missing file is an empty store
        // A FIFO or a device in its place would block or never end; a
        // store is a few kilobytes.
        QByteArray content;
        if (!files::RegularFile::read(path, files::RegularFile::InputLimit, &content, error))
            return false;
        remember(stamp, content);
        return RegistryFormat::parse(content, read, error);
    }

    // Applies a change to the persistent keys: under the file's lock, on its
    // current content, then saves it. change returns false when it changed
    // nothing; then the file is left alone, unless it went bad since it was
    // read: then the last good copy is written back. A file that was never
    // read well is never overwritten.
    template <typename Change> void modify(Change change)
    {
        if (path.isEmpty()) {
            change(persistent);
            return;
        }
        const QFileInfo info(path);
        if (!QDir().mkpath(info.absolutePath()))
            throw cannotWrite(QStringLiteral("cannot create the folder %1")
                                  .arg(QDir::toNativeSeparators(info.absolutePath())));
        const QString lockPath = path + QStringLiteral(".lock");
        // Something other than a file in the lock's place never becomes a
        // lock; waiting for it would only freeze the caller.
        const QFileInfo lockInfo(lockPath);
        if (lockInfo.exists() && !lockInfo.isFile())
            throw cannotWrite(QStringLiteral("%1 is in the place of its lock file")
                                  .arg(QDir::toNativeSeparators(lockPath)));
        QLockFile lock(lockPath);
        lock.setStaleLockTime(kStaleLockMs);
        if (!takeLock(lock)) {
            switch (lock.error()) {
            case QLockFile::LockFailedError:
                throw cannotWrite(QStringLiteral("it stays locked by another program"));
            case QLockFile::PermissionError:
                throw cannotWrite(QStringLiteral("no permission to create its lock file"));
            default:
                throw cannotWrite(QStringLiteral("cannot create its lock file"));
            }
        }
        loaded = false; // another instance may have written a moment ago
        current();
        const bool damaged = !loadError.isEmpty();
        if (!change(persistent) && !damaged)
            return;
        save();
    }

    // Tries often, at a random pace: QLockFile's own wait doubles its pause
    // after every try, so among several busy instances a waiter would try a
    // few times only and give up while the others take turns.
    static bool takeLock(QLockFile &lock)
    {
        const QDeadlineTimer deadline(kLockWaitMs);
        while (!lock.tryLock(0)) {
            if (lock.error() != QLockFile::LockFailedError || deadline.hasExpired())
                return false;
            QThread::msleep(QRandomGenerator::global()->bounded(kLockPauseMs) + 1);
        }
        return true;
    }

    void save()
    {
        QSaveFile file(path);
        const QByteArray content = RegistryFormat::serialize(persistent);
        const bool ok = file.open(QIODevice::WriteOnly) && file.write(content) == content.size() &&
                        file.commit();
        if (!ok) {
            const QString why = file.errorString();
            loaded = false; // the cached keys now differ from the file
            throw cannotWrite(why);
        }
        remember(stampOf(path), content);
        loadError.clear();
        damageReported = false;
    }

    // Whether the key or one of its parents is volatile: then it lives in
    // the overlay only.
    bool isVolatilePath(RootKey root, const QStringList &segments) const
    {
        const KeyNode *node = &rootOf(overlay, root);
        for (const QString &segment : segments) {
            node = node->child(segment);
            if (!node)
                return false;
            if (node->isVolatile)
                return true;
        }
        return false;
    }

    // Creates the overlay key; new keys become volatile from the first one
    // that is volatile or below a volatile one.
    KeyNode &ensureOverlayKey(RootKey root, const QStringList &segments, bool leafVolatile)
    {
        KeyNode *node = &rootOf(overlay, root);
        bool belowVolatile = false;
        for (int i = 0; i < segments.size(); ++i) {
            bool created = false;
            node = &node->ensureChild(segments.at(i), &created);
            if (created)
                node->isVolatile = belowVolatile || (leafVolatile && i == segments.size() - 1);
            belowVolatile = belowVolatile || node->isVolatile;
        }
        return *node;
    }

    std::optional<Value> valueAt(RootKey root, const QStringList &segments, const QString &name)
    {
        const KeyTree &tree = current();
        const KeyTree *sources[] = {&overlay, &tree};
        for (const KeyTree *source : sources) {
            if (const KeyNode *node = rootOf(*source, root).find(segments)) {
                if (const KeyNode::NamedValue *value = node->findValue(name))
                    return value->value;
            }
        }
        return std::nullopt;
    }

    void setValue(RootKey root, const QString &keyPath, const QString &name, const Value &value)
    {
        const QStringList segments = splitPath(keyPath);
        if (isVolatilePath(root, segments)) {
            ensureOverlayKey(root, segments, false).setValue(name, value);
            return;
        }
        // A value that is there already as written is not saved again:
        // instances of a station recording the same device at once would
        // otherwise queue on the lock for saves that change nothing.
        modify([&](KeyTree &tree) {
            bool changed = false;
            KeyNode *node = &rootOf(tree, root);
            for (const QString &segment : segments) {
                bool created = false;
                node = &node->ensureChild(segment, &created);
                changed = changed || created;
            }
            const KeyNode::NamedValue *before = node->findValue(name);
            changed = changed || !before || before->value != value;
            node->setValue(name, value);
            return changed;
        });
    }

    // Names from both trees, each once, in the order of their folded names.
    template <typename Items, typename Name>
    static QStringList mergedNames(const Items *first, const Items *second, Name nameOf)
    {
        std::vector<std::pair<QString, QString>> names; // folded, name
        for (const Items *items : {first, second}) {
            if (!items)
                continue;
            for (const auto &item : *items)
                names.emplace_back(item.folded, nameOf(item));
        }
        std::stable_sort(names.begin(), names.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
        QStringList result;
        for (size_t i = 0; i < names.size(); ++i) {
            if (i == 0 || names[i].first != names[i - 1].first)
                result << names[i].second;
        }
        return result;
    }
};

KeyStore::KeyStore(const QString &filePath) : d(std::make_unique<Impl>())
{
    if (!filePath.isEmpty())
        d->path = QFileInfo(filePath).absoluteFilePath();
}

KeyStore::~KeyStore()
{
    if (g_defaultStore == this)
        g_defaultStore = nullptr;
}

QString KeyStore::filePath() const
{
    return d->path;
}

QString KeyStore::defaultFilePath()
{
    const QString fromEnvironment = qEnvironmentVariable("VEMO_REGISTRY");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    // The XDG rules ignore a relative setting.
    if (config.isEmpty() || QDir::isRelativePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/vemo/registry.json");
}

KeyStore &KeyStore::defaultStore()
{
    if (g_defaultStore)
        return *g_defaultStore;
    static KeyStore processStore(defaultFilePath());
    return processStore;
}

void KeyStore::setDefaultStore(KeyStore *store)
{
    g_defaultStore = store;
}

bool KeyStore::keyExists(RootKey root, const QString &path) const
{
    const QStringList segments = splitPath(path);
    const KeyTree &tree = d->current();
    return rootOf(tree, root).find(segments) || rootOf(d->overlay, root).find(segments);
}

void KeyStore::createKey(RootKey root, const QString &path, bool isVolatile)
{
    const QStringList segments = splitPath(path);
    if (segments.isEmpty())
        return; // the root key always exists
    if (d->isVolatilePath(root, segments)) {
        d->ensureOverlayKey(root, segments, true);
        return;
    }
    // A key that exists keeps its kind, as on Windows.
    if (rootOf(d->current(), root).find(segments))
        return;
    if (isVolatile) {
        d->ensureOverlayKey(root, segments, true);
        return;
    }
    d->modify([&](KeyTree &tree) {
        bool created = false;
        KeyNode *node = &rootOf(tree, root);
        for (const QString &segment : segments) {
            bool isNew = false;
            node = &node->ensureChild(segment, &isNew);
            created = created || isNew;
        }
        return created;
    });
}

void KeyStore::deleteKey(RootKey root, const QString &path)
{
    const QStringList segments = splitPath(path);
    if (segments.isEmpty())
        throw RegistryError(QStringLiteral("cannot delete the root key %1")
                                .arg(RegistryFormat::rootName(root))
                                .toStdString());
    const QStringList parent = segments.mid(0, segments.size() - 1);
    if (rootOf(d->current(), root).find(segments)) {
        d->modify([&](KeyTree &tree) {
            KeyNode *node = rootOf(tree, root).find(parent);
            return node && node->removeChild(segments.last());
        });
    }
    if (KeyNode *node = rootOf(d->overlay, root).find(parent))
        node->removeChild(segments.last());
}

QStringList KeyStore::subKeyNames(RootKey root, const QString &path) const
{
    const QStringList segments = splitPath(path);
    const KeyNode *stored = rootOf(d->current(), root).find(segments);
    const KeyNode *memory = rootOf(d->overlay, root).find(segments);
    return Impl::mergedNames(stored ? &stored->keys : nullptr, memory ? &memory->keys : nullptr,
                             [](const KeyNode &node) { return node.name; });
}

QStringList KeyStore::valueNames(RootKey root, const QString &path) const
{
    const QStringList segments = splitPath(path);
    const KeyNode *stored = rootOf(d->current(), root).find(segments);
    const KeyNode *memory = rootOf(d->overlay, root).find(segments);
    // Values of the overlay first: they hide stored ones of the same name.
    return Impl::mergedNames(memory ? &memory->values : nullptr, stored ? &stored->values : nullptr,
                             [](const KeyNode::NamedValue &value) { return value.name; });
}

bool KeyStore::valueExists(RootKey root, const QString &path, const QString &name) const
{
    return d->valueAt(root, splitPath(path), name).has_value();
}

std::optional<Value> KeyStore::value(RootKey root, const QString &path, const QString &name) const
{
    return d->valueAt(root, splitPath(path), name);
}

namespace {

// The value of the type asked for, or the store's error naming the value.
template <typename T>
T typedValue(const std::optional<Value> &found, const QString &name, const QString &key)
{
    if (!found)
        throw RegistryError(
            QStringLiteral("value \"%1\" not found in %2").arg(name, key).toStdString());
    if (!std::holds_alternative<T>(*found)) {
        const bool wantString = std::is_same_v<T, QString>;
        throw RegistryError(QStringLiteral("value \"%1\" in %2 is %3, not %4")
                                .arg(name, key, wantString ? "an integer" : "a string",
                                     wantString ? "a string" : "an integer")
                                .toStdString());
    }
    return std::get<T>(*found);
}

} // namespace

QString KeyStore::readString(RootKey root, const QString &path, const QString &name) const
{
    const QStringList segments = splitPath(path);
    return typedValue<QString>(d->valueAt(root, segments, name), name, keyText(root, segments));
}

qint32 KeyStore::readInteger(RootKey root, const QString &path, const QString &name) const
{
    const QStringList segments = splitPath(path);
    return typedValue<qint32>(d->valueAt(root, segments, name), name, keyText(root, segments));
}

void KeyStore::writeString(RootKey root, const QString &path, const QString &name,
                           const QString &text)
{
    d->setValue(root, path, name, text);
}

void KeyStore::writeInteger(RootKey root, const QString &path, const QString &name, qint32 number)
{
    d->setValue(root, path, name, number);
}

void KeyStore::deleteValue(RootKey root, const QString &path, const QString &name)
{
    const QStringList segments = splitPath(path);
    const KeyNode *stored = rootOf(d->current(), root).find(segments);
    if (stored && stored->findValue(name)) {
        d->modify([&](KeyTree &tree) {
            KeyNode *node = rootOf(tree, root).find(segments);
            return node && node->removeValue(name);
        });
    }
    if (KeyNode *node = rootOf(d->overlay, root).find(segments))
        node->removeValue(name);
}

} // namespace registry
