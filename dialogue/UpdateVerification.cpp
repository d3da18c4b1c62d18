#include "dialogue/UpdateVerification.h"

#include "dialogue/DeviceText.h"
#include "dialogue/Protocol.h"
#include "dialogue/WindowPort.h"
#include "link/VemoUSBinterface.h"

#include <QRegularExpression>

namespace dialogue {

void UpdateVerification::Start()
{
    FFailure.clear();
    // The device as the update had it, followed through its loader: its
    // restart with the new image closes it, and the window forgets it then.
    FUpdated = FWindow.deviceChoice();
    FPhase = Phase::WaitingForDevice;
    FWindow.log(QStringLiteral("waiting for the device to come back with its new firmware"));
}

void UpdateVerification::Abandon()
{
    if (waiting())
        FPhase = Phase::Off;
}

void UpdateVerification::DeviceArrived()
{
    if (FPhase != Phase::WaitingForDevice || UpdatedDeviceStillAttached())
        return;
    const int index = ReturnedDevice();
    if (FPhase != Phase::WaitingForDevice || index < 0)
        return;
    FWindow.selectDeviceItem(index);
    // Waiting for the answer already during the open: its query's answer
    // can come inside it.
    FPhase = Phase::WaitingForAnswer;
    FWindow.openClick();
    // The open disables its button only when the device opened; the version
    // it gives in its descriptors now is the one it came back with.
    const bool opened = !FWindow.controlEnabled(WindowPort::Control::Open);
    if (opened) {
        if (const auto &back = FWindow.deviceChoice().followed())
            FWindow.runFacts().noteFirmwareAfter(back->release);
    }
    if (FPhase != Phase::WaitingForAnswer)
        return;
    if (!opened)
        Fail(QStringLiteral("the device came back but did not open"));
}

void UpdateVerification::LineShown(const QByteArray &line)
{
    if (FPhase != Phase::WaitingForAnswer || protocol::isLifeTick(line))
        return;
    const QString answer = DeviceText::decode(line).trimmed();
    if (answer.isEmpty())
        return;
    FWindow.log(QString::fromLatin1(AnswerPrefix) + answer);
    FWindow.runFacts().noteFirmwareAnswer(answer);
    const QString expected = FWindow.runSettings().expectVersion;
    if (!expected.isEmpty() && !answerHoldsVersion(answer, expected)) {
        Fail(QStringLiteral("firmware after update is '%1', not %2").arg(answer, expected));
        return;
    }
    FPhase = Phase::Passed;
}

bool UpdateVerification::UpdatedDeviceStillAttached()
{
    // The arrival is another device's: the updated one has not left yet.
    TVemoUSBinterface *link = FWindow.link();
    usbio::DeviceAddress address;
    return link && link->Opened && link->DeviceAddress(address) == usbio::status::Success;
}

int UpdateVerification::ReturnedDevice()
{
    const QList<usbio::DeviceDescription> listed = DeviceChoice::describeListed(FWindow);
    // Where it left the bus, among any others; another device there (or it
    // at another path) did not come back with the new image.
    if (FUpdated.following()) {
        const DeviceChoice::Return back = FUpdated.findReturn(FWindow, listed);
        switch (back.result) {
        case DeviceChoice::Return::Result::Back:
            return back.index;
        case DeviceChoice::Return::Result::NotYet:
            return -1;
        case DeviceChoice::Return::Result::Other:
            Fail(back.line);
            return -1;
        }
    }
    // Not described when it was opened: the device named, or the one device
    // as the run had it; with several the right one is not known and the
    // wait goes on.
    if (FUpdated.hasNamed()) {
        const DeviceChoice::Lookup lookup = DeviceChoice::find(listed, FUpdated.named());
        return lookup.result == DeviceChoice::Lookup::Result::Found ? lookup.index : -1;
    }
    return FWindow.deviceItemCount() == 1 ? 0 : -1;
}

QString UpdateVerification::timeOutFailure(int seconds) const
{
    const QString why = FPhase == Phase::WaitingForDevice
                            ? QStringLiteral("the device did not come back within %1 s")
                            : QStringLiteral("the device did not answer within %1 s");
    return QString::fromLatin1(FailurePrefix) + why.arg(seconds);
}

bool UpdateVerification::answerHoldsVersion(const QString &answer, const QString &version)
{
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    const QStringList words = answer.split(blanks, Qt::SkipEmptyParts);
    for (const QString &word : words) {
        if (word == version ||
            (word.size() == version.size() + 1 &&
             word.startsWith(QLatin1Char('V'), Qt::CaseInsensitive) && word.mid(1) == version))
            return true;
    }
    return false;
}

void UpdateVerification::Fail(const QString &why)
{
    FFailure = QString::fromLatin1(FailurePrefix) + why;
    FPhase = Phase::Failed;
    FWindow.log(FFailure);
}

} // namespace dialogue
