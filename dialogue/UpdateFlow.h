#pragma once

#include "dialogue/DeviceChoice.h"
#include "dialogue/EndKind.h"
#include "usbio/Status.h"

#include <QByteArray>
#include <QString>
#include <QTimer>

#include <functional>

namespace dialogue {

class DeviceDialogue;
class WindowPort;

// The firmware update, as one state machine.
//
// Update asks the device to restart into its loader ("USB-Vemo:BWF!!!"); the
// device leaves the bus and comes back, and is opened again where it left
// (followed by its bus path); the request is repeated until the loader says
// "Flash is BLANK"; an installer is run to leave the image when the file is
// one; the image streams through the link, and the update is complete when
// the device took the last chunk. An unattended run (a production command
// line) then waits for what it still needs: the certificate of its
// calibration reply, and with --verify the device back with its new
// firmware and its version answer. Only then does it end, as done or with
// the reason it failed.
//
// Each event has one method, and each method says what every state does
// with it (a switch over all states, no default: an event that does not
// apply in a state is ignored by a case of its own, never by accident).
// Whatever the update shows goes through the window port; how a run ends
// goes to DeviceDialogue::end, as the last thing a method does.
class UpdateFlow
{
public:
    enum class State
    {
        Idle,                // no update runs
        AskingLoader,        // the loader request went out; the device has not left
        DeviceAway,          // off the bus on its way into the loader (the reminder runs)
        LoaderOpen,          // the loader is open; the request repeats until it is ready
        RunningInstaller,    // an installer makes the image (the thread blocks)
        Stalled,             // no image could be sent; a replug or the loader resumes
        Transferring,        // the image streams, one chunk in flight
        AwaitingCertificate, // unattended: the image is in; the calibration reply may come
        VerifyingReturn,     // --verify: the device has yet to come back
        VerifyingAnswer,     // --verify: opened again; its version answer has yet to come
        Ended,               // an unattended run's end is decided
    };

    UpdateFlow(DeviceDialogue &dialogue, WindowPort &window);

    State state() const { return FState; }
    // An update was asked for and has not ended: the open is in update mode
    // and a removal starts the restart reminder.
    bool updating() const;
    // The run is a production command line's: its end ends the program.
    bool unattended() const { return FUnattended; }
    // The run waits after its update for its certificate or its check.
    bool waitingAfterUpdate() const;
    // How the state is named to an operator or a script ("transferring").
    static const char *stateName(State state);

    // Told of every change of state, after it.
    std::function<void(State)> OnStateChanged;

    // Puts the flow in a state without the events that lead there: for tests
    // that start in the middle of an update (a row of the transition table).
    void setStateForTest(State state) { enter(state); }

    // ---- The run -------------------------------------------------------------
    // A production command line runs the update: it ends the program; with
    // calibrating, it is done only with the certificate of its reply.
    void beginUnattended(bool calibrating);

    // ---- Events ----------------------------------------------------------------
    // The Update button (or the production command line after its checks).
    void updateClick();
    // Open (a control or a test) while an update runs: the device opens in
    // its loader.
    void openRequested();
    // The open device left the bus (the window has closed it).
    void deviceLeft();
    // A device arrived while none was open on the bus; count: the devices
    // listed now.
    void deviceArrived(int count);
    // "Flash is BLANK": the loader is ready for the image.
    void loaderReady();
    // The link handed a chunk over; percent of the image.
    void transferProgress(int percent);
    // The device took the last chunk of the image.
    void transferComplete(const QByteArray &fileName, qint64 size, qint64 elapsedMs);
    // The transfer ended before the device took all of the image.
    void transferFailed(const QByteArray &fileName, qint64 taken, qint64 size,
                        usbio::Status reason);
    // A tick of the loader-request timer.
    void bwfTick();
    // A tick of the restart reminder.
    void restartReminderTick();
    // The window is asked to close: true when it may. While a transfer runs
    // the operator is asked first (No, the default, keeps both).
    bool closeQuery();
    // The window closes: a running transfer ends after its chunk in flight.
    void windowClosing();
    // SIGTERM, SIGINT: the run ends; during a transfer after the chunk in
    // flight, with how far the image got.
    void interrupted(const QString &signalName);
    // A line the message log showed (the version answer comes as one).
    void lineShown(const QByteArray &line);
    // The calibration reply was printed as a certificate, or could not be.
    void certificateMade(bool made, const QString &error);
    // An unattended run showed a box: a run that waits after its update
    // ends failed.
    void boxShown(const QString &line);
    // The run's time-out ran out: while it waits for the device after the
    // update, the reason the image did not get in (true); else false and
    // the time-out ends the run.
    bool timeOutEnd(int seconds, QString *reason) const;
    // The run ended (by the flow or anything else): nothing waits any more.
    void runEnded();

    // How long the calibration reply may still come once the update is done.
    int CalibrationGraceMs = DefaultCalibrationGraceMs;
    static constexpr int DefaultCalibrationGraceMs = 5000;

    // Why a transfer failed, from the link's reason: "device removed",
    // "chunk refused (statusText)", ... An unattended run ends with
    // "transfer failed: " + this + " at 2048 of 8000 bytes".
    static QString failureCause(usbio::Status reason, const QString &statusText);

    static constexpr const char *CloseQuestion =
        "A firmware update is running. Closing now stops it, and the device stays in its "
        "loader without firmware. Close anyway?";
    static constexpr const char *CloseCaption = "Firmware update running";
    // The one line a "Flash is BLANK" gets while a transfer that is not
    // this flow's runs.
    static constexpr const char *BlankIgnored =
        "Flash is BLANK ignored: the firmware transfer is running";
    // A "Flash is BLANK" while this flow's image streams: the loader erased
    // the flash again (a request crossed the answer, or the answer taken
    // was an older one), and what it took so far is gone.
    static constexpr const char *BlankAgain =
        "Flash is BLANK during the transfer: the loader erased the flash again; the image "
        "goes again from the start";
    // How often the image starts again before the update gives up.
    static constexpr int MaxImageRestarts = 3;
    static constexpr const char *AnswerPrefix = "firmware after update: ";
    static constexpr const char *FailurePrefix = "verification failed: ";

private:
    void enter(State state);
    // Prepares the image (runs an installer) and starts its transfer.
    void sendImage();
    // The image of an unattended run could not be sent: the run ends, saying why.
    void endUnsentImage(const QString &file, bool installer, const QString &linkFailure);
    // Back to rest after a transfer: the bar hidden, the controls back.
    void endTransfer();
    // The transfer whose end is reported is the one this flow started.
    bool transferOfThisFlow() const;
    // The device that came back where the updated one left, opened in
    // update mode.
    void reopenReturned(int count);
    void openInLoader();
    // The transfer that the loader's erase spoiled ends, and the image goes
    // again after the loader's next "Flash is BLANK".
    void restartImage();
    // Another device came where the updated one left (or it elsewhere).
    void refuseOtherDevice(const QString &line);

    // ---- After an unattended update
    void afterUpdate(const QString &doneReason);
    void verifyArrival();
    void verifyFail(const QString &why);
    // The index of the updated device back on the bus; -1 while it is not
    // (or when another came in its place: the check failed).
    int returnedDevice();
    bool openDeviceStillAttached();
    // Ends the run when it waits for nothing more, else names what it
    // waits for.
    void settle();
    bool calibrationPending() const;

    // The last thing it does: the end goes to the dialogue.
    void finish(EndKind kind, const QString &reason);
    // The same, saying why in the log (and to an operator in a box).
    void finishWithLine(EndKind kind, const QString &line);

    DeviceDialogue &FDialogue;
    WindowPort &FWindow;
    State FState = State::Idle;
    bool FUnattended = false;
    bool FCalibrating = false;

    // A signal closes the device: the transfer's end it causes is its own.
    bool FInterrupting = false;
    bool FImageCompletedMeanwhile = false;
    // The loader erased the flash while the image streamed: the transfer
    // ends and the image goes again (from the loop, not inside the link's
    // report of the answer). The restart is pending from the erase's
    // "Flash is BLANK" until its close has ended the transfer.
    bool restartPending() const { return FRestartImage.isActive() || FRestarting; }
    bool FRestarting = false;
    int FImageRestarts = 0;
    QTimer FRestartImage;
    // How far a failed transfer got; -1 before one failed.
    qint64 FFailedSent = -1;
    qint64 FFailedSize = -1;

    enum class Certificate
    {
        None,
        Made,
        Failed,
    };
    Certificate FCertificate = Certificate::None;
    QString FCertificateError;
    QTimer FGrace;
    QString FDoneReason;
    // The device as the update had it, followed through its loader.
    DeviceChoice FUpdated;
    QString FVerifyFailure;
};

} // namespace dialogue
