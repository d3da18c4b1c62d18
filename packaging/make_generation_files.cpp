// Writes the package's files that name the device generations from the
// generation table (generations/GenerationTable.cpp), so that a generation
// added there reaches the udev rule, the AppStream data and the manual page
// with the next build:
//
//     make_generation_files udev-rule OUTPUT         the whole udev rule
//     make_generation_files fill TEMPLATE OUTPUT     the template with the
//                                                    table written in
//
// A table with a fault (a name or product id taken twice, ...) or a template
// with an unknown marker fails the build, naming what is wrong.

#include "generations/GenerationFiles.h"
#include "generations/GenerationTable.h"

#include <QFile>
#include <QStringList>

#include <cstdio>

namespace {

int fail(const QString &message)
{
    std::fprintf(stderr, "make_generation_files: %s\n", qPrintable(message));
    return 1;
}

int write(const QString &path, const QString &text)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text.toUtf8()) < 0 ||
        !file.flush())
        return fail(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    const generations::GenerationTable &table = generations::GenerationTable::standard();
    if (const QStringList faults = table.faults(); !faults.isEmpty())
        return fail(QStringLiteral("the generation table is not sound:\n  ") +
                    faults.join(QStringLiteral("\n  ")));

    if (arguments.size() == 2 && arguments.at(0) == QLatin1String("udev-rule"))
        return write(arguments.at(1), generations::udevRule(table));
    if (arguments.size() == 3 && arguments.at(0) == QLatin1String("fill")) {
        QFile source(arguments.at(1));
        if (!source.open(QIODevice::ReadOnly))
            return fail(
                QStringLiteral("cannot read %1: %2").arg(arguments.at(1), source.errorString()));
        QString error;
        const QString filled =
            generations::fillTemplate(QString::fromUtf8(source.readAll()), table, &error);
        if (!error.isEmpty())
            return fail(arguments.at(1) + QStringLiteral(": ") + error);
        return write(arguments.at(2), filled);
    }
    return fail(
        QStringLiteral("usage: make_generation_files udev-rule OUTPUT | fill TEMPLATE OUTPUT"));
}
