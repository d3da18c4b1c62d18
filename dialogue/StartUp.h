#pragma once

#include <QString>
#include <QStringList>

class TVemoUSBinterface;

namespace dialogue {

class DeviceDialogue;
class WindowPort;

// The window's start-up, once the window has made its registry probe: the
// program records its path, reports the drivers and the devices the
// registry knows, puts the controls and the window state at rest, makes the
// link through the window and binds its callbacks to the dialogue,
// connects it, enables plug-and-play, fills the device list and hands any
// command line on. Nothing here waits for a device reply.
class StartUp
{
public:
    explicit StartUp(DeviceDialogue &dialogue);

    // arguments: as the program got them, the program path first.
    void Run(const QStringList &arguments);

    // Where the program records its own path.
    static const QString SelfKey;
    static const QString SelfValue;
    // The last line of a start-up that lists no device.
    static constexpr const char *NoVemoDetected =
        "No Vemo detected, be shure Vemo is connected and latest driver is installed!!";

private:
    // Self-registration: the read creates the value when it is missing; a
    // value naming another path (letter case counts) is overwritten once.
    void RecordProgramPath(const QString &programPath);
    void ReportDrivers();
    void ReportRegisteredDevices();
    // The device controls off and the progress bar hidden; nothing runs.
    void PutWindowAtRest();
    // Makes, binds and connects the link and fills the device list; any
    // failure on the way is the missing component's box and the end.
    void WireLink();
    void BindLink(TVemoUSBinterface &link);

    DeviceDialogue &FDialogue;
    WindowPort &FWindow;
};

} // namespace dialogue
