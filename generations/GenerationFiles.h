#pragma once

#include "generations/GenerationTable.h"

#include <QString>
#include <QStringList>

// The files of the package that name the generations, made from a table at
// build time (packaging/make_generation_files): the udev rule, and the
// AppStream data and the manual page from their templates.
namespace generations {

// The udev rule that lets the user logged in at the seat open the devices
// of every generation of the table: one rule line, with its comment.
QString udevRule(const GenerationTable &table);

// The AppStream modaliases of the table's devices ("usb:v5E1Ap088Ad*"), one
// per generation, in the table's order.
QStringList modaliases(const GenerationTable &table);

// A template with the table written in. Its markers:
//   {{generation-names}}  "Vemo, Vemo2 and Vemo3"
//   {{product-ids}}       "0889, 088a and 088b"
//   {{modaliases}}        alone on its line: one <modalias> element per
//                         generation, each on a line of the marker's indent
// A marker of another name is a fault: the text is then empty and error
// (when given) names it.
QString fillTemplate(const QString &text, const GenerationTable &table, QString *error = nullptr);

} // namespace generations
