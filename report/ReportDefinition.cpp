#include "report/ReportDefinition.h"

#include "files/RegularFile.h"
#include "report/Placeholders.h"
#include "report/ReportError.h"

#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

namespace report {

namespace {

const QString kFormat = QStringLiteral("vemo-report 1");
constexpr qreal kUnitsPerMm = 96.0 / 25.4;

// The largest sizes a definition may give. Every size is bounded, so no
// layout arithmetic (rounding to pixels, scaling to the printer) leaves the
// range of its types: a paper side of 5 m, a frame line of 1 cm, text of
// 1 to 1000 units (about 26 cm) high.
constexpr qreal kLargestPaperMm = 5000;
constexpr qreal kLargestFrameWidth = 40;
constexpr qreal kSmallestFontHeight = 1;
constexpr qreal kLargestFontHeight = 1000;

[[noreturn]] void fail(const QString &where, const QString &what)
{
    throw ReportError(QStringLiteral("Bad report definition: %1: %2").arg(where, what));
}

// One JSON object of the definition and where it is, for the messages.
class Node
{
public:
    Node(const QJsonObject &object, const QString &where, const QStringList &allowed)
        : FObject(object), FWhere(where)
    {
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (!allowed.contains(it.key()))
                fail(where, QStringLiteral("unknown key \"%1\"").arg(it.key()));
        }
    }

    const QString &where() const { return FWhere; }
    bool has(const QString &key) const { return FObject.contains(key); }

    QJsonValue value(const QString &key) const
    {
        if (!FObject.contains(key))
            fail(FWhere, QStringLiteral("\"%1\" is missing").arg(key));
        return FObject.value(key);
    }

    QString string(const QString &key) const
    {
        const QJsonValue v = value(key);
        if (!v.isString())
            fail(FWhere, QStringLiteral("\"%1\" must be a text").arg(key));
        return v.toString();
    }

    QString string(const QString &key, const QString &fallback) const
    {
        return has(key) ? string(key) : fallback;
    }

    qreal number(const QString &key) const
    {
        const QJsonValue v = value(key);
        if (!v.isDouble())
            fail(FWhere, QStringLiteral("\"%1\" must be a number").arg(key));
        return v.toDouble();
    }

    qreal positive(const QString &key) const
    {
        const qreal n = number(key);
        if (!(n > 0))
            fail(FWhere, QStringLiteral("\"%1\" must be greater than 0").arg(key));
        return n;
    }

    // Greater than 0 and at most largest.
    qreal positive(const QString &key, qreal largest) const
    {
        const qreal n = positive(key);
        if (!(n <= largest))
            fail(FWhere, QStringLiteral("\"%1\" must be at most %2").arg(key).arg(largest));
        return n;
    }

    qreal inRange(const QString &key, qreal smallest, qreal largest) const
    {
        const qreal n = number(key);
        if (!(n >= smallest && n <= largest))
            fail(
                FWhere,
                QStringLiteral("\"%1\" must be from %2 to %3").arg(key).arg(smallest).arg(largest));
        return n;
    }

    qreal notNegative(const QString &key) const
    {
        const qreal n = number(key);
        if (n < 0)
            fail(FWhere, QStringLiteral("\"%1\" must not be negative").arg(key));
        return n;
    }

    QJsonArray array(const QString &key) const
    {
        const QJsonValue v = value(key);
        if (!v.isArray())
            fail(FWhere, QStringLiteral("\"%1\" must be a list").arg(key));
        return v.toArray();
    }

    QStringList strings(const QString &key) const
    {
        QStringList list;
        for (const QJsonValue &v : array(key)) {
            if (!v.isString())
                fail(FWhere, QStringLiteral("\"%1\" must be a list of texts").arg(key));
            list << v.toString();
        }
        return list;
    }

    Node child(const QString &key, const QStringList &allowed) const
    {
        const QJsonValue v = value(key);
        if (!v.isObject())
            fail(FWhere, QStringLiteral("\"%1\" must be an object").arg(key));
        return Node(v.toObject(), FWhere + QLatin1Char('.') + key, allowed);
    }

    QColor color(const QString &key) const
    {
        const QString name = string(key, QStringLiteral("black"));
        const QColor c = QColor::fromString(name);
        if (!c.isValid())
            fail(FWhere, QStringLiteral("\"%1\" is not a colour: \"%2\"").arg(key, name));
        return c;
    }

private:
    QJsonObject FObject;
    QString FWhere;
};

Node element(const QJsonValue &value, const QString &where, const QStringList &allowed)
{
    if (!value.isObject())
        fail(where, QStringLiteral("must be an object"));
    return Node(value.toObject(), where, allowed);
}

bool isIdentifier(const QString &name)
{
    static const QRegularExpression identifier(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*$"));
    return identifier.match(name).hasMatch();
}

Frame readFrame(const Node &object)
{
    Frame frame;
    if (!object.has(QStringLiteral("frame")))
        return frame;
    const Node node = object.child(QStringLiteral("frame"), {"sides", "width", "color"});
    for (const QString &side : node.strings(QStringLiteral("sides"))) {
        if (side == QLatin1String("left"))
            frame.left = true;
        else if (side == QLatin1String("top"))
            frame.top = true;
        else if (side == QLatin1String("right"))
            frame.right = true;
        else if (side == QLatin1String("bottom"))
            frame.bottom = true;
        else
            fail(node.where(), QStringLiteral("unknown side \"%1\"").arg(side));
    }
    if (node.has(QStringLiteral("width")))
        frame.width = node.positive(QStringLiteral("width"), kLargestFrameWidth);
    frame.color = node.color(QStringLiteral("color"));
    return frame;
}

void readText(const Node &node, ReportObject &object)
{
    const Node font = node.child(QStringLiteral("font"), {"name", "height", "color"});
    object.font = QFont(font.string(QStringLiteral("name")));
    // Heights are pixels at 96 dpi, i.e. layout units; the face's own
    // outlines and advances are used, so text measures the same on every
    // device.
    object.font.setPixelSize(
        qRound(font.inRange(QStringLiteral("height"), kSmallestFontHeight, kLargestFontHeight)));
    object.font.setHintingPreference(QFont::PreferNoHinting);
    object.color = font.color(QStringLiteral("color"));

    const QString stretch = node.string(QStringLiteral("stretch"), QStringLiteral("smDontStretch"));
    if (stretch == QLatin1String("smDontStretch"))
        object.stretch = StretchMode::DontStretch;
    else if (stretch == QLatin1String("smMaxHeight"))
        object.stretch = StretchMode::MaxHeight;
    else
        fail(node.where(), QStringLiteral("unknown stretch mode \"%1\"").arg(stretch));

    object.lines = node.strings(QStringLiteral("lines"));
}

void readPicture(const Node &node, ReportObject &object, const QString &baseFolder)
{
    const QString file = node.string(QStringLiteral("file"));
    // A picture lies in the definition's folder: a name that leaves it (or
    // names a device such as /dev/stdin) would read whatever it points to.
    const bool inFolder = !file.isEmpty() && QDir::isRelativePath(file) &&
                          !file.split(QLatin1Char('/')).contains(QStringLiteral(".."));
    if (!inFolder)
        fail(node.where(),
             QStringLiteral("the picture \"%1\" is not a file of the definition's folder")
                 .arg(file));
    const QString path = QDir(baseFolder).filePath(file);
    if (const QString why =
            files::RegularFile::checkForReading(path, files::RegularFile::InputLimit);
        !why.isEmpty())
        fail(node.where(), QStringLiteral("cannot read the picture \"%1\": %2").arg(path, why));
    // Read first as what its name says: guessing the format loads every
    // image plugin, which only a picture named otherwise needs.
    QImageReader reader(path, QFileInfo(path).suffix().toLower().toLatin1());
    reader.setAutoDetectImageFormat(false);
    object.picture = reader.read();
    if (object.picture.isNull() && !object.picture.load(path))
        fail(node.where(), QStringLiteral("cannot read the picture \"%1\"").arg(path));
}

} // namespace

ReportDefinition ReportDefinition::parse(const QByteArray &json, const QString &baseFolder)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        fail(QStringLiteral("offset %1").arg(error.offset), error.errorString());
    if (!document.isObject())
        fail(QStringLiteral("top"), QStringLiteral("must be an object"));

    const Node top(
        document.object(), QStringLiteral("top"),
        {"format", "name", "printer", "output-file-name", "variables", "page", "objects"});
    if (top.string(QStringLiteral("format")) != kFormat)
        fail(top.where(), QStringLiteral("\"format\" must be \"%1\"").arg(kFormat));

    ReportDefinition definition;
    definition.name = top.string(QStringLiteral("name"));
    definition.printer = top.string(QStringLiteral("printer"));
    if (definition.printer.isEmpty())
        fail(top.where(), QStringLiteral("\"printer\" is empty"));
    definition.outputFileName = top.string(QStringLiteral("output-file-name"), definition.name);

    const QJsonArray categories = top.array(QStringLiteral("variables"));
    for (int c = 0; c < categories.size(); ++c) {
        const Node category = element(categories.at(c), QStringLiteral("variables[%1]").arg(c),
                                      {"category", "variables"});
        const QJsonArray list = category.array(QStringLiteral("variables"));
        for (int v = 0; v < list.size(); ++v) {
            const Node node =
                element(list.at(v), category.where() + QStringLiteral(".variables[%1]").arg(v),
                        {"name", "value"});
            ReportVariable variable;
            variable.category = category.string(QStringLiteral("category"));
            variable.name = node.string(QStringLiteral("name"));
            variable.value = node.string(QStringLiteral("value"));
            if (!isIdentifier(variable.name))
                fail(node.where(), QStringLiteral("bad variable name \"%1\"").arg(variable.name));
            if (definition.variable(variable.name))
                fail(node.where(),
                     QStringLiteral("variable %1 is declared twice").arg(variable.name));
            definition.variables << variable;
        }
    }

    const Node page = top.child(QStringLiteral("page"), {"width-mm", "height-mm", "orientation"});
    definition.paperSizeMm = QSizeF(page.positive(QStringLiteral("width-mm"), kLargestPaperMm),
                                    page.positive(QStringLiteral("height-mm"), kLargestPaperMm));
    const QString orientation = page.string(QStringLiteral("orientation"));
    if (orientation == QLatin1String("portrait"))
        definition.orientation = QPageLayout::Portrait;
    else if (orientation == QLatin1String("landscape"))
        definition.orientation = QPageLayout::Landscape;
    else
        fail(page.where(), QStringLiteral("unknown orientation \"%1\"").arg(orientation));

    const QRectF pageRect(QPointF(0, 0), definition.pageSize());
    const QJsonArray objects = top.array(QStringLiteral("objects"));
    QSet<QString> names;
    for (int i = 0; i < objects.size(); ++i) {
        const QJsonValue value = objects.at(i);
        QString where = QStringLiteral("objects[%1]").arg(i);
        if (!value.isObject())
            fail(where, QStringLiteral("must be an object"));
        const QString name = value.toObject().value(QStringLiteral("name")).toString();
        if (!name.isEmpty())
            where += QStringLiteral(" (%1)").arg(name);
        const QString kind = value.toObject().value(QStringLiteral("kind")).toString();
        const bool text = kind == QLatin1String("text");
        if (!text && kind != QLatin1String("picture"))
            fail(where, QStringLiteral("\"kind\" must be \"text\" or \"picture\""));

        QStringList allowed{"name", "kind", "left", "top", "width", "height", "frame"};
        allowed << (text ? QStringList{"font", "stretch", "lines"} : QStringList{"file"});
        const Node node(value.toObject(), where, allowed);

        ReportObject object;
        object.name = node.string(QStringLiteral("name"));
        if (object.name.isEmpty() || names.contains(object.name))
            fail(where, QStringLiteral("every object needs a name of its own"));
        names.insert(object.name);

        object.bounds = QRectF(
            node.notNegative(QStringLiteral("left")), node.notNegative(QStringLiteral("top")),
            node.positive(QStringLiteral("width")), node.positive(QStringLiteral("height")));
        if (!pageRect.contains(object.bounds))
            fail(where, QStringLiteral("lies outside the page"));
        object.frame = readFrame(node);

        if (text) {
            object.kind = ReportObject::Kind::Text;
            readText(node, object);
            for (const QString &line : object.lines) {
                QStringList used;
                try {
                    used = Placeholders::names(line);
                } catch (const ReportError &e) {
                    fail(where, e.message());
                }
                for (const QString &n : used) {
                    if (!definition.variable(n))
                        fail(where, QStringLiteral("unknown variable [%1]").arg(n));
                }
            }
        } else {
            object.kind = ReportObject::Kind::Picture;
            readPicture(node, object, baseFolder);
        }
        definition.objects << object;
    }
    QStringList used;
    try {
        used = Placeholders::names(definition.outputFileName);
    } catch (const ReportError &e) {
        fail(QStringLiteral("output-file-name"), e.message());
    }
    for (const QString &n : used) {
        if (!definition.variable(n))
            fail(QStringLiteral("output-file-name"),
                 QStringLiteral("unknown variable [%1]").arg(n));
    }
    return definition;
}

QSizeF ReportDefinition::pageSize() const
{
    const QSizeF units = paperSizeMm * kUnitsPerMm;
    return orientation == QPageLayout::Portrait ? units : units.transposed();
}

const ReportVariable *ReportDefinition::variable(const QString &variableName) const
{
    for (const ReportVariable &v : variables) {
        if (v.name == variableName)
            return &v;
    }
    return nullptr;
}

ReportVariable *ReportDefinition::variable(const QString &variableName)
{
    return const_cast<ReportVariable *>(std::as_const(*this).variable(variableName));
}

} // namespace report
