#include "fuzz/FuzzInput.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>

FuzzInput::FuzzInput(const uint8_t *data, size_t size)
    : m_bytes(reinterpret_cast<const char *>(data), qsizetype(size))
{}

quint8 FuzzInput::byte()
{
    return atEnd() ? 0 : quint8(m_bytes.at(m_at++));
}

QByteArray FuzzInput::take(qsizetype count)
{
    const QByteArray piece = m_bytes.mid(m_at, count);
    m_at += piece.size();
    return piece;
}

QByteArray FuzzInput::rest()
{
    return take(m_bytes.size() - m_at);
}

QList<QByteArray> FuzzInput::restSplit(char separator)
{
    return rest().split(separator);
}

void fuzzFailure(const char *what, const QByteArray &detail)
{
    std::fprintf(stderr, "fuzz check failed: %s\n  %s\n", what,
                 detail.toPercentEncoding(" !\"#$&'()*+,-./:;<=>?@[\\]^_`{|}~").constData());
    std::fflush(stderr);
    std::abort();
}

namespace {

int g_argc = 1;
char g_program[] = "fuzz";
char *g_argv[] = {g_program, nullptr};

} // namespace

void fuzzCoreApplication()
{
    if (!QCoreApplication::instance())
        new QCoreApplication(g_argc, g_argv);
}

void fuzzGuiApplication()
{
    if (QCoreApplication::instance())
        return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QGuiApplication(g_argc, g_argv);
}
