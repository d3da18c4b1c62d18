#pragma once

#include "platform/HostServices.h"

#include <QDate>
#include <QList>
#include <QQueue>
#include <QString>
#include <QStringList>

#include <functional>

// Host services for tests: every call is recorded in order, and what the
// desktop would answer comes from a script the test sets up. Messages are
// real: handleMessage() and processMessages() run Qt's events, because tests
// drive the simulated device through the event loop.
class FakeHostServices : public platform::HostServices
{
public:
    struct Call
    {
        enum Kind
        {
            Box,        // text, caption, flags; result: the button answered
            Beep,       //
            Cursor,     // busy
            Sleep,      // milliseconds
            Program,    // text: the program, arguments; result: 1 when it started
            Url,        // text: the URL; result: 1 when it was taken
            Terminate,  //
            Exception,  // text: the message
            FileDialog, // text: the filter; result: 1 when a file was confirmed
            Delete,     // text: the path; result: 1 when deleted
        };
        Kind kind = Box;
        QString text;
        QString caption;
        int flags = 0;
        int result = 0;
        bool busy = false;
        int milliseconds = 0;
        QStringList arguments;

        // One readable line, for test failure output and sequence checks.
        QString toString() const;
    };

    FakeHostServices();
    ~FakeHostServices() override;

    // ---- Script ------------------------------------------------------------

    // Buttons the next boxes answer with, in order; IDOK once they are used up.
    void queueAnswer(int button) { m_answers.enqueue(button); }
    void queueAnswers(const QList<int> &buttons);
    // Runs while a box is open (after its pending events ran), so a test can
    // act inside a modal box. Boxes opened from within it do not run it again.
    std::function<void(const Call &box)> onBox;
    // A box handles the events pending when it opens, as a modal box would.
    bool boxProcessesEvents = true;

    // Whether programs start; onProgram runs in place of a started program
    // (for example to write the file an installer leaves behind).
    bool programStarts = true;
    std::function<void(const QString &program, const QStringList &arguments)> onProgram;
    bool urlOpens = true;
    // The file dialog confirms this path; an empty one cancels.
    QString chosenFile;
    // deleteFile() refuses with this system error instead of deleting when
    // it is not 0 (5: access denied).
    int deleteError = 0;
    // sleep() really blocks only when this is set; it is always recorded.
    bool realSleep = false;

    // Paths fileExists() reports as existing although they are not on disk
    // (the maker's installers at their fixed root paths, say).
    QStringList presentFiles;

    QString tempDir;
    QDate todayDate;
    platform::OsVersion os;
    QString currentDir;

    // ---- Record ------------------------------------------------------------

    const QList<Call> &calls() const { return m_calls; }
    QList<Call> callsOf(Call::Kind kind) const;
    QList<Call> boxes() const { return callsOf(Call::Box); }
    // The last box shown; a default Call (empty text) when there was none.
    Call lastBox() const;
    QStringList boxTexts() const;
    int beeps() const { return int(callsOf(Call::Beep).size()); }
    bool busyCursor() const { return m_busy; }
    QList<Call> programsRun() const { return callsOf(Call::Program); }
    QStringList urlsOpened() const;
    QStringList exceptions() const;
    int sleptMs() const;
    int handleMessageCalls() const { return m_handleMessageCalls; }
    int processMessagesCalls() const { return m_processMessagesCalls; }
    // Every call as one line each (Call::toString()).
    QStringList journal() const;
    // Forgets the record (not the script), e.g. after a fixture's set-up.
    void clearCalls();

    // ---- HostServices --------------------------------------------------------

    int messageBox(const QString &text, const QString &caption, int flags) override;
    void beep() override;
    void setBusyCursor(bool busy) override;
    void sleep(int milliseconds) override;
    bool runProgramAndWait(const QString &program, const QStringList &arguments) override;
    bool openUrl(const QString &url) override;
    bool chooseFile(const QString &filter, QString &fileName) override;
    bool deleteFile(const QString &path, int &lastError) override;
    QString tempDirectory() override { return tempDir; }
    QDate today() override { return todayDate; }
    platform::OsVersion osVersion() override { return os; }
    QString currentDirectory() override { return currentDir; }
    bool fileExists(const QString &path) override;
    void terminate() override;
    // Runs Qt's loop unless an end was requested (the fake's terminate only
    // records, so a test ends the loop itself).
    int runMessageLoop() override;
    bool terminateRequested() const override { return m_terminateRequested; }
    void showException(const QString &message) override;
    void handleMessage(int maxWaitMs) override;
    void processMessages() override;

private:
    QList<Call> m_calls;
    QQueue<int> m_answers;
    bool m_busy = false;
    bool m_terminateRequested = false;
    bool m_inBoxCallback = false;
    int m_handleMessageCalls = 0;
    int m_processMessagesCalls = 0;
};
