#include "app/RunEvents.h"

#include "dialogue/DeviceDialogue.h"
#include "dialogue/UpdateFlow.h"
#include "files/RegularFile.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <chrono>
#include <cstdio>

namespace {

// A JSON string, quoted and escaped.
QByteArray quoted(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

} // namespace

bool RunEvents::open(const QString &target, QString *error)
{
    m_target = target;
    bool ok = false;
    if (target == QLatin1String("-")) {
        ok = m_file.open(stdout, QIODevice::WriteOnly);
    } else {
        // A FIFO would block the open until a reader comes, a device take
        // the events nowhere.
        if (const QString why = files::RegularFile::checkForWriting(target); !why.isEmpty()) {
            *error = QStringLiteral("cannot write '%1': %2").arg(target, why);
            return false;
        }
        m_file.setFileName(target);
        ok = m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
    }
    if (!ok)
        *error = QStringLiteral("cannot write '%1': %2").arg(target, m_file.errorString());
    return ok;
}

void RunEvents::watch(dialogue::DeviceDialogue &dialogue)
{
    using dialogue::UpdateFlow;
    dialogue.update().OnStateChanged = [this](UpdateFlow::State state) {
        // The run's end says done or failed itself.
        if (state == UpdateFlow::State::Ended)
            return;
        m_flowState = QString::fromLatin1(UpdateFlow::stateName(state));
        this->state(m_flowState);
    };
    dialogue.OnTransferBytes = [this](qint64 taken, qint64 size) { progress(taken, size); };
    dialogue.OnCertificatePrinting = [this](bool printing) {
        // Printed, the run is where its update stands.
        state(printing ? QString::fromLatin1(PrintingCertificate) : m_flowState);
    };
}

void RunEvents::unwatch(dialogue::DeviceDialogue &dialogue)
{
    dialogue.update().OnStateChanged = nullptr;
    dialogue.OnTransferBytes = nullptr;
    dialogue.OnCertificatePrinting = nullptr;
}

void RunEvents::state(const QString &name)
{
    write(stateLine(name));
}

void RunEvents::progress(qint64 bytes, qint64 of)
{
    if (of <= 0)
        return;
    const int percent = int(bytes * 100 / of);
    // A new transfer starts from nothing again.
    if (bytes < m_lastBytes)
        m_lastPercent = -1;
    m_lastBytes = bytes;
    if (percent == m_lastPercent && bytes != of)
        return;
    m_lastPercent = percent;
    write(progressLine(bytes, of));
}

void RunEvents::ended(const QByteArray &record, const QString &recordError)
{
    QJsonObject fields = QJsonDocument::fromJson(record).object();
    // The run failed when its record is lost, as its exit status has it.
    if (!recordError.isEmpty() && fields.value(QStringLiteral("status")).toInt() == 0) {
        fields.insert(QStringLiteral("status"), 1);
        fields.insert(QStringLiteral("reason"),
                      QStringLiteral("record not written: ") + recordError);
    }
    const bool done = fields.value(QStringLiteral("status")).toInt(-1) == 0;
    write(stateLine(QString::fromLatin1(done ? Done : Failed)) + endLine(fields), Line::End);
}

QByteArray RunEvents::stateLine(const QString &name)
{
    return "{\"event\":\"state\",\"state\":" + quoted(name) + "}\n";
}

QByteArray RunEvents::progressLine(qint64 bytes, qint64 of)
{
    return "{\"event\":\"progress\",\"bytes\":" + QByteArray::number(bytes) +
           ",\"of\":" + QByteArray::number(of) + "}\n";
}

QByteArray RunEvents::endLine(QJsonObject record)
{
    // The kind first, then the record's fields in its own order; status and
    // reason lead them, as a reader looks for them first.
    const int status = record.value(QStringLiteral("status")).toInt(-1);
    const QString reason = record.value(QStringLiteral("reason")).toString();
    record.remove(QStringLiteral("event"));
    record.remove(QStringLiteral("status"));
    record.remove(QStringLiteral("reason"));
    QByteArray line = "{\"event\":\"end\",\"status\":" + QByteArray::number(status) +
                      ",\"reason\":" + quoted(reason);
    const QByteArray rest = QJsonDocument(record).toJson(QJsonDocument::Compact);
    if (rest.size() > 2)
        line += ',' + rest.mid(1, rest.size() - 2);
    return line + "}\n";
}

void RunEvents::write(const QByteArray &line, Line kind)
{
    // The watchdog's thread ends a run whose loop is blocked: it does not
    // wait for ever on a write that blocks that loop.
    std::unique_lock<std::timed_mutex> hold(m_lock, std::defer_lock);
    if (kind == Line::End) {
        if (!hold.try_lock_for(std::chrono::seconds(1)))
            return;
    } else {
        hold.lock();
    }
    if (!m_file.isOpen() || m_failed || m_ended)
        return;
    // Nothing follows the end.
    m_ended = kind == Line::End;
    if (m_file.write(line) == line.size() && m_file.flush())
        return;
    m_failed = true;
    const QByteArray said =
        QStringLiteral("vemotool: the event stream '%1' cannot be written: %2\n")
            .arg(m_target, m_file.errorString())
            .toLocal8Bit();
    std::fwrite(said.constData(), 1, size_t(said.size()), stderr);
    std::fflush(stderr);
}
