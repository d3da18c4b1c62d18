#pragma once

#include "registry/KeyNode.h"

#include <QByteArray>
#include <QString>

namespace registry {

// The key store's file: one JSON document,
//   {"format": "vemo-registry", "version": 1,
//    "roots": {"HKEY_LOCAL_MACHINE": <key>, "HKEY_CURRENT_USER": <key>}}
// where a key is {"keys": {<name>: <key>, ...},
//                 "values": {<name>: {"type": "string", "data": "text"} or
//                                    {"type": "integer", "data": 42}, ...}}
// and both members may be left out when empty. A file that does not follow
// this exactly is refused as a whole rather than half read.
class RegistryFormat
{
public:
    static constexpr int kVersion = 1;

    static QString rootName(RootKey root);

    // Fills tree from the file's content; false with a readable reason (where
    // in the file, what is wrong) when the content is not a valid store.
    static bool parse(const QByteArray &content, KeyTree &tree, QString *error);
    static QByteArray serialize(const KeyTree &tree);
};

} // namespace registry
