// A production station's instance reduced to what it shares with the
// others: it writes values of its own into the shared key store and appends
// run records to the shared record file, as often as told, as fast as it
// can. tst_concurrentruns starts many at once.
//
//   record_stress_writer REGISTRY RECORD INSTANCE COUNT

#include "app/ProgramOptions.h"
#include "app/RunRecord.h"
#include "dialogue/RunFacts.h"
#include "registry/KeyStore.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

#include <cstdio>
#include <exception>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 5) {
        std::fputs("usage: record_stress_writer REGISTRY RECORD INSTANCE COUNT\n", stderr);
        return 2;
    }
    const QString instance = args.at(3);
    const int count = args.at(4).toInt();
    ProgramOptions options;
    options.recordFile = args.at(2);
    options.device = instance;
    for (int n = 1; n <= count; ++n) {
        try {
            registry::KeyStore store(args.at(1));
            store.writeString(
                registry::RootKey::CurrentUser, QStringLiteral("Software\\Station\\") + instance,
                QStringLiteral("run%1").arg(n), QStringLiteral("%1/%2").arg(instance).arg(n));
        } catch (const std::exception &e) {
            std::fprintf(stderr, "key store: %s\n", e.what());
            return 1;
        }
        // A record several kilobytes long: one write still keeps it whole.
        RunRecord record(options);
        QString error;
        dialogue::RunFacts facts;
        facts.noteImage(QStringLiteral("image-") + instance, QByteArray(4096, char('a' + n % 26)));
        if (!record.open(&error) || !record.write(facts, 0,
                                                  QStringLiteral("%1/%2 ").arg(instance).arg(n) +
                                                      QString(3000, QLatin1Char('x')),
                                                  &error)) {
            std::fprintf(stderr, "record: %s\n", qPrintable(error));
            return 1;
        }
    }
    return 0;
}
