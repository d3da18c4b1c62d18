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

void UsbCapture::setOnFailure(std::function<void(const QString &why)> onFailure)
{
    if (m_file)
        m_file->onFailure = std::move(onFailure);
}

void UsbCapture::flush()
{
    if (m_file)
        m_file->flush();
}

void UsbCapture::fail(const QString &why)
{
    if (m_file)
        m_file->fail(why);
}

QString UsbCapture::failure() const
{
    return m_file ? m_file->failure() : QString();
}

QString UsbCapture::path() const
{
    return m_file ? m_file->path() : QString();
}

int UsbCapture::descriptor() const
{
    return m_file ? m_file->descriptor() : -1;
}

} // namespace usbio
