#include "tests/usbio/SimRig.h"

#include "tests/usbio/SimFixture.h"

#include <QTest>

using namespace usbio;

SimRig::SimRig(SimFixture &sim, QObject *parent)
    : QObject(parent), reader(sim.component()), commands(sim.component()), image(sim.component())
{
    connect(reader.get(), &Component::eventRaised, this,
            [this](EventId id, const EventObjectRef &) { onReaderEvent(id); });
    connect(commands.get(), &Component::eventRaised, this, [this](EventId id) {
        if (id == EventId::WriteComplete)
            ++m_commandCompletions;
    });
    connect(image.get(), &Component::eventRaised, this, [this](EventId id) {
        if (id == EventId::WriteComplete)
            ++m_imageCompletions;
    });
    reader->EnablePnPNotification(QString::fromLatin1(kDeviceInterfaceGuid));
}

SimRig::~SimRig() = default;

Status SimRig::open(int index)
{
    close();
    if (const Status s = SimFixture::openPipe(*reader, 0x81, index))
        return s;
    if (const Status s = SimFixture::openPipe(*commands, 0x01, index))
        return s;
    if (const Status s = SimFixture::openPipe(*image, 0x02, index))
        return s;
    return reader->StartReading(16, 5, 5);
}

void SimRig::close()
{
    reader->CloseDevice();
    commands->CloseDevice();
    image->CloseDevice();
}

bool SimRig::write(SimComponent &writer, const QByteArray &data, int size)
{
    int &completions = &writer == commands.get() ? m_commandCompletions : m_imageCompletions;
    for (int at = 0; at < data.size(); at += size) {
        QByteArray piece = data.mid(at, size);
        if (&writer == commands.get())
            piece = piece.leftJustified(size, '\0');
        if (writer.ResetPipe() != 0 || writer.StartWriting(size, 5, 5, false) != 0)
            return false;
        const int before = completions;
        if (writer.WriteData(piece, 0) != 0)
            return false;
        const bool done = SimFixture::waitFor([&] { return completions > before; }, 2000);
        writer.StopWriting();
        if (!done)
            return false;
    }
    return true;
}

bool SimRig::sendCommand(const QByteArray &text)
{
    return write(*commands, text, 16);
}

bool SimRig::sendImage(const QByteArray &data)
{
    return write(*image, data, 64);
}

bool SimRig::openLoaderAndErase()
{
    const QByteArray loaderRequest = "USB-Vemo:BWF!!!";
    const int arrivals = int(pnpEvents.count(EventId::PnPAddNotification));
    return open() == 0 && sendCommand(loaderRequest) &&
           waitForPnP(EventId::PnPAddNotification, arrivals + 1) && open() == 0 &&
           sendCommand(loaderRequest) && waitForReceived("Flash is BLANK\r");
}

QByteArray SimRig::received() const
{
    QByteArray all;
    for (const QByteArray &read : reads)
        all += read;
    return all;
}

bool SimRig::waitForReceived(const QByteArray &needle, int timeoutMs) const
{
    return SimFixture::waitFor([&] { return received().contains(needle); }, timeoutMs);
}

bool SimRig::waitForPnP(EventId id, int n, int timeoutMs) const
{
    return SimFixture::waitFor([&] { return pnpEvents.count(id) >= n; }, timeoutMs);
}

void SimRig::onReaderEvent(EventId id)
{
    if (id != EventId::ReadComplete) {
        pnpEvents.append(id);
        return;
    }
    QByteArray buffer(16, '\0');
    int count = 0;
    if (reader->ReadData(buffer, count) == 0)
        reads.append(buffer.left(count));
    else
        ++readErrors;
}
