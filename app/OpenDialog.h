#pragma once

#include <QString>
#include <QStringList>

// The window's file-open dialog (shown through the host, so tests answer
// it). Filter keeps the toolkit's form
// ("description|name;name|description|..."), which the rest of the program
// sets and compares; it is turned into Qt's form only when shown.
class TOpenDialog
{
public:
    QString Filter;

    // "Vemo update files|vemo.exe;vemo.bin" -> "Vemo update files (vemo.exe vemo.bin)";
    // a trailing description without patterns is dropped.
    static QStringList qtNameFilters(const QString &filter);
};
