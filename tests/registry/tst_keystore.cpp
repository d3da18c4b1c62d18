#include "registry/KeyStore.h"

#include "tests/registry/ErrorOf.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <QThread>

#include <cstdio>
#include <memory>
#include <sys/stat.h>

using registry::KeyStore;
using registry::RegistryError;
using registry::RootKey;
using registry::Value;

namespace {

constexpr RootKey LM = RootKey::LocalMachine;
constexpr RootKey CU = RootKey::CurrentUser;

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void writeAll(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(content), content.size());
}

// The warnings the code under test gives, while an object of it lives.
class WarningCatcher
{
public:
    WarningCatcher()
    {
        s_current = this;
        m_previous = qInstallMessageHandler(&WarningCatcher::handle);
    }
    ~WarningCatcher()
    {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }
    QStringList warnings;

private:
    static void handle(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        if (type == QtWarningMsg && s_current)
            s_current->warnings << text;
    }
    static inline WarningCatcher *s_current = nullptr;
    QtMessageHandler m_previous;
};

// Whether the file is a key store that loads: none yet, or valid JSON read
// by a store of its own.
bool loads(const QString &path, QString *why)
{
    if (!QFileInfo::exists(path))
        return true; // an empty store: nothing was saved yet
    QJsonParseError error;
    QJsonDocument::fromJson(readAll(path), &error);
    if (error.error != QJsonParseError::NoError) {
        *why = error.errorString();
        return false;
    }
    KeyStore store(path);
    *why = errorOf([&] { store.keyExists(RootKey::LocalMachine, "Software"); });
    return *why == QLatin1String("no error");
}

const QByteArray kValidFile = R"({"format":"vemo-registry","version":1,"roots":{
    "HKEY_LOCAL_MACHINE":{"keys":{"Software":{"keys":{"ORVIK":{"values":{
        "Name":{"type":"string","data":"text"},"Number":{"type":"integer","data":-7}}}}}}}}})";

} // namespace

class TestKeyStore : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString storePath() const { return m_dir.filePath(QStringLiteral("store/registry.json")); }
    // A store on a fresh file, or in memory only.
    std::unique_ptr<KeyStore> makeStore(bool inMemory) const
    {
        return std::make_unique<KeyStore>(inMemory ? QString() : storePath());
    }
    void addBackingColumn() { QTest::addColumn<bool>("inMemory"); }

private Q_SLOTS:
    void init()
    {
        QVERIFY(m_dir.isValid());
        QDir(m_dir.path()).removeRecursively();
        QVERIFY(QDir().mkpath(m_dir.path()));
    }

    void caseInsensitiveKeys_data()
    {
        addBackingColumn();
        QTest::newRow("file") << false;
        QTest::newRow("memory") << true;
    }
    void caseInsensitiveKeys()
    {
        QFETCH(bool, inMemory);
        auto store = makeStore(inMemory);
        store->createKey(LM, "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_5e1a&Pid_088a");
        store->writeString(LM, "Software\\ORVIK\\Vemo", "VemoUSBDemo", "C:\\a.exe");

        QVERIFY(store->keyExists(LM, "system\\currentcontrolset\\ENUM\\usb\\VID_5E1A&PID_088A"));
        QCOMPARE(store->subKeyNames(LM, "SYSTEM\\CURRENTCONTROLSET\\enum\\usb"),
                 QStringList{"Vid_5e1a&Pid_088a"});
        QCOMPARE(store->readString(LM, "SOFTWARE\\orvik\\VEMO", "vemousbdemo"), "C:\\a.exe");
        QCOMPARE(store->valueNames(LM, "software\\orvik\\vemo"), QStringList{"VemoUSBDemo"});

        // A later spelling reaches the same key and value and keeps the first.
        store->writeString(LM, "SOFTWARE\\ORVIK\\VEMO", "VEMOUSBDEMO", "D:\\b.exe");
        QCOMPARE(store->subKeyNames(LM, "Software"), QStringList{"ORVIK"});
        QCOMPARE(store->valueNames(LM, "Software\\ORVIK\\Vemo"), QStringList{"VemoUSBDemo"});
        QCOMPARE(store->readString(LM, "Software\\ORVIK\\Vemo", "VemoUSBDemo"), "D:\\b.exe");

        // The two roots are separate trees.
        QVERIFY(!store->keyExists(CU, "Software"));
    }

    void pathsIgnoreSurplusBackslashes_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("plain") << "Software\\A\\B";
        QTest::newRow("leading") << "\\Software\\A\\B";
        QTest::newRow("trailing") << "Software\\A\\B\\";
        QTest::newRow("doubled") << "Software\\\\A\\\\\\B";
    }
    void pathsIgnoreSurplusBackslashes()
    {
        QFETCH(QString, path);
        KeyStore store(storePath());
        store.writeInteger(LM, path, "V", 5);
        QCOMPARE(store.readInteger(LM, "Software\\A\\B", "V"), 5);
        QCOMPARE(store.subKeyNames(LM, "\\Software\\"), QStringList{"A"});
        QVERIFY(store.keyExists(LM, ""));
        QVERIFY(store.keyExists(LM, "\\"));
    }

    void subKeysAreListedInNameOrder()
    {
        KeyStore store(storePath());
        for (const char *name : {"b", "C", "a", "10", "1"})
            store.createKey(LM, QStringLiteral("K\\") + name);
        QCOMPARE(store.subKeyNames(LM, "K"), (QStringList{"1", "10", "a", "b", "C"}));
        QCOMPARE(KeyStore(storePath()).subKeyNames(LM, "K"),
                 (QStringList{"1", "10", "a", "b", "C"}));
        QCOMPARE(store.subKeyNames(LM, "Missing"), QStringList());
    }

    void valuesKeepTheirType_data()
    {
        QTest::addColumn<bool>("isString");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("number");
        QTest::newRow("text") << true << "Vemo2 \u00e4\\x\"" << 0;
        QTest::newRow("empty text") << true << "" << 0;
        QTest::newRow("zero") << false << "" << 0;
        QTest::newRow("largest") << false << "" << int(2147483647);
        QTest::newRow("smallest") << false << "" << int(-2147483647 - 1);
    }
    void valuesKeepTheirType()
    {
        QFETCH(bool, isString);
        QFETCH(QString, text);
        QFETCH(int, number);
        {
            KeyStore store(storePath());
            if (isString)
                store.writeString(LM, "K", "V", text);
            else
                store.writeInteger(LM, "K", "V", number);
        }
        KeyStore reread(storePath());
        const std::optional<Value> value = reread.value(LM, "K", "V");
        QVERIFY(value.has_value());
        QCOMPARE(std::holds_alternative<QString>(*value), isString);
        if (isString) {
            QCOMPARE(reread.readString(LM, "k", "v"), text);
            QVERIFY(errorOf([&] {
                        reread.readInteger(LM, "K", "V");
                    }).contains("is a string, not an integer"));
        } else {
            QCOMPARE(reread.readInteger(LM, "k", "v"), number);
            QVERIFY(errorOf([&] {
                        reread.readString(LM, "K", "V");
                    }).contains("is an integer, not a string"));
        }
    }

    void readsOfMissingValues()
    {
        KeyStore store(storePath());
        store.createKey(LM, "K");
        QVERIFY(!store.valueExists(LM, "K", "V"));
        QVERIFY(!store.value(LM, "Missing", "V").has_value());
        const QString error = errorOf([&] { store.readString(LM, "K", "V"); });
        QVERIFY2(error.contains("\"V\" not found in HKEY_LOCAL_MACHINE\\K"), qPrintable(error));
        QVERIFY(errorOf([&] { store.readInteger(LM, "Missing", "V"); }).contains("not found"));
    }

    void missingFileIsAnEmptyStoreCreatedAtFirstWrite()
    {
        KeyStore store(storePath());
        QVERIFY(!store.keyExists(LM, "Software"));
        QCOMPARE(store.subKeyNames(LM, ""), QStringList());
        QVERIFY(!QFileInfo::exists(storePath()));
        store.createKey(LM, "Software\\X");
        QVERIFY(QFileInfo(storePath()).isFile());
        QVERIFY(!QFileInfo::exists(storePath() + ".lock"));
        QVERIFY(KeyStore(storePath()).keyExists(LM, "software\\x"));
    }

    void readsExistingFile()
    {
        QVERIFY(QDir().mkpath(QFileInfo(storePath()).absolutePath()));
        writeAll(storePath(), kValidFile);
        KeyStore store(storePath());
        QCOMPARE(store.readString(LM, "SOFTWARE\\orvik", "name"), "text");
        QCOMPARE(store.readInteger(LM, "Software\\ORVIK", "Number"), -7);
        QCOMPARE(store.valueNames(LM, "Software\\ORVIK"), (QStringList{"Name", "Number"}));
    }

    void readsFollowTheFile()
    {
        KeyStore first(storePath());
        KeyStore second(storePath());
        first.writeString(LM, "K", "V", "aaaa");
        QCOMPARE(second.readString(LM, "K", "V"), "aaaa");
        // Same size, written at once: the replaced file is still noticed.
        first.writeString(LM, "K", "V", "bbbb");
        QCOMPARE(second.readString(LM, "K", "V"), "bbbb");
        // Same size and the same time stamp (a save within its grain): the
        // content still tells.
        const QDateTime stamp = QFileInfo(storePath()).lastModified();
        first.writeString(LM, "K", "V", "cccc");
        {
            QFile file(storePath());
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(stamp, QFileDevice::FileModificationTime));
        }
        QCOMPARE(QFileInfo(storePath()).lastModified(), stamp);
        QCOMPARE(second.readString(LM, "K", "V"), "cccc");
        second.deleteKey(LM, "K");
        QVERIFY(!first.keyExists(LM, "K"));
    }

    void twoStoresOnOneFileLoseNothing()
    {
        KeyStore first(storePath());
        KeyStore second(storePath());
        // Each one has read the file before the other writes to it.
        QVERIFY(!first.keyExists(LM, "A"));
        QVERIFY(!second.keyExists(LM, "B"));
        for (int i = 0; i < 20; ++i) {
            first.writeInteger(LM, "A", QString::number(i), i);
            second.writeInteger(LM, "B", QString::number(i), -i);
        }
        first.deleteValue(LM, "B", "3");
        second.createKey(LM, "A\\Sub");

        KeyStore third(storePath());
        for (int i = 0; i < 20; ++i) {
            QCOMPARE(third.readInteger(LM, "A", QString::number(i)), i);
            if (i != 3)
                QCOMPARE(third.readInteger(LM, "B", QString::number(i)), -i);
        }
        QVERIFY(!third.valueExists(LM, "B", "3"));
        QCOMPARE(third.subKeyNames(LM, "A"), QStringList{"Sub"});
    }

    // A write that changes nothing saves nothing (the file stays the very
    // same file: a save puts a new one in its place), so instances that
    // record the same values at once do not queue on the lock for nothing.
    void unchangedValuesAreNotSavedAgain()
    {
        const auto fileId = [this] {
            struct stat info
            {};
            return ::stat(QFile::encodeName(storePath()).constData(), &info) == 0
                       ? qint64(info.st_ino)
                       : qint64(-1);
        };
        KeyStore store(storePath());
        store.writeString(LM, "A\\B", "Text", "one");
        store.writeInteger(LM, "A\\B", "Number", 7);
        const qint64 saved = fileId();
        QVERIFY(saved >= 0);
        KeyStore other(storePath());
        other.writeString(LM, "a\\b", "text", "one");
        other.writeInteger(LM, "A\\B", "Number", 7);
        QCOMPARE(fileId(), saved);
        // The same text as a number is a change, and so is a new key.
        other.writeInteger(LM, "A\\B", "Text", 1);
        const qint64 changed = fileId();
        QVERIFY(changed != saved);
        other.writeInteger(LM, "A\\B\\C", "Number", 7);
        QVERIFY(fileId() != changed);
        QCOMPARE(KeyStore(storePath()).readInteger(LM, "A\\B", "Text"), 1);
        QCOMPARE(KeyStore(storePath()).readInteger(LM, "A\\B\\C", "Number"), 7);
    }

    // Programs started at once on one store, each writing values of its own
    // under a key of its own and under one key they share, while this
    // program writes too.
    void programsWritingAtOnceLoseNothing_data()
    {
        QTest::addColumn<int>("programs");
        QTest::addColumn<int>("count");
        QTest::newRow("two") << 2 << 40;
        QTest::newRow("eight") << 8 << 15;
    }
    void programsWritingAtOnceLoseNothing()
    {
        QFETCH(int, programs);
        QFETCH(int, count);
        const QString go = m_dir.filePath(QStringLiteral("go"));
        QStringList keys;
        QList<QProcess *> writers;
        const auto cleanup = qScopeGuard([&] { qDeleteAll(writers); });
        for (int p = 0; p < programs; ++p) {
            keys << QStringLiteral("Writer%1").arg(p);
            auto *writer = new QProcess;
            writer->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            writer->start(QCoreApplication::applicationFilePath(),
                          {"--writer", storePath(), keys.last(), QString::number(count), go});
            writers << writer;
        }
        for (QProcess *writer : writers)
            QVERIFY(writer->waitForReadyRead(30000)); // "ready": waiting for the go
        writeAll(go, "go");
        KeyStore store(storePath());
        for (int i = 0; i < count; ++i)
            store.writeInteger(LM, "Own", QString::number(i), i);
        for (QProcess *writer : writers) {
            QVERIFY(writer->waitForFinished(120000));
            QCOMPARE(writer->exitStatus(), QProcess::NormalExit);
            QCOMPARE(writer->exitCode(), 0);
        }

        QString why;
        QVERIFY2(loads(storePath(), &why), qPrintable(why));
        KeyStore reread(storePath());
        for (const QString &key : keys + QStringList{"Own"}) {
            QCOMPARE(reread.valueNames(LM, key).size(), count);
            for (int i = 0; i < count; ++i)
                QCOMPARE(reread.readInteger(LM, key, QString::number(i)), i);
        }
        QCOMPARE(reread.valueNames(LM, "Shared").size(), programs * count);
        QVERIFY(!QFileInfo::exists(storePath() + ".lock"));
    }

    // A writer killed at any moment of its saves leaves the file as it was
    // before the save or after it, never cut; its lock does not hold the
    // next writer.
    void killedWritersNeverLeaveABrokenStore()
    {
        QRandomGenerator random(20240611);
        int killedWhileWriting = 0;
        for (int round = 0; round < 25; ++round) {
            const QString key = QStringLiteral("Killed%1").arg(round);
            QProcess writer;
            writer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            writer.start(QCoreApplication::applicationFilePath(),
                         {"--writer", storePath(), key, "100000"});
            QVERIFY(writer.waitForReadyRead(30000));
            QThread::usleep(random.bounded(1000, 40000));
            writer.kill();
            QVERIFY(writer.waitForFinished(30000));
            QCOMPARE(writer.exitStatus(), QProcess::CrashExit);

            QString why;
            QVERIFY2(loads(storePath(), &why),
                     qPrintable(QStringLiteral("round %1: %2").arg(round).arg(why)));
            // Every value it saved is there: the first n of them.
            KeyStore store(storePath());
            const int saved = store.valueNames(LM, key).size();
            for (int i = 0; i < saved; ++i)
                QCOMPARE(store.readInteger(LM, key, QString::number(i)), i);
            killedWhileWriting += saved > 0 ? 1 : 0;
            // The lock of the killed writer is no obstacle.
            store.writeInteger(LM, "After", key, round);
            QCOMPARE(KeyStore(storePath()).readInteger(LM, "After", key), round);
        }
        QVERIFY2(killedWhileWriting > 0, "no writer was killed after it began to save");
    }

    void refusedWrites_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("read-only file") << "file";
        QTest::newRow("read-only folder") << "folder";
        QTest::newRow("folder is a file") << "parent";
        QTest::newRow("lock place taken") << "lock";
    }
    void refusedWrites()
    {
        QFETCH(QString, how);
        QString path = storePath();
        const QString folder = QFileInfo(path).absolutePath();
        QVERIFY(QDir().mkpath(folder));
        writeAll(path, kValidFile);
        if (how == "file") {
            QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadGroup));
        } else if (how == "folder") {
            QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        } else if (how == "lock") {
            QVERIFY(QDir().mkpath(path + ".lock"));
        } else {
            // A store below a regular file can never be created.
            path = path + "/below/registry.json";
        }
        const auto restore = qScopeGuard([&] {
            QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner);
            QFile::setPermissions(storePath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        });
        if ((how == "file" || how == "folder") &&
            QFileInfo(how == "file" ? path : folder).isWritable())
            QSKIP("running with rights that ignore file permissions (root)");

        KeyStore store(path);
        const QString error =
            errorOf([&] { store.writeString(LM, "Software\\ORVIK", "New", "x"); });
        QVERIFY2(error.startsWith("cannot write key store " + QDir::toNativeSeparators(path)),
                 qPrintable(error));
        QVERIFY(errorOf([&] { store.createKey(LM, "Other"); }).startsWith("cannot write"));
        QVERIFY(!store.valueExists(LM, "Software\\ORVIK", "New"));
        if (how != "parent") {
            // Reads still work, and the file is as it was.
            QCOMPARE(store.readString(LM, "Software\\ORVIK", "Name"), "text");
            QCOMPARE(readAll(path), kValidFile);
            // Opening a key that exists writes nothing, so it is no error.
            store.createKey(LM, "software\\orvik");
        }
    }

    void unreadableFileIsNeverOverwritten_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("reason");
        QTest::newRow("not JSON") << QByteArray("{\"format\": ") << "JSON error at offset";
        QTest::newRow("empty") << QByteArray() << "JSON error";
        QTest::newRow("array") << QByteArray("[]") << "not a JSON object";
        QTest::newRow("other format")
            << QByteArray(R"({"format":"x","version":1,"roots":{}})") << "not a key store file";
        QTest::newRow("newer version")
            << QByteArray(R"({"format":"vemo-registry","version":2,"roots":{}})")
            << "unsupported version 2";
        QTest::newRow("unknown root")
            << QByteArray(R"({"format":"vemo-registry","version":1,"roots":{"HKEY_USERS":{}}})")
            << "unknown root key \"HKEY_USERS\"";
        QTest::newRow("value type") << QByteArray(R"({"format":"vemo-registry","version":1,
            "roots":{"HKEY_LOCAL_MACHINE":{"keys":{"K":{"values":{"V":{"type":"dword","data":1}}}}}}})")
                                    << "HKEY_LOCAL_MACHINE\\K value \"V\": unknown value type";
        QTest::newRow("integer range") << QByteArray(R"({"format":"vemo-registry","version":1,
            "roots":{"HKEY_LOCAL_MACHINE":{"values":{"V":{"type":"integer","data":2147483648}}}}})")
                                       << "not a 32-bit integer";
        QTest::newRow("fraction") << QByteArray(R"({"format":"vemo-registry","version":1,
            "roots":{"HKEY_LOCAL_MACHINE":{"values":{"V":{"type":"integer","data":1.5}}}}})")
                                  << "not a 32-bit integer";
        QTest::newRow("string data") << QByteArray(R"({"format":"vemo-registry","version":1,
            "roots":{"HKEY_LOCAL_MACHINE":{"values":{"V":{"type":"string","data":3}}}}})")
                                     << "string value with a number as data";
        QTest::newRow("keys twice") << QByteArray(R"({"format":"vemo-registry","version":1,
            "roots":{"HKEY_LOCAL_MACHINE":{"keys":{"Key":{},"KEY":{}}}}})")
                                    << "differ only in letter case";
        QTest::newRow("key not object") << QByteArray(R"({"format":"vemo-registry","version":1,
            "roots":{"HKEY_LOCAL_MACHINE":{"keys":{"K":"x"}}}})")
                                        << "HKEY_LOCAL_MACHINE\\K: expected an object";
    }
    void unreadableFileIsNeverOverwritten()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, reason);
        QVERIFY(QDir().mkpath(QFileInfo(storePath()).absolutePath()));
        writeAll(storePath(), content);
        KeyStore store(storePath());
        const QString prefix = "cannot read key store " + QDir::toNativeSeparators(storePath());

        const QString readError = errorOf([&] { store.keyExists(LM, "K"); });
        QVERIFY2(readError.startsWith(prefix) && readError.contains(reason), qPrintable(readError));
        QVERIFY(errorOf([&] { store.subKeyNames(LM, ""); }).startsWith(prefix));
        QVERIFY(errorOf([&] { store.valueExists(LM, "K", "V"); }).startsWith(prefix));
        QVERIFY(errorOf([&] { store.writeString(LM, "K", "V", "x"); }).startsWith(prefix));
        QVERIFY(errorOf([&] { store.createKey(LM, "New"); }).startsWith(prefix));
        QVERIFY(errorOf([&] { store.deleteKey(LM, "K"); }).startsWith(prefix));
        QCOMPARE(readAll(storePath()), content);

        // Once the file is mended the same store works again.
        writeAll(storePath(), kValidFile);
        QCOMPARE(store.readInteger(LM, "Software\\ORVIK", "Number"), -7);
    }

    // Another program damages the file while a store works on it: the store
    // goes on with the keys it read, says so once, and writes them back with
    // its next change.
    void damagedFileKeepsTheLastGoodCopy_data()
    {
        QTest::addColumn<QByteArray>("damage");
        QTest::newRow("not JSON") << QByteArray("{\"format\": ");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("cut in half") << kValidFile.left(kValidFile.size() / 2);
        QTest::newRow("other format") << QByteArray(R"({"format":"x","version":1,"roots":{}})");
    }
    void damagedFileKeepsTheLastGoodCopy()
    {
        QFETCH(QByteArray, damage);
        QVERIFY(QDir().mkpath(QFileInfo(storePath()).absolutePath()));
        writeAll(storePath(), kValidFile);
        KeyStore store(storePath());
        store.createKey(LM, "Volatile", true);
        QCOMPARE(store.readInteger(LM, "Software\\ORVIK", "Number"), -7);

        WarningCatcher catcher;
        writeAll(storePath(), damage);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(store.readInteger(LM, "Software\\ORVIK", "Number"), -7);
            QCOMPARE(store.readString(LM, "Software\\ORVIK", "Name"), "text");
            QCOMPARE(store.subKeyNames(LM, QString()), (QStringList{"Software", "Volatile"}));
        }
        QCOMPARE(catcher.warnings.size(), 1);
        QVERIFY2(catcher.warnings.first().contains(QDir::toNativeSeparators(storePath())),
                 qPrintable(catcher.warnings.first()));
        // Reading wrote nothing.
        QCOMPARE(readAll(storePath()), damage);

        store.writeString(LM, "Software\\ORVIK", "New", "after");
        QString why;
        QVERIFY2(loads(storePath(), &why), qPrintable(why));
        KeyStore other(storePath());
        QCOMPARE(other.readInteger(LM, "Software\\ORVIK", "Number"), -7);
        QCOMPARE(other.readString(LM, "Software\\ORVIK", "New"), "after");
        QVERIFY(!other.keyExists(LM, "Volatile"));
        QCOMPARE(catcher.warnings.size(), 1);

        // Damaged again: said again, once.
        writeAll(storePath(), damage);
        QCOMPARE(store.readString(LM, "Software\\ORVIK", "New"), "after");
        QCOMPARE(store.readString(LM, "Software\\ORVIK", "New"), "after");
        QCOMPARE(catcher.warnings.size(), 2);
        // A change that changes nothing still mends the file.
        store.writeString(LM, "Software\\ORVIK", "New", "after");
        QVERIFY2(loads(storePath(), &why), qPrintable(why));
    }

    void volatileKeysLiveInMemoryOnly()
    {
        const QString service = "SYSTEM\\CurrentControlSet\\Services\\VemoUSB\\Enum";
        const QString device = "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_5e1a&Pid_088a\\123";
        KeyStore store(storePath());
        store.createKey(LM, service, true);
        store.writeInteger(LM, service, "Count", 1);
        store.writeString(LM, service + "\\Deeper", "0", "USB\\VID_5E1A&PID_088A\\123");
        QVERIFY(!QFileInfo::exists(storePath())); // nothing of it touched the file

        // A persistent key beside the volatile one goes to the file.
        store.createKey(LM, device);
        const QByteArray saved = readAll(storePath());
        QVERIFY(saved.contains("Vid_5e1a&Pid_088a"));
        QVERIFY(!saved.contains("VemoUSB"));
        QVERIFY(!saved.contains("Count"));

        // Reads see both, each name once.
        QCOMPARE(store.readInteger(LM, service.toLower(), "count"), 1);
        QVERIFY(store.keyExists(LM, service + "\\deeper"));
        QCOMPARE(store.subKeyNames(LM, "SYSTEM\\CurrentControlSet"),
                 (QStringList{"Enum", "Services"}));
        QCOMPARE(store.subKeyNames(LM, "SYSTEM"), QStringList{"CurrentControlSet"});

        // Another instance on the same file does not see them.
        KeyStore other(storePath());
        QVERIFY(!other.keyExists(LM, service));
        QVERIFY(other.keyExists(LM, device));

        // Volatile keys end with their store's changes and deletions.
        store.writeInteger(LM, service, "Count", 0);
        QCOMPARE(readAll(storePath()), saved);
        store.deleteKey(LM, service);
        QVERIFY(!store.keyExists(LM, service));
        QVERIFY(store.keyExists(LM, device));
    }

    void existingKeyStaysPersistentWhenOpenedVolatile()
    {
        KeyStore store(storePath());
        store.createKey(LM, "Services\\Enum");
        store.createKey(LM, "Services\\Enum", true);
        store.writeInteger(LM, "Services\\Enum", "Count", 2);
        QCOMPARE(KeyStore(storePath()).readInteger(LM, "Services\\Enum", "Count"), 2);
    }

    void volatileValuesOverlayStoredOnes()
    {
        KeyStore store(storePath());
        KeyStore other(storePath());
        store.createKey(LM, "Enum", true);
        store.writeString(LM, "Enum", "Shared", "memory");
        // Another instance writes the same key into the file.
        other.writeString(LM, "ENUM", "shared", "file");
        other.writeString(LM, "Enum", "OnlyFile", "file");
        QCOMPARE(store.readString(LM, "Enum", "Shared"), "memory");
        QCOMPARE(store.readString(LM, "Enum", "OnlyFile"), "file");
        QCOMPARE(store.valueNames(LM, "Enum"), (QStringList{"OnlyFile", "Shared"}));
    }

    void deletions_data()
    {
        addBackingColumn();
        QTest::newRow("file") << false;
        QTest::newRow("memory") << true;
    }
    void deletions()
    {
        QFETCH(bool, inMemory);
        auto store = makeStore(inMemory);
        store->writeString(LM, "A\\B\\C", "V", "x");
        store->writeString(LM, "A", "W", "y");
        store->deleteValue(LM, "a", "w");
        QVERIFY(!store->valueExists(LM, "A", "W"));
        store->deleteValue(LM, "A", "Missing");
        store->deleteKey(LM, "a\\b");
        QVERIFY(store->keyExists(LM, "A"));
        QVERIFY(!store->keyExists(LM, "A\\B\\C"));
        store->deleteKey(LM, "A\\Missing\\Deeper");
        QVERIFY(errorOf([&] { store->deleteKey(LM, "\\"); }).contains("root key"));
        if (!inMemory)
            QVERIFY(!readAll(storePath()).contains("\"B\""));
    }

    void memoryStoreCreatesNoFile()
    {
        const QString before = QDir::currentPath();
        KeyStore store{QString()};
        QCOMPARE(store.filePath(), QString());
        store.writeString(CU, "K", "V", "x");
        QCOMPARE(store.readString(CU, "K", "V"), "x");
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList());
        QCOMPARE(QDir::currentPath(), before);
    }

    void defaultFilePathFollowsEnvironment_data()
    {
        QTest::addColumn<QByteArray>("registry");
        QTest::addColumn<QByteArray>("xdg");
        QTest::addColumn<QString>("expected");
        const QString home = QDir::homePath();
        QTest::newRow("VEMO_REGISTRY")
            << QByteArray("/x/r.json") << QByteArray("/cfg") << "/x/r.json";
        QTest::newRow("XDG") << QByteArray() << QByteArray("/cfg") << "/cfg/vemo/registry.json";
        QTest::newRow("relative XDG")
            << QByteArray() << QByteArray("cfg") << home + "/.config/vemo/registry.json";
        QTest::newRow("nothing") << QByteArray() << QByteArray()
                                 << home + "/.config/vemo/registry.json";
    }
    void defaultFilePathFollowsEnvironment()
    {
        QFETCH(QByteArray, registry);
        QFETCH(QByteArray, xdg);
        QFETCH(QString, expected);
        const QByteArray savedRegistry = qgetenv("VEMO_REGISTRY");
        const QByteArray savedXdg = qgetenv("XDG_CONFIG_HOME");
        const auto restore = qScopeGuard([&] {
            qputenv("VEMO_REGISTRY", savedRegistry);
            qputenv("XDG_CONFIG_HOME", savedXdg);
        });
        qputenv("VEMO_REGISTRY", registry);
        qputenv("XDG_CONFIG_HOME", xdg);
        QCOMPARE(KeyStore::defaultFilePath(), expected);
    }

    void defaultStoreCanBeReplaced()
    {
        KeyStore &process = KeyStore::defaultStore();
        QCOMPARE(process.filePath(), QFileInfo(KeyStore::defaultFilePath()).absoluteFilePath());
        {
            KeyStore mine{QString()};
            KeyStore::setDefaultStore(&mine);
            QCOMPARE(&KeyStore::defaultStore(), &mine);
        }
        // A store that ends stops being the default.
        QCOMPARE(&KeyStore::defaultStore(), &process);
        KeyStore other{QString()};
        KeyStore::setDefaultStore(&other);
        KeyStore::setDefaultStore(nullptr);
        QCOMPARE(&KeyStore::defaultStore(), &process);
    }
};

// "--writer <file> <key> <count>": the program acts as another instance
// writing to the same store, for the test of two running programs.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.value(1) == QLatin1String("--writer")) {
        KeyStore store(arguments.value(2));
        const QString key = arguments.value(3);
        const int count = arguments.value(4).toInt();
        // With a fifth argument, the writer waits for that file to appear,
        // so that all writers start at once.
        const QString go = arguments.value(5);
        std::fputs("ready\n", stdout);
        std::fflush(stdout);
        while (!go.isEmpty() && !QFileInfo::exists(go))
            QThread::usleep(1000);
        try {
            for (int i = 0; i < count; ++i) {
                store.writeInteger(LM, key, QString::number(i), i);
                if (!go.isEmpty())
                    store.writeInteger(LM, "Shared", key + QLatin1Char('-') + QString::number(i),
                                       i);
            }
        } catch (const RegistryError &e) {
            qCritical("%s", e.what());
            return 1;
        }
        return 0;
    }
    TestKeyStore test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_keystore.moc"
