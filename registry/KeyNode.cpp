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

KeyNode *KeyNode::child(const QString &name)
{
    const QString folded = fold(name);
    auto it = lowerBound(keys, folded);
    return it != keys.end() && it->folded == folded ? &*it : nullptr;
}

const KeyNode *KeyNode::child(const QString &name) const
{
    return const_cast<KeyNode *>(this)->child(name);
}

KeyNode &KeyNode::ensureChild(const QString &name, bool *created)
{
    const QString folded = fold(name);
    auto it = lowerBound(keys, folded);
    const bool isNew = it == keys.end() || it->folded != folded;
    if (created)
        *created = isNew;
    if (!isNew)
        return *it;
    KeyNode node;
    node.name = name;
    node.folded = folded;
    return *keys.insert(it, std::move(node));
}

bool KeyNode::removeChild(const QString &name)
{
    return eraseNamed(keys, name);
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

const KeyNode::NamedValue *KeyNode::findValue(const QString &name) const
{
    const QString folded = fold(name);
    auto it = lowerBound(values, folded);
    return it != values.end() && it->folded == folded ? &*it : nullptr;
}

void KeyNode::setValue(const QString &name, const Value &value)
{
    const QString folded = fold(name);
    auto it = lowerBound(values, folded);
    if (it != values.end() && it->folded == folded) {
        it->value = value;
        return;
    }
    values.insert(it, NamedValue{name, folded, value});
}

bool KeyNode::removeValue(const QString &name)
{
    return eraseNamed(values, name);
}

} // namespace registry
