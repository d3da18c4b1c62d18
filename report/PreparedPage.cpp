#include "report/PreparedPage.h"

#include "report/Placeholders.h"
#include "report/TextBlock.h"

namespace report {

namespace {

constexpr qreal kGapX = 2;
constexpr qreal kGapY = 1;

} // namespace

PreparedPage PreparedPage::prepare(const ReportDefinition &definition,
                                   const QHash<QString, QString> &values)
{
    PreparedPage page;
    page.paperSizeMm = definition.paperSizeMm;
    page.orientation = definition.orientation;
    page.size = definition.pageSize();
    for (ReportObject object : definition.objects) {
        if (object.kind == ReportObject::Kind::Text) {
            for (QString &line : object.lines)
                line = Placeholders::substitute(line, values);
            if (object.stretch == StretchMode::MaxHeight) {
                const QRectF area = textArea(object.bounds);
                const TextBlock block(object.lines, object.font, area.width());
                const qreal needed = block.height() + 2 * kGapY;
                const qreal room = page.size.height() - object.bounds.top();
                if (needed > object.bounds.height())
                    object.bounds.setHeight(qMin(needed, room));
            }
        }
        page.objects << object;
    }
    return page;
}

QRectF PreparedPage::textArea(const QRectF &bounds)
{
    return bounds.adjusted(kGapX, kGapY, -kGapX, -kGapY);
}

const ReportObject *PreparedPage::object(const QString &name) const
{
    for (const ReportObject &o : objects) {
        if (o.name == name)
            return &o;
    }
    return nullptr;
}

} // namespace report
