#include "bench/ReceiveFeed.h"

#include "app/Unit1.h"
#include "bench/BenchProcess.h"
#include "bench/DeviceChunks.h"
#include "dialogue/ChunkRules.h"
#include "dialogue/DeviceText.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QTextBlock>
#include <QTextDocument>

namespace ReceiveFeed {

qint64 feedWindow(TForm1 &form, qint64 first, qint64 count)
{
    const qint64 started = bench::threadCpuNs();
    for (qint64 n = first; n < first + count; ++n) {
        const bool filter = DeviceChunks::filterOn(n);
        if (form.FilterLifeTick->isChecked() != filter)
            form.FilterLifeTick->setChecked(filter);
        form.DeviceDataReceived(nullptr, DeviceChunks::chunk(n));
        if ((n + 1) % Burst == 0)
            QCoreApplication::processEvents();
    }
    return bench::threadCpuNs() - started;
}

QList<ShownLines> linesOf(qint64 first, qint64 count)
{
    QList<ShownLines> lines;
    lines.reserve(count);
    QByteArray pending;
    for (qint64 n = first; n < first + count; ++n) {
        const dialogue::ChunkOutcome outcome =
            dialogue::ChunkRules::apply(DeviceChunks::chunk(n), pending, DeviceChunks::filterOn(n));
        ShownLines shown;
        shown.raw = dialogue::DeviceText::decode(outcome.rawLine);
        shown.raw.replace(QLatin1Char('\r'), QLatin1Char(' '));
        shown.raw.replace(QLatin1Char('\n'), QLatin1Char(' '));
        if (outcome.action == dialogue::ChunkOutcome::Action::Held) {
            pending = outcome.text;
        } else if (outcome.action == dialogue::ChunkOutcome::Action::Shown) {
            pending.clear();
            shown.message = dialogue::DeviceText::decode(outcome.text);
            while (shown.message.endsWith(QLatin1Char('\r')))
                shown.message.chop(1);
        }
        lines << shown;
    }
    return lines;
}

namespace {

QPlainTextEdit *shapedLike(const QPlainTextEdit &view, QWidget *parent)
{
    auto *bare = new QPlainTextEdit(parent);
    bare->setGeometry(view.geometry());
    bare->setFont(view.font());
    bare->setLineWrapMode(view.lineWrapMode());
    bare->setVerticalScrollBarPolicy(view.verticalScrollBarPolicy());
    bare->setHorizontalScrollBarPolicy(view.horizontalScrollBarPolicy());
    bare->setUndoRedoEnabled(view.isUndoRedoEnabled());
    return bare;
}

} // namespace

BareViews::BareViews(const TForm1 &like)
    : m_raw(shapedLike(*like.WithoutFilter, &m_window)),
      m_message(shapedLike(*like.Message, &m_window))
{
    m_window.setFont(like.font());
    m_window.resize(like.size());
    m_window.show();
}

qint64 BareViews::append(const QList<ShownLines> &lines, qsizetype from, qsizetype count)
{
    const qint64 started = bench::threadCpuNs();
    for (qsizetype i = from; i < from + count; ++i) {
        const ShownLines &shown = lines.at(i);
        m_raw->appendPlainText(shown.raw);
        if (!shown.message.isNull())
            m_message->appendPlainText(shown.message);
        if ((i + 1) % Burst == 0)
            QCoreApplication::processEvents();
    }
    return bench::threadCpuNs() - started;
}

QStringList lastLines(const QPlainTextEdit &view, int count)
{
    QStringList lines;
    for (QTextBlock block = view.document()->lastBlock(); block.isValid() && lines.size() < count;
         block = block.previous())
        lines.prepend(block.text());
    return lines;
}

} // namespace ReceiveFeed
