#pragma once

#include "dialogue/EndKind.h"
#include "dialogue/UpdateVerification.h"

#include <QByteArray>
#include <QString>
#include <QTimer>

namespace dialogue {

class CommandLineRuns;
class FirmwareUpdate;
class WindowPort;

// How an unattended update run ends, besides the transfer's own ends:
//
// - an image that cannot be sent (an installer that does not start, no
//   image, a file that cannot be read, the link refusing the transfer) ends
//   the run at once instead of leaving it to its time-out;
// - the update's done end waits for what the run still needs: the
//   calibration reply and its certificate (for CalibrationGraceMs after the
//   transfer), and with --verify the device back with its new firmware
//   (UpdateVerification); it then ends the run as done or failed, saying why;
// - a signal ends the run: during a transfer the device is closed (the
//   transfer ends after the chunk in flight) and the run ends with how far
//   the image got.
//
// The window asks it about every end before it records one (HoldsEnd) and
// hands it the reports it needs; it ends the run through the port's
// endProgram, as the last thing it does.
class UpdateEnding
{
public:
    UpdateEnding(WindowPort &window, FirmwareUpdate &update, const CommandLineRuns &runs);

    // "Flash is BLANK": the update prepares and sends the image. After the
    // update was done (the run waits for its certificate or check) the
    // device is back in its loader: the run ends, the image not loaded.
    void SendFirmwareFile();
    // The transfer ended before the whole image was handed over (before the
    // update hears of it).
    void TransferFailed(qint64 sent, qint64 size);
    // A device arrived and the device list was rebuilt.
    void DeviceArrived();
    // A line the message log showed.
    void LineShown(const QByteArray &line);
    // The calibration reply was printed as a certificate, or could not be.
    void CertificateMade(bool made, const QString &error);
    // An unattended run showed a box: a run that waits here ends failed.
    void BoxShown(const QString &line);
    // SIGTERM, SIGINT: the run ends.
    void Interrupted(const QString &signalName);
    // The time-out ran out: when this waits for the verification, the end it
    // gives (true, with the reason); else false and the time-out ends the run.
    bool TimeOutEnd(int seconds, QString *reason) const;

    // Every end the window is asked for, before it records it: true when it
    // is held back (the update's done end while the run still waits for
    // something; any end while a signal closes the device).
    bool HoldsEnd(EndKind kind, const QString &reason);

    // A transfer of this run is under way.
    bool TransferRunning() const { return FTransferRunning; }
    // The update is done and the run waits for its certificate or check.
    bool Waiting() const { return FAfterUpdate && !FFinishing; }

    // How long the calibration reply may still come once the update is done.
    int CalibrationGraceMs = DefaultCalibrationGraceMs;
    static constexpr int DefaultCalibrationGraceMs = 5000;

private:
    struct Decision
    {
        bool waiting = true;
        EndKind kind = EndKind::Done;
        QString reason;
    };
    // Why the transfer of a run did not start, as the run's end.
    void EndUnsentImage(const QString &file, bool installer);
    Decision Decide() const;
    // Ends the run when it waits for nothing more.
    void Settle();
    // The last thing it does: the end goes to the window.
    void Finish(EndKind kind, const QString &reason);
    void Stop();
    bool Calibrating() const;

    WindowPort &FWindow;
    FirmwareUpdate &FUpdate;
    const CommandLineRuns &FRuns;
    UpdateVerification FVerification;
    QTimer FGrace;

    bool FTransferRunning = false;
    // Set by a failed transfer: how far it got.
    qint64 FFailedSent = -1;
    qint64 FFailedSize = -1;
    bool FAfterUpdate = false;
    QString FDoneReason;
    bool FFinishing = false;
    bool FInterrupting = false;
    // The update reported its done end while a signal closed the device.
    bool FImageCompletedMeanwhile = false;
    bool FCertificateMade = false;
    bool FCertificateFailed = false;
    QString FCertificateError;
};

} // namespace dialogue
