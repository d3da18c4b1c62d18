#pragma once

#include "dialogue/WindowPort.h"
#include "registry/RegTools.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// The window as the firmware download sees it, without a window: it keeps
// the message log, the file field and the progress bar's states, and adds
// nothing of its own. The registry probe reads the default key store.
class DownloadWindow : public dialogue::WindowPort
{
public:
    QStringList lines; // the message log
    QString fileText;  // FileNameE
    // The file field's text at each repaint.
    QStringList fileRepaints;
    bool progressVisible = false;
    int progressPosition = -1;
    int progressMaximum = -1;
    // The bar's position at each repaint, and whether it was visible then.
    QList<int> progressRepaints;
    QList<bool> visibleAtRepaint;
    // Runs after each line is logged.
    std::function<void(const QString &line)> onLog;

    void log(const QString &line) override;
    void logDevice(const QByteArray &line) override;
    void rawLog(const QByteArray &) override {}
    TVemoUSBinterface *link() override { return nullptr; }
    TRegTools &regTools() override { return m_regTools; }
    int deviceItemCount() override { return 0; }
    int selectedDeviceIndex() override { return -1; }
    int refreshDeviceList() override { return 0; }
    void setControlEnabled(Control, bool) override {}
    bool controlEnabled(Control) override { return true; }
    QString fileName() override { return fileText; }
    void setFileName(const QString &path) override { fileText = path; }
    void repaintFileName() override { fileRepaints << fileText; }
    QString openDialogFilter() override { return QString(); }
    void setOpenDialogFilter(const QString &) override {}
    void setProgressVisible(bool visible) override { progressVisible = visible; }
    void setProgressPosition(int position) override { progressPosition = position; }
    void setProgressMaximum(int maximum) override { progressMaximum = maximum; }
    void repaintProgress() override;
    bool withCR() override { return true; }
    bool filterLifeTick() override { return false; }
    bool echo() override { return false; }
    QString commandText() override { return QString(); }
    QString caption() override { return QString(); }
    void setTimerEnabled(Timer, bool) override {}
    bool timerEnabled(Timer) override { return false; }
    void setTimerInterval(Timer, int) override {}
    int timerInterval(Timer) override { return 0; }
    bool &updating() override { return m_updating; }
    bool &autoUpdate() override { return m_autoUpdate; }
    QByteArray &serialNo() override { return m_serialNo; }
    QByteArray &pendingChunk() override { return m_pendingChunk; }
    void openClick() override {}
    void closeClick() override {}
    void updateClick() override {}
    void sendFirmwareFile() override {}
    void printCertificate(const QByteArray &, const QByteArray &, const QByteArray &) override {}
    void endProgram(bool) override {}

private:
    TRegTools m_regTools;
    bool m_updating = false;
    bool m_autoUpdate = false;
    QByteArray m_serialNo;
    QByteArray m_pendingChunk;
};
