#pragma once

#include "registry/KeyStore.h"

#include <QStringList>

// Fills a key store from short lines, so test tables can say what a host's
// registry holds (all under HKEY_LOCAL_MACHINE):
//   "key|PATH"             a key
//   "volatile|PATH"        a volatile key (as the driver lists present devices)
//   "str|PATH|NAME|TEXT"   a string value
//   "int|PATH|NAME|NUMBER" an integer value
// Returns false (and names the line) for a line it does not understand.
bool applyStoreSetup(registry::KeyStore &store, const QStringList &lines, QString *error);
