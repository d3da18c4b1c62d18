#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

namespace station {

// What the station runs, and how: the program each run is, the image of
// each generation and the run's options. The window changes them for the
// runs it starts from then on; a run under way keeps what it started with.
struct Settings
{
    // The program each run starts (vemotool itself).
    QString program;
    // The runs are started through these words, the program and its
    // arguments after them (nice -n 5, taskset -c 2, a sandbox); empty: the
    // program itself.
    QStringList launcher;
    // The image of each generation ("Vemo2" -> "/srv/line/vemo2.bin"); a
    // device of a generation without one is left alone.
    QMap<QString, QString> images;
    // Each run checks the device after its update (--verify).
    bool verify = true;
    // With verify: the version the device must answer (--expect-version).
    QString expectVersion;
    // Each run writes the calibration date and prints the certificate
    // (/CALIBRATE), into certificateFolder when one is given (--print-to).
    bool calibrate = false;
    QString certificateFolder;
    // Every run appends its record here (--record); the counters read it.
    QString recordFile;
    // Each run's log (--log-file), one file per run.
    QString logFolder;
    // A run that has not ended by then ends with status 3 (--timeout).
    int timeoutSeconds = 600;
    // Options every run gets as they are (--usb=, --sim=, --registry=, ...).
    QStringList passOn;
    // Each run's own temporary folder is made under this one (an installer
    // leaves its image in $TMPDIR under the generation's name); empty: the
    // system's.
    QString tempRoot;

    // The image for generation; empty when none is given.
    QString imageFor(const QString &generation) const { return images.value(generation); }
};

// The command line of one run, for the device at path with the image of
// its generation and its log file: the program's arguments, without the
// program.
//   --batch --events=- --device=PATH --record=FILE --log-file=LOG
//   --timeout=S [--verify] [--expect-version=V] [--print-to=DIR] PASS-ON...
//   -- IMAGE [/CALIBRATE]
QStringList runArguments(const Settings &settings, const QString &path, const QString &image,
                         const QString &logFile);

// A log file's name for a run at path that starts now: the path with every
// character but letters, digits, '.', '-' and '_' made '_', and the time.
QString logFileName(const QString &path, const QString &timeText);

} // namespace station
