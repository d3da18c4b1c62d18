#include "usbio/devicemodel/VemoFirmware.h"

#include "usbio/devicemodel/DeviceModelHost.h"
#include "usbio/devicemodel/VemoIdentity.h"

#include <QPointer>
#include <QTime>

namespace usbio {

namespace {

// The firmware's line buffer; a longer line without CR is thrown away.
constexpr int kMaxCommandLength = 256;
constexpr int kSerialLength = 9;
constexpr int kDateLength = 8;

const QByteArray kBwf = "USB-Vemo:BWF!!!";
const QByteArray kNsf = "USB-Vemo:NSF?!!";
const QByteArray kReset = "USB-Vemo:Reset!";
const QByteArray kBlank = "USB-Vemo:BLANK!";
const QByteArray kInit = "USB-Vemo:INIT!!";

const QByteArray kOk = "OK\r";
const QByteArray kUnknown = "?\r";

struct Setting
{
    const char *prefix;
    const char *initial;
};

// Settings of the operator's command list: "<prefix>?" asks, "<prefix><value>"
// sets. Looked up by the longest prefix that fits.
constexpr Setting kSettings[] = {
    {"AZN", "12:00:00"}, {"AZX", "12:00:00"},   {"BE", "1"},
    {"CHK", "0"},        {"DIT1", "03"},        {"DIT2", "99"},
    {"DTC", "401.78"},   {"DTF", "00.03"},      {"DTS", "09.99"},
    {"EMU", "0"},        {"KAMU", "111111111"}, {"KL", "0"},
    {"LA", "T"},         {"PRE", "0"},          {"PRI", "0"},
    {"PRINTER", "0"},    {"PRMT", "0"},         {"PS", "0"},
    {"RR", "0"},         {"RSBD", "96"},        {"RSP", "00019999"},
    {"RSRT", "0"},       {"RSS", "0002000020"}, {"RSU", "A100109999"},
    {"RT", "0"},         {"SAF", "0"},          {"SAS", "0"},
    {"SL", "0"},         {"SM", "0"},           {"SP2", "N"},
    {"SPDI", "0100"},    {"SPDR", "0"},         {"SPEC", ":STOPWATCH:$A0$B0$C0"},
    {"SPLV", "0100.0"},  {"SPMI", "0000.1"},    {"SPMX", "0200.0"},
    {"SPTI", "0"},       {"SPU", "0"},          {"SST", " 1234 C0  12:34:56.7890 00"},
};

// Commands of the list that only act.
constexpr const char *kActions[] = {
    "AS",       "AST",  "BWF", "CALMT", "CALRT", "CALTT",    "CLR",
    "FOOTBALL", "PROG", "RSM", "RSRST", "RSS",   "VEMOINIT",
};

const Setting *settingFor(const QByteArray &command)
{
    const Setting *best = nullptr;
    for (const Setting &setting : kSettings) {
        const QByteArray prefix(setting.prefix);
        if (command.startsWith(prefix) && (!best || prefix.size() > int(qstrlen(best->prefix))))
            best = &setting;
    }
    return best;
}

} // namespace

VemoFirmware::VemoFirmware(const Settings &settings, DeviceModelHost *host, QObject *parent)
    : QObject(parent), m_settings(settings), m_host(host), m_flashValid(!settings.flashErased)
{
    for (const Setting &setting : kSettings)
        m_values.insert(setting.prefix, setting.initial);
    m_lifeTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_lifeTimer, &QTimer::timeout, this, &VemoFirmware::lifeTick);
}

VemoFirmware::~VemoFirmware() = default;

void VemoFirmware::powerOn()
{
    // The loader runs when it was asked for, or when there is no whole
    // firmware to start.
    const bool wasLoader = m_loader;
    m_loader = m_enterLoader || !m_flashValid;
    m_enterLoader = false;
    m_powered = true;
    m_commandLine.clear();
    m_ticks = 0;
    if (!m_loader && m_settings.lifeTickPeriodMs > 0)
        m_lifeTimer.start(m_settings.lifeTickPeriodMs);
    const quint64 epoch = m_epoch;
    if (m_loader != wasLoader)
        m_host->stateChanged();
    if (m_loader && m_settings.loaderAnnouncesBlank && epoch == m_epoch)
        erase();
}

void VemoFirmware::powerOff()
{
    ++m_epoch;
    m_powered = false;
    m_lifeTimer.stop();
    m_commandLine.clear();
    // An image cut short by a restart is lost; the erased flash stays blank.
    if (m_loaderState != LoaderState::Idle) {
        m_loaderState = LoaderState::Idle;
        m_image.clear();
    }
}

void VemoFirmware::receive(quint8 endpoint, const QByteArray &bytes)
{
    if (endpoint == kCommandEndpoint) {
        // The host fills a piece with zero bytes; the text ends at the first.
        const int end = bytes.indexOf('\0');
        const QByteArray text = end < 0 ? bytes : bytes.left(end);
        // A piece that opens with a USB-interface command is one, whatever
        // unfinished line came before it.
        if (isUsbCommand(text.left(kBwf.size())))
            m_commandLine.clear();
        takeCommandBytes(text);
    } else if (endpoint == kImageEndpoint) {
        takeImageChunk(bytes);
    }
}

void VemoFirmware::send(const QByteArray &text)
{
    // The rest of an answer is lost with the session it belonged to.
    const quint64 epoch = m_epoch;
    for (int at = 0; at < text.size() && epoch == m_epoch; at += kInPacketSize)
        m_host->sendToHost(text.mid(at, kInPacketSize));
}

bool VemoFirmware::loaderInDescriptors() const
{
    return m_powered ? m_loader : m_enterLoader || !m_flashValid;
}

quint16 VemoFirmware::release() const
{
    return loaderInDescriptors() ? kLoaderRelease : releaseOfVersion(m_settings.firmwareVersion);
}

QByteArray VemoFirmware::serialString() const
{
    return loaderInDescriptors() ? QByteArray() : m_settings.serialNumber;
}

QByteArray VemoFirmware::nextVersion(const QByteArray &version)
{
    int end = version.size();
    while (end > 0 && !QChar::isDigit(uchar(version.at(end - 1))))
        --end;
    int start = end;
    while (start > 0 && QChar::isDigit(uchar(version.at(start - 1))))
        --start;
    if (start == end)
        return version + ".1";
    const QByteArray digits = version.mid(start, end - start);
    QByteArray next = QByteArray::number(digits.toULongLong() + 1);
    if (next.size() < digits.size())
        next = QByteArray(digits.size() - next.size(), '0') + next;
    return version.left(start) + next + version.mid(end);
}

bool VemoFirmware::isUsbCommand(const QByteArray &command)
{
    return command == kBwf || command == kNsf || command == kReset || command == kBlank ||
           command == kInit;
}

void VemoFirmware::takeCommandBytes(const QByteArray &bytes)
{
    // A command that restarts the device drops the rest of the piece.
    const quint64 epoch = m_epoch;
    for (const char c : bytes) {
        if (epoch != m_epoch)
            return;
        if (c == '\r') {
            const QByteArray command = m_commandLine;
            m_commandLine.clear();
            if (!command.isEmpty())
                dispatch(command);
            continue;
        }
        if (c == '\n')
            continue;
        m_commandLine.append(c);
        if (m_commandLine.size() == kBwf.size() && isUsbCommand(m_commandLine)) {
            const QByteArray command = m_commandLine;
            m_commandLine.clear();
            dispatch(command);
        } else if (m_commandLine.size() > kMaxCommandLength) {
            m_commandLine.clear();
            send(kUnknown);
        }
    }
}

void VemoFirmware::dispatch(const QByteArray &command)
{
    const quint64 epoch = m_epoch;
    m_host->commandReceived(command);
    if (epoch != m_epoch)
        return;
    if (m_loader)
        loaderCommand(command);
    else
        normalCommand(command);
}

void VemoFirmware::normalCommand(const QByteArray &command)
{
    const auto scripted = m_settings.answers.constFind(command);
    if (scripted != m_settings.answers.constEnd()) {
        if (!scripted.value().isEmpty())
            send(scripted.value().endsWith('\r') ? scripted.value() : scripted.value() + '\r');
        return;
    }

    if (command == kBwf) {
        m_enterLoader = true;
        m_host->restart(m_settings.restartDelayMs);
    } else if (command == kReset) {
        m_host->restart(m_settings.restartDelayMs);
    } else if (command == kNsf || command == "NSF?") {
        send(versionLine());
    } else if (command == kBlank || command == kInit) {
        send("USB-Vemo:OK\r");
    } else if (command == "DEVNR?") {
        send("DEVNR" + m_settings.serialNumber + '\r');
    } else if (command.startsWith("DEVNR")) {
        if (command.size() == 5 + kSerialLength) {
            m_settings.serialNumber = command.mid(5);
            m_host->stateChanged();
            send(kOk);
        } else {
            send(kUnknown);
        }
    } else if (command == "ABGL?") {
        send("ABGL" + m_settings.calibrationDate + ' ' + m_settings.deviation + '\r');
    } else if (command.startsWith("ABGL")) {
        // Not an "ABGL" line of calibration length: the host would take it for
        // the calibration reply.
        if (command.size() == 4 + kDateLength) {
            m_settings.calibrationDate = command.mid(4);
            m_host->stateChanged();
            send(kOk);
        } else {
            send(kUnknown);
        }
    } else if (command.startsWith("DTP")) {
        // The text goes to the printer channel; the USB side only gets the
        // acknowledgement, which a host echoing every line leaves alone.
        m_printerLines.append(command.mid(3));
        send("DTP\r");
    } else {
        operatorCommand(command);
    }
}

void VemoFirmware::operatorCommand(const QByteArray &command)
{
    if (command == "HELP") {
        send(m_settings.deviceName + " commands:\r");
        send("DEVNR? DEVNR<serial>\r");
        send("ABGL? ABGL<yy-mm-dd>\r");
        send("NSF? DEVINFO? HELP\r");
        send("DTP<text> SP2W\r");
        return;
    }
    if (command == "DEVINFO?") {
        send(m_settings.deviceName + " SN" + m_settings.serialNumber + " FW" +
             m_settings.firmwareVersion + '\r');
        return;
    }
    const QByteArray trimmed = command.trimmed();
    if (trimmed.startsWith('#')) {
        send(kOk);
        return;
    }
    for (const char *action : kActions) {
        if (trimmed == action) {
            send(kOk);
            return;
        }
    }
    if (const Setting *setting = settingFor(trimmed)) {
        const QByteArray prefix(setting->prefix);
        const QByteArray rest = trimmed.mid(prefix.size());
        if (rest == "?") {
            send(prefix + m_values.value(prefix) + '\r');
            return;
        }
        if (!rest.isEmpty()) {
            m_values.insert(prefix, rest);
            send(kOk);
            return;
        }
    }
    send(kUnknown);
}

void VemoFirmware::loaderCommand(const QByteArray &command)
{
    if (command == kBwf) {
        erase();
    } else if (command == kReset) {
        // Without a whole image the loader is all the device can run.
        m_host->restart(m_settings.restartDelayMs);
    } else if (command == kNsf) {
        send(m_settings.deviceName + " loader V1.00\r");
    }
    // The loader ignores everything else.
}

void VemoFirmware::erase()
{
    // Erase (again): the image starts anew once the flash is blank.
    m_flashValid = false;
    m_image.clear();
    m_loaderState = LoaderState::Erasing;
    const quint64 epoch = m_epoch;
    const quint64 erase = ++m_erases;
    QTimer::singleShot(m_settings.eraseDelayMs, this, [this, epoch, erase] {
        if (epoch != m_epoch || erase != m_erases || m_loaderState != LoaderState::Erasing)
            return;
        m_loaderState = LoaderState::Receiving;
        send("Flash is BLANK\r");
    });
}

void VemoFirmware::takeImageChunk(const QByteArray &chunk)
{
    if (!m_loader || m_loaderState != LoaderState::Receiving)
        return;
    m_image.append(chunk);
    const bool last = chunk.size() < kImageChunkSize ||
                      (m_settings.imageSize > 0 && m_image.size() >= m_settings.imageSize);
    if (!last)
        return;
    const QByteArray image = m_image.take();
    m_loaderState = LoaderState::Idle;
    m_flashValid = true;
    m_settings.firmwareVersion = nextVersion(m_settings.firmwareVersion);
    const quint64 epoch = m_epoch;
    m_host->stateChanged();
    if (epoch == m_epoch)
        m_host->imageReceived(image);
    // An observer that took the device off the bus leaves nothing to restart.
    if (epoch == m_epoch)
        m_host->restart(m_settings.restartDelayMs);
}

void VemoFirmware::lifeTick()
{
    const QTime now = QTime::currentTime();
    send(now.toString(QStringLiteral("hh:mm:ss")).toLatin1() + '.' +
         QByteArray::number(now.msec() / 10).rightJustified(2, '0') + '\r');
    if (++m_ticks % 4 == 0)
        send("VEMO:RUN BAT OK\r");
}

QByteArray VemoFirmware::versionLine() const
{
    return m_settings.deviceName + " firmware V" + m_settings.firmwareVersion + '\r';
}

} // namespace usbio
