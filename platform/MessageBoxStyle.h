#pragma once

#include <QList>
#include <QMessageBox>

namespace platform {

// How a message box with Windows-style flags (MB_OK, MB_ICONHAND, ...)
// looks and answers in Qt: its icon, buttons in their Windows order, the
// default button and its modality; and which DialogResult a closed box gives.
struct MessageBoxStyle
{
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QList<QMessageBox::StandardButton> buttons{QMessageBox::Ok};
    QMessageBox::StandardButton defaultButton = QMessageBox::Ok;
    // Task- and system-modal boxes belong to no window; the others to the
    // active window, as Windows gives them its owner.
    bool ownedByActiveWindow = true;

    static MessageBoxStyle fromFlags(int flags);

    // The DialogResult for the button the box was closed with. NoButton
    // (the box ended without a button, e.g. when the application quits)
    // gives what Escape gives on Windows: Cancel when there is one, else OK
    // of a lone OK button, else the last button (No of Yes/No).
    int resultFor(QMessageBox::StandardButton button) const;
};

} // namespace platform
