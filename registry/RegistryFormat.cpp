#include "registry/RegistryFormat.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>

#include <cmath>
#include <limits>

namespace registry {

namespace {

const QString kFormat = QStringLiteral("vemo-registry");
const RootKey kRoots[] = {RootKey::LocalMachine, RootKey::CurrentUser};

// Thrown inside the parser only; parse() turns it into its error text.
struct FormatError
{
    QString text;
};

[[noreturn]] void fail(const QString &where, const QString &what)
{
    throw FormatError{where.isEmpty() ? what : where + QStringLiteral(": ") + what};
}

QString typeName(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return QStringLiteral("a boolean");
    case QJsonValue::Double:
        return QStringLiteral("a number");
    case QJsonValue::String:
        return QStringLiteral("a string");
    case QJsonValue::Array:
        return QStringLiteral("an array");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    case QJsonValue::Undefined:
        break;
    }
    return QStringLiteral("nothing");
}

QJsonObject objectAt(const QJsonValue &value, const QString &where)
{
    if (!value.isObject())
        fail(where, QStringLiteral("expected an object, found %1").arg(typeName(value)));
    return value.toObject();
}

Value parseValue(const QJsonValue &json, const QString &where)
{
    const QJsonObject object = objectAt(json, where);
    const QString type = object.value(QStringLiteral("type")).toString();
    const QJsonValue data = object.value(QStringLiteral("data"));
    if (type == QLatin1String("string")) {
        if (!data.isString())
            fail(where, QStringLiteral("string value with %1 as data").arg(typeName(data)));
        return data.toString();
    }
    if (type == QLatin1String("integer")) {
        const double number = data.toDouble(std::nan(""));
        if (!data.isDouble() || std::floor(number) != number ||
            number < std::numeric_limits<qint32>::min() ||
            number > std::numeric_limits<qint32>::max())
            fail(where, QStringLiteral("integer value whose data is not a 32-bit integer"));
        return static_cast<qint32>(number);
    }
    fail(where, QStringLiteral("unknown value type \"%1\"").arg(type));
}

void parseKey(const QJsonValue &json, KeyNode &node, const QString &where)
{
    const QJsonObject object = objectAt(json, where);
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it.key() != QLatin1String("keys") && it.key() != QLatin1String("values"))
            fail(where, QStringLiteral("unknown member \"%1\"").arg(it.key()));
    }
    const QJsonObject keys = object.contains(QStringLiteral("keys"))
                                 ? objectAt(object.value(QStringLiteral("keys")), where + "/keys")
                                 : QJsonObject();
    for (auto it = keys.begin(); it != keys.end(); ++it) {
        const QString name = it.key();
        const QString childWhere = where + QLatin1Char('\\') + name;
        if (name.isEmpty() || name.contains(QLatin1Char('\\')))
            fail(childWhere, QStringLiteral("invalid key name \"%1\"").arg(name));
        bool created = false;
        KeyNode &child = node.ensureChild(name, &created);
        if (!created)
            fail(childWhere, QStringLiteral("two keys whose names differ only in letter case"));
        parseKey(it.value(), child, childWhere);
    }
    const QJsonObject values =
        object.contains(QStringLiteral("values"))
            ? objectAt(object.value(QStringLiteral("values")), where + "/values")
            : QJsonObject();
    for (auto it = values.begin(); it != values.end(); ++it) {
        const QString valueWhere = where + QStringLiteral(" value \"") + it.key() + '"';
        if (node.findValue(it.key()))
            fail(valueWhere, QStringLiteral("two values whose names differ only in letter case"));
        node.setValue(it.key(), parseValue(it.value(), valueWhere));
    }
}

QJsonObject serializeKey(const KeyNode &node)
{
    QJsonObject object;
    if (!node.keys.empty()) {
        QJsonObject keys;
        for (const KeyNode &child : node.keys)
            keys.insert(child.name, serializeKey(child));
        object.insert(QStringLiteral("keys"), keys);
    }
    if (!node.values.empty()) {
        QJsonObject values;
        for (const KeyNode::NamedValue &value : node.values) {
            QJsonObject entry;
            if (const auto *text = std::get_if<QString>(&value.value)) {
                entry.insert(QStringLiteral("type"), QStringLiteral("string"));
                entry.insert(QStringLiteral("data"), *text);
            } else {
                entry.insert(QStringLiteral("type"), QStringLiteral("integer"));
                entry.insert(QStringLiteral("data"), std::get<qint32>(value.value));
            }
            values.insert(value.name, entry);
        }
        object.insert(QStringLiteral("values"), values);
    }
    return object;
}

} // namespace

QString RegistryFormat::rootName(RootKey root)
{
    return root == RootKey::LocalMachine ? QStringLiteral("HKEY_LOCAL_MACHINE")
                                         : QStringLiteral("HKEY_CURRENT_USER");
}

bool RegistryFormat::parse(const QByteArray &content, KeyTree &tree, QString *error)
{
    KeyTree parsed;
    try {
        QJsonParseError jsonError;
        const QJsonDocument document = QJsonDocument::fromJson(content, &jsonError);
        if (jsonError.error != QJsonParseError::NoError)
            fail(QString(), QStringLiteral("JSON error at offset %1: %2")
                                .arg(jsonError.offset)
                                .arg(jsonError.errorString()));
        if (!document.isObject())
            fail(QString(), QStringLiteral("the document is not a JSON object"));
        const QJsonObject top = document.object();
        if (top.value(QStringLiteral("format")).toString() != kFormat)
            fail(QString(),
                 QStringLiteral("not a key store file (\"format\" is not \"%1\")").arg(kFormat));
        const QJsonValue version = top.value(QStringLiteral("version"));
        if (!version.isDouble() || version.toDouble() != kVersion)
            fail(QString(), QStringLiteral("unsupported version %1 (this program reads %2)")
                                .arg(version.toVariant().toString())
                                .arg(kVersion));
        const QJsonObject roots = objectAt(top.value(QStringLiteral("roots")), "roots");
        for (auto it = roots.begin(); it != roots.end(); ++it) {
            if (it.key() != rootName(RootKey::LocalMachine) &&
                it.key() != rootName(RootKey::CurrentUser))
                fail("roots", QStringLiteral("unknown root key \"%1\"").arg(it.key()));
        }
        for (RootKey root : kRoots) {
            const QString name = rootName(root);
            if (roots.contains(name))
                parseKey(roots.value(name), rootOf(parsed, root), name);
        }
    } catch (const FormatError &e) {
        if (error)
            *error = e.text;
        return false;
    }
    tree = std::move(parsed);
    return true;
}

QByteArray RegistryFormat::serialize(const KeyTree &tree)
{
    QJsonObject roots;
    for (RootKey root : kRoots)
        roots.insert(rootName(root), serializeKey(rootOf(tree, root)));
    QJsonObject top;
    top.insert(QStringLiteral("format"), kFormat);
    top.insert(QStringLiteral("version"), kVersion);
    top.insert(QStringLiteral("roots"), roots);
    return QJsonDocument(top).toJson(QJsonDocument::Indented);
}

} // namespace registry
