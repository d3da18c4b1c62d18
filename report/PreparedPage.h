#pragma once

#include "report/ReportDefinition.h"

#include <QHash>

namespace report {

// A page made ready for paper: the definition's objects with the
// placeholders replaced by the variables' values and the boxes of stretching
// objects grown to their text.
struct PreparedPage
{
    QSizeF paperSizeMm;
    QPageLayout::Orientation orientation = QPageLayout::Portrait;
    QSizeF size; // layout units, orientation applied
    QList<ReportObject> objects;

    // values maps each variable's name to its text.
    static PreparedPage prepare(const ReportDefinition &definition,
                                const QHash<QString, QString> &values);
    // Inner room of a text box: 2 units on the left and right, 1 above.
    static QRectF textArea(const QRectF &bounds);

    const ReportObject *object(const QString &name) const;
};

} // namespace report
