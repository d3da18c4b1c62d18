#pragma once

#include <QDate>
#include <QString>
#include <QStringList>

namespace platform {

// Flags of a modal message box, with the values the Windows API gives them,
// because callers pass them as plain numbers ("flags 16").
enum MessageBoxFlag : int
{
    MB_OK = 0x0,
    MB_OKCANCEL = 0x1,
    MB_YESNOCANCEL = 0x3,
    MB_YESNO = 0x4,
    MB_ICONHAND = 0x10, // error / stop icon
    MB_ICONERROR = MB_ICONHAND,
    MB_ICONSTOP = MB_ICONHAND,
    MB_ICONQUESTION = 0x20,
    MB_ICONEXCLAMATION = 0x30,
    MB_ICONWARNING = MB_ICONEXCLAMATION,
    MB_ICONASTERISK = 0x40,
    MB_ICONINFORMATION = MB_ICONASTERISK,
    MB_DEFBUTTON2 = 0x100, // the second button is the default
    MB_TASKMODAL = 0x2000,
};

// The button a message box was closed with.
enum DialogResult : int
{
    IDOK = 1,
    IDCANCEL = 2,
    IDABORT = 3,
    IDRETRY = 4,
    IDIGNORE = 5,
    IDYES = 6,
    IDNO = 7,
};

// System error codes a caller tells apart, in the Windows numbering.
enum SystemError : int
{
    ERROR_FILE_NOT_FOUND = 2,
    ERROR_ACCESS_DENIED = 5,
    ERROR_GEN_FAILURE = 31,
};

struct OsVersion
{
    unsigned major = 0;
    unsigned minor = 0;
    QString servicePack; // may be empty
};

// Everything the program takes from the operating system and the
// application object that is not a widget. One implementation talks to Qt
// and the desktop; tests replace it with a fake that records every call.
class HostServices
{
public:
    virtual ~HostServices() = default;

    // Modal message box; runs a nested event loop while it is open.
    // Returns the button pressed (DialogResult).
    virtual int messageBox(const QString &text, const QString &caption, int flags) = 0;
    // The default system sound (MessageBeep(MB_OK)).
    virtual void beep() = 0;
    // Hourglass while busy, default cursor otherwise.
    virtual void setBusyCursor(bool busy) = 0;
    // Blocks the calling thread without handling messages.
    virtual void sleep(int milliseconds) = 0;
    // Starts a program and waits for its end; false when it could not be
    // started. A program named without a folder is taken from the current
    // folder.
    virtual bool runProgramAndWait(const QString &program, const QStringList &arguments) = 0;
    // Hands a URL (for example a mailto: address) to the desktop.
    virtual bool openUrl(const QString &url) = 0;
    // The modal file-open dialog. filter has the toolkit's form
    // ("description|name;name|..."). True with fileName set to the confirmed
    // file's full path; false, fileName untouched, when cancelled.
    virtual bool chooseFile(const QString &filter, QString &fileName) = 0;
    // Deletes a file. False when it cannot, with lastError set to the
    // system's reason in the Windows numbering (5: access denied).
    virtual bool deleteFile(const QString &path, int &lastError) = 0;
    // What "%temp%" expands to.
    virtual QString tempDirectory() = 0;
    virtual QDate today() = 0;
    virtual OsVersion osVersion() = 0;
    virtual QString currentDirectory() = 0;
    virtual bool fileExists(const QString &path) = 0;
    // Asks the application to end; takes effect when the message loop next
    // runs. Before the main loop runs the request is only recorded, so a
    // message box shown after it still waits for its answer.
    virtual void terminate() = 0;
    // Runs the main message loop until an end is requested; returns at once,
    // without entering it, when an end was requested before.
    virtual int runMessageLoop() = 0;
    virtual bool terminateRequested() const = 0;
    // The application's display of an exception that reached it.
    virtual void showException(const QString &message) = 0;
    // Handles pending messages, waiting for one when none is queued. The wait
    // ends at the latest after maxWaitMs, so a caller with a deadline is
    // never stuck in it.
    virtual void handleMessage(int maxWaitMs) = 0;
    // Processes all queued messages without waiting.
    virtual void processMessages() = 0;
};

// The services the program uses: the program sets the desktop's
// (QtHostServices) or an unattended run's at its start, a test its fake.
// host() before any is set ends the process with a message.
HostServices &host();
// Sets the services (nullptr: none) and returns the ones set before.
HostServices *setHost(HostServices *services);

} // namespace platform
