#pragma once

#include <QString>

namespace dialogue {

// A firmware version as a run is told to expect it (--expect-version) and
// as the device names it in its answer to the version query ("Vemo2
// firmware V2.11"): digits and dots, "2.11", with an optional V in front
// in either letter case ("V2.11", "v2.11").
class FirmwareVersion
{
public:
    // Whether text is a version: one or more groups of digits joined by
    // single dots, an optional V (or v) in front, at most MaxLength
    // characters in all.
    static bool isVersion(const QString &text);
    // Whether the answer names version as one of its words (split at
    // blanks): the word is a version itself, and without its V the same as
    // version without its ("V2.11" holds "2.11" and "v2.11"; "Vemo2" and
    // "V2.110" hold no "2.11"). False when version is no version.
    static bool answerHolds(const QString &answer, const QString &version);

    // Longer than any version a device names.
    static constexpr int MaxLength = 32;
};

} // namespace dialogue
