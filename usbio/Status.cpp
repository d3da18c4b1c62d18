#include "usbio/Status.h"

namespace usbio {

namespace {

#define VEMO_USBIO_STATUS_ENTRY(name, number, text) StatusEntry{number, #name, text},
constexpr StatusEntry kStatuses[] = {VEMO_USBIO_STATUS_TABLE(VEMO_USBIO_STATUS_ENTRY)};
#undef VEMO_USBIO_STATUS_ENTRY

} // namespace

QList<StatusEntry> statusTable()
{
    return QList<StatusEntry>(std::begin(kStatuses), std::end(kStatuses));
}

QString statusDescription(Status status)
{
    for (const StatusEntry &entry : kStatuses) {
        if (entry.status == status)
            return QString::fromLatin1(entry.text);
    }
    return QString::asprintf("Unknown error 0x%08X", static_cast<unsigned>(status));
}

std::optional<Status> statusNamed(const QString &name)
{
    for (const StatusEntry &entry : kStatuses) {
        if (name.compare(QLatin1String(entry.name), Qt::CaseInsensitive) == 0)
            return entry.status;
    }
    return std::nullopt;
}

} // namespace usbio
