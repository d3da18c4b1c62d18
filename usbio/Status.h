#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

#include <optional>

namespace usbio {

// 32-bit status of a component operation, of the device link and of the
// dialogue's link calls; 0 is success.
using Status = quint32;

// Every status the program gives, once: its name, its number and its text.
// The constants below, the texts the component's ErrorText gives, and the
// names a simulator file may use all come from here; no status number is
// written anywhere else.
//
// X(name, number, text)
#define VEMO_USBIO_STATUS_TABLE(X)                                                                 \
    X(Success, 0x00000000, "The operation completed successfully")                                 \
    /* The component, every backend: a refused call or a failed transfer. */                       \
    X(InvalidParameter, 0xE0001001, "An invalid parameter was passed to the USB I/O component")    \
    X(NoSuchDevice, 0xE0001005, "There is no device with this number; scan the devices again")     \
    X(NotOpened, 0xE0001006, "No device is open")                                                  \
    X(NotConfigured, 0xE0001007, "The device is not configured")                                   \
    X(NotBound, 0xE0001008, "No pipe is bound")                                                    \
    X(AlreadyBound, 0xE0001009, "A pipe is already bound")                                         \
    X(AlreadyRunning, 0xE000100A, "Reading or writing is already started")                         \
    X(NotRunning, 0xE000100B, "Reading or writing is not started")                                 \
    X(NoData, 0xE000100C, "No data is available")                                                  \
    X(NoInterface, 0xE000100D, "No interface has been declared for the configuration")             \
    X(VersionMismatch, 0xE000101C,                                                                 \
      "The driver version does not match the USB I/O component; install the latest driver")        \
    X(DeviceGone, 0xE000A010, "The device has been removed")                                       \
    X(TransferFailed, 0xE0002001, "The USB transfer failed")                                       \
    X(Cancelled, 0xE0002002, "The USB transfer was cancelled")                                     \
    X(Busy, 0xE0002003, "All buffers of the pipe are in use")                                      \
    /* The component, from the host's USB stack (the libusb backend). */                           \
    X(AccessDenied, 0xE0003001, "The device is in use by another program")                         \
    X(PermissionDenied, 0xE0003002,                                                                \
      "No permission to use the USB device; install the Vemo udev rule and plug the device in "    \
      "again")                                                                                     \
    X(UsbError, 0xE0003003, "The USB system of the host reported an error")                        \
    /* The device link. */                                                                         \
    X(Timeout, 0xE0000005, "The device did not take the command in time (time-out)")               \
    X(AlreadyOpened, 0xE0001107, "The device is already open")                                     \
    X(TransferRunning, 0xE0010001, "A file transfer is already running")                           \
    X(FileOpenFailed, 0xE0010002, "The file cannot be opened")                                     \
    X(FileEmpty, 0xE0010003, "The file is empty")                                                  \
    X(FileReadFailed, 0xE0010004, "The file could not be read to its end")                         \
    X(FileNotRegular, 0xE0010005, "The file is not a regular file")                                \
    X(FileTooLarge, 0xE0010006, "The file is larger than any firmware image (32 MiB)")             \
    /* The dialogue: a send when the window no longer holds a link. */                             \
    X(NoLink, 0xE0010010, "The device link is closed")

namespace status {
#define VEMO_USBIO_STATUS_CONSTANT(name, number, text) constexpr Status name = number;
VEMO_USBIO_STATUS_TABLE(VEMO_USBIO_STATUS_CONSTANT)
#undef VEMO_USBIO_STATUS_CONSTANT
} // namespace status

// One row of the table.
struct StatusEntry
{
    Status status;
    const char *name;
    const char *text;
};

// Every row, in the table's order.
QList<StatusEntry> statusTable();

// The text of a status; "Unknown error 0x...." for a number not in the table.
QString statusDescription(Status status);

// The status of a name ("DeviceGone", in any letter case); none for a name
// not in the table.
std::optional<Status> statusNamed(const QString &name);

} // namespace usbio
