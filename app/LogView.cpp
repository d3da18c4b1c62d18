#include "app/LogView.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

LogView::LogView(QWidget *parent) : QPlainTextEdit(parent)
{
    // A log is not edited back: the undo history would keep a second copy
    // of every appended line.
    setUndoRedoEnabled(false);
}

void LogView::setLineLimit(int lines)
{
    FLineLimit = qMax(1, lines);
}

bool LogView::appendLine(const QString &text)
{
    appendPlainText(text);
    const int excess = document()->blockCount() - FLineLimit;
    if (excess <= 0)
        return false;
    dropOldest(excess + FLineLimit / 100);
    if (FDropping)
        return false;
    FDropping = true;
    return true;
}

void LogView::dropOldest(int lines)
{
    QTextDocument *log = document();
    const QTextBlock firstKept = log->findBlockByNumber(lines);
    QScrollBar *scrollBar = verticalScrollBar();
    const bool atEnd = scrollBar->value() == scrollBar->maximum();
    // The scroll bar counts the view's lines (a wrapped block has several).
    const int linesDropped = firstKept.firstLineNumber();
    const int shownFrom = scrollBar->value();

    // Inside an edit block the cursor does not lay out the lines it moves
    // over.
    QTextCursor cursor(log);
    cursor.beginEditBlock();
    cursor.setPosition(firstKept.position(), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    cursor.endEditBlock();

    // An operator reading older lines keeps them in view; the end of the
    // log stays followed.
    if (!atEnd)
        scrollBar->setValue(qMax(0, shownFrom - linesDropped));
}
