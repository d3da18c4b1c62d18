#pragma once

#include "platform/QtHostServices.h"

#include <functional>

namespace platform {

// The host of an unattended run: no operator answers a box, so every box is
// written as one line (caption and text) to standard error and to the
// message log, and answered at once with its default button. The boxes are
// counted: a line script learns from the exit status that one was shown.
class BatchHostServices : public QtHostServices
{
public:
    // Where a box's line goes besides standard error: the message log.
    std::function<void(const QString &line)> logLine;

    int messageBox(const QString &text, const QString &caption, int flags) override;
    // Nobody picks a file: the dialog is cancelled.
    bool chooseFile(const QString &filter, QString &fileName) override;
    void showException(const QString &message) override;

    int boxesShown() const { return m_boxes; }

    // "caption: text" on one line: breaks inside either become blanks, other
    // control characters escapes (TerminalText).
    static QString boxLine(const QString &caption, const QString &text);

private:
    void report(const QString &line);

    int m_boxes = 0;
};

} // namespace platform
