#include "dialogue/OperatorFunctions.h"

#include "dialogue/DeviceDialogue.h"
#include "dialogue/DeviceText.h"
#include "dialogue/LinkCalls.h"
#include "dialogue/Protocol.h"
#include "dialogue/WindowPort.h"

#include <Qt>

namespace dialogue {

OperatorFunctions::OperatorFunctions(DeviceDialogue &dialogue)
    : FDialogue(dialogue), FWindow(dialogue.window())
{}

void OperatorFunctions::SendLogged(const QByteArray &text)
{
    LinkCalls::logFailure(FWindow, QStringLiteral("Error writing Command: "),
                          LinkCalls::sendCommand(FWindow, text));
}

void OperatorFunctions::SendCommandClick()
{
    QByteArray text = DeviceText::encode(FWindow.commandText());
    if (FWindow.withCR())
        text += protocol::CR;
    SendLogged(text);
}

void OperatorFunctions::CommandKeyDown(int key)
{
    if (key == Qt::Key_Return || key == Qt::Key_Enter)
        SendCommandClick();
}

void OperatorFunctions::ChooseFileClick()
{
    QString chosen;
    if (platform::host().chooseFile(FWindow.openDialogFilter(), chosen))
        FWindow.setFileName(chosen);
}

QString OperatorFunctions::bugReportAddress(const QString &caption, const platform::OsVersion &os)
{
    return QStringLiteral("mailto:") + QLatin1String(SupportAddress) +
           QStringLiteral("?subject=Bugreport") + caption +
           QStringLiteral("&body=I use Operating System: V") + QString::number(os.major) +
           QLatin1Char('.') + QString::number(os.minor) + QLatin1Char(' ') + os.servicePack +
           QStringLiteral("       Used Cable Number:        used device:       used program:");
}

void OperatorFunctions::BugLabelClick()
{
    // Nothing is reported when no mail program takes the address.
    platform::host().openUrl(bugReportAddress(FWindow.caption(), platform::host().osVersion()));
}

void OperatorFunctions::SleepTestClick()
{
    // Blocks without handling messages: the test is what the window does
    // when it cannot answer.
    platform::host().setBusyCursor(true);
    platform::host().sleep(SleepTestMs);
    platform::host().setBusyCursor(false);
}

void OperatorFunctions::OpenCloseTestClick()
{
    for (int cycle = 0; cycle < TestRepeats; ++cycle) {
        // The window closed inside a wait of the loop: nothing to test any more.
        if (!FWindow.link())
            return;
        FDialogue.openClick();
        if (!FWindow.link())
            return;
        FDialogue.closeClick();
    }
}

void OperatorFunctions::Count10sWindClick()
{
    using Timer = WindowPort::Timer;
    FWindow.setTimerEnabled(Timer::VemoWind, !FWindow.timerEnabled(Timer::VemoWind));
}

void OperatorFunctions::VemoWindTimer()
{
    SendLogged(protocol::WindTest);
}

void OperatorFunctions::DTPTestClick()
{
    for (int write = 0; write < TestRepeats; ++write) {
        if (!FWindow.link())
            return;
        SendLogged(protocol::PrinterTest);
    }
}

} // namespace dialogue
