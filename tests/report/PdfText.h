#pragma once

#include <QImage>
#include <QList>
#include <QRectF>
#include <QString>

// A PDF read back with poppler's tools: the words of its first page with
// their boxes in points (1/72 inch) from the page's top left corner, as
// pdftotext -bbox reports them, grouped into lines.
class PdfText
{
public:
    struct Word
    {
        QString text;
        QRectF box;
    };
    struct Line
    {
        qreal top = 0;
        QList<Word> words; // left to right

        // The words that start within [fromX, toX), joined by one space.
        QString text(qreal fromX = 0, qreal toX = 1e9) const;
        // The first word that starts within [fromX, toX); null when none does.
        const Word *first(qreal fromX = 0, qreal toX = 1e9) const;
    };

    // Empty error on success; otherwise what went wrong (tool missing, bad file).
    static PdfText read(const QString &pdfFile, QString *error);
    // The first page rendered by pdftoppm at dpi; a null image on error.
    static QImage render(const QString &pdfFile, int dpi, QString *error);
    // The document's metadata field (Title, Creator, ...) as pdfinfo shows it.
    static QString info(const QString &pdfFile, const QString &field, QString *error);

    QList<Word> words;
    QList<Line> lines; // top to bottom
    // All text of the page, lines joined by "\n".
    QString text() const;
    // The line whose words in [fromX, toX) read exactly text; null when none does.
    const Line *lineWith(const QString &text, qreal fromX = 0, qreal toX = 1e9) const;
};

// Layout units (1/96 inch) in points.
inline qreal unitsToPoints(qreal units)
{
    return units * 72.0 / 96.0;
}
