#include "dialogue/ChunkRules.h"

#include "dialogue/Protocol.h"

namespace dialogue {

ChunkOutcome ChunkRules::apply(const QByteArray &chunk, const QByteArray &pendingChunk,
                               bool filterLifeTick)
{
    ChunkOutcome outcome;
    outcome.rawLine = chunk + '\t' + QByteArray::number(chunk.size());
    outcome.beep = protocol::holdsBlank(chunk);

    if (protocol::holdsLoaderReady(chunk)) {
        outcome.action = ChunkOutcome::Action::LoaderReady;
        return outcome;
    }
    if (filterLifeTick && protocol::isLifeTick(chunk)) {
        outcome.action = ChunkOutcome::Action::Hidden;
        return outcome;
    }

    QByteArray completed = chunk;
    // A short chunk without CR is a line of its own: complete it.
    if (completed.size() < FullChunk && !completed.contains(protocol::CR))
        completed += protocol::CR;
    // A full chunk without CR may be the first half of a line.
    if (completed.size() == FullChunk && !completed.contains(protocol::CR) &&
        pendingChunk.isEmpty()) {
        outcome.action = ChunkOutcome::Action::Held;
        outcome.text = completed;
        return outcome;
    }
    outcome.action = ChunkOutcome::Action::Shown;
    outcome.text = pendingChunk + completed;
    return outcome;
}

} // namespace dialogue
