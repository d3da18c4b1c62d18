#pragma once

#include <QString>

class QTemporaryDir;

// What every benchmark's main() does first.
namespace bench {

// Where the windows of a benchmark go. A benchmark that makes its windows
// itself takes Qt's offscreen platform unless QT_QPA_PLATFORM names one; one
// that starts programs and compares them gives them all the offscreen
// platform, whatever is set. Either way at a scale of 1, so that every run
// lays out the same pixels. Called first thing in main, before any
// application object exists (its children inherit it).
enum class Display
{
    OffscreenUnlessSet,
    Offscreen,
};
void prepareDisplay(Display display);

// The path of a scratch folder for the run's files; ends the benchmark when
// there is none.
QString scratchFolder(const QTemporaryDir &dir);

} // namespace bench
