#include "app/LogView.h"

#include <QTextDocument>

LogView::LogView(QWidget *parent) : QPlainTextEdit(parent)
{
    // The bound also turns off the undo history, which would otherwise keep a
    // second copy of every appended line.
    setMaximumBlockCount(DefaultLineLimit);
    connect(document(), &QTextDocument::contentsChange, this, &LogView::contentsChanged);
}

void LogView::setLineLimit(int lines)
{
    setMaximumBlockCount(qMax(1, lines));
}

bool LogView::appendLine(const QString &text)
{
    FAppending = true;
    FDroppedNow = false;
    appendPlainText(text);
    FAppending = false;
    if (!FDroppedNow || FDropping)
        return false;
    FDropping = true;
    return true;
}

void LogView::contentsChanged(int position, int charsRemoved, int charsAdded)
{
    // The document drops the oldest lines as a change of its own at the
    // start, after the append itself.
    if (FAppending && position == 0 && charsRemoved > 0 && charsAdded == 0)
        FDroppedNow = true;
}
