#pragma once

#include <QPlainTextEdit>

// A text view that shows a log: text is appended at its end, and the view
// keeps at most a bound of lines, dropping the oldest as new ones come. A
// device that talks all day would otherwise grow the view (and the program)
// without end: each line held costs the document its block, its text and
// its layout, some 600 bytes for a short line.
//
// Lines are dropped a hundredth of the bound at a time: dropping costs the
// view about as much as laying out a new line, whatever it drops, so one line
// at a time would make every append past the bound half as dear again. The
// view therefore holds between 99 % of the bound and the bound once full.
class LogView : public QPlainTextEdit
{
    Q_OBJECT
public:
    // A working day of normal output: a device ticking once a second for
    // eight hours makes 28 800 lines, the commands and answers of a busy
    // service day a few thousand more; 100 000 keeps more than three such
    // days, and still bounds what the view can hold.
    static constexpr int DefaultLineLimit = 100000;

    explicit LogView(QWidget *parent = nullptr);

    int lineLimit() const { return FLineLimit; }
    // At least 1. Lines already past a smaller bound are dropped at the next
    // append.
    void setLineLimit(int lines);

    // Appends text as the view's last line (each break in it starts another
    // one). True only for the append that first drops older lines, so that
    // the owner can say so once.
    bool appendLine(const QString &text);
    // Whether older lines have been dropped.
    bool dropping() const { return FDropping; }

private:
    // Drops the oldest lines, keeping the part of the log the operator is
    // looking at in view.
    void dropOldest(int lines);

    int FLineLimit = DefaultLineLimit;
    bool FDropping = false;
};
