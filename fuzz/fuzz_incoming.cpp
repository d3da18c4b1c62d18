// Device text as the window takes it: a sequence of chunks (at most 16
// bytes, cut at the first zero byte as the link cuts a read) through
// IncomingLines::DeviceDataReceived, the entry the window's handler uses, so
// the chunk rules, the held chunk, the line assembly, the echo and the
// serial and calibration replies all see it. The check boxes are set from
// the input too.

#include "dialogue/DeviceDialogue.h"
#include "fuzz/FuzzInput.h"
#include "registry/KeyStore.h"
#include "tests/support/FakeWindowPort.h"
#include "tests/support/ScopedHost.h"

namespace {

// The window's widgets, and the dialogue over them as the window holds it.
struct FuzzWindow : FakeWindowPort
{
    dialogue::DeviceDialogue dialogue{*this};
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzCoreApplication();
    // The registry probe reads the default store: one in memory.
    static registry::KeyStore store{QString()};
    registry::KeyStore::setDefaultStore(&store);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    ScopedHost host;
    FuzzWindow window;
    const quint8 settings = input.byte();
    window.filterLifeTickTicked = settings & 1;
    window.echoTicked = settings & 2;
    if (settings & 4)
        window.printError = QStringLiteral("the printer is out of paper");

    QList<QByteArray> chunks;
    while (!input.atEnd()) {
        QByteArray chunk = input.take(input.byte() % 17);
        const qsizetype zero = chunk.indexOf('\0');
        if (zero >= 0)
            chunk.truncate(zero);
        chunks << chunk;
        window.dialogue.deviceDataReceived(chunk);

        // A held chunk is always a whole piece of 16.
        const QByteArray held = window.dialogue.pendingChunk();
        FUZZ_CHECK(held.isEmpty() || held.size() == 16, held);
    }

    // Every chunk has its raw line: the chunk as received, a TAB, its length.
    FUZZ_CHECK(window.rawLines.size() == chunks.size(), QByteArray::number(window.rawLines.size()));
    for (qsizetype i = 0; i < chunks.size(); ++i)
        FUZZ_CHECK(window.rawLines.at(i) ==
                       chunks.at(i) + '\t' + QByteArray::number(chunks.at(i).size()),
                   window.rawLines.at(i));
    return 0;
}
