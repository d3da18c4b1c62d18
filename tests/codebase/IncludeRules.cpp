#include "tests/codebase/IncludeRules.h"

#include <QRegularExpression>

namespace {

// Who may include whom. A file belongs to the longest folder of the table
// that holds it, and so does a header it includes ("usbio/sim/SimBus.h" is
// of usbio/sim, "usbio/Component.h" of usbio, the contract). A folder's files
// may always include their own folder's headers. "*" stands for every folder
// of the program (neither tests, bench nor fuzz).
//
// The build holds the same graph in the targets' links (cmake/VemoHeaders.cmake);
// this table is what a folder is allowed to link.
//
// Host headers: the program keeps to what Qt and libusb give on every desktop
// they serve; only platform/ and the libusb backend speak to the host
// directly. Tests and benchmarks run on the build host (umockdev, a CUPS
// scheduler, sockets of their own) and may use its headers.
struct Layer
{
    const char *folder;
    QStringList mayInclude;
    bool hostHeaders;
};

const QList<Layer> &layers()
{
    static const QList<Layer> table = {
        // folder               may include                                      host headers
        // What any layer asks of a named file before it opens it: Qt only.
        {"files", {}, false},
        // The generation table, which every layer that tells the device
        // generations apart reads: Qt only.
        {"generations", {}, false},
        {"platform", {}, true},
        {"registry", {"generations", "files"}, false},
        {"report", {"files"}, false},
        {"usbio/devicemodel", {"generations"}, false},
        {"usbio", {}, false},
        {"usbio/common", {"usbio", "usbio/devicemodel", "registry", "generations"}, false},
        {"usbio/sim",
         {"usbio", "usbio/common", "usbio/devicemodel", "generations", "files"},
         false},
        {"usbio/libusb", {"usbio", "usbio/common", "usbio/devicemodel"}, true},
        {"usbio/capture", {"usbio", "files"}, false},
        {"link", {"usbio", "platform", "files"}, false},
        {"dialogue",
         {"link", "report", "registry", "platform", "usbio", "generations", "files"},
         false},
        {"download", {"dialogue", "registry", "platform", "generations"}, false},
        // The production station: the devices from their descriptors (the
        // contract, the device identity), the generation table; each run is
        // a process of the program, never linked.
        {"station", {"usbio", "usbio/devicemodel", "generations"}, false},
        {"app", {"*"}, false},
        // The build's helpers that make the desktop icons and the files that
        // name the generations: Qt, and the generation table.
        {"packaging", {"generations"}, false},
        {"bench", {"*"}, true},
        {"tests", {"*", "tests"}, true},
        {"fuzz", {"*", "tests"}, false},
    };
    return table;
}

bool isProgramFolder(const QString &folder)
{
    return folder != QLatin1String("tests") && folder != QLatin1String("bench") &&
           folder != QLatin1String("fuzz");
}

// Headers of the host that the program's layers leave to platform/ and the
// libusb backend: POSIX and Linux interfaces that other desktops lack.
bool isHostHeader(const QString &header)
{
    static const QRegularExpression host(QStringLiteral(
        "^(sys|linux|asm|arpa|netinet|net)/|"
        "^(unistd|fcntl|poll|dirent|netdb|pthread|dlfcn|termios|pwd|grp|spawn|sched|semaphore|"
        "syslog|libgen|glob|fnmatch|strings|utime|endian|byteswap|execinfo|malloc|mntent|"
        "ifaddrs|wordexp|err|paths|utmp|langinfo|iconv)\\.h$"));
    return host.match(header).hasMatch();
}

// The folder of the table that holds path; empty when none does.
QString layerOf(const QString &path)
{
    QString best;
    for (const Layer &layer : layers()) {
        const QString folder = QLatin1String(layer.folder);
        if (path.startsWith(folder + QLatin1Char('/')) && folder.size() > best.size())
            best = folder;
    }
    return best;
}

const Layer *rowOf(const QString &folder)
{
    for (const Layer &layer : layers()) {
        if (folder == QLatin1String(layer.folder))
            return &layer;
    }
    return nullptr;
}

bool mayInclude(const Layer &from, const QString &target)
{
    if (target == QLatin1String(from.folder))
        return true;
    for (const QString &allowed : from.mayInclude) {
        if (allowed == target || (allowed == QLatin1String("*") && isProgramFolder(target)))
            return true;
    }
    return false;
}

} // namespace

QList<IncludeViolation> IncludeRules::check(const QString &file, const QByteArray &text)
{
    QList<IncludeViolation> violations;
    const QString folder = layerOf(file);
    const Layer *layer = rowOf(folder);
    if (!layer) {
        violations << IncludeViolation{file, 0, QString(),
                                       QStringLiteral("its folder has no row in the layer table")};
        return violations;
    }

    static const QRegularExpression include(
        QStringLiteral("^\\s*#\\s*include\\s*([<\"])([^>\"]+)[>\"]"));
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QRegularExpressionMatch match = include.match(QString::fromUtf8(lines.at(i)));
        if (!match.hasMatch())
            continue;
        const bool quoted = match.captured(1) == QLatin1String("\"");
        const QString header = match.captured(2).trimmed();
        const QString written = quoted ? QLatin1Char('"') + header + QLatin1Char('"')
                                       : QLatin1Char('<') + header + QLatin1Char('>');
        if (!quoted) {
            if (!layer->hostHeaders && isHostHeader(header))
                violations << IncludeViolation{
                    file, i + 1, written,
                    QStringLiteral("a host header; only platform/ and usbio/libusb/ use them")};
            continue;
        }
        // A header beside the file (the moc output of a test, say).
        if (!header.contains(QLatin1Char('/')))
            continue;
        const QString target = layerOf(header);
        if (target.isEmpty()) {
            violations << IncludeViolation{file, i + 1, written,
                                           QStringLiteral("no folder of the layer table holds it")};
        } else if (!mayInclude(*layer, target)) {
            violations << IncludeViolation{
                file, i + 1, written, QStringLiteral("%1 may not include %2").arg(folder, target)};
        }
    }
    return violations;
}

QStringList IncludeRules::folders()
{
    QStringList names;
    for (const Layer &layer : layers())
        names << QLatin1String(layer.folder);
    return names;
}

QString IncludeRules::describe(const QList<IncludeViolation> &violations)
{
    QStringList lines;
    for (const IncludeViolation &violation : violations) {
        lines << QStringLiteral("%1:%2: %3: %4")
                     .arg(violation.file)
                     .arg(violation.line)
                     .arg(violation.include.isEmpty() ? QStringLiteral("-") : violation.include,
                          violation.why);
    }
    return lines.join(QLatin1Char('\n'));
}
