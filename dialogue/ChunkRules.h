#pragma once

#include <QByteArray>

namespace dialogue {

// What becomes of one chunk of device output (the text of one finished
// read, at most 16 characters): the rules look only at the chunk itself and
// at the chunk held from before, never at a joined line.
struct ChunkOutcome
{
    enum class Action
    {
        LoaderReady, // "Flash is BLANK": hand over to the firmware transfer
        Hidden,      // a life tick while the filter is on
        Held,        // a full 16-character chunk without CR, kept for the next
        Shown,       // line is shown (the held chunk, then this one)
    };

    Action action = Action::Shown;
    // The raw log's line: the chunk as received, a TAB, its length.
    QByteArray rawLine;
    // The chunk holds "BLANK": the host beeps.
    bool beep = false;
    // Held: the chunk to keep. Shown: the line.
    QByteArray text;
};

class ChunkRules
{
public:
    // Chunks of this length without a CR may continue in the next one.
    static constexpr int FullChunk = 16;

    static ChunkOutcome apply(const QByteArray &chunk, const QByteArray &pendingChunk,
                              bool filterLifeTick);
};

} // namespace dialogue
