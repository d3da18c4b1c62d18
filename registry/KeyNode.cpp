#include "registry/KeyNode.h"

#include <algorithm>

namespace registry {

namespace {

template <typename List> auto lowerBound(List &list, const QString &folded)
{
    return std::lower_bound(list.begin(), list.end(), folded,
                            [](const auto &item, const QString &key) { return item.folded < key; });
}

// Removes the entry named name (any letter case); false when there is none.
template <typename List> bool eraseNamed(List &list, const QString &name)
{
    const QString folded = KeyNode::fold(name);
    auto it = lowerBound(list, folded);
    if (it == list.end() || it->folded != folded)
        return false;
    list.erase(it);
    return true;
}

} // namespace

KeyNode *KeyNode::child(const QString &childName)
{
    const QString key = fold(childName);
    auto it = lowerBound(keys, key);
    return it != keys.end() && it->folded == key ? &*it : nullptr;
}

const KeyNode *KeyNode::child(const QString &childName) const
{
    return const_cast<KeyNode *>(this)->child(childName);
}

KeyNode &KeyNode::ensureChild(const QString &childName, bool *created)
{
    const QString key = fold(childName);
    auto it = lowerBound(keys, key);
    const bool isNew = it == keys.end() || it->folded != key;
    if (created)
        *created = isNew;
    if (!isNew)
        return *it;
    KeyNode node;
    node.name = childName;
    node.folded = key;
    return *keys.insert(it, std::move(node));
}

bool KeyNode::removeChild(const QString &childName)
{
    return eraseNamed(keys, childName);
}

KeyNode *KeyNode::find(const QStringList &segments)
{
    KeyNode *node = this;
    for (const QString &segment : segments) {
        node = node->child(segment);
        if (!node)
            return nullptr;
    }
    return node;
}

const KeyNode *KeyNode::find(const QStringList &segments) const
{
    return const_cast<KeyNode *>(this)->find(segments);
}

const KeyNode::NamedValue *KeyNode::findValue(const QString &valueName) const
{
    const QString key = fold(valueName);
    auto it = lowerBound(values, key);
    return it != values.end() && it->folded == key ? &*it : nullptr;
}

void KeyNode::setValue(const QString &valueName, const Value &value)
{
    const QString key = fold(valueName);
    auto it = lowerBound(values, key);
    if (it != values.end() && it->folded == key) {
        it->value = value;
        return;
    }
    values.insert(it, NamedValue{valueName, key, value});
}

bool KeyNode::removeValue(const QString &valueName)
{
    return eraseNamed(values, valueName);
}

} // namespace registry
