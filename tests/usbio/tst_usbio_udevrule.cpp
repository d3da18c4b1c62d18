// The udev rule that lets the logged-in user open the Vemo devices, as the
// build makes it from the generation table: it names the vendor and the
// product of every generation, which the libusb backend looks for; the
// install target puts it where udev reads it, and udev takes it without an
// error.

#include "generations/GenerationTable.h"
#include "usbio/devicemodel/VemoIdentity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace usbio;

namespace {

QString hex4(quint16 id)
{
    return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0'));
}

// The rule's lines, without comments and blank lines.
QStringList ruleLines()
{
    QFile file(QStringLiteral(VEMO_UDEV_RULE));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QString text = QString::fromUtf8(line).trimmed();
        if (!text.isEmpty() && !text.startsWith(QLatin1Char('#')))
            lines << text;
    }
    return lines;
}

// The value of key OP "value" in a rule line.
QString match(const QString &line, const QString &key, const QString &op)
{
    const QRegularExpression pattern(QRegularExpression::escape(key + op) +
                                     QStringLiteral("\"([^\"]*)\""));
    return pattern.match(line).captured(1);
}

QString runOutput(QProcess &process)
{
    return QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
}

// What udev says of a rules file: whether it could be asked, and the
// errors it found (empty: accepted). udev from version 253 checks a file
// with `udevadm verify`; before, `udevadm test` reads every rules folder and
// names each error by file and line, so as root the file is put alone into
// a folder that a private mount lays over /etc/udev/rules.d (unshare -m: the
// host's own rules and mounts stay untouched).
struct UdevVerdict
{
    QString cannotAsk; // why udev could not be asked; empty when it was
    QString errors;
};

UdevVerdict askUdev(const QString &rulesFile)
{
    const QString udevadm = QStandardPaths::findExecutable(QStringLiteral("udevadm"));
    if (udevadm.isEmpty())
        return {QStringLiteral("udevadm is not installed (package udev)"), QString()};

    QProcess verify;
    verify.start(udevadm, {QStringLiteral("verify"), QStringLiteral("--help")});
    if (verify.waitForFinished(30000) && verify.exitCode() == 0) {
        verify.start(udevadm, {QStringLiteral("verify"), rulesFile});
        if (!verify.waitForFinished(60000))
            return {QStringLiteral("udevadm verify did not finish"), QString()};
        const QString output = runOutput(verify);
        return {QString(), verify.exitCode() == 0 ? QString() : output};
    }

    QProcess probe;
    probe.start(QStringLiteral("unshare"), {QStringLiteral("-m"), QStringLiteral("true")});
    if (!probe.waitForFinished(30000) || probe.exitStatus() != QProcess::NormalExit ||
        probe.exitCode() != 0)
        return {QStringLiteral("udevadm has no verify and a private mount needs root: ") +
                    runOutput(probe).trimmed(),
                QString()};

    QTemporaryDir folder;
    const QString name = QFileInfo(rulesFile).fileName();
    QFile::copy(rulesFile, folder.filePath(name));
    QProcess test;
    test.start(QStringLiteral("unshare"),
               {QStringLiteral("-m"), QStringLiteral("sh"), QStringLiteral("-c"),
                QStringLiteral("mount --bind \"$1\" /etc/udev/rules.d && exec \"$2\" test "
                               "/sys/class/net/lo"),
                QStringLiteral("sh"), folder.path(), udevadm});
    if (!test.waitForFinished(60000))
        return {QStringLiteral("udevadm test did not finish"), QString()};
    const QString output = runOutput(test);
    const QString path = QStringLiteral("/etc/udev/rules.d/") + name;
    if (!output.contains(QStringLiteral("Reading rules file: ") + path))
        return {QStringLiteral("udevadm test did not read the rule:\n") + output, QString()};
    QStringList errors;
    for (const QString &line : output.split(QLatin1Char('\n')))
        if (line.startsWith(path + QLatin1Char(':')))
            errors << line;
    return {QString(), errors.join(QLatin1Char('\n'))};
}

} // namespace

class TestUdevRule : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void namesTheProductOfEveryGeneration();
    void installTargetPutsItWhereUdevReadsIt_data();
    void installTargetPutsItWhereUdevReadsIt();
    void udevTakesTheRule_data();
    void udevTakesTheRule();
};

void TestUdevRule::namesTheProductOfEveryGeneration()
{
    const QStringList lines = ruleLines();
    QCOMPARE(lines.size(), 1);
    const QString rule = lines.first();
    QCOMPARE(match(rule, QStringLiteral("SUBSYSTEM"), QStringLiteral("==")), QStringLiteral("usb"));
    QCOMPARE(match(rule, QStringLiteral("ENV{DEVTYPE}"), QStringLiteral("==")),
             QStringLiteral("usb_device"));
    QCOMPARE(match(rule, QStringLiteral("ATTR{idVendor}"), QStringLiteral("==")), hex4(kVendorId));
    const QStringList products =
        match(rule, QStringLiteral("ATTR{idProduct}"), QStringLiteral("==")).split('|');
    QSet<QString> expected;
    for (const generations::Descriptor &generation : generations::table().rows())
        expected.insert(hex4(generation.productId));
    QCOMPARE(QSet<QString>(products.cbegin(), products.cend()), expected);
    // The seat rules (73-seat-late) turn the tag into access for the user
    // logged in; they only see it when this rule comes first.
    QCOMPARE(match(rule, QStringLiteral("TAG"), QStringLiteral("+=")), QStringLiteral("uaccess"));
    QVERIFY(QFileInfo(QStringLiteral(VEMO_UDEV_RULE)).fileName().left(2).toInt() < 73);
}

void TestUdevRule::installTargetPutsItWhereUdevReadsIt_data()
{
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("rulesFolder"); // where udev reads it, below the root

    // The package's place, and that of an installation from the source:
    // udev reads both (never /usr/local/etc or /opt).
    QTest::newRow("package") << "/usr"
                             << "usr/lib/udev/rules.d";
    QTest::newRow("from the source") << "/usr/local"
                                     << "usr/local/lib/udev/rules.d";
}

void TestUdevRule::installTargetPutsItWhereUdevReadsIt()
{
    QFETCH(QString, prefix);
    QFETCH(QString, rulesFolder);

    QTemporaryDir root;
    QProcess install;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DESTDIR"), root.path());
    install.setProcessEnvironment(environment);
    install.start(QStringLiteral(VEMO_CMAKE),
                  {QStringLiteral("--install"), QStringLiteral(VEMO_BUILD_DIR),
                   QStringLiteral("--prefix"), prefix});
    QVERIFY(install.waitForFinished(60000));
    QVERIFY2(install.exitCode() == 0, install.readAllStandardError().constData());
    QFile installed(root.filePath(rulesFolder + QStringLiteral("/70-vemo-usb.rules")));
    QVERIFY(installed.open(QIODevice::ReadOnly));
    QFile source(QStringLiteral(VEMO_UDEV_RULE));
    QVERIFY(source.open(QIODevice::ReadOnly));
    QCOMPARE(installed.readAll(), source.readAll());
    QVERIFY(QFileInfo::exists(root.filePath(prefix.mid(1) + QStringLiteral("/bin/vemotool"))));
    // Nothing goes outside the prefix.
    QCOMPARE(QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("usr")});
}

void TestUdevRule::udevTakesTheRule_data()
{
    QTest::addColumn<QByteArray>("rule"); // empty: the rule the build made
    QTest::addColumn<QString>("error");   // a piece of udev's error; empty: accepted

    QTest::newRow("the Vemo rule") << QByteArray() << QString();
    // The check itself finds a fault, and says where.
    QTest::newRow("an unknown key")
        << QByteArray("# a comment\n"
                      "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"5e1a\", IDVENDOR==\"5e1a\", "
                      "TAG+=\"uaccess\"\n")
        << "70-vemo-usb.rules:2";
}

void TestUdevRule::udevTakesTheRule()
{
    QFETCH(QByteArray, rule);
    QFETCH(QString, error);

    QString file = QStringLiteral(VEMO_UDEV_RULE);
    QTemporaryDir folder;
    if (!rule.isEmpty()) {
        file = folder.filePath(QStringLiteral("70-vemo-usb.rules"));
        QFile broken(file);
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write(rule);
    }
    const UdevVerdict verdict = askUdev(file);
    if (!verdict.cannotAsk.isEmpty())
        QSKIP(qPrintable(verdict.cannotAsk));
    if (error.isEmpty())
        QVERIFY2(verdict.errors.isEmpty(), qPrintable(verdict.errors));
    else
        QVERIFY2(verdict.errors.contains(error), qPrintable(verdict.errors));
}

QTEST_GUILESS_MAIN(TestUdevRule)
#include "tst_usbio_udevrule.moc"
