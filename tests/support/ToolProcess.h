#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// The program (vemotool), or a script that starts it, as a test's child
// process: the environment the child gets, its start, the wait for its end
// within a generous limit, and what it said and how it ended.
class ToolProcess
{
public:
    // How the child meets a display: none (an unattended run, or a line that
    // must not need one) or Qt's offscreen platform (the window).
    enum class Display
    {
        None,
        Offscreen,
    };

    struct Setup
    {
        Display display = Display::None;
        QString tempFolder;       // TMPDIR; empty: the test's own
        QString keyStore;         // VEMO_REGISTRY; empty: the test's own
        QString workingDirectory; // empty: the test's own
        // What the child writes to standard output and error goes nowhere
        // (many children at once, whose shared files tell).
        bool discardOutput = false;
        // With discardOutput: standard error goes into this file instead
        // (what a child that failed among many said).
        QString errorFile;
        // Further variables (a script's VEMOTOOL, VEMOTOOL_OPTIONS).
        QProcessEnvironment extra;
    };

    // How a child ended.
    struct Result
    {
        bool finished = false; // ended within the limit (a killed child did not)
        bool crashed = false;  // ended by a signal
        int exitCode = -1;     // a normal end's status
        QByteArray out;
        QByteArray err;

        // The exit status; -1 when the child did not end within the limit,
        // -2 when it ended by a signal.
        int status() const { return !finished ? -1 : crashed ? -2 : exitCode; }
        // Standard error as lines, empty ones left out.
        QStringList errorLines() const;
        // The last line of standard error (the run's "run ended: ..." line).
        QString lastErrorLine() const;
    };

    // A wait for a child that ends by itself: the limit catches one that
    // hangs, never a slow machine.
    static constexpr int DefaultLimitMs = 120000;

    // A run in a folder of the test's: its temporary folder and its working
    // directory (a file named without a folder is that folder's).
    static Setup inFolder(const QString &folder);
    // The program under test.
    static QString vemotool();
    // The environment a child gets: the test's own without a display (or on
    // the offscreen platform), with a printer server that leads nowhere, and
    // the setup's temporary folder, key store and further variables.
    static QProcessEnvironment environment(const Setup &setup);

    ToolProcess() = default;
    // A child still running is killed.
    ~ToolProcess();
    ToolProcess(const ToolProcess &) = delete;
    ToolProcess &operator=(const ToolProcess &) = delete;

    // Starts vemotool with these arguments.
    void start(const Setup &setup, const QStringList &arguments);
    // Starts another program (a shell that starts vemotool, a script).
    void start(const Setup &setup, const QString &program, const QStringList &arguments);
    // Waits for the end, at most limitMs; a child still running then is
    // killed and counts as not finished.
    Result finish(int limitMs = DefaultLimitMs);

    QProcess &process() { return m_process; }
    qint64 processId() const { return m_process.processId(); }
    bool running() const { return m_process.state() != QProcess::NotRunning; }

    // Starts vemotool and waits for its end.
    static Result run(const QStringList &arguments, const Setup &setup,
                      int limitMs = DefaultLimitMs);

private:
    QProcess m_process;
    bool m_started = false;
};
