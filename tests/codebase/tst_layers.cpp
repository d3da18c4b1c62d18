// The layers of the source tree: every C++ file's includes against the one
// table of who may include whom (IncludeRules.cpp), and the same rules fed
// includes that break them.

#include "tests/codebase/IncludeRules.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTest>

namespace {

const QString kSourceDir = QStringLiteral(VEMO_SOURCE_DIR);

// A build tree (it holds CMakeCache.txt) or a hidden folder holds no source.
bool isSourceFolder(const QString &path)
{
    const QFileInfo info(path);
    return !info.fileName().startsWith(QLatin1Char('.')) &&
           !QFileInfo::exists(path + QStringLiteral("/CMakeCache.txt"));
}

// Every .cpp and .h file of the tree, by its path from the source root.
QStringList sourceFiles()
{
    QStringList files;
    QStringList folders{kSourceDir};
    const QDir root(kSourceDir);
    while (!folders.isEmpty()) {
        const QDir folder(folders.takeFirst());
        const QFileInfoList entries =
            folder.entryInfoList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
        for (const QFileInfo &entry : entries) {
            if (entry.isDir()) {
                if (isSourceFolder(entry.filePath()))
                    folders << entry.filePath();
            } else if (entry.suffix() == QLatin1String("cpp") ||
                       entry.suffix() == QLatin1String("h")) {
                files << root.relativeFilePath(entry.filePath());
            }
        }
    }
    return files;
}

} // namespace

class TestLayers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sourceTreeKeepsToTheTable();
    void tableNamesFoldersThatExist();
    void rules_data();
    void rules();
};

void TestLayers::sourceTreeKeepsToTheTable()
{
    const QStringList files = sourceFiles();
    // The walk found the tree (a wrong root would pass with nothing checked).
    QVERIFY(files.contains(QStringLiteral("usbio/Component.h")));
    QVERIFY(files.contains(QStringLiteral("tests/codebase/tst_layers.cpp")));

    QList<IncludeViolation> violations;
    for (const QString &file : files) {
        QFile source(kSourceDir + QLatin1Char('/') + file);
        QVERIFY2(source.open(QIODevice::ReadOnly), qPrintable(file));
        violations += IncludeRules::check(file, source.readAll());
    }
    QVERIFY2(violations.isEmpty(), qPrintable(IncludeRules::describe(violations)));
}

void TestLayers::tableNamesFoldersThatExist()
{
    // A folder renamed or moved leaves no row behind that guards nothing.
    for (const QString &folder : IncludeRules::folders())
        QVERIFY2(QFileInfo(kSourceDir + QLatin1Char('/') + folder).isDir(), qPrintable(folder));
}

void TestLayers::rules_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("text");
    // Empty: the include is allowed; else a piece of the reason given.
    QTest::addColumn<QString>("violation");

    // Allowed.
    QTest::newRow("own folder") << "dialogue/Foo.cpp" << QByteArray("#include \"dialogue/Bar.h\"")
                                << QString();
    QTest::newRow("dialogue to link")
        << "dialogue/Foo.cpp" << QByteArray("#include \"link/VemoUSBinterface.h\"") << QString();
    QTest::newRow("link to the contract")
        << "link/Foo.cpp" << QByteArray("#include \"usbio/Component.h\"") << QString();
    QTest::newRow("backend to what backends share")
        << "usbio/sim/Foo.h" << QByteArray("#include \"usbio/common/ComponentState.h\"")
        << QString();
    QTest::newRow("app to a backend")
        << "app/main.cpp" << QByteArray("#include \"usbio/libusb/LibusbBackend.h\"") << QString();
    QTest::newRow("test to anything")
        << "tests/link/Foo.cpp"
        << QByteArray("#include \"usbio/sim/SimBus.h\"\n#include <unistd.h>") << QString();
    QTest::newRow("fuzz target to what it fuzzes and the tests' support")
        << "fuzz/fuzz_x.cpp"
        << QByteArray("#include \"dialogue/IncomingLines.h\"\n#include "
                      "\"tests/support/FakeWindowPort.h\"")
        << QString();
    QTest::newRow("registry probe to the generation table")
        << "registry/Foo.cpp" << QByteArray("#include \"generations/GenerationTable.h\"")
        << QString();
    QTest::newRow("libusb backend to POSIX")
        << "usbio/libusb/Foo.cpp" << QByteArray("#include <poll.h>") << QString();
    QTest::newRow("platform to POSIX")
        << "platform/Foo.cpp" << QByteArray("#  include <sys/socket.h>") << QString();
    QTest::newRow("Qt and the standard library")
        << "registry/Foo.cpp"
        << QByteArray("#include <QFile>\n#include <cstdio>\n#include <csignal>") << QString();
    QTest::newRow("moc output beside a test")
        << "tests/app/tst_x.cpp" << QByteArray("#include \"tst_x.moc\"") << QString();
    QTest::newRow("commented out")
        << "link/Foo.cpp" << QByteArray("// #include \"usbio/sim/SimBus.h\"") << QString();

    // Refused.
    QTest::newRow("link to a backend")
        << "link/Foo.cpp" << QByteArray("#include \"usbio/sim/SimBus.h\"")
        << "link may not include usbio/sim";
    QTest::newRow("contract to the device model")
        << "usbio/Component.cpp" << QByteArray("#include \"usbio/devicemodel/VemoIdentity.h\"")
        << "usbio may not include usbio/devicemodel";
    QTest::newRow("contract to the key store")
        << "usbio/Backend.cpp" << QByteArray("#include \"registry/KeyStore.h\"")
        << "usbio may not include registry";
    QTest::newRow("dialogue to the window")
        << "dialogue/Foo.cpp" << QByteArray("#include <QString>\n\n#include \"app/Unit1.h\"")
        << "dialogue may not include app";
    QTest::newRow("download to the link")
        << "download/Foo.cpp" << QByteArray("#include \"link/VemoUSBinterface.h\"")
        << "download may not include link";
    QTest::newRow("generation table to the device model")
        << "generations/Foo.cpp" << QByteArray("#include \"usbio/devicemodel/VemoIdentity.h\"")
        << "generations may not include usbio/devicemodel";
    QTest::newRow("registry to platform")
        << "registry/Foo.cpp" << QByteArray("#include \"platform/HostServices.h\"")
        << "registry may not include platform";
    QTest::newRow("backend to the other backend")
        << "usbio/sim/Foo.cpp" << QByteArray("#include \"usbio/libusb/LibusbDevice.h\"")
        << "usbio/sim may not include usbio/libusb";
    QTest::newRow("program to a test")
        << "app/Foo.cpp" << QByteArray("#include \"tests/support/TestBytes.h\"")
        << "app may not include tests";
    QTest::newRow("test to a fuzz target")
        << "tests/app/Foo.cpp" << QByteArray("#include \"fuzz/FuzzInput.h\"")
        << "tests may not include fuzz";
    QTest::newRow("sockets in a fuzz target")
        << "fuzz/fuzz_x.cpp" << QByteArray("#include <sys/socket.h>") << "host header";
    QTest::newRow("a folder no row holds")
        << "link/Foo.cpp" << QByteArray("#include \"widgets/Button.h\"") << "no folder";
    QTest::newRow("file in a folder with no row")
        << "gadgets/Foo.cpp" << QByteArray() << "no row in the layer table";
    QTest::newRow("unistd outside platform")
        << "registry/Foo.cpp" << QByteArray("#include <unistd.h>") << "host header";
    QTest::newRow("fcntl in the link")
        << "link/Foo.cpp" << QByteArray("#include <fcntl.h>") << "host header";
    QTest::newRow("sys/ in the key store")
        << "registry/Foo.cpp" << QByteArray("#include <sys/stat.h>") << "host header";
    QTest::newRow("linux/ in the simulated backend")
        << "usbio/sim/Foo.cpp" << QByteArray("#include <linux/usbdevice_fs.h>") << "host header";
    QTest::newRow("sockets in the download")
        << "download/Foo.cpp" << QByteArray("#include <arpa/inet.h>") << "host header";
}

void TestLayers::rules()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, text);
    QFETCH(QString, violation);

    const QList<IncludeViolation> found = IncludeRules::check(file, text);
    if (violation.isEmpty()) {
        QVERIFY2(found.isEmpty(), qPrintable(IncludeRules::describe(found)));
        return;
    }
    QCOMPARE(found.size(), 1);
    QVERIFY2(found.first().why.contains(violation), qPrintable(IncludeRules::describe(found)));
    QCOMPARE(found.first().file, file);
    // The line of the include, so the report leads to it.
    if (!text.isEmpty())
        QCOMPARE(found.first().line, text.count('\n') + 1);
}

QTEST_GUILESS_MAIN(TestLayers)
#include "tst_layers.moc"
