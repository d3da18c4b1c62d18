#include "registry/KeyStore.h"
#include "tests/support/ToolProcess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <memory>

using registry::KeyStore;
using registry::RootKey;

// Program instances of a station on one key store (--registry), as separate
// vemotool processes. What a start writes into the store: the program's
// path, and for every device on its bus the first time it is seen, the
// device's instance key with its "Service" and "DeviceDesc". Instances with
// devices of their own write values of their own: none may be lost to
// another instance writing at the same moment, and a program killed while
// it writes leaves a store that loads, and that the next start completes.
class TestSharedKeyStore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void instancesStartingAtOnceLoseNothing_data();
    void instancesStartingAtOnceLoseNothing();
    void programKilledWhileWritingLeavesAStoreThatLoads();

private:
    // Devices of one instance: a simulator file with count devices whose
    // serial numbers begin with tag, of the three generations in turn.
    struct Instance
    {
        QString sim;
        QStringList serials;
    };
    Instance makeInstance(const QString &tag, int count);
    void start(ToolProcess &child, const Instance &instance, const QString &logName);
    QString registryPath() const { return m_dir->filePath(QStringLiteral("registry.json")); }
    // Why the store does not hold the program's path and the instance keys
    // of these devices whole (empty when it does); a store that does not
    // load says why.
    QString missingKeys(const QStringList &serials) const;
    // How many of these devices the store holds whole.
    int wholeKeys(const QStringList &serials) const;

    std::unique_ptr<QTemporaryDir> m_dir;
};

namespace {

constexpr const char *kGenerations[] = {"Vemo", "Vemo2", "Vemo3"};
constexpr int kProductIds[] = {0x0889, 0x088a, 0x088b};

QString instanceKey(int generation, const QString &serial)
{
    return QStringLiteral("SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_5e1a&Pid_%1\\%2")
        .arg(kProductIds[generation], 4, 16, QLatin1Char('0'))
        .arg(serial);
}

// The generation a serial number of makeInstance was made for.
int generationOf(const QString &serial)
{
    return serial.right(2).toInt() % 3;
}

// The seed of the random moments: VEMO_TEST_SEED repeats a run.
quint32 testSeed()
{
    bool ok = false;
    const quint32 given = qEnvironmentVariable("VEMO_TEST_SEED").toUInt(&ok);
    return ok ? given : QRandomGenerator::system()->generate();
}

} // namespace

void TestSharedKeyStore::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

TestSharedKeyStore::Instance TestSharedKeyStore::makeInstance(const QString &tag, int count)
{
    Instance instance;
    QStringList devices;
    for (int i = 0; i < count; ++i) {
        // Nine characters: the tag filled up with the device's number.
        const QString serial =
            tag + QStringLiteral("%1").arg(i, 9 - int(tag.size()), 10, QLatin1Char('0'));
        instance.serials << serial;
        devices << QStringLiteral(R"({ "id": "d%1", "generation": "%2", "serial": "%3" })")
                       .arg(i)
                       .arg(QLatin1String(kGenerations[generationOf(serial)]), serial);
    }
    instance.sim = m_dir->filePath(tag + QStringLiteral(".json"));
    QFile file(instance.sim);
    if (file.open(QIODevice::WriteOnly))
        file.write(QStringLiteral("{ \"devices\": [ %1 ] }\n")
                       .arg(devices.join(QStringLiteral(", ")))
                       .toUtf8());
    return instance;
}

void TestSharedKeyStore::start(ToolProcess &child, const Instance &instance, const QString &logName)
{
    // A start with nothing to run: it records its path and its devices,
    // logs its start-up and ends.
    child.start(ToolProcess::inFolder(m_dir->path()),
                {QStringLiteral("--batch"), QStringLiteral("--sim=") + instance.sim,
                 QStringLiteral("--registry=") + registryPath(),
                 QStringLiteral("--log-file=") + m_dir->filePath(logName)});
}

namespace {

bool holdsWhole(const KeyStore &store, const QString &serial)
{
    const int generation = generationOf(serial);
    const QString key = instanceKey(generation, serial);
    return store.value(RootKey::LocalMachine, key, QStringLiteral("Service")) ==
               registry::Value(QStringLiteral("VemoUSB")) &&
           store.value(RootKey::LocalMachine, key, QStringLiteral("DeviceDesc")) ==
               registry::Value(QLatin1String(kGenerations[generation]) +
                               QStringLiteral(" USB device"));
}

} // namespace

int TestSharedKeyStore::wholeKeys(const QStringList &serials) const
{
    try {
        KeyStore store(registryPath());
        return int(std::count_if(serials.cbegin(), serials.cend(),
                                 [&](const QString &serial) { return holdsWhole(store, serial); }));
    } catch (const registry::RegistryError &) {
        return -1;
    }
}

QString TestSharedKeyStore::missingKeys(const QStringList &serials) const
{
    try {
        KeyStore store(registryPath());
        QStringList missing;
        for (const QString &serial : serials) {
            if (!holdsWhole(store, serial))
                missing << serial;
        }
        const auto path =
            store.value(RootKey::LocalMachine, QStringLiteral("Software\\ORVIK\\Vemo"),
                        QStringLiteral("VemoUSBDemo"));
        if (path != registry::Value(QFileInfo(ToolProcess::vemotool()).canonicalFilePath()))
            missing << QStringLiteral("the program's path");
        return missing.isEmpty()
                   ? QString()
                   : QStringLiteral("not whole: ") + missing.join(QStringLiteral(", "));
    } catch (const registry::RegistryError &error) {
        return QString::fromUtf8(error.what());
    }
}

void TestSharedKeyStore::instancesStartingAtOnceLoseNothing_data()
{
    QTest::addColumn<int>("instances");
    QTest::addColumn<int>("devices"); // each
    QTest::newRow("two") << 2 << 12;
    QTest::newRow("eight") << 8 << 6;
}

void TestSharedKeyStore::instancesStartingAtOnceLoseNothing()
{
    QFETCH(int, instances);
    QFETCH(int, devices);

    // A few rounds on the same store: the later ones meet a store that
    // holds the earlier rounds' keys.
    QStringList everyone;
    for (int round = 0; round < 3; ++round) {
        std::vector<std::unique_ptr<ToolProcess>> processes;
        QStringList serials;
        for (int i = 0; i < instances; ++i) {
            const Instance instance =
                makeInstance(QStringLiteral("R%1I%2").arg(round).arg(i), devices);
            serials += instance.serials;
            processes.push_back(std::make_unique<ToolProcess>());
            start(*processes.back(), instance, QStringLiteral("r%1-i%2.log").arg(round).arg(i));
        }
        for (const auto &process : processes) {
            const ToolProcess::Result ended = process->finish();
            QVERIFY(ended.finished);
            QVERIFY(!ended.crashed);
            // Nothing else on standard error: no write was refused.
            QCOMPARE(ended.err, QByteArray("run ended: 0 done\n"));
            QCOMPARE(ended.exitCode, 0);
        }
        everyone += serials;
        const QString missing = missingKeys(everyone);
        QVERIFY2(missing.isEmpty(),
                 qPrintable(QStringLiteral("round %1: %2").arg(round).arg(missing)));
        QVERIFY(!QFileInfo::exists(registryPath() + QStringLiteral(".lock")));
    }
}

void TestSharedKeyStore::programKilledWhileWritingLeavesAStoreThatLoads()
{
    const quint32 seed = testSeed();
    QRandomGenerator random(seed);
    const auto failure = [seed](int round, const QString &what) {
        return QStringLiteral("seed %1 (VEMO_TEST_SEED repeats it), round %2: %3")
            .arg(seed)
            .arg(round)
            .arg(what);
    };
    constexpr int kDevices = 15;

    // How long a whole start with that many new devices takes here: the
    // moments of the kills are taken from that span.
    qint64 spanMs = 0;
    {
        ToolProcess child;
        QElapsedTimer clock;
        clock.start();
        start(child, makeInstance(QStringLiteral("SPAN"), kDevices), QStringLiteral("span.log"));
        const ToolProcess::Result ended = child.finish();
        spanMs = clock.elapsed();
        QVERIFY(ended.finished);
        QCOMPARE(ended.status(), 0);
    }

    QStringList everyone = makeInstance(QStringLiteral("SPAN"), kDevices).serials;
    int killedBetweenWrites = 0;
    for (int round = 0; round < 30; ++round) {
        const Instance instance = makeInstance(QStringLiteral("K%1").arg(round), kDevices);
        ToolProcess killed;
        start(killed, instance, QStringLiteral("killed-%1.log").arg(round));
        QVERIFY2(killed.process().waitForStarted(),
                 qPrintable(failure(round, killed.process().errorString())));
        QThread::usleep(random.bounded(quint32(spanMs * 1000)));
        killed.process().kill();
        QVERIFY(killed.finish(30000).finished);

        // The store loads, with every key of the rounds before.
        QString missing = missingKeys(everyone);
        QVERIFY2(missing.isEmpty(), qPrintable(failure(round, missing)));
        const int whole = wholeKeys(instance.serials);
        if (whole > 0 && whole < kDevices)
            ++killedBetweenWrites;

        // The next start of the same devices writes what the killed one did
        // not, undisturbed by its lock.
        ToolProcess next;
        start(next, instance, QStringLiteral("next-%1.log").arg(round));
        const ToolProcess::Result ended = next.finish();
        QVERIFY(ended.finished);
        QVERIFY(!ended.crashed);
        QVERIFY2(ended.exitCode == 0,
                 qPrintable(failure(round, QString::fromLocal8Bit(ended.err))));
        everyone += instance.serials;
        missing = missingKeys(everyone);
        QVERIFY2(missing.isEmpty(), qPrintable(failure(round, missing)));
        QVERIFY(!QFileInfo::exists(registryPath() + QStringLiteral(".lock")));
    }
    QVERIFY2(killedBetweenWrites > 0,
             qPrintable(failure(30, QStringLiteral("no program was killed between its writes"))));
}

QTEST_GUILESS_MAIN(TestSharedKeyStore)
#include "tst_sharedkeystore.moc"
