#pragma once

#include "usbio/Component.h"

namespace usbio {

// The component status for a libusb error code (LIBUSB_ERROR_*).
Status statusOfLibusbError(int error);

} // namespace usbio
