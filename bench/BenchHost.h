#pragma once

#include "platform/HostServices.h"

#include <QTimer>

#include <memory>

// Host services for a benchmark run: real event processing, no windows.
// Message boxes are counted and answered with OK, so a refused start shows
// up in the figures instead of blocking the run.
class BenchHost : public platform::HostServices
{
public:
    int messageBox(const QString &text, const QString &caption, int flags) override;
    void beep() override {}
    void setBusyCursor(bool) override {}
    void sleep(int milliseconds) override;
    bool runProgramAndWait(const QString &, const QStringList &) override { return false; }
    bool openUrl(const QString &) override { return false; }
    bool chooseFile(const QString &, QString &) override { return false; }
    bool deleteFile(const QString &, int &lastError) override
    {
        lastError = platform::ERROR_ACCESS_DENIED;
        return false;
    }
    QString tempDirectory() override;
    QDate today() override;
    platform::OsVersion osVersion() override { return {}; }
    QString currentDirectory() override;
    bool fileExists(const QString &path) override;
    void terminate() override { m_terminate = true; }
    bool terminateRequested() const override { return m_terminate; }
    int runMessageLoop() override { return 0; }
    void showException(const QString &message) override;
    void handleMessage(int maxWaitMs) override;
    void processMessages() override;

    int messageBoxes() const { return m_boxes; }
    // For the next run in the same process.
    void clearTerminate() { m_terminate = false; }

private:
    int m_boxes = 0;
    bool m_terminate = false;
    std::unique_ptr<QTimer> m_wakeUp;
};
