#include "usbio/sim/SimConfig.h"

#include "files/RegularFile.h"
#include "generations/GenerationTable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QSet>

#include <algorithm>
#include <cmath>

namespace usbio {

namespace {

// A fault in the file: the field (as a path like "devices[0].serial") and
// what is wrong with it.
struct FieldError
{
    QString field;
    QString message;
};

QString join(const QString &path, const QString &key)
{
    return path.isEmpty() ? key : path + QLatin1Char('.') + key;
}

QString indexed(const QString &path, int index)
{
    return path + QStringLiteral("[%1]").arg(index);
}

// Rejects keys the format does not have (a misspelt field would otherwise be
// ignored without a word). "comment" is allowed everywhere.
void checkKeys(const QJsonObject &object, const QString &path, const QStringList &known)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it.key() != QLatin1String("comment") && !known.contains(it.key()))
            throw FieldError{join(path, it.key()),
                             QStringLiteral("unknown field (expected one of: %1)")
                                 .arg(known.join(QLatin1String(", ")))};
    }
}

QJsonObject objectAt(const QJsonValue &value, const QString &path)
{
    if (!value.isObject())
        throw FieldError{path, QStringLiteral("must be an object")};
    return value.toObject();
}

qint64 integerAt(const QJsonValue &value, const QString &path, qint64 min, qint64 max)
{
    const double number = value.toDouble(std::nan(""));
    if (!value.isDouble() || std::floor(number) != number)
        throw FieldError{path, QStringLiteral("must be a whole number")};
    if (number < double(min) || number > double(max))
        throw FieldError{path, QStringLiteral("must be between %1 and %2").arg(min).arg(max)};
    return qint64(number);
}

int intField(const QJsonObject &object, const QString &key, const QString &path, int fallback,
             int min, int max = 24 * 3600 * 1000)
{
    if (!object.contains(key))
        return fallback;
    return int(integerAt(object.value(key), join(path, key), min, max));
}

bool boolField(const QJsonObject &object, const QString &key, const QString &path, bool fallback)
{
    if (!object.contains(key))
        return fallback;
    const QJsonValue value = object.value(key);
    if (!value.isBool())
        throw FieldError{join(path, key), QStringLiteral("must be true or false")};
    return value.toBool();
}

// Device text is 8-bit: one byte per character.
QByteArray textField(const QJsonObject &object, const QString &key, const QString &path,
                     const QByteArray &fallback)
{
    if (!object.contains(key))
        return fallback;
    const QJsonValue value = object.value(key);
    if (!value.isString())
        throw FieldError{join(path, key), QStringLiteral("must be a text")};
    const QString text = value.toString();
    for (const QChar c : text) {
        if (c.unicode() > 0xFF)
            throw FieldError{join(path, key),
                             QStringLiteral("holds a character the device cannot send")};
    }
    return text.toLatin1();
}

// A file or folder; relative to the folder of the configuration file.
QString pathField(const QJsonObject &object, const QString &key, const QString &path,
                  const QDir &base)
{
    if (!object.contains(key))
        return {};
    const QJsonValue value = object.value(key);
    if (!value.isString() || value.toString().trimmed().isEmpty())
        throw FieldError{join(path, key), QStringLiteral("must be a file path")};
    return QDir::cleanPath(base.absoluteFilePath(value.toString()));
}

QByteArray fixedText(const QJsonObject &object, const QString &key, const QString &path,
                     const QByteArray &fallback, int length)
{
    const QByteArray text = textField(object, key, path, fallback);
    if (text.size() != length)
        throw FieldError{
            join(path, key),
            QStringLiteral("must be %1 characters, not %2").arg(length).arg(text.size())};
    return text;
}

Status statusField(const QJsonObject &object, const QString &key, const QString &path,
                   Status fallback)
{
    if (!object.contains(key))
        return fallback;
    const std::optional<Status> status = SimConfig::parseStatus(object.value(key));
    if (!status)
        throw FieldError{join(path, key),
                         QStringLiteral("must be a status: a number, hexadecimal text like "
                                        "\"E000101C\", or a name like \"DeviceGone\"")};
    return *status;
}

quint32 numberField(const QJsonObject &object, const QString &key, const QString &path,
                    quint32 fallback)
{
    if (!object.contains(key))
        return fallback;
    const QJsonValue value = object.value(key);
    if (value.isDouble())
        return quint32(integerAt(value, join(path, key), 0, 0xFFFFFFFFLL));
    if (value.isString()) {
        const QString text = value.toString().trimmed();
        bool ok = false;
        const uint number = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                                ? text.mid(2).toUInt(&ok, 16)
                                : text.toUInt(&ok, 10);
        if (ok)
            return number;
    }
    throw FieldError{
        join(path, key),
        QStringLiteral("must be a number (decimal, or hexadecimal text like \"0x0210\")")};
}

Generation generationField(const QJsonObject &object, const QString &path)
{
    const generations::GenerationTable &table = generations::table();
    const QByteArray name =
        textField(object, QStringLiteral("generation"), path, generationName(Generation::Vemo2));
    const int index = table.indexOfNameIgnoringCase(QString::fromLatin1(name));
    if (index >= 0)
        return Generation(index);
    QStringList quoted;
    for (const QString &known : table.names())
        quoted << QLatin1Char('"') + known + QLatin1Char('"');
    throw FieldError{
        join(path, QStringLiteral("generation")),
        QStringLiteral("must be %1, not \"%2\"")
            .arg(generations::listText(quoted, QStringLiteral(" or ")), QString::fromLatin1(name))};
}

SimFaults parseFaults(const QJsonObject &object, const QString &path)
{
    checkKeys(object, path,
              {QStringLiteral("openStatus"), QStringLiteral("declareStatus"),
               QStringLiteral("selectStatus"), QStringLiteral("bindStatus"),
               QStringLiteral("resetPipeStatus"), QStringLiteral("startWritingStatus"),
               QStringLiteral("writeDataStatus"), QStringLiteral("startReadingFailures"),
               QStringLiteral("startReadingStatus"), QStringLiteral("readErrors"),
               QStringLiteral("readErrorStatus"), QStringLiteral("writeCompletionDelayMs"),
               QStringLiteral("errorTextFails"), QStringLiteral("driverInfo")});
    SimFaults faults;
    faults.openStatus = statusField(object, QStringLiteral("openStatus"), path, 0);
    faults.declareStatus = statusField(object, QStringLiteral("declareStatus"), path, 0);
    faults.selectStatus = statusField(object, QStringLiteral("selectStatus"), path, 0);
    faults.bindStatus = statusField(object, QStringLiteral("bindStatus"), path, 0);
    faults.resetPipeStatus = statusField(object, QStringLiteral("resetPipeStatus"), path, 0);
    faults.startWritingStatus = statusField(object, QStringLiteral("startWritingStatus"), path, 0);
    faults.writeDataStatus = statusField(object, QStringLiteral("writeDataStatus"), path, 0);
    faults.startReadingFailures =
        intField(object, QStringLiteral("startReadingFailures"), path, 0, 0, 1000000);
    faults.startReadingStatus =
        statusField(object, QStringLiteral("startReadingStatus"), path, faults.startReadingStatus);
    faults.readErrors = intField(object, QStringLiteral("readErrors"), path, 0, 0, 1000000);
    faults.readErrorStatus =
        statusField(object, QStringLiteral("readErrorStatus"), path, faults.readErrorStatus);
    faults.writeCompletionDelayMs =
        intField(object, QStringLiteral("writeCompletionDelayMs"), path, 0, -1);
    faults.errorTextFails = boolField(object, QStringLiteral("errorTextFails"), path, false);
    if (object.contains(QStringLiteral("driverInfo"))) {
        const QString infoPath = join(path, QStringLiteral("driverInfo"));
        const QJsonObject info = objectAt(object.value(QStringLiteral("driverInfo")), infoPath);
        checkKeys(info, infoPath,
                  {QStringLiteral("apiVersion"), QStringLiteral("driverVersion"),
                   QStringLiteral("driverBuild"), QStringLiteral("flags")});
        faults.driverInfo.apiVersion =
            numberField(info, QStringLiteral("apiVersion"), infoPath, faults.driverInfo.apiVersion);
        faults.driverInfo.driverVersion = numberField(info, QStringLiteral("driverVersion"),
                                                      infoPath, faults.driverInfo.driverVersion);
        faults.driverInfo.driverBuild = numberField(info, QStringLiteral("driverBuild"), infoPath,
                                                    faults.driverInfo.driverBuild);
        faults.driverInfo.flags =
            numberField(info, QStringLiteral("flags"), infoPath, faults.driverInfo.flags);
    }
    return faults;
}

SimConfig::Device parseDevice(const QJsonObject &object, const QString &path, int index,
                              const QDir &base)
{
    checkKeys(object, path,
              {QStringLiteral("id"), QStringLiteral("generation"), QStringLiteral("serial"),
               QStringLiteral("firmware"), QStringLiteral("calibrationDate"),
               QStringLiteral("deviation"), QStringLiteral("instanceId"),
               QStringLiteral("lifeTickPeriodMs"), QStringLiteral("restartDelayMs"),
               QStringLiteral("eraseDelayMs"), QStringLiteral("imageSize"),
               QStringLiteral("attached"), QStringLiteral("answers"), QStringLiteral("faults"),
               QStringLiteral("imageFolder"), QStringLiteral("stateFile"),
               QStringLiteral("loaderAnnouncesBlank"), QStringLiteral("bootsInto")});
    SimConfig::Device device;
    device.id = QString::fromLatin1(
        textField(object, QStringLiteral("id"), path, "device" + QByteArray::number(index + 1)));
    if (device.id.isEmpty())
        throw FieldError{join(path, QStringLiteral("id")), QStringLiteral("must not be empty")};
    SimDeviceSettings &s = device.settings;
    s.generation = generationField(object, path);
    s.serialNumber = fixedText(object, QStringLiteral("serial"), path,
                               QByteArray::number(index + 1).rightJustified(9, '0'), 9);
    s.firmwareVersion = textField(object, QStringLiteral("firmware"), path,
                                  descriptor(s.generation).simulatedFirmware);
    if (s.firmwareVersion.isEmpty())
        throw FieldError{join(path, QStringLiteral("firmware")),
                         QStringLiteral("must not be empty")};
    s.calibrationDate =
        fixedText(object, QStringLiteral("calibrationDate"), path, s.calibrationDate, 8);
    s.deviation = textField(object, QStringLiteral("deviation"), path, s.deviation);
    if (s.deviation.size() > 11)
        throw FieldError{join(path, QStringLiteral("deviation")),
                         QStringLiteral("must be at most 11 characters")};
    s.instanceId = QString::fromLatin1(textField(object, QStringLiteral("instanceId"), path, {}));
    if (s.instanceId.contains(QLatin1Char('\\')))
        throw FieldError{join(path, QStringLiteral("instanceId")),
                         QStringLiteral("must not hold a backslash")};
    s.lifeTickPeriodMs = intField(object, QStringLiteral("lifeTickPeriodMs"), path, 0, 0);
    s.restartDelayMs = intField(object, QStringLiteral("restartDelayMs"), path, 0, 0);
    s.eraseDelayMs = intField(object, QStringLiteral("eraseDelayMs"), path, 0, 0);
    s.imageSize = intField(object, QStringLiteral("imageSize"), path, 0, 0, 64 * 1024 * 1024);
    device.attached = boolField(object, QStringLiteral("attached"), path, true);
    s.loaderAnnouncesBlank = boolField(object, QStringLiteral("loaderAnnouncesBlank"), path, false);
    const QByteArray boot = textField(object, QStringLiteral("bootsInto"), path, "firmware");
    if (boot == "firmware")
        s.bootsInto = SimDeviceSettings::Boot::Firmware;
    else if (boot == "loader")
        s.bootsInto = SimDeviceSettings::Boot::Loader;
    else
        throw FieldError{join(path, QStringLiteral("bootsInto")),
                         QStringLiteral("must be \"firmware\" or \"loader\"")};
    s.name = device.id;
    s.id = device.id;
    s.imageFolder = pathField(object, QStringLiteral("imageFolder"), path, base);
    s.stateFile = pathField(object, QStringLiteral("stateFile"), path, base);
    if (object.contains(QStringLiteral("answers"))) {
        const QString answersPath = join(path, QStringLiteral("answers"));
        const QJsonObject answers = objectAt(object.value(QStringLiteral("answers")), answersPath);
        // Each answer is checked like a field of its own. A name the device
        // can never assemble (empty, wider than 8 bits, holding the CR that
        // ends a command) would leave its answer unused without a word.
        for (auto it = answers.begin(); it != answers.end(); ++it) {
            const QString command = it.key();
            const bool assemblable = !command.isEmpty() && !command.contains(QLatin1Char('\r')) &&
                                     std::all_of(command.cbegin(), command.cend(),
                                                 [](QChar c) { return c.unicode() <= 0xFF; });
            if (!assemblable)
                throw FieldError{join(answersPath, command),
                                 QStringLiteral("must name a command the device can receive: "
                                                "8-bit text without CR")};
            s.answers.insert(command.toLatin1(), textField(answers, command, answersPath, {}));
        }
    }
    if (object.contains(QStringLiteral("faults"))) {
        const QString faultsPath = join(path, QStringLiteral("faults"));
        device.faults =
            parseFaults(objectAt(object.value(QStringLiteral("faults")), faultsPath), faultsPath);
    }
    return device;
}

SimConfig::Action parseAction(const QJsonObject &object, const QString &path,
                              const QSet<QString> &ids)
{
    checkKeys(object, path,
              {QStringLiteral("afterMs"), QStringLiteral("action"), QStringLiteral("device"),
               QStringLiteral("offBusMs"), QStringLiteral("text")});
    SimConfig::Action action;
    if (!object.contains(QStringLiteral("afterMs")))
        throw FieldError{join(path, QStringLiteral("afterMs")), QStringLiteral("is missing")};
    action.afterMs = intField(object, QStringLiteral("afterMs"), path, 0, 0);
    const QByteArray kind = textField(object, QStringLiteral("action"), path, {});
    if (kind == "attach")
        action.kind = SimConfig::Action::Attach;
    else if (kind == "detach")
        action.kind = SimConfig::Action::Detach;
    else if (kind == "restart")
        action.kind = SimConfig::Action::Restart;
    else if (kind == "send")
        action.kind = SimConfig::Action::Send;
    else
        throw FieldError{join(path, QStringLiteral("action")),
                         QStringLiteral("must be \"attach\", \"detach\", \"restart\" or \"send\"")};
    action.device = QString::fromLatin1(textField(object, QStringLiteral("device"), path, {}));
    if (!ids.contains(action.device))
        throw FieldError{join(path, QStringLiteral("device")),
                         QStringLiteral("names no device of the file (\"%1\")").arg(action.device)};
    action.offBusMs = intField(object, QStringLiteral("offBusMs"), path, -1, -1);
    action.text = textField(object, QStringLiteral("text"), path, {});
    if (action.kind == SimConfig::Action::Send && action.text.isEmpty())
        throw FieldError{join(path, QStringLiteral("text")),
                         QStringLiteral("is missing: \"send\" needs the text the device sends")};
    return action;
}

} // namespace

std::optional<Status> SimConfig::parseStatus(const QJsonValue &value)
{
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (std::floor(number) != number || number < 0 || number > 4294967295.0)
            return std::nullopt;
        return Status(number);
    }
    if (!value.isString())
        return std::nullopt;
    QString text = value.toString().trimmed();
    if (const std::optional<Status> named = statusNamed(text))
        return named;
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        text = text.mid(2);
    if (text.isEmpty() || text.size() > 8)
        return std::nullopt;
    bool ok = false;
    const uint status = text.toUInt(&ok, 16);
    if (!ok)
        return std::nullopt;
    return Status(status);
}

bool SimConfig::load(const QString &path, QString *error)
{
    QByteArray json;
    QString why;
    if (!files::RegularFile::read(path, files::RegularFile::InputLimit, &json, &why)) {
        if (error)
            *error = QStringLiteral("%1: cannot be read: %2").arg(path, why);
        return false;
    }
    return parse(json, path, error);
}

bool SimConfig::parse(const QByteArray &json, const QString &fileName, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        if (error)
            *error = QStringLiteral("%1: not valid JSON at offset %2: %3")
                         .arg(fileName)
                         .arg(parseError.offset)
                         .arg(parseError.errorString());
        return false;
    }
    if (!document.isObject()) {
        if (error)
            *error = QStringLiteral("%1: must hold one JSON object").arg(fileName);
        return false;
    }
    try {
        SimConfig config;
        const QJsonObject root = document.object();
        const QDir base = QFileInfo(fileName).absoluteDir();
        checkKeys(root, {},
                  {QStringLiteral("devices"), QStringLiteral("bus"), QStringLiteral("timeline")});

        const QJsonValue deviceList = root.value(QStringLiteral("devices"));
        if (!deviceList.isUndefined() && !deviceList.isArray())
            throw FieldError{QStringLiteral("devices"), QStringLiteral("must be an array")};
        QSet<QString> ids;
        const QJsonArray deviceArray = deviceList.toArray();
        for (int i = 0; i < deviceArray.size(); ++i) {
            const QString path = indexed(QStringLiteral("devices"), i);
            Device device = parseDevice(objectAt(deviceArray.at(i), path), path, i, base);
            if (ids.contains(device.id))
                throw FieldError{join(path, QStringLiteral("id")),
                                 QStringLiteral("\"%1\" is used twice").arg(device.id)};
            ids.insert(device.id);
            config.devices.append(device);
        }

        if (root.contains(QStringLiteral("bus"))) {
            const QJsonObject bus =
                objectAt(root.value(QStringLiteral("bus")), QStringLiteral("bus"));
            checkKeys(bus, QStringLiteral("bus"),
                      {QStringLiteral("pnpEnableStatus"), QStringLiteral("componentRegistered")});
            config.pnpEnableStatus =
                statusField(bus, QStringLiteral("pnpEnableStatus"), QStringLiteral("bus"), 0);
            config.componentRegistered =
                boolField(bus, QStringLiteral("componentRegistered"), QStringLiteral("bus"), true);
        }

        const QJsonValue actionList = root.value(QStringLiteral("timeline"));
        if (!actionList.isUndefined() && !actionList.isArray())
            throw FieldError{QStringLiteral("timeline"), QStringLiteral("must be an array")};
        const QJsonArray actions = actionList.toArray();
        for (int i = 0; i < actions.size(); ++i) {
            const QString path = indexed(QStringLiteral("timeline"), i);
            config.timeline.append(parseAction(objectAt(actions.at(i), path), path, ids));
        }
        *this = config;
        return true;
    } catch (const FieldError &fault) {
        if (error)
            *error = QStringLiteral("%1: %2: %3").arg(fileName, fault.field, fault.message);
        return false;
    }
}

} // namespace usbio
