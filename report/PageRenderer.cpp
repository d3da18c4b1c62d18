#include "report/PageRenderer.h"

#include "report/ReportError.h"
#include "report/TextBlock.h"

#include <QPagedPaintDevice>
#include <QPainter>

namespace report {

namespace {

constexpr qreal kLayoutDpi = 96;

void drawFrame(QPainter &painter, const QRectF &box, const Frame &frame)
{
    if (!frame.drawn())
        return;
    painter.save();
    QPen pen(frame.color, frame.width);
    pen.setCapStyle(Qt::SquareCap);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    if (frame.left)
        painter.drawLine(box.topLeft(), box.bottomLeft());
    if (frame.top)
        painter.drawLine(box.topLeft(), box.topRight());
    if (frame.right)
        painter.drawLine(box.topRight(), box.bottomRight());
    if (frame.bottom)
        painter.drawLine(box.bottomLeft(), box.bottomRight());
    painter.restore();
}

void drawText(QPainter &painter, const ReportObject &object)
{
    const QRectF area = PreparedPage::textArea(object.bounds);
    const TextBlock block(object.lines, object.font, area.width());
    painter.save();
    painter.setClipRect(object.bounds);
    painter.setPen(object.color);
    painter.setFont(object.font);
    block.draw(painter, area.topLeft());
    painter.restore();
}

void drawPicture(QPainter &painter, const ReportObject &object)
{
    if (object.picture.isNull())
        return;
    // Scaled to fit the box, proportions kept, from the box's top left corner.
    QSizeF size = object.picture.size();
    size.scale(object.bounds.size(), Qt::KeepAspectRatio);
    painter.drawImage(QRectF(object.bounds.topLeft(), size), object.picture);
}

} // namespace

void PageRenderer::render(QPagedPaintDevice &device, const QList<PreparedPage> &pages)
{
    if (pages.isEmpty())
        throw ReportError(QStringLiteral("The report has no pages"));

    QPainter painter;
    if (!painter.begin(&device))
        throw ReportError(QStringLiteral("The printer cannot be written to"));
    for (int i = 0; i < pages.size(); ++i) {
        if (i > 0 && !device.newPage())
            throw ReportError(QStringLiteral("The printer cannot start a new page"));
        painter.save();
        painter.scale(device.logicalDpiX() / kLayoutDpi, device.logicalDpiY() / kLayoutDpi);
        drawPage(painter, pages.at(i));
        painter.restore();
    }
    if (!painter.end())
        throw ReportError(QStringLiteral("The printer did not take the report"));
}

void PageRenderer::drawPage(QPainter &painter, const PreparedPage &page)
{
    for (const ReportObject &object : page.objects) {
        if (object.kind == ReportObject::Kind::Text)
            drawText(painter, object);
        else
            drawPicture(painter, object);
        drawFrame(painter, object.bounds, object.frame);
    }
}

} // namespace report
