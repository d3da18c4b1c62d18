#pragma once

#include <QString>

#include <functional>
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

    // Called once when the capture is lost (a write failed, or fail()),
    // with why.
    void setOnFailure(std::function<void(const QString &why)> onFailure);
    // Writes what was collected (before the run's end is decided).
    void flush();
    // Ends the capture for why (its file was removed or replaced).
    void fail(const QString &why);
    // Why the capture was lost; empty while it holds or none runs.
    QString failure() const;
    // The file as named ("-": standard output) and its descriptor (-1: none
    // open), for a look at whether the name still leads to it.
    QString path() const;
    int descriptor() const;

private:
    std::shared_ptr<CaptureFile> m_file;
};

} // namespace usbio
