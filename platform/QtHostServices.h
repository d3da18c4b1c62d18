#pragma once

#include "platform/HostServices.h"

#include <QOperatingSystemVersion>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QObject;

namespace platform {

// The host services of the running program: Qt's application object, its
// widgets and the desktop.
class QtHostServices : public HostServices
{
public:
    // Why a program that runProgramAndWait waited for was ended before it
    // ended by itself.
    enum class ProgramCut
    {
        Deadline, // the run's time-out ran out
        Signal,   // a termination signal came (TerminationSignals)
    };
    // What ends a program runProgramAndWait waits for: the wait handles no
    // messages, so neither the run's time-out nor a signal could reach the
    // run while the program lives. When one comes, the program's process
    // group is ended (SIGTERM, SIGKILL after ProgramEndGraceMs), and ended is
    // called inside the wait, before runProgramAndWait returns true.
    struct ProgramLimit
    {
        std::optional<std::chrono::steady_clock::time_point> deadline;
        bool endOnSignal = false;
        std::function<void(ProgramCut)> ended;
    };
    void setProgramLimit(ProgramLimit limit) { m_programLimit = std::move(limit); }
    // Time a program gets to end after SIGTERM before it is killed.
    static constexpr int ProgramEndGraceMs = 2000;

    QtHostServices();
    ~QtHostServices() override;
    QtHostServices(const QtHostServices &) = delete;
    QtHostServices &operator=(const QtHostServices &) = delete;

    int messageBox(const QString &text, const QString &caption, int flags) override;
    void beep() override;
    void setBusyCursor(bool busy) override;
    void sleep(int milliseconds) override;
    bool runProgramAndWait(const QString &program, const QStringList &arguments) override;
    bool openUrl(const QString &url) override;
    bool chooseFile(const QString &filter, QString &fileName) override;
    bool deleteFile(const QString &path, int &lastError) override;
    QString tempDirectory() override;
    QDate today() override;
    OsVersion osVersion() override;
    QString currentDirectory() override;
    bool fileExists(const QString &path) override;
    void terminate() override;
    int runMessageLoop() override;
    bool terminateRequested() const override;
    void showException(const QString &message) override;
    void handleMessage(int maxWaitMs) override;
    void processMessages() override;

    // The version the bug report names. Windows gives its own major and
    // minor numbers (Qt knows no service-pack text, so that stays empty);
    // other systems give the kernel's major and minor numbers and the
    // distribution's name as the service-pack text.
    static OsVersion osVersionFrom(const QOperatingSystemVersion &system,
                                   const QString &kernelVersion, const QString &productName);

private:
    bool m_busy = false;
    ProgramLimit m_programLimit;
    bool m_terminateRequested = false;
    bool m_loopRunning = false;
    // Context of the queued end of the loop: it goes with this object.
    std::unique_ptr<QObject> m_context;
};

} // namespace platform
