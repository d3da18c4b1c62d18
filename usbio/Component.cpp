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

struct StatusText
{
    Status status;
    const char *text;
};

// Texts of every status the component layer and the device link produce.
constexpr StatusText kStatusTexts[] = {
    {status::Success, "The operation completed successfully"},
    {status::Timeout, "The device did not take the command in time (time-out)"},
    {status::AlreadyOpened, "The device is already open"},
    {status::InvalidParameter, "An invalid parameter was passed to the USB I/O component"},
    {status::NoSuchDevice, "There is no device with this number; scan the devices again"},
    {status::NotOpened, "No device is open"},
    {status::NotConfigured, "The device is not configured"},
    {status::NotBound, "No pipe is bound"},
    {status::AlreadyBound, "A pipe is already bound"},
    {status::AlreadyRunning, "Reading or writing is already started"},
    {status::NotRunning, "Reading or writing is not started"},
    {status::NoData, "No data is available"},
    {status::NoInterface, "No interface has been declared for the configuration"},
    {status::VersionMismatch,
     "The driver version does not match the USB I/O component; install the latest driver"},
    {status::DeviceGone, "The device has been removed"},
    {status::TransferFailed, "The USB transfer failed"},
    {status::Cancelled, "The USB transfer was cancelled"},
    {status::Busy, "All buffers of the pipe are in use"},
    {status::AccessDenied, "The device is in use by another program"},
    {status::PermissionDenied,
     "No permission to use the USB device; install the Vemo udev rule and plug the device in "
     "again"},
    {status::UsbError, "The USB system of the host reported an error"},
    {0xE0010001, "A file transfer is already running"},
    {0xE0010002, "The file cannot be opened"},
    {0xE0010003, "The file is empty"},
    {0xE0010004, "The file could not be read to its end"},
};

} // namespace

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

QString statusDescription(Status status)
{
    for (const StatusText &entry : kStatusTexts) {
        if (entry.status == status)
            return QString::fromLatin1(entry.text);
    }
    return QString::asprintf("Unknown error 0x%08X", static_cast<unsigned>(status));
}

} // namespace usbio
