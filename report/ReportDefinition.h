#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QList>
#include <QPageLayout>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <QStringList>

namespace report {

// Lines drawn along the sides of an object's box.
struct Frame
{
    bool left = false;
    bool top = false;
    bool right = false;
    bool bottom = false;
    qreal width = 1; // layout units
    QColor color = Qt::black;

    bool drawn() const { return left || top || right || bottom; }
};

// How a text object's box follows its text.
enum class StretchMode
{
    DontStretch, // the box keeps its height; text below it is cut off
    MaxHeight,   // the box grows downwards to hold its text, at most to the page's bottom
};

// One object on the page. Positions and sizes are layout units of 1/96 inch
// from the page's design origin, the paper's top left corner.
struct ReportObject
{
    enum class Kind
    {
        Text,
        Picture,
    };

    QString name;
    Kind kind = Kind::Text;
    QRectF bounds;
    Frame frame;

    // Text: its lines, which may hold [NAME] placeholders of variables; its
    // font (pixel height in layout units) and colour.
    QStringList lines;
    QFont font;
    QColor color = Qt::black;
    StretchMode stretch = StretchMode::DontStretch;

    // Picture: the bitmap, scaled into the box keeping its proportions.
    QImage picture;
};

struct ReportVariable
{
    QString category;
    QString name;
    QString value; // an expression (see Expression)
};

// A stored report: its settings, its variables, one page and the objects on
// it, in drawing order. Read from our JSON format:
//
//   { "format": "vemo-report 1",
//     "name": "...", "printer": "Default" or a queue name,
//     "output-file-name": "...[NAME]...",       (optional; base of saved PDFs)
//     "variables": [ { "category": "...", "variables": [ { "name": "...", "value": "" } ] } ],
//     "page": { "width-mm": 210, "height-mm": 297, "orientation": "portrait" },
//     "objects": [ { "name": "...", "kind": "text" or "picture",
//                    "left": 0, "top": 0, "width": 10, "height": 10,
//                    "frame": { "sides": ["left", "top", "right", "bottom"], "width": 1,
//                               "color": "black" },              (optional)
//                    text:    "font": { "name": "Arial", "height": 24, "color": "black" },
//                             "stretch": "smDontStretch" or "smMaxHeight",
//                             "lines": [ "...", "[NAME]" ]
//                    picture: "file": "logo.bmp" (relative to the definition's folder) } ] }
//
// Unknown keys are refused, so a misspelt setting is found when the
// definition loads rather than on paper.
class ReportDefinition
{
public:
    // Raises ReportError naming the place and what is wrong there.
    static ReportDefinition parse(const QByteArray &json, const QString &baseFolder);

    QString name;
    QString printer;
    QString outputFileName;
    QList<ReportVariable> variables;
    QSizeF paperSizeMm;
    QPageLayout::Orientation orientation = QPageLayout::Portrait;
    QList<ReportObject> objects;

    // The page in layout units, orientation applied.
    QSizeF pageSize() const;
    const ReportVariable *variable(const QString &variableName) const;
    ReportVariable *variable(const QString &variableName);
};

} // namespace report
