#pragma once

#include <QFont>
#include <QPointF>
#include <QStringList>
#include <QTextLayout>

#include <memory>
#include <vector>

class QPainter;

namespace report {

// The lines of a text object laid out in a column of a given width: each
// line of the text starts a new line on paper and wraps at word boundaries
// (inside a word when one word is wider than the column). All lines are one
// font's line spacing apart, so two objects in the same font keep their
// lines level with each other.
class TextBlock
{
public:
    TextBlock(const QStringList &lines, const QFont &font, qreal width);

    qreal height() const { return FHeight; }
    // The number of lines on paper after wrapping.
    int lineCount() const { return FLineCount; }
    void draw(QPainter &painter, const QPointF &topLeft) const;

private:
    std::vector<std::unique_ptr<QTextLayout>> FLayouts;
    qreal FHeight = 0;
    int FLineCount = 0;
};

} // namespace report
