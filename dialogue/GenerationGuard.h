#pragma once

#include <QString>

namespace dialogue {

class DeviceDialogue;
class WindowPort;

// Keeps one generation's firmware out of another generation's device: a
// file whose name names a generation (vemo3.bin, VEMO2.EXE) is refused for a
// device of another one in a production run unless the run is forced, and
// makes the window ask the operator before an update. A name that names no
// generation is loaded as it is.
class GenerationGuard
{
public:
    // The line that refuses file for the listed device at index; empty when
    // the file may go in (it names no generation or the device's own, or the
    // run forces it).
    static QString Refusal(DeviceDialogue &dialogue, const QString &file, int index);

    // The operator pressed Update: when the file names another generation
    // than the one listed device, a Yes/No box asks (No by default). True to
    // go on with the update; unattended runs were checked when they started.
    static bool OperatorAgrees(DeviceDialogue &dialogue);

    static constexpr const char *QuestionCaption = "Firmware of another generation";

private:
    // The generation file names when it is not the device's at index; else
    // empty.
    static QString OtherGeneration(WindowPort &window, const QString &file, int index,
                                   QString *deviceName);
};

} // namespace dialogue
