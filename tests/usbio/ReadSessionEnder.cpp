#include "tests/usbio/ReadSessionEnder.h"

#include "tests/usbio/ComponentCalls.h"

#include <QTest>

using namespace usbio;

void ReadSessionEnder::addRows()
{
    QTest::addColumn<QString>("end");
    QTest::newRow("StopReading, StartReading") << QStringLiteral("stop");
    QTest::newRow("ResetPipe") << QStringLiteral("reset");
    QTest::newRow("AbortPipe") << QStringLiteral("abort");
}

ReadSessionEnder::ReadSessionEnder(Component *reader, const QString &end, QObject *parent)
    : QObject(parent), m_reader(reader), m_end(end)
{
    connect(reader, &Component::eventRaised, this, &ReadSessionEnder::onEvent);
}

void ReadSessionEnder::onEvent(EventId id)
{
    if (id != EventId::ReadComplete)
        return;
    Status status = 0;
    data.append(readOne(*m_reader, nullptr, &status));
    statuses.append(status);
    if (ended)
        return;
    ended = true;
    endSession();
}

void ReadSessionEnder::endSession()
{
    if (m_end == QLatin1String("stop")) {
        m_reader->StopReading();
        endStatus = m_reader->StartReading(16, 5, 5);
    } else if (m_end == QLatin1String("reset")) {
        endStatus = m_reader->ResetPipe();
    } else {
        endStatus = m_reader->AbortPipe();
    }
}
