#pragma once

#include <QString>

#include <memory>

namespace usbio {

class CaptureFile;

// The capture of the USB traffic (--capture=FILE): once started, every
// component instance the program creates, of whichever backend, writes its
// transfers into one pcap file. Neither the link nor the window knows.
class UsbCapture
{
public:
    UsbCapture();
    // Instances created before go on writing into the file until they go;
    // new ones are not captured any more.
    ~UsbCapture();
    UsbCapture(const UsbCapture &) = delete;
    UsbCapture &operator=(const UsbCapture &) = delete;

    // Creates the file ("-": standard output) and wraps every new component
    // instance from now on. False with a readable error, and nothing
    // changed, when the file cannot be created.
    bool start(const QString &path, QString *error = nullptr);
    bool running() const { return m_file != nullptr; }

private:
    std::shared_ptr<CaptureFile> m_file;
};

} // namespace usbio
