#include "tests/download/DownloadWindow.h"

void DownloadWindow::log(const QString &line)
{
    lines << line;
    if (onLog)
        onLog(line);
}

void DownloadWindow::logDevice(const QByteArray &line)
{
    log(QString::fromLatin1(line));
}

void DownloadWindow::repaintProgress()
{
    progressRepaints << progressPosition;
    visibleAtRepaint << progressVisible;
}
