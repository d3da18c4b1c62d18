#include "usbio/sim/SimDevice.h"

#include "usbio/sim/SimBus_p.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QStringList>
#include <QTimer>

#include <algorithm>

namespace usbio {

namespace {

Q_LOGGING_CATEGORY(lcSimDevice, "vemo.usbio.sim")

// Packets a device holds for a host that does not read; older ones are lost.
constexpr int kMaxQueuedPackets = 256;

QString deriveInstanceId(const SimDeviceSettings &settings)
{
    if (!settings.instanceId.isEmpty())
        return settings.instanceId;
    // The driver takes the device's serial number, as Windows does for USB
    // devices that report one.
    QString id;
    for (const char c : settings.serialNumber)
        id.append(QChar::isLetterOrNumber(uchar(c)) ? QLatin1Char(c) : QLatin1Char('_'));
    return id.isEmpty() ? QStringLiteral("5&1a2b3c&0&1") : id;
}

VemoFirmware::Settings firmwareSettings(const SimDeviceSettings &settings)
{
    VemoFirmware::Settings firmware;
    firmware.deviceName = generationName(settings.generation);
    firmware.serialNumber = settings.serialNumber;
    firmware.firmwareVersion = settings.firmwareVersion;
    firmware.calibrationDate = settings.calibrationDate;
    firmware.deviation = settings.deviation;
    firmware.lifeTickPeriodMs = settings.lifeTickPeriodMs;
    firmware.restartDelayMs = settings.restartDelayMs;
    firmware.eraseDelayMs = settings.eraseDelayMs;
    firmware.imageSize = settings.imageSize;
    firmware.loaderAnnouncesBlank = settings.loaderAnnouncesBlank;
    firmware.flashErased = settings.bootsInto == SimDeviceSettings::Boot::Loader;
    firmware.answers = settings.answers;
    return firmware;
}

// Atomic: a reader never sees a cut-off file, and a failed write leaves the
// one before in place.
bool writeAtomically(const QString &path, const QByteArray &bytes, QString *error)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        *error = QStringLiteral("cannot create the folder");
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace

SimDevice::Impl::Impl(SimDevice *device, SimBus *simBus, const SimDeviceSettings &deviceSettings)
    : q(device), bus(simBus), settings(deviceSettings),
      instanceId(deriveInstanceId(deviceSettings)),
      firmware(std::make_unique<VemoFirmware>(firmwareSettings(deviceSettings), this))
{}

void SimDevice::Impl::sendToHost(const QByteArray &packet)
{
    if (!attached || !onBus)
        return;
    inPackets.append(packet);
    while (inPackets.size() > kMaxQueuedPackets)
        inPackets.removeFirst();
    if (bus)
        bus->d->dataAvailable(q);
}

void SimDevice::Impl::restart(int offBusMs)
{
    if (!attached || !onBus || !bus)
        return;
    bus->d->leave(q);
    const quint64 token = ++restartToken;
    QTimer::singleShot(std::max(0, offBusMs), Qt::PreciseTimer, q, [this, token] {
        if (token == restartToken && attached && !onBus && bus)
            bus->d->arrive(q);
    });
}

void SimDevice::Impl::commandReceived(const QByteArray &command)
{
    commands.append(command);
    Q_EMIT q->commandReceived(command);
}

void SimDevice::Impl::imageReceived(const QByteArray &received)
{
    image = received;
    saveToImageFolder(received);
    Q_EMIT q->imageReceived(received);
}

void SimDevice::Impl::stateChanged()
{
    writeStateFile();
}

QString SimDevice::Impl::fileName() const
{
    QString name = settings.name.isEmpty() ? instanceId : settings.name;
    for (QChar &c : name) {
        if (!c.isLetterOrNumber() && c != QLatin1Char('-') && c != QLatin1Char('_') &&
            c != QLatin1Char('.'))
            c = QLatin1Char('_');
    }
    return name;
}

void SimDevice::Impl::saveToImageFolder(const QByteArray &received)
{
    if (settings.imageFolder.isEmpty())
        return;
    // Numbered on from the images already there: nothing of an earlier run
    // is overwritten.
    const QDir folder(settings.imageFolder);
    QString path;
    do {
        path = folder.filePath(QStringLiteral("%1-%2.bin")
                                   .arg(fileName())
                                   .arg(++imagesSaved, 3, 10, QLatin1Char('0')));
    } while (QFileInfo::exists(path));
    QString error;
    if (!writeAtomically(path, received, &error))
        qCWarning(lcSimDevice).noquote() << "cannot save the image to" << path << ":" << error;
}

void SimDevice::Impl::writeStateFile() const
{
    if (settings.stateFile.isEmpty())
        return;
    QJsonObject state;
    state.insert(QStringLiteral("device"), fileName());
    state.insert(QStringLiteral("generation"),
                 QString::fromLatin1(generationName(settings.generation)));
    state.insert(QStringLiteral("serial"), QString::fromLatin1(firmware->serialNumber()));
    state.insert(QStringLiteral("calibrationDate"),
                 QString::fromLatin1(firmware->calibrationDate()));
    state.insert(QStringLiteral("firmware"), QString::fromLatin1(firmware->firmwareVersion()));
    state.insert(QStringLiteral("loader"), firmware->inLoader());
    QString error;
    if (!writeAtomically(settings.stateFile, QJsonDocument(state).toJson(), &error))
        qCWarning(lcSimDevice).noquote()
            << "cannot write the device state to" << settings.stateFile << ":" << error;
}

void SimDevice::Impl::deliver(quint8 endpoint, const QByteArray &bytes)
{
    if (!attached || !onBus)
        return;
    if (endpoint == kCommandEndpoint)
        pieces.append(bytes);
    else if (endpoint == kImageEndpoint)
        recordChunk(bytes);
    firmware->receive(endpoint, bytes);
}

void SimDevice::Impl::recordChunk(const QByteArray &bytes)
{
    const int size = int(bytes.size());
    if (chunkRuns.isEmpty() || chunkRuns.last().size != size)
        chunkRuns.append(ChunkRun{size, 0});
    ++chunkRuns.last().count;
    // Only while every chunk before is kept: the bytes stay in order.
    if (chunksKept == chunkCount && chunkBytes.size() + size <= settings.chunkRecordBytes) {
        chunkBytes.append(bytes);
        ++chunksKept;
    }
    ++chunkCount;
}

SimDevice::SimDevice(SimBus *bus, const SimDeviceSettings &settings)
    : QObject(bus), d(new Impl(this, bus, settings))
{
    if (d->settings.id.isEmpty()) {
        QStringList taken;
        for (const SimDevice *other : bus->findChildren<SimDevice *>(Qt::FindDirectChildrenOnly)) {
            if (other != this)
                taken << other->busPath();
        }
        int n = 1;
        while (taken.contains(QStringLiteral("device%1").arg(n)))
            ++n;
        d->settings.id = QStringLiteral("device%1").arg(n);
    }
    // The state is there from the start, not only after its first change.
    d->writeStateFile();
}

SimDevice::~SimDevice()
{
    delete d;
}

SimBus *SimDevice::bus() const
{
    return d->bus;
}

const SimDeviceSettings &SimDevice::settings() const
{
    return d->settings;
}

SimFaults &SimDevice::faults()
{
    return d->faults;
}

DeviceModel &SimDevice::model()
{
    return *d->firmware;
}

VemoFirmware &SimDevice::firmware()
{
    return *d->firmware;
}

QString SimDevice::devicePath() const
{
    return QStringLiteral("\\\\?\\usb#vid_%1&pid_%2#%3#%4")
        .arg(kVendorId, 4, 16, QLatin1Char('0'))
        .arg(productId(d->settings.generation), 4, 16, QLatin1Char('0'))
        .arg(d->instanceId, QString::fromLatin1(kDeviceInterfaceGuid))
        .toLower();
}

QString SimDevice::busPath() const
{
    return d->settings.id;
}

DeviceDescription SimDevice::description() const
{
    DeviceDescription description;
    description.vendorId = kVendorId;
    description.productId = productId(d->settings.generation);
    description.release = d->firmware->release();
    description.serialNumber = QString::fromLatin1(d->firmware->serialString());
    description.busPath = busPath();
    description.devicePath = devicePath();
    return description;
}

QString SimDevice::instancePath() const
{
    return usbio::instancePath(PresentDevice{d->settings.generation, d->instanceId});
}

int SimDevice::address() const
{
    return d->address;
}

bool SimDevice::onBus() const
{
    return d->attached && d->onBus;
}

bool SimDevice::inLoader() const
{
    return d->firmware->inLoader();
}

QByteArray SimDevice::firmwareVersion() const
{
    return d->firmware->firmwareVersion();
}

QByteArray SimDevice::serialNumber() const
{
    return d->firmware->serialNumber();
}

QByteArray SimDevice::calibrationDate() const
{
    return d->firmware->calibrationDate();
}

QByteArray SimDevice::deviation() const
{
    return d->firmware->deviation();
}

QString SimDevice::instanceId() const
{
    return d->instanceId;
}

QList<QByteArray> SimDevice::printerLines() const
{
    return d->firmware->printerLines();
}

QList<QByteArray> SimDevice::receivedPieces() const
{
    return d->pieces;
}

QList<QByteArray> SimDevice::receivedCommands() const
{
    return d->commands;
}

QList<QByteArray> SimDevice::receivedChunks() const
{
    QList<QByteArray> chunks;
    qint64 at = 0;
    for (const Impl::ChunkRun &run : d->chunkRuns) {
        for (qint64 i = 0; i < run.count; ++i) {
            if (chunks.size() == d->chunksKept)
                return chunks;
            chunks.append(d->chunkBytes.mid(at, run.size));
            at += run.size;
        }
    }
    return chunks;
}

qint64 SimDevice::receivedChunkCount() const
{
    return d->chunkCount;
}

qint64 SimDevice::receivedChunkBytes() const
{
    qint64 bytes = 0;
    for (const Impl::ChunkRun &run : d->chunkRuns)
        bytes += qint64(run.size) * run.count;
    return bytes;
}

QByteArray SimDevice::image() const
{
    return d->image;
}

bool SimDevice::saveImage(const QString &path) const
{
    // Written aside and renamed into place: a failed write never leaves a
    // cut-off image behind.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    return file.write(d->image) == d->image.size() && file.commit();
}

void SimDevice::clearRecords()
{
    d->pieces.clear();
    d->commands.clear();
    d->chunkRuns.clear();
    d->chunkBytes.clear();
    d->chunkCount = 0;
    d->chunksKept = 0;
    d->image.clear();
}

void SimDevice::sendToHost(const QByteArray &bytes)
{
    for (int at = 0; at < bytes.size(); at += kInPacketSize)
        d->sendToHost(bytes.mid(at, kInPacketSize));
}

void SimDevice::powerCycle(int offBusMs)
{
    d->restart(offBusMs < 0 ? d->settings.restartDelayMs : offBusMs);
}

} // namespace usbio
