// The udev rule that lets the logged-in user open the Vemo devices: it names
// the vendor and the three products the libusb backend looks for, and the
// install target puts it where udev reads it.

#include "usbio/devicemodel/VemoIdentity.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
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

} // namespace

class TestUdevRule : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void namesTheVendorsThreeProducts();
    void installTargetPutsItWhereUdevReadsIt();
};

void TestUdevRule::namesTheVendorsThreeProducts()
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
    QCOMPARE(QSet<QString>(products.cbegin(), products.cend()),
             (QSet<QString>{hex4(productId(Generation::Vemo)), hex4(productId(Generation::Vemo2)),
                            hex4(productId(Generation::Vemo3))}));
    // The seat rules (73-seat-late) turn the tag into access for the user
    // logged in; they only see it when this rule comes first.
    QCOMPARE(match(rule, QStringLiteral("TAG"), QStringLiteral("+=")), QStringLiteral("uaccess"));
    QVERIFY(QFileInfo(QStringLiteral(VEMO_UDEV_RULE)).fileName().left(2).toInt() < 73);
}

void TestUdevRule::installTargetPutsItWhereUdevReadsIt()
{
    QTemporaryDir root;
    QProcess install;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DESTDIR"), root.path());
    install.setProcessEnvironment(environment);
    install.start(QStringLiteral(VEMO_CMAKE),
                  {QStringLiteral("--install"), QStringLiteral(VEMO_BUILD_DIR),
                   QStringLiteral("--prefix"), QStringLiteral("/usr/local")});
    QVERIFY(install.waitForFinished(60000));
    QVERIFY2(install.exitCode() == 0, install.readAllStandardError().constData());
    QFile installed(root.filePath(QStringLiteral("etc/udev/rules.d/70-vemo-usb.rules")));
    QVERIFY(installed.open(QIODevice::ReadOnly));
    QFile source(QStringLiteral(VEMO_UDEV_RULE));
    QVERIFY(source.open(QIODevice::ReadOnly));
    QCOMPARE(installed.readAll(), source.readAll());
    QVERIFY(QFileInfo::exists(root.filePath(QStringLiteral("usr/local/bin/vemotool"))));
}

QTEST_GUILESS_MAIN(TestUdevRule)
#include "tst_usbio_udevrule.moc"
