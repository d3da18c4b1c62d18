#pragma once

#include <QList>
#include <QPlainTextEdit>
#include <QString>
#include <QStringList>
#include <QWidget>

class TForm1;

// Device chunks fed into the window through the handler the link's chunks
// reach (TForm1::DeviceDataReceived), and the same lines appended to bare
// text views, for the receive benchmarks. Events are handled after every
// Burst chunks, as when a device sends a burst of reads: the window paints
// what changed then.
namespace ReceiveFeed {

constexpr int Burst = 100;

// Feeds chunks first .. first + count - 1 of DeviceChunks to the window's
// handler, the life-tick filter set as DeviceChunks says; the CPU time taken, in nanoseconds.
qint64 feedWindow(TForm1 &form, qint64 first, qint64 count);

// What the window shows for one chunk: the raw log's line, and the message
// log's line when the chunk completes one.
struct ShownLines
{
    QString raw;
    QString message; // null when the chunk shows no line
};

// The lines of chunks first .. first + count - 1, worked out with the
// window's own rules before any timing. The chunk held from before first is
// taken to be none.
QList<ShownLines> linesOf(qint64 first, qint64 count);

// Two plain text views shaped as the window's logs (size, font, wrapping,
// no undo history), with no bound on their lines, in a window of their own shown beside it, with
// nothing in front of their appends.
class BareViews
{
public:
    explicit BareViews(const TForm1 &like);
    // Appends lines, handling events after every Burst of them; the CPU
    // time taken, in nanoseconds.
    qint64 append(const QList<ShownLines> &lines, qsizetype from, qsizetype count);

    QPlainTextEdit &raw() { return *m_raw; }
    QPlainTextEdit &message() { return *m_message; }

private:
    QWidget m_window;
    QPlainTextEdit *m_raw;
    QPlainTextEdit *m_message;
};

// The last count lines of a view.
QStringList lastLines(const QPlainTextEdit &view, int count);

} // namespace ReceiveFeed
