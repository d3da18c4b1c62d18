#pragma once

#include "dialogue/DeviceChoice.h"

#include <QByteArray>
#include <QString>

namespace dialogue {

class WindowPort;

// The check after an unattended update (--verify): the device leaves the bus
// with its new image and comes back; it is opened (the open asks its firmware
// version, "USB-Vemo:NSF?!!") and its first answer is logged as "firmware
// after update: ..."; with an expected version the answer must hold it. The
// device is the one updated, among any others: followed by its bus path as
// the update followed it; another device at that path fails the check. The
// owner starts it when the update is done, hands it the arrivals and the
// shown lines, and reads its phase after each.
class UpdateVerification
{
public:
    enum class Phase
    {
        Off,              // not asked for, or not started yet
        WaitingForDevice, // the update is done; the device has not come back
        WaitingForAnswer, // opened again; its version answer has not come
        Passed,
        Failed,
    };

    explicit UpdateVerification(WindowPort &window) : FWindow(window) {}

    void Start();
    // Stops waiting: a reply that comes later decides nothing.
    void Abandon();
    // The device list was refreshed by an arrival.
    void DeviceArrived();
    // A line the message log showed.
    void LineShown(const QByteArray &line);

    Phase phase() const { return FPhase; }
    bool waiting() const
    {
        return FPhase == Phase::WaitingForDevice || FPhase == Phase::WaitingForAnswer;
    }
    // Why it failed ("verification failed: ...").
    QString failure() const { return FFailure; }
    // Why a wait that ran out of time failed, for the phase it is in.
    QString timeOutFailure(int seconds) const;

    // Whether the device's answer holds version as one of its words, alone
    // or after a "V" ("Vemo2 firmware V2.11" holds 2.11 and V2.11, not 2.1).
    static bool answerHoldsVersion(const QString &answer, const QString &version);

    static constexpr const char *AnswerPrefix = "firmware after update: ";
    static constexpr const char *FailurePrefix = "verification failed: ";

private:
    void Fail(const QString &why);
    bool UpdatedDeviceStillAttached();
    // The index in the device list of the updated device back on the bus;
    // -1 while it is not (or when another device came in its place: failed).
    int ReturnedDevice();

    WindowPort &FWindow;
    DeviceChoice FUpdated;
    Phase FPhase = Phase::Off;
    QString FFailure;
};

} // namespace dialogue
