#include "dialogue/EndKind.h"

namespace dialogue {

EndKind endKindFor(bool failed, const QString &reason)
{
    if (!failed)
        return EndKind::Done;
    return reason.startsWith(QLatin1String(TransferFailedPrefix)) ? EndKind::ImageNotLoaded
                                                                  : EndKind::Failed;
}

} // namespace dialogue
