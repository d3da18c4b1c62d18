// The documentation as a reader follows it: every link of the README and of
// the pages under docs/ leads to a file of the tree, and a link to a heading
// to a heading that page has; every page under docs/ is reached from the
// README, the front door.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

namespace {

const QString kSourceDir = QStringLiteral(VEMO_SOURCE_DIR);

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The lines of a Markdown text, those of its fenced code blocks blank (so
// that a line keeps its number).
QStringList proseLines(const QString &text)
{
    QStringList lines;
    bool fenced = false;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        const bool fence = line.trimmed().startsWith(QLatin1String("```"));
        if (fence)
            fenced = !fenced;
        lines << (fence || fenced ? QString() : line);
    }
    return lines;
}

// The anchor a heading gets, as GitHub makes it: lower case, punctuation
// other than hyphens and underscores dropped, blanks turned into hyphens.
QString anchorOf(const QString &heading)
{
    QString anchor;
    for (const QChar c : heading.toLower()) {
        if (c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('_'))
            anchor += c;
        else if (c == QLatin1Char(' '))
            anchor += QLatin1Char('-');
    }
    return anchor;
}

// The anchors of a page's headings; a repeated heading gets -1, -2, ...
QSet<QString> anchorsOf(const QString &text)
{
    static const QRegularExpression heading(QStringLiteral("^#{1,6}\\s+(.*?)\\s*#*\\s*$"));
    QSet<QString> anchors;
    QHash<QString, int> seen;
    for (const QString &line : proseLines(text)) {
        const QRegularExpressionMatch match = heading.match(line);
        if (!match.hasMatch())
            continue;
        const QString anchor = anchorOf(match.captured(1));
        const int repeat = seen.value(anchor, 0);
        seen.insert(anchor, repeat + 1);
        anchors.insert(repeat == 0 ? anchor : QStringLiteral("%1-%2").arg(anchor).arg(repeat));
    }
    return anchors;
}

struct Link
{
    int line;
    QString target;
};

// The links of a page to places of the tree (not to the web).
QList<Link> linksOf(const QString &text)
{
    static const QRegularExpression link(QStringLiteral("\\[[^\\]]*\\]\\(([^)\\s]+)\\)"));
    QList<Link> links;
    const QStringList lines = proseLines(text);
    for (int i = 0; i < lines.size(); ++i) {
        for (auto it = link.globalMatch(lines.at(i)); it.hasNext();) {
            const QString target = it.next().captured(1);
            if (!target.contains(QLatin1String("://")) &&
                !target.startsWith(QLatin1String("mailto:")))
                links << Link{i + 1, target};
        }
    }
    return links;
}

// README.md and every page under docs/, from the source root.
QStringList pages()
{
    QStringList names{QStringLiteral("README.md")};
    const QDir docs(kSourceDir + QStringLiteral("/docs"));
    for (const QString &name : docs.entryList({QStringLiteral("*.md")}, QDir::Files, QDir::Name))
        names << QStringLiteral("docs/") + name;
    return names;
}

// Why a link does not lead where it says (empty when it does).
QString brokenLink(const QString &page, const QString &target)
{
    const int hash = target.indexOf(QLatin1Char('#'));
    const QString file = hash < 0 ? target : target.left(hash);
    const QString anchor = hash < 0 ? QString() : target.mid(hash + 1);
    const QString from = QFileInfo(kSourceDir + QLatin1Char('/') + page).absolutePath();
    const QString path = file.isEmpty() ? kSourceDir + QLatin1Char('/') + page
                                        : QDir::cleanPath(from + QLatin1Char('/') + file);
    if (!path.startsWith(kSourceDir + QLatin1Char('/')))
        return QStringLiteral("leads out of the source tree");
    if (!QFileInfo::exists(path))
        return QStringLiteral("no such file");
    if (!anchor.isEmpty() && !anchorsOf(readText(path)).contains(anchor))
        return QStringLiteral("no heading #%1 there").arg(anchor);
    return QString();
}

} // namespace

class TestDocs : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void anchorsAsGitHubMakesThem_data();
    void anchorsAsGitHubMakesThem();
    void everyLinkLeadsSomewhere_data();
    void everyLinkLeadsSomewhere();
    void readmeLeadsToEveryPage();
};

void TestDocs::anchorsAsGitHubMakesThem_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("anchors");
    QTest::newRow("words") << "## Files the program is given"
                           << QStringList{"files-the-program-is-given"};
    QTest::newRow("punctuation and code")
        << "### `--list`, the listing: A-Z_1" << QStringList{"--list-the-listing-a-z_1"};
    QTest::newRow("repeated") << "# A\n## A\n### A" << QStringList{"a", "a-1", "a-2"};
    QTest::newRow("code block is no heading")
        << "```sh\n# not a heading\n```\n# Real" << QStringList{"real"};
}

void TestDocs::anchorsAsGitHubMakesThem()
{
    QFETCH(QString, text);
    QFETCH(QStringList, anchors);
    const QSet<QString> found = anchorsOf(text);
    QCOMPARE(found, QSet<QString>(anchors.cbegin(), anchors.cend()));
}

void TestDocs::everyLinkLeadsSomewhere_data()
{
    QTest::addColumn<QString>("page");
    for (const QString &page : pages())
        QTest::newRow(qPrintable(page)) << page;
}

void TestDocs::everyLinkLeadsSomewhere()
{
    QFETCH(QString, page);
    const QString text = readText(kSourceDir + QLatin1Char('/') + page);
    QVERIFY2(!text.isEmpty(), qPrintable(page));
    QStringList broken;
    for (const Link &link : linksOf(text)) {
        const QString why = brokenLink(page, link.target);
        if (!why.isEmpty())
            broken
                << QStringLiteral("%1:%2: %3: %4").arg(page).arg(link.line).arg(link.target, why);
    }
    QVERIFY2(broken.isEmpty(), qPrintable(broken.join(QLatin1Char('\n'))));
}

void TestDocs::readmeLeadsToEveryPage()
{
    QSet<QString> linked;
    for (const Link &link : linksOf(readText(kSourceDir + QStringLiteral("/README.md"))))
        linked.insert(link.target.section(QLatin1Char('#'), 0, 0));
    QStringList unreached;
    for (const QString &page : pages()) {
        if (page != QLatin1String("README.md") && !linked.contains(page))
            unreached << page;
    }
    QVERIFY2(unreached.isEmpty(), qPrintable(unreached.join(QLatin1Char(' '))));
}

QTEST_GUILESS_MAIN(TestDocs)
#include "tst_docs.moc"
