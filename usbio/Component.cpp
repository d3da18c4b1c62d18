#include "usbio/Component.h"

#include <QMetaObject>
#include <QMetaType>

namespace usbio {

namespace {

// Queued signals carry these types; register them once, before the first
// event is posted.
void registerMetaTypes()
{
    static const bool registered = [] {
        qRegisterMetaType<usbio::EventId>("usbio::EventId");
        qRegisterMetaType<usbio::EventObjectRef>("usbio::EventObjectRef");
        return true;
    }();
    Q_UNUSED(registered);
}

// Queues id for the event loop of component; it is delivered only while
// *session still counts the session it was posted in. The component is the
// context of the call, so session is never read after the component is gone.
void postInSession(Component *component, EventId id, const quint64 *session)
{
    registerMetaTypes();
    const quint64 posted = *session;
    QMetaObject::invokeMethod(
        component,
        [component, id, session, posted] {
            if (*session == posted)
                Q_EMIT component->eventRaised(id, nullptr);
        },
        Qt::QueuedConnection);
}

} // namespace

QString releaseText(quint16 release)
{
    const auto digits = [](quint8 bcd) {
        // A nibble that is no decimal digit shows as its hex digit.
        return QString::number(bcd >> 4, 16) + QString::number(bcd & 0x0F, 16);
    };
    QString major = digits(quint8(release >> 8));
    // No leading zero in the major part: 0x0210 is 2.10, 0x1005 is 10.05.
    if (major.startsWith(QLatin1Char('0')))
        major.remove(0, 1);
    return major + QLatin1Char('.') + digits(quint8(release & 0xFF));
}

void Component::postEvent(EventId id, EventObjectRef object)
{
    registerMetaTypes();
    // Bound to this object: a component destroyed before the loop gets to
    // the event drops it.
    QMetaObject::invokeMethod(
        this, [this, id, object] { Q_EMIT eventRaised(id, object); }, Qt::QueuedConnection);
}

void Component::postReadComplete()
{
    postInSession(this, EventId::ReadComplete, &m_readSession);
}

void Component::postWriteComplete()
{
    postInSession(this, EventId::WriteComplete, &m_writeSession);
}

void Component::endReadSession()
{
    ++m_readSession;
}

void Component::endWriteSession()
{
    ++m_writeSession;
}

} // namespace usbio
