#pragma once

#include "platform/HostServices.h"

#include <QString>

namespace dialogue {

class DeviceDialogue;
class WindowPort;

// Where bug reports go: the caption of the bug label and the mail's recipient.
inline constexpr const char *SupportAddress = "support@orvik.example";

// The operator's own functions: sending the typed or picked command,
// picking a firmware file, the bug-report mail, and the test functions of
// the service area.
class OperatorFunctions
{
public:
    explicit OperatorFunctions(DeviceDialogue &dialogue);

    void SendCommandClick();
    // key is Qt's key code; Enter (either key) sends, every key goes on to
    // the command box.
    void CommandKeyDown(int key);
    void ChooseFileClick();
    void BugLabelClick();
    // The service area's tests: the window blocked for the sleep test, 200
    // open/close cycles, the periodic wind test, 200 "DTP" commands.
    void SleepTestClick();
    void OpenCloseTestClick();
    void Count10sWindClick();
    void VemoWindTimer();
    void DTPTestClick();

    // The bug report's mailto: address, nothing percent-encoded.
    static QString bugReportAddress(const QString &caption, const platform::OsVersion &os);

    static constexpr int TestRepeats = 200;
    // The sleep test blocks this long (not the 5 s of its caption).
    static constexpr int SleepTestMs = 50000;

private:
    // Sends text and logs a failure as "Error writing Command: ".
    void SendLogged(const QByteArray &text);

    DeviceDialogue &FDialogue;
    WindowPort &FWindow;
};

} // namespace dialogue
