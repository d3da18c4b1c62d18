// What the desktop reads of the program: the desktop entry and the AppStream
// metainfo as their validators take them, and the manual page as groff
// renders it, held against what the program itself says in --help and the
// generation table.

#include "app/ProgramOptions.h"
#include "generations/GenerationTable.h"
#include "tests/packaging/ToolRun.h"
#include "usbio/devicemodel/VemoIdentity.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTest>
#include <QXmlStreamReader>

using namespace usbio;

namespace {

QString hex4Upper(quint16 id)
{
    return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')).toUpper();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The option names in an option's heading: "-h, --help" gives -h and
// --help, "--usb=sim|libusb" and "--usb={sim|libusb}" give --usb, "--" is
// itself.
QStringList optionNames(const QString &heading)
{
    static const QRegularExpression name(
        QStringLiteral("(?:^|[\\s,])(--?[A-Za-z][A-Za-z0-9-]*|--)(?=[=\\[{\\s,]|$)"));
    QStringList names;
    for (auto it = name.globalMatch(heading); it.hasNext();)
        names << it.next().captured(1);
    return names;
}

// The options --help describes: each is a line indented by two spaces that
// begins with "-" (their descriptions are indented further; the production
// command lines do not begin with "-").
QSet<QString> helpOptions(const QString &help)
{
    static const QRegularExpression line(QStringLiteral("^  (-\\S.*?)(?:\\s{2,}|$)"));
    QSet<QString> options;
    for (const QString &text : help.split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = line.match(text);
        if (match.hasMatch())
            for (const QString &option : optionNames(match.captured(1)))
                options.insert(option);
    }
    return options;
}

// The lines of one section of a rendered manual page (headings stand at
// the left margin, in capitals).
QStringList manSection(const QString &page, const QString &heading)
{
    QStringList lines;
    bool inside = false;
    for (const QString &text : page.split(QLatin1Char('\n'))) {
        const bool isHeading = !text.isEmpty() && !text.front().isSpace();
        if (isHeading)
            inside = text == heading;
        else if (inside)
            lines << text;
    }
    return lines;
}

// The headings of a section's tagged paragraphs: at the section's indent
// (seven spaces), first in the section or after a blank line; what follows
// two spaces on the same line is already the paragraph's text. (The first
// line of a plain paragraph looks the same: callers keep the headings they
// look for.)
QStringList manTags(const QStringList &section)
{
    static const QRegularExpression tag(QStringLiteral("^ {7}(\\S.*?)(?:\\s{2,}|$)"));
    QStringList tags;
    for (int i = 0; i < section.size(); ++i) {
        const QRegularExpressionMatch match = tag.match(section.at(i));
        if (match.hasMatch() && (i == 0 || section.at(i - 1).trimmed().isEmpty()))
            tags << match.captured(1);
    }
    return tags;
}

// The exit statuses a text names: the single digits of its paragraph that
// begins with "Exit status".
QSet<QString> helpExitStatuses(const QString &help)
{
    const int start = help.indexOf(QLatin1String("Exit status"));
    if (start < 0)
        return {};
    int end = help.indexOf(QLatin1String("\n\n"), start);
    if (end < 0)
        end = help.size();
    static const QRegularExpression digit(QStringLiteral("(?<![\\w.-])(\\d)(?![\\w.])"));
    QSet<QString> statuses;
    for (auto it = digit.globalMatch(help.mid(start, end - start)); it.hasNext();)
        statuses.insert(it.next().captured(1));
    return statuses;
}

QString sorted(const QSet<QString> &set)
{
    QStringList list(set.cbegin(), set.cend());
    list.sort();
    return list.join(QLatin1Char(' '));
}

// The first cells of the rows of a Markdown page's tables under one heading
// ("## Options"), up to the next heading of that level or above; the
// table's heading row and its rule left out.
QStringList tableKeys(const QString &page, const QString &heading)
{
    QStringList keys;
    bool inside = false;
    bool headRow = false;
    for (const QString &line : page.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("## ")) || line.startsWith(QLatin1String("# "))) {
            inside = line == heading;
            continue;
        }
        if (!inside || !line.startsWith(QLatin1Char('|'))) {
            headRow = true; // the next table starts with its heading row
            continue;
        }
        // Cells are parted by | that is not escaped (\| inside a cell).
        const QString first =
            line.mid(1).section(QRegularExpression(QStringLiteral("(?<!\\\\)\\|")), 0, 0);
        if (headRow) {
            headRow = false;
            continue;
        }
        if (first.trimmed().startsWith(QLatin1String("---")))
            continue;
        keys << first.trimmed()
                    .remove(QLatin1Char('`'))
                    .replace(QLatin1String("\\|"), QLatin1String("|"));
    }
    return keys;
}

// Key=value lines of the [Desktop Entry] group.
QHash<QString, QString> desktopEntry(const QByteArray &text)
{
    QHash<QString, QString> keys;
    for (const QByteArray &line : text.split('\n')) {
        const QString entry = QString::fromUtf8(line).trimmed();
        const int eq = entry.indexOf(QLatin1Char('='));
        if (!entry.startsWith(QLatin1Char('#')) && eq > 0)
            keys.insert(entry.left(eq), entry.mid(eq + 1));
    }
    return keys;
}

} // namespace

class TestPackageMetadata : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void desktopEntryValidates();
    void openingAFileWithTheEntry_data();
    void openingAFileWithTheEntry();
    void metainfoValidates();
    void metainfoNamesTheDevicesAndThisRelease();
    void manPageRendersWithoutWarnings();
    void manPageDescribesEveryOptionOfHelp();
    void manPageListsEveryExitStatusOfHelp();
    void manPageAndHelpNameEveryGeneration();
    void commandLinePageDescribesEveryOptionOfHelp();
    void commandLinePageListsEveryExitStatusOfHelp();

private:
    // The manual page as a reader sees it: plain text, one paragraph a line.
    QString renderedManPage();

    QString m_help;
};

void TestPackageMetadata::initTestCase()
{
    const ToolRun help = ToolRun::run(QStringLiteral(VEMOTOOL_PATH), {QStringLiteral("--help")});
    QVERIFY2(help.succeeded(), qPrintable(help.describe()));
    m_help = QString::fromUtf8(help.out);
    // The parsers below find what they should in today's --help.
    const QSet<QString> options = helpOptions(m_help);
    for (const char *option : {"-h", "--help", "-V", "--version", "--batch", "--sim", "--"})
        QVERIFY2(options.contains(QLatin1String(option)), option);
    QVERIFY2(helpExitStatuses(m_help).contains(QStringLiteral("2")), qPrintable(m_help));
    // And the help sends the reader on to the manual page.
    QVERIFY2(m_help.contains(QLatin1String("see vemotool(1)")), qPrintable(m_help));
}

void TestPackageMetadata::desktopEntryValidates()
{
    const QString validator = ToolRun::find(QStringLiteral("desktop-file-validate"));
    if (validator.isEmpty())
        QSKIP("desktop-file-validate is not installed (package desktop-file-utils)");
    const ToolRun run = ToolRun::run(validator, {QStringLiteral(VEMO_DESKTOP_ENTRY)});
    QVERIFY2(run.succeeded(), qPrintable(run.describe()));
    // Hints and warnings too: the entry is clean.
    QVERIFY2(run.out.trimmed().isEmpty() && run.err.trimmed().isEmpty(),
             qPrintable(run.describe()));

    // The desktop finds the window's entry and icon by the application's id.
    const QHash<QString, QString> entry =
        desktopEntry(readFile(QStringLiteral(VEMO_DESKTOP_ENTRY)));
    QCOMPARE(QFileInfo(QStringLiteral(VEMO_DESKTOP_ENTRY)).fileName(),
             QStringLiteral(VEMO_APP_ID ".desktop"));
    QCOMPARE(entry.value(QStringLiteral("Icon")), QStringLiteral(VEMO_APP_ID));
    QVERIFY(entry.value(QStringLiteral("MimeType"))
                .split(QLatin1Char(';'))
                .contains(QStringLiteral("application/octet-stream")));
}

void TestPackageMetadata::openingAFileWithTheEntry_data()
{
    QTest::addColumn<QStringList>("files"); // what the desktop hands over for %f
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("from the menu: the window alone") << QStringList() << QStringList();
    QTest::newRow("an image") << QStringList{"/home/op/vemo2.bin"}
                              << QStringList{"/home/op/vemo2.bin"};
    // Never taken for an option.
    QTest::newRow("a file named like an option")
        << QStringList{"--batch"} << QStringList{"--batch"};
}

void TestPackageMetadata::openingAFileWithTheEntry()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, arguments);

    // The command line the desktop runs for the entry, %f expanded.
    const QHash<QString, QString> entry =
        desktopEntry(readFile(QStringLiteral(VEMO_DESKTOP_ENTRY)));
    QStringList command;
    for (const QString &word :
         entry.value(QStringLiteral("Exec")).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (word == QLatin1String("%f"))
            command << files;
        else
            command << word;
    }
    QVERIFY2(entry.value(QStringLiteral("Exec")).contains(QLatin1String("%f")),
             qPrintable(entry.value(QStringLiteral("Exec"))));
    QCOMPARE(command.value(0), QStringLiteral("vemotool"));

    const ProgramOptions options = ProgramOptions::parse(command);
    QCOMPARE(options.action, ProgramOptions::Action::Run);
    QVERIFY(!options.batch);
    QCOMPARE(options.programArguments, QStringList{QStringLiteral("vemotool")} + arguments);
}

void TestPackageMetadata::metainfoValidates()
{
    const QString validator = ToolRun::find(QStringLiteral("appstreamcli"));
    if (validator.isEmpty())
        QSKIP("appstreamcli is not installed (package appstream)");
    const ToolRun run =
        ToolRun::run(validator, {QStringLiteral("validate"), QStringLiteral("--no-net"),
                                 QStringLiteral("--pedantic"), QStringLiteral(VEMO_METAINFO)});
    QVERIFY2(run.succeeded(), qPrintable(run.describe()));
    // Not even a pedantic remark: each would be a line "X: id:line: tag".
    static const QRegularExpression issue(QStringLiteral("^[EWIP]: "),
                                          QRegularExpression::MultilineOption);
    QVERIFY2(!issue.match(QString::fromUtf8(run.out)).hasMatch(), qPrintable(run.describe()));
}

void TestPackageMetadata::metainfoNamesTheDevicesAndThisRelease()
{
    QXmlStreamReader xml(readFile(QStringLiteral(VEMO_METAINFO)));
    QString id;
    QString launchable;
    QSet<QString> modaliases;
    QStringList releases;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("id"))
            id = xml.readElementText();
        else if (xml.name() == QLatin1String("launchable"))
            launchable = xml.readElementText();
        else if (xml.name() == QLatin1String("modalias"))
            modaliases.insert(xml.readElementText());
        else if (xml.name() == QLatin1String("release"))
            releases << xml.attributes().value(QLatin1String("version")).toString();
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));

    QCOMPARE(id, QStringLiteral(VEMO_APP_ID));
    QCOMPARE(launchable, QStringLiteral(VEMO_APP_ID ".desktop"));
    // The newest release is the program's own version.
    QCOMPARE(releases.value(0), QStringLiteral(VEMO_PROJECT_VERSION));

    // A desktop offers the tool for exactly the devices the program serves:
    // every generation of the table.
    QSet<QString> expected;
    for (const generations::Descriptor &generation : generations::table().rows())
        expected.insert(QStringLiteral("usb:v%1p%2d*")
                            .arg(hex4Upper(kVendorId), hex4Upper(generation.productId)));
    QCOMPARE(sorted(modaliases), sorted(expected));
    // And its description names them all.
    const QString text = QString::fromUtf8(readFile(QStringLiteral(VEMO_METAINFO)));
    QVERIFY2(text.contains(generations::table().namesText()), qPrintable(text));
    QVERIFY2(!text.contains(QLatin1String("{{")), qPrintable(text)); // no marker left
}

QString TestPackageMetadata::renderedManPage()
{
    const QString groff = ToolRun::find(QStringLiteral("groff"));
    if (groff.isEmpty())
        return QString();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    // Plain text (no bold or underlining), lines long enough that no
    // paragraph heading is broken.
    const ToolRun run = ToolRun::run(groff,
                                     {QStringLiteral("-man"), QStringLiteral("-Tutf8"),
                                      QStringLiteral("-P-cbou"), QStringLiteral("-rLL=200n"),
                                      QStringLiteral("-rHY=0"), QStringLiteral(VEMO_MAN_PAGE)},
                                     environment);
    return run.succeeded() ? QString::fromUtf8(run.out) : QString();
}

void TestPackageMetadata::manPageRendersWithoutWarnings()
{
    const QString groff = ToolRun::find(QStringLiteral("groff"));
    if (groff.isEmpty())
        QSKIP("groff is not installed (package groff-base)");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    const ToolRun run =
        ToolRun::run(groff,
                     {QStringLiteral("-man"), QStringLiteral("-Tutf8"), QStringLiteral("-ww"),
                      QStringLiteral("-z"), QStringLiteral(VEMO_MAN_PAGE)},
                     environment);
    QVERIFY2(run.succeeded(), qPrintable(run.describe()));
    QVERIFY2(run.err.isEmpty(), qPrintable(run.describe()));

    const QString page = renderedManPage();
    QVERIFY(page.contains(QLatin1String("vemotool " VEMO_PROJECT_VERSION)));
    for (const char *section : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS",
                                "PRODUCTION COMMAND LINES", "EXIT STATUS", "ENVIRONMENT", "FILES"})
        QVERIFY2(!manSection(page, QLatin1String(section)).isEmpty(), section);
}

void TestPackageMetadata::manPageDescribesEveryOptionOfHelp()
{
    const QString page = renderedManPage();
    if (page.isEmpty())
        QSKIP("groff is not installed (package groff-base)");
    QSet<QString> described;
    for (const QString &tag : manTags(manSection(page, QStringLiteral("OPTIONS"))))
        if (tag.startsWith(QLatin1Char('-')))
            for (const QString &option : optionNames(tag))
                described.insert(option);
    // Both ways: a new option gets its paragraph, an old one leaves none behind.
    QCOMPARE(sorted(described), sorted(helpOptions(m_help)));
}

void TestPackageMetadata::manPageListsEveryExitStatusOfHelp()
{
    const QString page = renderedManPage();
    if (page.isEmpty())
        QSKIP("groff is not installed (package groff-base)");
    static const QRegularExpression number(QStringLiteral("^\\d+$"));
    QSet<QString> listed;
    for (const QString &tag : manTags(manSection(page, QStringLiteral("EXIT STATUS"))))
        if (number.match(tag).hasMatch())
            listed.insert(tag);
    QCOMPARE(sorted(listed), sorted(helpExitStatuses(m_help)));
    // What the program ends with, as its own constants say.
    for (const int status : {0, ProgramOptions::RunFailedExitCode, ProgramOptions::ErrorExitCode,
                             ProgramOptions::TimeoutExitCode})
        QVERIFY2(listed.contains(QString::number(status)), qPrintable(QString::number(status)));
}

void TestPackageMetadata::manPageAndHelpNameEveryGeneration()
{
    const generations::GenerationTable &table = generations::table();
    QVERIFY2(m_help.contains(QStringLiteral("Service tool for the ") + table.namesText()),
             qPrintable(m_help));
    // Words as a reader sees them, whatever the spaces that justify a line.
    const QString page = renderedManPage().simplified();
    if (page.isEmpty())
        QSKIP("groff is not installed (package groff-base)");
    // The description from the table; the lists of the installers and the
    // images (--firmware-server, FILES) are written by hand and must keep
    // up with it.
    QVERIFY2(page.contains(QStringLiteral("serves the ") + table.namesText()), qPrintable(page));
    QVERIFY2(!page.contains(QLatin1String("{{")), qPrintable(page)); // no marker left
    for (const generations::Descriptor &generation : table.rows()) {
        for (const QString &text :
             {QStringLiteral("%1").arg(generation.productId, 4, 16, QLatin1Char('0')),
              generation.installerFileName, generation.imageFileName})
            QVERIFY2(page.contains(text),
                     qPrintable(generation.name + QStringLiteral(": ") + text));
    }
}

// The reference page of the command line, the one a reader of the sources
// goes to: its table of options and its table of exit statuses against what
// the program says in --help, both ways.
void TestPackageMetadata::commandLinePageDescribesEveryOptionOfHelp()
{
    const QString page = QString::fromUtf8(readFile(QStringLiteral(VEMO_COMMAND_LINE_PAGE)));
    QVERIFY(!page.isEmpty());
    QSet<QString> described;
    for (const QString &key : tableKeys(page, QStringLiteral("## Options")))
        for (const QString &option : optionNames(key))
            described.insert(option);
    // "--" ends the options; the page says so in its prose.
    QSet<QString> options = helpOptions(m_help);
    options.remove(QStringLiteral("--"));
    QCOMPARE(sorted(described), sorted(options));
    QVERIFY(page.contains(QLatin1String("after a lone `--`")));
}

void TestPackageMetadata::commandLinePageListsEveryExitStatusOfHelp()
{
    const QString page = QString::fromUtf8(readFile(QStringLiteral(VEMO_COMMAND_LINE_PAGE)));
    QVERIFY(!page.isEmpty());
    const QStringList keys = tableKeys(page, QStringLiteral("## Exit status"));
    QCOMPARE(sorted(QSet<QString>(keys.cbegin(), keys.cend())), sorted(helpExitStatuses(m_help)));
}

QTEST_GUILESS_MAIN(TestPackageMetadata)
#include "tst_package_metadata.moc"
