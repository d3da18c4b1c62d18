#include "usbio/libusb/LibusbStatus.h"

#include <libusb.h>

namespace usbio {

Status statusOfLibusbError(int error)
{
    switch (error) {
    case LIBUSB_SUCCESS:
        return status::Success;
    case LIBUSB_ERROR_ACCESS:
        return status::PermissionDenied;
    case LIBUSB_ERROR_BUSY:
        return status::AccessDenied;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
        return status::DeviceGone;
    case LIBUSB_ERROR_INVALID_PARAM:
        return status::InvalidParameter;
    case LIBUSB_ERROR_PIPE:
    case LIBUSB_ERROR_TIMEOUT:
    case LIBUSB_ERROR_OVERFLOW:
        return status::TransferFailed;
    default:
        return status::UsbError;
    }
}

} // namespace usbio
