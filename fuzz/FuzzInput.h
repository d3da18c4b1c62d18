#pragma once

#include <QByteArray>
#include <QList>

#include <cstddef>
#include <cstdint>

// The fuzzer's bytes, taken piece by piece by a target: a few bytes that
// decide (a flag, a length), then the pieces that go in. Running out gives
// zeros and empty pieces, never an error, so every input is a valid run.
class FuzzInput
{
public:
    FuzzInput(const uint8_t *data, size_t size);

    bool atEnd() const { return m_at >= m_bytes.size(); }
    quint8 byte();
    bool flag() { return byte() & 1; }
    // At most count bytes.
    QByteArray take(qsizetype count);
    QByteArray rest();
    // The rest cut at every separator byte.
    QList<QByteArray> restSplit(char separator);

private:
    QByteArray m_bytes;
    qsizetype m_at = 0;
};

// A property the code under test broke: named on standard error, then the
// process aborts, so the fuzzer keeps the input as a crash.
[[noreturn]] void fuzzFailure(const char *what, const QByteArray &detail);

#define FUZZ_CHECK(condition, detail)                                                              \
    do {                                                                                           \
        if (!(condition))                                                                          \
            fuzzFailure(#condition, (detail));                                                     \
    } while (false)

// The application object some targets need, made once for the process;
// the Gui one on Qt's offscreen platform.
void fuzzCoreApplication();
void fuzzGuiApplication();
