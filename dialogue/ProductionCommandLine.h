#pragma once

#include <QByteArray>
#include <QDate>
#include <QString>
#include <QStringList>

namespace dialogue {

// The production line's command line, as the program reads it: a serial
// run ("/SERIAL" and nine characters), or an unattended update from a
// firmware file, with or without the calibration steps ("/CALIBRATE").
struct ProductionCommandLine
{
    enum class Run
    {
        None,   // no arguments: an ordinary start
        Serial, // write serialNumber into the device
        Update, // load firmwareFile into the one device
    };

    Run run = Run::None;
    QByteArray serialNumber; // Serial: 9 characters, upper-cased
    QString firmwareFile;    // Update: the first argument as given
    bool calibrate = false;  // Update: the second argument is "/CALIBRATE"

    // arguments: those after the program path. Arguments are compared
    // upper-cased; the serial number is characters 8 to 16 of a 16-character
    // first argument beginning with "/SERIAL". Any other first argument is a
    // firmware file.
    static ProductionCommandLine parse(const QStringList &arguments);

    // The calibration date written into the device: yy-mm-dd.
    static QByteArray calibrationDate(const QDate &today);
};

} // namespace dialogue
