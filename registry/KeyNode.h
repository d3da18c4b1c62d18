#pragma once

#include "registry/KeyStore.h"

#include <QString>
#include <QStringList>

#include <array>
#include <vector>

namespace registry {

// One key of a key tree: its subkeys and values, both found by name without
// regard to letter case and kept in the case they were created with. Both
// lists stay sorted by their case-folded names, so enumeration order does not
// depend on the order of creation or on the file.
struct KeyNode
{
    struct NamedValue
    {
        QString name;
        QString folded;
        Value value;
    };

    QString name;
    QString folded;
    // Only in the in-memory overlay of volatile keys: this key was created
    // volatile (or lies below such a key). Overlay keys without the mark are
    // just the way to a volatile key.
    bool isVolatile = false;
    std::vector<KeyNode> keys;
    std::vector<NamedValue> values;

    static QString fold(const QString &name) { return name.toCaseFolded(); }

    KeyNode *child(const QString &childName);
    const KeyNode *child(const QString &childName) const;
    // The subkey of that name, created (with this spelling) when missing;
    // created is set when it was.
    KeyNode &ensureChild(const QString &childName, bool *created = nullptr);
    bool removeChild(const QString &childName);

    // The key at the end of the path segments, or null.
    KeyNode *find(const QStringList &segments);
    const KeyNode *find(const QStringList &segments) const;

    const NamedValue *findValue(const QString &valueName) const;
    // Sets the value, keeping the spelling of an existing value's name.
    void setValue(const QString &valueName, const Value &value);
    bool removeValue(const QString &valueName);
};

// The two root keys of a store, indexed by RootKey.
using KeyTree = std::array<KeyNode, 2>;

inline KeyNode &rootOf(KeyTree &tree, RootKey root)
{
    return tree[root == RootKey::LocalMachine ? 0 : 1];
}
inline const KeyNode &rootOf(const KeyTree &tree, RootKey root)
{
    return tree[root == RootKey::LocalMachine ? 0 : 1];
}

} // namespace registry
