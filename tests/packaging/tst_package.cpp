// The Debian package as CPack makes it of the built tree: its name and
// control fields, exactly the files it installs, lintian's verdict, and the
// program unpacked into a scratch root and run from there, away from the
// source and build folders.

#include "tests/packaging/ToolRun.h"

#include <QColor>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The files under root, as paths relative to it.
QStringList filesUnder(const QString &root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(root).relativeFilePath(it.next());
    files.sort();
    return files;
}

// The environment of a production line: no display, its own key store and
// temporary folder.
QProcessEnvironment lineEnvironment(const QString &folder)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "VEMO_REGISTRY"})
        environment.remove(QLatin1String(name));
    environment.insert(QStringLiteral("TMPDIR"), folder);
    environment.insert(QStringLiteral("HOME"), folder);
    return environment;
}

} // namespace

class TestPackage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void nameAndControlFields();
    void installsExactlyItsFiles();
    void iconsAreTheWindowsIcon();
    void lintianFindsNoError();
    void installedProgramAnswers();
    void installedProgramWritesASerialNumber();
    void installedProgramLoadsAndCalibrates();
    void installedProgramReadsNothingOfTheSourceTree();

private:
    QString installed(const QString &path) const { return m_root + QLatin1Char('/') + path; }
    QString scratch(const QString &name) const { return m_dir->filePath(name); }
    ToolRun runInstalled(const QStringList &arguments) const;

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_deb;
    QString m_root;
    QString m_dpkgDeb;
};

void TestPackage::initTestCase()
{
    m_dpkgDeb = ToolRun::find(QStringLiteral("dpkg-deb"));
    for (const char *tool : {"dpkg-deb", "dpkg-shlibdeps", "file"})
        if (ToolRun::find(QLatin1String(tool)).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is not installed (packages dpkg-dev, file): no "
                                            "Debian package can be made")
                                 .arg(QLatin1String(tool))));

    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());

    // The package of the tree this suite was built in, as `cpack -G DEB`
    // makes it there: nothing is built again.
    const ToolRun cpack =
        ToolRun::run(QStringLiteral(VEMO_CPACK),
                     {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("--config"),
                      QStringLiteral(VEMO_BUILD_DIR "/CPackConfig.cmake"), QStringLiteral("-B"),
                      scratch(QStringLiteral("package"))},
                     QProcessEnvironment::systemEnvironment(), m_dir->path(), 600000);
    QVERIFY2(cpack.succeeded(), qPrintable(cpack.describe()));
    const QStringList debs =
        QDir(scratch(QStringLiteral("package"))).entryList({QStringLiteral("*.deb")}, QDir::Files);
    QCOMPARE(debs.size(), 1);
    m_deb = scratch(QStringLiteral("package/") + debs.first());

    m_root = scratch(QStringLiteral("root"));
    const ToolRun unpack = ToolRun::run(m_dpkgDeb, {QStringLiteral("-x"), m_deb, m_root});
    QVERIFY2(unpack.succeeded(), qPrintable(unpack.describe()));
}

void TestPackage::nameAndControlFields()
{
    const ToolRun arch =
        ToolRun::run(QStringLiteral("dpkg"), {QStringLiteral("--print-architecture")});
    QVERIFY2(arch.succeeded(), qPrintable(arch.describe()));
    QCOMPARE(QFileInfo(m_deb).fileName(), QStringLiteral("vemotool_" VEMO_PROJECT_VERSION "_%1.deb")
                                              .arg(QString::fromUtf8(arch.out.trimmed())));

    QHash<QString, QString> fields;
    for (const char *field : {"Package", "Version", "Architecture", "Depends", "Section"}) {
        const ToolRun run =
            ToolRun::run(m_dpkgDeb, {QStringLiteral("-f"), m_deb, QLatin1String(field)});
        QVERIFY2(run.succeeded(), qPrintable(run.describe()));
        fields.insert(QLatin1String(field), QString::fromUtf8(run.out.trimmed()));
    }
    QCOMPARE(fields.value(QStringLiteral("Package")), QStringLiteral("vemotool"));
    QCOMPARE(fields.value(QStringLiteral("Version")), QStringLiteral(VEMO_PROJECT_VERSION));
    QCOMPARE(fields.value(QStringLiteral("Architecture")), QString::fromUtf8(arch.out.trimmed()));
    // The libraries the program links, found by dpkg-shlibdeps, with versions.
    const QString depends = fields.value(QStringLiteral("Depends"));
    for (const char *library : {"libc6", "libqt6widgets6", "libqt6printsupport6", "libusb-1.0-0",
                                "libcurl4", "libcups2"}) {
        const QRegularExpression named(
            QStringLiteral("(^|, )%1 \\(>= [^)]+\\)")
                .arg(QRegularExpression::escape(QLatin1String(library))));
        QVERIFY2(named.match(depends).hasMatch(), qPrintable(library + (": " + depends)));
    }
}

void TestPackage::installsExactlyItsFiles()
{
    const QString id = QStringLiteral(VEMO_APP_ID);
    QStringList expected{
        QStringLiteral("usr/bin/vemotool"),
        QStringLiteral("usr/lib/udev/rules.d/70-vemo-usb.rules"),
        QStringLiteral("usr/share/applications/%1.desktop").arg(id),
        QStringLiteral("usr/share/metainfo/%1.metainfo.xml").arg(id),
        QStringLiteral("usr/share/man/man1/vemotool.1.gz"),
        QStringLiteral("usr/share/doc/vemotool/copyright"),
        QStringLiteral("usr/share/doc/vemotool/changelog.gz"),
    };
    // What menus, docks and software centres ask for.
    for (const int size : {16, 24, 32, 48, 64, 128, 256})
        expected << QStringLiteral("usr/share/icons/hicolor/%1x%1/apps/%2.png").arg(size).arg(id);
    expected.sort();
    QCOMPARE(filesUnder(m_root), expected);

    QVERIFY(QFileInfo(installed(QStringLiteral("usr/bin/vemotool"))).isExecutable());
    // udev reads the rule as the build made it.
    QCOMPARE(readFile(installed(QStringLiteral("usr/lib/udev/rules.d/70-vemo-usb.rules"))),
             readFile(QStringLiteral(VEMO_BUILD_DIR "/packaging/70-vemo-usb.rules")));
    // The desktop entry starts the program the package installs.
    const QString entry = QString::fromUtf8(
        readFile(installed(QStringLiteral("usr/share/applications/%1.desktop").arg(id))));
    QVERIFY2(entry.contains(QRegularExpression(QStringLiteral("^Exec=vemotool "),
                                               QRegularExpression::MultilineOption)),
             qPrintable(entry));
}

void TestPackage::iconsAreTheWindowsIcon()
{
    // Each icon is as large as its folder says, and is the window's own
    // picture: at 32 px the same pixels, but the surroundings of the tile,
    // which are transparent.
    const QImage window(QStringLiteral(VEMO_SOURCE_DIR "/app/icon.png"));
    QCOMPARE(window.size(), QSize(32, 32));
    QDirIterator it(installed(QStringLiteral("usr/share/icons/hicolor")), {QStringLiteral("*.png")},
                    QDir::Files, QDirIterator::Subdirectories);
    int seen = 0;
    while (it.hasNext()) {
        const QString path = it.next();
        const QImage icon(path);
        const int size =
            path.section(QLatin1Char('/'), -3, -3).section(QLatin1Char('x'), 0, 0).toInt();
        QVERIFY2(!icon.isNull() && icon.size() == QSize(size, size), qPrintable(path));
        QVERIFY2(icon.hasAlphaChannel(), qPrintable(path));
        ++seen;
        if (size != 32)
            continue;
        int transparent = 0;
        for (int y = 0; y < 32; ++y) {
            for (int x = 0; x < 32; ++x) {
                const QRgb pixel = icon.pixel(x, y);
                if (qAlpha(pixel) == 0) {
                    ++transparent;
                    QCOMPARE(window.pixel(x, y), window.pixel(0, 0));
                } else {
                    QCOMPARE(pixel, window.pixel(x, y));
                }
            }
        }
        // The four rounded corners, nothing of the tile.
        QVERIFY2(transparent > 4 && transparent < 64, qPrintable(QString::number(transparent)));
    }
    QCOMPARE(seen, 7);
}

void TestPackage::lintianFindsNoError()
{
    const QString lintian = ToolRun::find(QStringLiteral("lintian"));
    if (lintian.isEmpty())
        QSKIP("lintian is not installed (package lintian)");
    const ToolRun run =
        ToolRun::run(lintian,
                     {QStringLiteral("--fail-on"), QStringLiteral("error"),
                      QStringLiteral("--display-info"), QStringLiteral("--pedantic"), m_deb},
                     QProcessEnvironment::systemEnvironment(), QString(), 600000);
    // Every remark shows in the test's log; only errors fail it.
    qInfo().noquote() << "lintian:\n" << run.out;
    QVERIFY2(run.succeeded(), qPrintable(run.describe()));
    static const QRegularExpression error(QStringLiteral("^E: "),
                                          QRegularExpression::MultilineOption);
    QVERIFY2(!error.match(QString::fromUtf8(run.out)).hasMatch(), run.out.constData());
}

ToolRun TestPackage::runInstalled(const QStringList &arguments) const
{
    // Run from the scratch folder, with the system's libraries only.
    QProcessEnvironment environment = lineEnvironment(m_dir->path());
    environment.remove(QStringLiteral("LD_LIBRARY_PATH"));
    return ToolRun::run(installed(QStringLiteral("usr/bin/vemotool")), arguments, environment,
                        m_dir->path(), 120000);
}

void TestPackage::installedProgramAnswers()
{
    const ToolRun version = runInstalled({QStringLiteral("--version")});
    QVERIFY2(version.succeeded(), qPrintable(version.describe()));
    QCOMPARE(version.out, QByteArray("vemotool " VEMO_PROJECT_VERSION "\n"));

    const ToolRun help = runInstalled({QStringLiteral("--help")});
    QVERIFY2(help.succeeded(), qPrintable(help.describe()));
    QVERIFY2(help.out.startsWith("Usage: vemotool "), help.out.constData());
    QVERIFY2(help.out.contains("see vemotool(1)"), help.out.constData());
}

void TestPackage::installedProgramWritesASerialNumber()
{
    const QByteArray sim = QStringLiteral(R"({ "devices": [ { "generation": "Vemo2",
        "serial": "000004711", "stateFile": "%1" } ] })")
                               .arg(scratch(QStringLiteral("serial-state.json")))
                               .toUtf8();
    QVERIFY(writeFile(scratch(QStringLiteral("serial.json")), sim));

    const ToolRun run =
        runInstalled({QStringLiteral("--batch"),
                      QStringLiteral("--sim=") + scratch(QStringLiteral("serial.json")),
                      QStringLiteral("--registry=") + scratch(QStringLiteral("registry.json")),
                      QStringLiteral("--log-file=-"), QStringLiteral("/SERIAL123456789")});
    QVERIFY2(run.succeeded(), qPrintable(run.describe() + QString::fromUtf8(run.out)));
    QVERIFY2(run.out.contains("serial number written: 123456789"), run.out.constData());
    const QJsonObject state =
        QJsonDocument::fromJson(readFile(scratch(QStringLiteral("serial-state.json")))).object();
    QCOMPARE(state.value(QStringLiteral("serial")).toString(), QStringLiteral("123456789"));
}

void TestPackage::installedProgramLoadsAndCalibrates()
{
    // The certificate needs the report and the logo the program carries in
    // itself; the image is loaded through the simulated loader.
    const QByteArray image = readFile(QStringLiteral(VEMO_SOURCE_DIR "/examples/vemo2.bin"));
    QVERIFY(!image.isEmpty());
    QVERIFY(writeFile(scratch(QStringLiteral("vemo2.bin")), image));
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("certificates")));
    const QByteArray sim = QStringLiteral(R"({ "devices": [ { "generation": "Vemo2",
        "serial": "000004711", "restartDelayMs": 100, "eraseDelayMs": 100,
        "loaderAnnouncesBlank": true, "imageFolder": "%1" } ] })")
                               .arg(scratch(QStringLiteral("images")))
                               .toUtf8();
    QVERIFY(writeFile(scratch(QStringLiteral("line.json")), sim));

    const ToolRun run = runInstalled(
        {QStringLiteral("--batch"), QStringLiteral("--sim=") + scratch(QStringLiteral("line.json")),
         QStringLiteral("--registry=") + scratch(QStringLiteral("registry.json")),
         QStringLiteral("--print-to=") + scratch(QStringLiteral("certificates")),
         QStringLiteral("vemo2.bin"), QStringLiteral("/CALIBRATE")});
    QVERIFY2(run.succeeded(), qPrintable(run.describe()));

    const QStringList images = QDir(scratch(QStringLiteral("images"))).entryList(QDir::Files);
    QCOMPARE(images.size(), 1);
    QVERIFY(readFile(scratch(QStringLiteral("images/")) + images.first()) == image);
    const QStringList certificates =
        QDir(scratch(QStringLiteral("certificates"))).entryList({QStringLiteral("*.pdf")});
    QCOMPARE(certificates.size(), 1);
    QVERIFY(readFile(scratch(QStringLiteral("certificates/")) + certificates.first())
                .startsWith("%PDF-"));
}

void TestPackage::installedProgramReadsNothingOfTheSourceTree()
{
    // A path into the source or build tree compiled into the program would
    // be read from there at run time. A sanitized build names its source
    // files for its reports; nothing else may appear.
    const QByteArray program = readFile(installed(QStringLiteral("usr/bin/vemotool")));
    QVERIFY(!program.isEmpty());
    const QByteArray tree = QByteArray(VEMO_SOURCE_DIR) + '/';
    static const QRegularExpression sourceFile(QStringLiteral("\\.(cpp|h|cc|hpp)$"));
    for (qsizetype at = program.indexOf(tree); at >= 0; at = program.indexOf(tree, at + 1)) {
        const qsizetype end = program.indexOf('\0', at);
        const QString path = QString::fromUtf8(program.mid(at, end - at));
        QVERIFY2(sourceFile.match(path).hasMatch(), qPrintable(path));
    }
}

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
