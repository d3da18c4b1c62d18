#include "registry/Registry.h"

#include "tests/registry/ErrorOf.h"
#include "tests/registry/StoreSetup.h"
#include "tests/support/TempKeyStore.h"

#include <QTest>

#include <functional>
#include <memory>

using registry::HKEY_CURRENT_USER;
using registry::HKEY_LOCAL_MACHINE;
using registry::KEY_ALL_ACCESS;
using registry::KEY_READ;
using registry::KEY_WRITE;
using registry::TRegistry;

namespace {

using Operation = std::function<void(TRegistry &)>;

} // namespace

Q_DECLARE_METATYPE(Operation)

class TestRegistry : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TempKeyStore> m_keys;
    registry::KeyStore &store() { return m_keys->store(); }

private Q_SLOTS:
    void init()
    {
        m_keys = std::make_unique<TempKeyStore>();
        QString error;
        QVERIFY2(applyStoreSetup(m_keys->store(),
                                 {"str|Software\\ORVIK\\Vemo|Text|hello",
                                  "int|Software\\ORVIK\\Vemo|Number|42",
                                  "key|Software\\ORVIK\\Vemo\\Sub1", "key|Software\\ORVIK\\Other"},
                                 &error),
                 qPrintable(error));
    }
    void cleanup() { m_keys.reset(); }

    void defaultsAreThoseOfTheWindowsClass()
    {
        TRegistry reg;
        QCOMPARE(reg.RootKey, HKEY_CURRENT_USER);
        QCOMPARE(reg.Access, KEY_ALL_ACCESS);
        QVERIFY(!reg.HasCurrentKey());
        QCOMPARE(TRegistry(KEY_READ).Access, KEY_READ);
    }

    void openKeyPaths_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::addColumn<bool>("opened");
        QTest::addColumn<QString>("current");
        QTest::newRow("absolute") << ""
                                  << "Software\\ORVIK" << true << "Software\\ORVIK";
        QTest::newRow("relative to the open key")
            << "Software"
            << "ORVIK\\Vemo" << true << "Software\\ORVIK\\Vemo";
        QTest::newRow("backslash starts at the root") << "Software\\ORVIK"
                                                      << "\\Software" << true << "Software";
        QTest::newRow("missing key keeps the open one") << "Software\\ORVIK"
                                                        << "Missing" << false << "Software\\ORVIK";
        QTest::newRow("other case") << ""
                                    << "SOFTWARE\\orvik\\VEMO" << true << "SOFTWARE\\orvik\\VEMO";
        QTest::newRow("the root itself") << ""
                                         << "\\" << true << "";
    }
    void openKeyPaths()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(bool, opened);
        QFETCH(QString, current);
        TRegistry reg(KEY_READ);
        reg.RootKey = HKEY_LOCAL_MACHINE;
        if (!first.isEmpty())
            QVERIFY(reg.OpenKey(first, false));
        QCOMPARE(reg.OpenKey(second, false), opened);
        QVERIFY(reg.HasCurrentKey());
        QCOMPARE(reg.CurrentPath(), current);
        QVERIFY(!store().keyExists(HKEY_LOCAL_MACHINE, "Missing"));
    }

    void openKeyCreates()
    {
        TRegistry reg(KEY_WRITE);
        reg.RootKey = HKEY_LOCAL_MACHINE;
        QVERIFY(reg.OpenKey("Software\\New\\Deeper", true));
        QVERIFY(store().keyExists(HKEY_LOCAL_MACHINE, "Software\\New\\Deeper"));
        QVERIFY(!store().keyExists(HKEY_CURRENT_USER, "Software\\New"));
        reg.WriteString("V", "x");
        QCOMPARE(store().readString(HKEY_LOCAL_MACHINE, "Software\\New\\Deeper", "V"), "x");
    }

    void valueReads()
    {
        TRegistry reg(KEY_READ);
        reg.RootKey = HKEY_LOCAL_MACHINE;
        QVERIFY(reg.OpenKey("Software\\ORVIK\\Vemo", false));
        QVERIFY(reg.ValueExists("text"));
        QVERIFY(!reg.ValueExists("Missing"));
        QCOMPARE(reg.ReadString("TEXT"), "hello");
        QCOMPARE(reg.ReadInteger("number"), 42);
        QCOMPARE(reg.ReadString("Missing"), QString());
        QStringList names{"stale"};
        reg.GetKeyNames(names);
        QCOMPARE(names, QStringList{"Sub1"});

        QVERIFY(errorOf([&] { reg.ReadString("Number"); }).contains("not a string"));
        QVERIFY(errorOf([&] { reg.ReadInteger("Text"); }).contains("not an integer"));
        QVERIFY(errorOf([&] { reg.ReadInteger("Missing"); }).contains("not found"));
    }

    void withoutOpenKey()
    {
        TRegistry reg;
        reg.RootKey = HKEY_LOCAL_MACHINE;
        QVERIFY(reg.OpenKey("Software\\ORVIK\\Vemo", false));
        reg.CloseKey();
        QVERIFY(!reg.HasCurrentKey());
        QVERIFY(!reg.ValueExists("Text"));
        QCOMPARE(reg.ReadString("Text"), QString());
        QStringList names{"stale"};
        reg.GetKeyNames(names);
        QCOMPARE(names, QStringList());
        QVERIFY(errorOf([&] { reg.ReadInteger("Number"); }).contains("no key is open"));
        QVERIFY(errorOf([&] { reg.WriteString("Text", "x"); }).contains("no key is open"));
        QCOMPARE(store().readString(HKEY_LOCAL_MACHINE, "Software\\ORVIK\\Vemo", "Text"), "hello");
    }

    void accessMaskLimitsOperations_data()
    {
        QTest::addColumn<quint32>("access");
        QTest::addColumn<Operation>("operation");
        QTest::addColumn<bool>("allowed");

        const Operation write = [](TRegistry &reg) { reg.WriteString("Text", "changed"); };
        const Operation create = [](TRegistry &reg) { reg.OpenKey("New", true); };
        const Operation openExisting = [](TRegistry &reg) { reg.OpenKey("Sub1", true); };
        const Operation read = [](TRegistry &reg) { reg.ReadString("Text"); };
        const Operation test = [](TRegistry &reg) { reg.ValueExists("Text"); };
        const Operation list = [](TRegistry &reg) {
            QStringList names;
            reg.GetKeyNames(names);
        };

        QTest::newRow("read: write") << KEY_READ << write << false;
        QTest::newRow("read: create") << KEY_READ << create << false;
        QTest::newRow("read: open existing with create") << KEY_READ << openExisting << true;
        QTest::newRow("read: read") << KEY_READ << read << true;
        QTest::newRow("read: value test") << KEY_READ << test << true;
        QTest::newRow("read: list") << KEY_READ << list << true;
        QTest::newRow("write: write") << KEY_WRITE << write << true;
        QTest::newRow("write: create") << KEY_WRITE << create << true;
        QTest::newRow("write: read") << KEY_WRITE << read << false;
        QTest::newRow("write: value test") << KEY_WRITE << test << false;
        QTest::newRow("write: list") << KEY_WRITE << list << false;
        QTest::newRow("all: write") << KEY_ALL_ACCESS << write << true;
        QTest::newRow("all: list") << KEY_ALL_ACCESS << list << true;
    }
    void accessMaskLimitsOperations()
    {
        QFETCH(quint32, access);
        QFETCH(Operation, operation);
        QFETCH(bool, allowed);
        TRegistry reg(access);
        reg.RootKey = HKEY_LOCAL_MACHINE;
        QVERIFY(reg.OpenKey("Software\\ORVIK\\Vemo", false));
        const QString error = errorOf([&] { operation(reg); });
        if (allowed) {
            QCOMPARE(error, QStringLiteral("no error"));
        } else {
            QVERIFY2(error.contains("does not allow"), qPrintable(error));
            // What was refused left no trace.
            QCOMPARE(store().readString(HKEY_LOCAL_MACHINE, "Software\\ORVIK\\Vemo", "Text"),
                     "hello");
            QVERIFY(!store().keyExists(HKEY_LOCAL_MACHINE, "Software\\ORVIK\\Vemo\\New"));
        }
    }

    void keyDeletedWhileOpenIsNotRecreated()
    {
        TRegistry reg(KEY_WRITE);
        reg.RootKey = HKEY_LOCAL_MACHINE;
        QVERIFY(reg.OpenKey("Software\\ORVIK\\Other", false));
        store().deleteKey(HKEY_LOCAL_MACHINE, "Software\\ORVIK\\Other");
        QVERIFY(errorOf([&] { reg.WriteString("V", "x"); }).contains("was deleted"));
        QVERIFY(!store().keyExists(HKEY_LOCAL_MACHINE, "Software\\ORVIK\\Other"));
    }

    void worksOnAGivenStore()
    {
        registry::KeyStore own{QString()};
        own.writeInteger(HKEY_LOCAL_MACHINE, "K", "V", 7);
        TRegistry reg(KEY_READ, &own);
        reg.RootKey = HKEY_LOCAL_MACHINE;
        QVERIFY(reg.OpenKey("K", false));
        QCOMPARE(reg.ReadInteger("V"), 7);
        TRegistry onDefault(KEY_READ);
        onDefault.RootKey = HKEY_LOCAL_MACHINE;
        QVERIFY(!onDefault.OpenKey("K", false));
    }
};

QTEST_GUILESS_MAIN(TestRegistry)
#include "tst_registry.moc"
