// Which Qt each layer is built against, as the build itself says it: a small
// file compiled with the very command line a layer's own sources get
// (compile_commands.json of this build). The device dialogue, the link and
// the download compile without Qt Widgets, so that a message box or any
// other widget there does not compile; only the program's shell (app) and
// the desktop's host services see widgets.

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kSourceDir = QStringLiteral(VEMO_SOURCE_DIR);
const QString kBinaryDir = QStringLiteral(VEMO_BINARY_DIR);

// How the build compiles one source of target: its folder and command line.
struct CompileCommand
{
    QString directory;
    QString command;
    QString source; // as the command names it
    QString object; // as the command names it
};

// The command of the first C++ source in folder (from the source root) that
// target compiles; empty when the build has none.
CompileCommand commandOf(const QString &target, const QString &folder)
{
    QFile file(kBinaryDir + QStringLiteral("/compile_commands.json"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QString objectFolder = QStringLiteral("/CMakeFiles/%1.dir/").arg(target);
    const QString sourceFolder = QDir(kSourceDir).filePath(folder) + QLatin1Char('/');
    static const QRegularExpression output(QStringLiteral("\\s-o\\s+(\\S+)"));
    static const QRegularExpression input(QStringLiteral("\\s-c\\s+(\\S+)"));
    const QJsonArray entries = QJsonDocument::fromJson(file.readAll()).array();
    for (const QJsonValue &value : entries) {
        const QJsonObject entry = value.toObject();
        const QString command = entry.value(QLatin1String("command")).toString();
        const QString source = entry.value(QLatin1String("file")).toString();
        if (!source.startsWith(sourceFolder) || !source.endsWith(QLatin1String(".cpp")) ||
            source.contains(QLatin1String("_autogen")))
            continue;
        const QRegularExpressionMatch out = output.match(command);
        const QRegularExpressionMatch in = input.match(command);
        if (!out.hasMatch() || !in.hasMatch() || !out.captured(1).contains(objectFolder))
            continue;
        return {entry.value(QLatin1String("directory")).toString(), command, in.captured(1),
                out.captured(1)};
    }
    return {};
}

struct Compilation
{
    bool compiled = false;
    QString output;
};

// Compiles text as one more source of the command's target.
Compilation compileAs(const CompileCommand &how, const QByteArray &text, const QTemporaryDir &dir)
{
    const QString probe = dir.filePath(QStringLiteral("probe.cpp"));
    QFile file(probe);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
        return {false, QStringLiteral("cannot write ") + probe};
    file.close();
    QString command = how.command;
    command.replace(QStringLiteral(" -o ") + how.object,
                    QStringLiteral(" -o ") + dir.filePath(QStringLiteral("probe.o")));
    command.replace(QStringLiteral(" -c ") + how.source, QStringLiteral(" -c ") + probe);
    QProcess compiler;
    compiler.setWorkingDirectory(how.directory);
    compiler.setProcessChannelMode(QProcess::MergedChannels);
    compiler.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
    if (!compiler.waitForFinished(300000))
        return {false, QStringLiteral("the compiler did not finish: ") + command};
    return {compiler.exitStatus() == QProcess::NormalExit && compiler.exitCode() == 0,
            command + QLatin1Char('\n') + QString::fromLocal8Bit(compiler.readAll())};
}

} // namespace

class TestQtModules : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void layerCompilesAgainst_data();
    void layerCompilesAgainst();

private:
    QTemporaryDir m_dir;
};

void TestQtModules::layerCompilesAgainst_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("compiles");
    QTest::addColumn<QString>("refusalNames"); // what the compiler's refusal names

    // What a layer without widgets uses: Qt Core and the seam to the host.
    const QByteArray core = "#include <QObject>\n"
                            "#include \"platform/HostServices.h\"\n"
                            "int probe() { return platform::MB_OK; }\n";
    // Qt Widgets nowhere on the command line, not even its macro.
    const QByteArray noWidgetsMacro = "#ifdef QT_WIDGETS_LIB\n"
                                      "#error QT_WIDGETS_LIB is defined\n"
                                      "#endif\n"
                                      "int probe() { return 0; }\n";
    const QByteArray messageBox = "#include <QMessageBox>\n";
    const QByteArray widget = "#include <QWidget>\n";
    const QByteArray desktopHost = "#include \"platform/QtHostServices.h\"\n";

    const QList<QPair<const char *, const char *>> widgetFree{
        {"vemo_dialogue", "dialogue"}, {"vemo_link", "link"}, {"vemo_download", "download"}};
    for (const auto &[target, folder] : widgetFree) {
        auto row = [&](const char *what) -> QTestData & {
            return QTest::addRow("%s: %s", folder, what);
        };
        row("Qt Core and the host seam") << target << folder << core << true << QString();
        row("no widgets macro") << target << folder << noWidgetsMacro << true << QString();
        row("a message box") << target << folder << messageBox << false << "QMessageBox";
        row("a widget") << target << folder << widget << false << "QWidget";
        row("the desktop's host services")
            << target << folder << desktopHost << false << "QtHostServices.h";
    }
    // The station's core (its sockets, runs and the headless station) needs
    // no display; only its window sees widgets.
    QTest::newRow("station core: Qt Core")
        << "vemo_station_core"
        << "station" << QByteArray("#include <QProcess>\nint probe() { return 0; }\n") << true
        << QString();
    QTest::newRow("station core: no widgets macro")
        << "vemo_station_core"
        << "station" << noWidgetsMacro << true << QString();
    QTest::newRow("station core: a widget") << "vemo_station_core"
                                            << "station" << widget << false << "QWidget";
    QTest::newRow("station: a widget")
        << "vemo_station"
        << "station" << QByteArray(widget + "int probe() { return 0; }\n") << true << QString();
    // The link is below every picture too.
    QTest::newRow("link: Qt Gui") << "vemo_link"
                                  << "link" << QByteArray("#include <QGuiApplication>\n") << false
                                  << "QGuiApplication";
    // The shell, by contrast, sees them: the probe tells the two apart.
    QTest::newRow("app: a message box")
        << "vemo_app"
        << "app" << QByteArray(messageBox + "int probe() { return 0; }\n") << true << QString();
    QTest::newRow("app: the desktop's host services")
        << "vemo_app"
        << "app" << QByteArray(desktopHost + "int probe() { return 0; }\n") << true << QString();
}

void TestQtModules::layerCompilesAgainst()
{
    QFETCH(QString, target);
    QFETCH(QString, folder);
    QFETCH(QByteArray, text);
    QFETCH(bool, compiles);
    QFETCH(QString, refusalNames);

    QVERIFY(m_dir.isValid());
    const CompileCommand how = commandOf(target, folder);
    QVERIFY2(!how.command.isEmpty(),
             qPrintable(QStringLiteral("no compile command of %1 in %2/compile_commands.json")
                            .arg(target, kBinaryDir)));
    const Compilation result = compileAs(how, text, m_dir);
    QVERIFY2(result.compiled == compiles, qPrintable(result.output));
    if (!compiles)
        QVERIFY2(result.output.contains(refusalNames), qPrintable(result.output));
}

QTEST_GUILESS_MAIN(TestQtModules)
#include "tst_qtmodules.moc"
