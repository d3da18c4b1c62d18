#include "registry/RegTools.h"

#include "tests/registry/ErrorOf.h"
#include "tests/registry/StoreSetup.h"
#include "tests/support/TempKeyStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <memory>

using registry::HKEY_CURRENT_USER;
using registry::HKEY_LOCAL_MACHINE;

namespace {

const QString kEnumUsb = "SYSTEM\\CurrentControlSet\\Enum\\USB\\";
const QString kVemoUSB = "SYSTEM\\CurrentControlSet\\Services\\VemoUSB\\Enum";
const QString kVemox64 = "SYSTEM\\CurrentControlSet\\Services\\Vemox64\\Enum";
const QString kVemo98 = "SYSTEM\\CurrentControlSet\\Services\\Vemo98\\Enum";
const QString kSelfKey = "Software\\ORVIK\\Vemo";

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// From here on every write to the store fails, whoever runs the test (root
// included): the lock file's place is taken by a folder.
void refuseWrites(const TempKeyStore &keys)
{
    QVERIFY(QDir().mkpath(keys.filePath() + ".lock"));
}

} // namespace

class TestRegTools : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TempKeyStore> m_keys;
    registry::KeyStore &store() { return m_keys->store(); }
    TRegTools m_tools;

    void setUpStore(const QStringList &lines)
    {
        QString error;
        QVERIFY2(applyStoreSetup(m_keys->store(), lines, &error), qPrintable(error));
    }

private Q_SLOTS:
    void init() { m_keys = std::make_unique<TempKeyStore>(); }
    void cleanup() { m_keys.reset(); }

    void driverChecksCountInstalledInstances_data()
    {
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<int>("vemo");
        QTest::addColumn<int>("vemo2");
        QTest::addColumn<int>("vemo3");
        QTest::addColumn<int>("present");

        QTest::newRow("nothing installed") << QStringList() << 0 << 0 << 0 << 0;
        QTest::newRow("Vemo installed once, none present")
            << QStringList{"key|" + kEnumUsb + "Vid_5e1a&Pid_0889\\5&2a1b&0&1"} << 1 << 0 << 0 << 0;
        QTest::newRow("every generation, any spelling")
            << QStringList{"key|" + kEnumUsb + "Vid_5e1a&Pid_0889\\a",
                           "key|" + kEnumUsb + "VID_5E1A&PID_088A\\a",
                           "key|" + kEnumUsb + "vid_5e1a&pid_088a\\b",
                           "key|" + kEnumUsb.toLower() + "Vid_5e1a&Pid_088B\\c",
                           "int|" + kVemoUSB + "|Count|2"}
            << 1 << 2 << 1 << 2;
        QTest::newRow("generation key without instances")
            << QStringList{"str|" + kEnumUsb + "Vid_5e1a&Pid_088a|Note|x"} << 0 << 0 << 0 << 0;
        QTest::newRow("instances of another product")
            << QStringList{"key|" + kEnumUsb + "Vid_5e1a&Pid_0890\\a",
                           "key|" + kEnumUsb + "Vid_5e1b&Pid_0889\\a"}
            << 0 << 0 << 0 << 0;
        QTest::newRow("only subkeys count, not deeper keys")
            << QStringList{"key|" + kEnumUsb + "Vid_5e1a&Pid_088b\\a\\Device Parameters",
                           "key|" + kEnumUsb + "Vid_5e1a&Pid_088b\\b\\Control"}
            << 0 << 0 << 2 << 0;
    }
    void driverChecksCountInstalledInstances()
    {
        QFETCH(QStringList, setup);
        QFETCH(int, vemo);
        QFETCH(int, vemo2);
        QFETCH(int, vemo3);
        QFETCH(int, present);
        setUpStore(setup);
        QCOMPARE(m_tools.VemoDriverInstalled(), vemo);
        QCOMPARE(m_tools.Vemo2DriverInstalled(), vemo2);
        QCOMPARE(m_tools.Vemo3DriverInstalled(), vemo3);
        QCOMPARE(m_tools.GetDeviceCount(), present);
    }

    void deviceCountFromFirstServiceWithCount_data()
    {
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<int>("count");

        QTest::newRow("no service key") << QStringList() << 0;
        QTest::newRow("VemoUSB") << QStringList{"int|" + kVemoUSB + "|Count|2"} << 2;
        QTest::newRow("Vemox64 only") << QStringList{"int|" + kVemox64 + "|Count|3"} << 3;
        QTest::newRow("Vemo98 only") << QStringList{"int|" + kVemo98 + "|Count|1"} << 1;
        QTest::newRow("VemoUSB first")
            << QStringList{"int|" + kVemoUSB + "|Count|1", "int|" + kVemox64 + "|Count|5",
                           "int|" + kVemo98 + "|Count|6"}
            << 1;
        // With the two rows above, only the order VemoUSB, Vemox64, Vemo98 passes.
        QTest::newRow("Vemox64 before Vemo98")
            << QStringList{"int|" + kVemo98 + "|Count|6", "int|" + kVemox64 + "|Count|5"} << 5;
        QTest::newRow("VemoUSB without Count is passed over")
            << QStringList{"str|" + kVemoUSB + "|0|USB\\VID_5E1A&PID_088A\\1",
                           "int|" + kVemox64 + "|Count|4"}
            << 4;
        QTest::newRow("unreadable Count under VemoUSB stops the search")
            << QStringList{"str|" + kVemoUSB + "|Count|2", "int|" + kVemox64 + "|Count|1"} << 0;
        QTest::newRow("Count of zero under VemoUSB stops the search")
            << QStringList{"int|" + kVemoUSB + "|Count|0", "int|" + kVemox64 + "|Count|1"} << 0;
        QTest::newRow("names in other case")
            << QStringList{"int|" + kVemox64.toUpper() + "|count|7"} << 7;
        QTest::newRow("volatile list, as the driver keeps it")
            << QStringList{"volatile|" + kVemoUSB, "int|" + kVemoUSB + "|Count|2"} << 2;
    }
    void deviceCountFromFirstServiceWithCount()
    {
        QFETCH(QStringList, setup);
        QFETCH(int, count);
        setUpStore(setup);
        QCOMPARE(m_tools.GetDeviceCount(), count);
    }

    void deviceNamesByIndex_data()
    {
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("instance");
        QTest::addColumn<QString>("name");

        const QStringList twoLists{"str|" + kVemoUSB + "|0|USB\\Vid_5e1a&Pid_088a\\100",
                                   "str|" + kVemo98 + "|1|USB\\Vid_5e1a&Pid_0889\\200"};
        QTest::newRow("index 0 under VemoUSB") << twoLists << 0 << "USB\\Vid_5e1a&Pid_088a\\100"
                                               << "Vemo2";
        QTest::newRow("index 1 only under Vemo98") << twoLists << 1 << "USB\\Vid_5e1a&Pid_0889\\200"
                                                   << "Vemo";
        QTest::newRow("index 2 nowhere") << twoLists << 2 << ""
                                         << "";
        QTest::newRow("negative index") << twoLists << -1 << ""
                                        << "";
        const QStringList threeLists{"str|" + kVemo98 + "|0|USB\\Vid_5e1a&Pid_0889\\98",
                                     "str|" + kVemox64 + "|0|USB\\Vid_5e1a&Pid_088b\\64",
                                     "str|" + kVemoUSB + "|0|USB\\Vid_5e1a&Pid_088a\\1"};
        // Together these two rows pass only in the order VemoUSB, Vemox64, Vemo98.
        QTest::newRow("VemoUSB before the others") << threeLists << 0 << "USB\\Vid_5e1a&Pid_088a\\1"
                                                   << "Vemo2";
        QTest::newRow("Vemox64 before Vemo98")
            << threeLists.mid(0, 2) << 0 << "USB\\Vid_5e1a&Pid_088b\\64"
            << "Vemo3";
        QTest::newRow("empty text passes to the next list")
            << QStringList{"str|" + kVemoUSB + "|0|", "str|" + kVemox64 + "|0|USB\\X\\1"} << 0
            << "USB\\X\\1"
            << "USB\\X\\1";
        QTest::newRow("lower-case path")
            << QStringList{"str|" + kVemox64 + "|0|usb\\vid_5e1a&pid_088b\\7"} << 0
            << "usb\\vid_5e1a&pid_088b\\7"
            << "Vemo3";
        QTest::newRow("another product of the vendor")
            << QStringList{"str|" + kVemoUSB + "|0|usb\\Vid_5e1a&Pid_0900\\abc"} << 0
            << "usb\\Vid_5e1a&Pid_0900\\abc"
            << "USB\\VID_5E1A&PID_0900\\ABC";
        QTest::newRow("table order decides, not the place in the path")
            << QStringList{"str|" + kVemoUSB + "|0|VID_5E1A&PID_088B VID_5E1A&PID_0889"} << 0
            << "VID_5E1A&PID_088B VID_5E1A&PID_0889"
            << "Vemo";
        QTest::newRow("id inside a longer text")
            << QStringList{"str|" + kVemoUSB + "|0|X#VID_5E1A&PID_088A#Y"} << 0
            << "X#VID_5E1A&PID_088A#Y"
            << "Vemo2";
        QTest::newRow("vendor id alone is no generation")
            << QStringList{"str|" + kVemoUSB + "|0|VID_5E1A&PID_08"} << 0 << "VID_5E1A&PID_08"
            << "VID_5E1A&PID_08";
        QTest::newRow("index 10 is not index 1")
            << QStringList{"str|" + kVemoUSB + "|1|USB\\VID_5E1A&PID_0889\\1",
                           "str|" + kVemoUSB + "|10|USB\\VID_5E1A&PID_088B\\1"}
            << 10 << "USB\\VID_5E1A&PID_088B\\1"
            << "Vemo3";
    }
    void deviceNamesByIndex()
    {
        QFETCH(QStringList, setup);
        QFETCH(int, index);
        QFETCH(QString, instance);
        QFETCH(QString, name);
        setUpStore(setup);
        QCOMPARE(m_tools.GetDeviceInstance(index), instance);
        QCOMPARE(m_tools.GetDeviceName(index), name);
    }

    void readsNeverCreateKeys()
    {
        QStringList names{"stale"};
        m_tools.ReadKeyNames(HKEY_LOCAL_MACHINE, kEnumUsb, names);
        QCOMPARE(names, QStringList());
        QCOMPARE(m_tools.VemoDriverInstalled(), 0);
        QCOMPARE(m_tools.GetDeviceCount(), 0);
        QCOMPARE(m_tools.GetDeviceName(0), QString());
        QVERIFY(!m_tools.RegValueExists(HKEY_LOCAL_MACHINE, kVemoUSB, "Count"));
        QCOMPARE(m_tools.ReadRegString(HKEY_LOCAL_MACHINE, kSelfKey, "VemoUSBDemo", QString()),
                 QString());
        QVERIFY(!QFileInfo::exists(m_keys->filePath()));
        QVERIFY(!store().keyExists(HKEY_LOCAL_MACHINE, kSelfKey));
    }

    void keyNamesAndValueTests()
    {
        setUpStore({"key|Software\\A\\One", "key|Software\\A\\two", "str|Software\\A|V|x"});
        QStringList names;
        m_tools.ReadKeyNames(HKEY_LOCAL_MACHINE, "software\\a", names);
        QCOMPARE(names, (QStringList{"One", "two"}));
        m_tools.ReadKeyNames(HKEY_CURRENT_USER, "software\\a", names);
        QCOMPARE(names, QStringList());
        QVERIFY(m_tools.RegValueExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\A", "v"));
        QVERIFY(!m_tools.RegValueExists(HKEY_LOCAL_MACHINE, "Software\\A", "W"));
        QVERIFY(!m_tools.RegValueExists(HKEY_LOCAL_MACHINE, "Software\\B", "V"));
    }

    void readWithDefaultStoresItOnce()
    {
        const QString path = "C:\\Programs\\Vemo\\VemoUSB.exe";
        QCOMPARE(m_tools.ReadRegString(HKEY_LOCAL_MACHINE, kSelfKey, "VemoUSBDemo", path), path);
        QCOMPARE(store().readString(HKEY_LOCAL_MACHINE, kSelfKey, "VemoUSBDemo"), path);
        const QByteArray saved = readAll(m_keys->filePath());
        QVERIFY(saved.contains("VemoUSBDemo"));

        // The second read finds the value and writes nothing: it succeeds
        // even though writing has become impossible.
        refuseWrites(*m_keys);
        QCOMPARE(m_tools.ReadRegString(HKEY_LOCAL_MACHINE, "software\\orvik\\vemo", "vemousbdemo",
                                       "D:\\other.exe"),
                 path);
        QCOMPARE(readAll(m_keys->filePath()), saved);
    }

    void readWithDefaultKeepsStoredText_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("defaultText");
        QTest::newRow("other path") << "C:\\old.exe"
                                    << "C:\\new.exe";
        QTest::newRow("stored empty text") << ""
                                           << "C:\\new.exe";
        QTest::newRow("no default") << "C:\\old.exe"
                                    << "";
    }
    void readWithDefaultKeepsStoredText()
    {
        QFETCH(QString, stored);
        QFETCH(QString, defaultText);
        store().writeString(HKEY_LOCAL_MACHINE, kSelfKey, "VemoUSBDemo", stored);
        refuseWrites(*m_keys);
        QCOMPARE(m_tools.ReadRegString(HKEY_LOCAL_MACHINE, kSelfKey, "VemoUSBDemo", defaultText),
                 stored);
    }

    void storeErrorsReachTheCaller()
    {
        store().writeInteger(HKEY_LOCAL_MACHINE, kSelfKey, "VemoUSBDemo", 5);
        QVERIFY(errorOf([&] {
                    m_tools.ReadRegString(HKEY_LOCAL_MACHINE, kSelfKey, "VemoUSBDemo", "x");
                }).contains("is an integer, not a string"));

        refuseWrites(*m_keys);
        QVERIFY(errorOf([&] {
                    m_tools.WriteRegString(HKEY_LOCAL_MACHINE, kSelfKey, "Other", "x");
                }).startsWith("cannot write key store"));
        QVERIFY(errorOf([&] {
                    m_tools.ReadRegString(HKEY_LOCAL_MACHINE, "Software\\New", "V", "x");
                }).startsWith("cannot write key store"));
        QVERIFY(!store().keyExists(HKEY_LOCAL_MACHINE, "Software\\New"));
    }

    void writeCreatesTheKey()
    {
        m_tools.WriteRegString(HKEY_CURRENT_USER, "Software\\ORVIK\\Vemo\\Deep", "Name", "x");
        QCOMPARE(store().readString(HKEY_CURRENT_USER, "Software\\ORVIK\\Vemo\\Deep", "Name"), "x");
        m_tools.WriteRegString(HKEY_CURRENT_USER, "SOFTWARE\\orvik\\vemo\\deep", "NAME", "y");
        QCOMPARE(store().valueNames(HKEY_CURRENT_USER, "Software\\ORVIK\\Vemo\\Deep"),
                 QStringList{"Name"});
        QCOMPARE(m_tools.ReadRegString(HKEY_CURRENT_USER, "Software\\ORVIK\\Vemo\\Deep", "Name",
                                       QString()),
                 "y");
    }
};

QTEST_GUILESS_MAIN(TestRegTools)
#include "tst_regtools.moc"
