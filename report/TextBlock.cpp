#include "report/TextBlock.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QTextOption>

namespace report {

TextBlock::TextBlock(const QStringList &lines, const QFont &font, qreal width)
{
    const qreal pitch = QFontMetricsF(font).lineSpacing();
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    option.setUseDesignMetrics(true);

    qreal y = 0;
    for (const QString &text : lines) {
        auto layout = std::make_unique<QTextLayout>(text, font);
        layout->setTextOption(option);
        layout->setCacheEnabled(true);
        layout->beginLayout();
        int count = 0;
        for (QTextLine line = layout->createLine(); line.isValid(); line = layout->createLine()) {
            line.setLineWidth(width);
            line.setPosition(QPointF(0, y));
            y += pitch;
            ++count;
        }
        layout->endLayout();
        if (count == 0) { // an empty line still takes its room
            y += pitch;
            count = 1;
        }
        FLineCount += count;
        FLayouts.push_back(std::move(layout));
    }
    FHeight = y;
}

void TextBlock::draw(QPainter &painter, const QPointF &topLeft) const
{
    for (const auto &layout : FLayouts)
        layout->draw(&painter, topLeft);
}

} // namespace report
