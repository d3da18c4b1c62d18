#pragma once

#include <QString>
#include <QStringList>

// The window's file-open dialog. Filter keeps the toolkit's form
// ("description|name;name|description|..."), which the rest of the program
// sets and compares; it is turned into Qt's form only when shown.
class TOpenDialog
{
public:
    QString Filter;
    QString FileName; // the confirmed file's full path

    // "Vemo update files|vemo.exe;vemo.bin" -> "Vemo update files (vemo.exe vemo.bin)";
    // a trailing description without patterns is dropped.
    static QStringList qtNameFilters(const QString &filter);

    // Shows the dialog modally (through the host, so tests answer it); true
    // and FileName set when a file was confirmed.
    bool Execute();
};
