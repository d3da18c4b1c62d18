#include "app/OutputFiles.h"

#include "dialogue/ProductionCommandLine.h"
#include "platform/FileIdentity.h"
#include "platform/TerminalText.h"
#include "registry/KeyStore.h"

#include <QList>

#include <optional>
#include <utility>

namespace {

using platform::FileIdentity;

struct NamedFile
{
    QString role; // "the firmware file", "--record", ...
    QString path;
    std::optional<FileIdentity::Place> place;
};

NamedFile named(const QString &role, const QString &path, bool dashIsStandardOutput = false)
{
    // "-" names standard output only where the option says so; elsewhere it
    // is a file of that name.
    const QString looked =
        path == QLatin1String("-") && !dashIsStandardOutput ? QStringLiteral("./-") : path;
    return {role, path, FileIdentity::placeOf(looked)};
}

QString shown(const QString &path)
{
    return path == QLatin1String("-") ? QStringLiteral("standard output")
                                      : QStringLiteral("'%1'").arg(path);
}

} // namespace

QString OutputFiles::clash(const ProgramOptions &options)
{
    QList<NamedFile> inputs;
    const dialogue::ProductionCommandLine run =
        dialogue::ProductionCommandLine::parse(options.programArguments.mid(1));
    if (run.run == dialogue::ProductionCommandLine::Run::Update)
        inputs << named(QStringLiteral("the firmware file"), run.firmwareFile);
    if (!options.simFile.isEmpty())
        inputs << named(QStringLiteral("the simulator file (--sim)"), options.simFile);
    inputs << (options.registryFile.isEmpty()
                   ? named(QStringLiteral("the key store"), registry::KeyStore::defaultFilePath())
                   : named(QStringLiteral("the key store (--registry)"), options.registryFile));

    QList<NamedFile> outputs;
    if (!options.recordFile.isEmpty())
        outputs << named(QStringLiteral("--record"), options.recordFile);
    if (!options.logFile.isEmpty())
        outputs << named(QStringLiteral("--log-file"), options.logFile, true);
    if (!options.captureFile.isEmpty())
        outputs << named(QStringLiteral("--capture"), options.captureFile, true);
    if (!options.eventsFile.isEmpty())
        outputs << named(QStringLiteral("--events"), options.eventsFile, true);

    for (int i = 0; i < outputs.size(); ++i) {
        const NamedFile &output = outputs.at(i);
        if (!output.place)
            continue;
        QList<NamedFile> others = inputs;
        for (int j = 0; j < i; ++j)
            others << outputs.at(j);
        for (const NamedFile &other : std::as_const(others)) {
            if (!other.place || *other.place != *output.place)
                continue;
            const QString what =
                other.role.startsWith(QLatin1String("--"))
                    ? QStringLiteral("the file of %1 (%2)").arg(other.role, shown(other.path))
                    : QStringLiteral("%1 %2").arg(other.role, shown(other.path));
            return platform::TerminalText::escaped(
                QStringLiteral("vemotool: bad value for %1: %2 is %3; a run never writes over "
                               "what it reads or writes elsewhere")
                    .arg(output.role, shown(output.path), what));
        }
    }
    return QString();
}
