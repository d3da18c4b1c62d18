#include "link/StaleCompletions.h"

#include <QMetaObject>
#include <QObject>

void TStaleCompletions::DropQueued(QObject *Writer)
{
    // The marker runs after every event already queued for the writer.
    ++FCount;
    QMetaObject::invokeMethod(
        Writer, [this] { --FCount; }, Qt::QueuedConnection);
}
