#include "bench/BenchHost.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <cstdio>

int BenchHost::messageBox(const QString &text, const QString &caption, int)
{
    ++m_boxes;
    std::fprintf(stderr, "message box \"%s\": %s\n", qPrintable(caption), qPrintable(text));
    return platform::IDOK;
}

void BenchHost::sleep(int milliseconds)
{
    QThread::msleep(qMax(0, milliseconds));
}

QString BenchHost::tempDirectory()
{
    return QDir::tempPath();
}

QDate BenchHost::today()
{
    return QDate::currentDate();
}

QString BenchHost::currentDirectory()
{
    return QDir::currentPath();
}

bool BenchHost::fileExists(const QString &path)
{
    return QFileInfo::exists(path);
}

void BenchHost::showException(const QString &message)
{
    std::fprintf(stderr, "exception: %s\n", qPrintable(message));
}

void BenchHost::handleMessage(int maxWaitMs)
{
    // Wait for the next event, but no longer than maxWaitMs: the wake-up
    // timer is an event of its own.
    if (!m_wakeUp) {
        m_wakeUp = std::make_unique<QTimer>();
        m_wakeUp->setSingleShot(true);
    }
    m_wakeUp->start(qMax(0, maxWaitMs));
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    m_wakeUp->stop();
}

void BenchHost::processMessages()
{
    QCoreApplication::processEvents();
}
