#include "usbio/capture/UsbCapture.h"

#include "usbio/Backend.h"
#include "usbio/capture/CaptureComponent.h"
#include "usbio/capture/CaptureFile.h"

namespace usbio {

UsbCapture::UsbCapture() = default;

UsbCapture::~UsbCapture()
{
    if (m_file)
        setComponentWrapper(nullptr);
}

bool UsbCapture::start(const QString &path, QString *error)
{
    auto file = std::make_shared<CaptureFile>();
    if (!file->open(path, error))
        return false;
    m_file = file;
    setComponentWrapper([file](std::unique_ptr<Component> inner) -> std::unique_ptr<Component> {
        return std::make_unique<CaptureComponent>(std::move(inner), file);
    });
    return true;
}

} // namespace usbio
