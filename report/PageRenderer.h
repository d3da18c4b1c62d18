#pragma once

#include "report/PreparedPage.h"

class QPagedPaintDevice;
class QPainter;

namespace report {

// Draws prepared pages with QPainter on a printer or a PDF writer.
class PageRenderer
{
public:
    // Draws every page; raises ReportError when the device cannot be painted
    // on. The device is set to the pages' paper already, its painter origin
    // at the paper's corner (the design origin), and not painted on yet.
    static void render(QPagedPaintDevice &device, const QList<PreparedPage> &pages);
    // One page on a painter whose unit is already 1/96 inch.
    static void drawPage(QPainter &painter, const PreparedPage &page);
};

} // namespace report
