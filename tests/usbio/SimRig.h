#pragma once

#include "usbio/sim/SimComponent.h"

#include <QByteArray>
#include <QList>
#include <QObject>

#include <memory>

class SimFixture;

// The three pipes of one simulated device, driven the way the device link
// drives them: a reader on IN 0x81 (continuous reading, plug-and-play on),
// a command writer on OUT 0x01 (16-byte zero-filled pieces, one at a time)
// and a file writer on OUT 0x02 (64-byte chunks, each after the completion
// of the one before).
class SimRig : public QObject
{
    Q_OBJECT
public:
    explicit SimRig(SimFixture &sim, QObject *parent = nullptr);
    ~SimRig() override;

    // Enumerates, opens device index on all three, configures, binds and
    // starts reading; the first non-zero status, or 0.
    usbio::Status open(int index = 0);
    void close();

    // Sends text in pieces; false when a piece is refused or not completed.
    bool sendCommand(const QByteArray &text);
    // Sends data in chunks; false when a chunk is refused or not completed.
    bool sendImage(const QByteArray &data);
    // The way to an image: opens the device, asks for the loader, opens the
    // device again when it is back and asks again; true once "Flash is
    // BLANK" came.
    bool openLoaderAndErase();

    // Every finished read, in order, and what they make together.
    QList<QByteArray> reads;
    QByteArray received() const;
    int readErrors = 0;
    QList<usbio::EventId> pnpEvents;

    bool waitForReceived(const QByteArray &needle, int timeoutMs = 2000) const;
    bool waitForPnP(usbio::EventId id, int n = 1, int timeoutMs = 2000) const;
    void clearReceived() { reads.clear(); }

    std::unique_ptr<usbio::SimComponent> reader;
    std::unique_ptr<usbio::SimComponent> commands;
    std::unique_ptr<usbio::SimComponent> image;

private:
    bool write(usbio::SimComponent &writer, const QByteArray &data, int size);
    void onReaderEvent(usbio::EventId id);

    int m_commandCompletions = 0;
    int m_imageCompletions = 0;
};
