#include "dialogue/IncomingLines.h"

#include "dialogue/ChunkRules.h"
#include "dialogue/DeviceDialogue.h"
#include "dialogue/DeviceText.h"
#include "dialogue/LinkCalls.h"
#include "dialogue/Protocol.h"
#include "dialogue/WindowPort.h"
#include "platform/HostServices.h"

#include <exception>

namespace dialogue {

IncomingLines::IncomingLines(DeviceDialogue &dialogue)
    : FDialogue(dialogue), FWindow(dialogue.window())
{}

void IncomingLines::DeviceDataReceived(const QByteArray &chunk)
{
    const ChunkOutcome outcome =
        ChunkRules::apply(chunk, FDialogue.pendingChunk(), FWindow.filterLifeTick());
    FWindow.rawLog(outcome.rawLine);
    if (outcome.beep)
        platform::host().beep();

    switch (outcome.action) {
    case ChunkOutcome::Action::LoaderReady:
        // Not shown, and the held chunk stays: the update takes it from here.
        FDialogue.loaderReady();
        return;
    case ChunkOutcome::Action::Hidden:
        return;
    case ChunkOutcome::Action::Held:
        FDialogue.holdChunk(outcome.text);
        return;
    case ChunkOutcome::Action::Shown:
        break;
    }

    // The line is this call's own: the echo's sends, the box and the
    // printing handle messages, so further chunks can arrive meanwhile.
    const QByteArray line = outcome.text;
    FWindow.logDevice(line);
    if (FWindow.echo() && line != protocol::EchoAnswer)
        Echo(line);
    if (protocol::isSerialReply(line))
        SerialReply(line);
    if (protocol::isCalibrationReply(line))
        CalibrationReply(line);
    FDialogue.lineShown(line);
    // Last, so a chunk held by a nested call is dropped with this line.
    FDialogue.clearPendingChunk();
}

void IncomingLines::Echo(const QByteArray &line)
{
    FWindow.logDevice(QByteArrayLiteral("Echo is on: Sending 2x DTP") + line);
    const QByteArray echo = protocol::EchoPrefix + line;
    LinkCalls::logFailure(FWindow, QStringLiteral("Error writing DTP1: "),
                          LinkCalls::sendCommand(FWindow, echo));
    LinkCalls::logFailure(FWindow, QStringLiteral("Error writing DTP2: "),
                          LinkCalls::sendCommand(FWindow, echo));
}

void IncomingLines::SerialReply(const QByteArray &line)
{
    if (protocol::serialReplyAccepted(line)) {
        const QByteArray serial = protocol::serialOf(line);
        FDialogue.setSerialNo(serial);
        FDialogue.serialReply(true, serial);
        return;
    }
    platform::host().messageBox(QStringLiteral("Error length of device number"),
                                QStringLiteral("Please check device number!") +
                                    DeviceText::decode(line),
                                platform::MB_OK | platform::MB_ICONERROR);
    FDialogue.serialReply(false, QByteArray());
}

void IncomingLines::CalibrationReply(const QByteArray &line)
{
    FWindow.log(QStringLiteral("Print out Report:"));
    QString error;
    bool made = false;
    try {
        FDialogue.printCertificate(FDialogue.serialNo(), protocol::deviationOf(line),
                                   protocol::calibrationDateOf(line));
        made = true;
    } catch (const std::exception &raised) {
        error = QString::fromUtf8(raised.what());
        FWindow.log(QStringLiteral("Could not create Report:") + error);
    }
    FDialogue.certificateMade(made, error);
}

} // namespace dialogue
