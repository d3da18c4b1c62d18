#include "platform/MessageBoxStyle.h"

#include "platform/HostServices.h"

namespace platform {

namespace {

constexpr int kTypeMask = 0x000F;
constexpr int kIconMask = 0x00F0;
constexpr int kDefaultButtonMask = 0x0F00;
constexpr int kModeMask = 0x3000;
constexpr int kSystemModal = 0x1000;

using SB = QMessageBox::StandardButton;

} // namespace

MessageBoxStyle MessageBoxStyle::fromFlags(int flags)
{
    MessageBoxStyle style;
    switch (flags & kTypeMask) {
    case MB_OKCANCEL:
        style.buttons = {SB::Ok, SB::Cancel};
        break;
    case 0x2: // MB_ABORTRETRYIGNORE
        style.buttons = {SB::Abort, SB::Retry, SB::Ignore};
        break;
    case MB_YESNOCANCEL:
        style.buttons = {SB::Yes, SB::No, SB::Cancel};
        break;
    case MB_YESNO:
        style.buttons = {SB::Yes, SB::No};
        break;
    case 0x5: // MB_RETRYCANCEL
        style.buttons = {SB::Retry, SB::Cancel};
        break;
    default: // MB_OK, and kinds Qt has no buttons for
        style.buttons = {SB::Ok};
        break;
    }
    switch (flags & kIconMask) {
    case MB_ICONHAND:
        style.icon = QMessageBox::Critical;
        break;
    case MB_ICONQUESTION:
        style.icon = QMessageBox::Question;
        break;
    case MB_ICONEXCLAMATION:
        style.icon = QMessageBox::Warning;
        break;
    case MB_ICONASTERISK:
        style.icon = QMessageBox::Information;
        break;
    default:
        style.icon = QMessageBox::NoIcon;
        break;
    }
    // MB_DEFBUTTON1..4; a number beyond the buttons falls back to the first.
    const int defaultIndex = (flags & kDefaultButtonMask) >> 8;
    style.defaultButton = defaultIndex < style.buttons.size() ? style.buttons.at(defaultIndex)
                                                              : style.buttons.first();
    const int mode = flags & kModeMask;
    style.ownedByActiveWindow = mode != MB_TASKMODAL && mode != kSystemModal;
    return style;
}

int MessageBoxStyle::resultFor(QMessageBox::StandardButton button) const
{
    switch (button) {
    case SB::Ok:
        return IDOK;
    case SB::Cancel:
        return IDCANCEL;
    case SB::Abort:
        return IDABORT;
    case SB::Retry:
        return IDRETRY;
    case SB::Ignore:
        return IDIGNORE;
    case SB::Yes:
        return IDYES;
    case SB::No:
        return IDNO;
    default:
        break;
    }
    if (buttons.contains(SB::Cancel))
        return IDCANCEL;
    return resultFor(buttons.last());
}

} // namespace platform
