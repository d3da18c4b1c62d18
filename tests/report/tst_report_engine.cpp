#include "report/Expression.h"
#include "report/ReportOutput.h"
#include "report/TfrxReport.h"
#include "tests/support/TestMain.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

using report::Expression;
using report::ReportError;
using report::ReportObject;

// The report engine on small definitions of its own: expressions, what a
// definition may hold, preparing pages, the print-to folder and the errors
// of printing on a host without printers.
class TestReportEngine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void expressions_data();
    void expressions();
    void quotedTextEvaluatesToItself_data();
    void quotedTextEvaluatesToItself();

    void badDefinitions_data();
    void badDefinitions();
    void loadFailureKeepsTheDefinition();
    void picturesReadWhateverTheirName_data();
    void picturesReadWhateverTheirName();
    void missingDefinitionFile();

    void prepareFillsPlaceholders();
    void badExpressionNamesItsVariable();
    void onlyDeclaredVariables();
    void stretch_data();
    void stretch();
    void nothingToPrint();

    void safeFileNames_data();
    void safeFileNames();
    void printToFolderNeverOverwrites();

    void printerErrors_data();
    void printerErrors();

private:
    QByteArray definition(const QByteArray &from = {}, const QByteArray &to = {}) const;
    TfrxReport &load(TfrxReport &report, const QByteArray &text);

    QTemporaryDir FDir;
};

namespace {

const QByteArray kDefinition = R"({
    "format": "vemo-report 1", "name": "Test", "printer": "Default",
    "output-file-name": "Test-[A]",
    "variables": [ { "category": " Test", "variables": [
        { "name": "A", "value": "" }, { "name": "B", "value": "'b'" } ] } ],
    "page": { "width-mm": 210, "height-mm": 297, "orientation": "portrait" },
    "objects": [
        { "name": "Text1", "kind": "text", "left": 10, "top": 10, "width": 300, "height": 30,
          "font": { "name": "Arial", "height": 20, "color": "black" },
          "frame": { "sides": ["left"], "width": 1 },
          "stretch": "smDontStretch", "lines": ["A is [A]", "B is [B]"] },
        { "name": "Logo", "kind": "picture", "left": 10, "top": 100, "width": 100, "height": 50,
          "file": "logo.png" } ] })";

QString errorOf(const std::function<void()> &call)
{
    try {
        call();
    } catch (const ReportError &e) {
        return e.message();
    }
    return QString();
}

} // namespace

void TestReportEngine::initTestCase()
{
    QVERIFY(FDir.isValid());
    QImage logo(20, 10, QImage::Format_RGB32);
    logo.fill(Qt::blue);
    QVERIFY(logo.save(FDir.filePath(QStringLiteral("logo.png"))));
    // The same picture under names that say another format, or none.
    QVERIFY(logo.save(FDir.filePath(QStringLiteral("logo.BMP")), "BMP"));
    QVERIFY(logo.save(FDir.filePath(QStringLiteral("png-named.bmp")), "PNG"));
    QVERIFY(logo.save(FDir.filePath(QStringLiteral("logo")), "PNG"));
    QFile junk(FDir.filePath(QStringLiteral("junk.png")));
    QVERIFY(junk.open(QIODevice::WriteOnly) && junk.write("not a picture") > 0);
}

QByteArray TestReportEngine::definition(const QByteArray &from, const QByteArray &to) const
{
    QByteArray text = kDefinition;
    if (!from.isEmpty()) {
        const int at = text.indexOf(from);
        if (at < 0)
            qFatal("the fixture holds no \"%s\"", from.constData());
        text.replace(at, from.size(), to);
    }
    return text;
}

TfrxReport &TestReportEngine::load(TfrxReport &report, const QByteArray &text)
{
    report.LoadFromText(text, FDir.path());
    return report;
}

void TestReportEngine::expressions_data()
{
    QTest::addColumn<QString>("expression");
    QTest::addColumn<QString>("text");  // when it evaluates
    QTest::addColumn<QString>("error"); // part of the message otherwise

    QTest::newRow("empty") << ""
                           << ""
                           << "";
    QTest::newRow("blank") << "  "
                           << ""
                           << "";
    QTest::newRow("literal") << "'123456789'"
                             << "123456789"
                             << "";
    QTest::newRow("empty literal") << "''"
                                   << ""
                                   << "";
    QTest::newRow("spaces around") << "  'a b'  "
                                   << "a b"
                                   << "";
    QTest::newRow("doubled quote") << "'it''s'"
                                   << "it's"
                                   << "";
    QTest::newRow("only a quote") << "''''"
                                  << "'"
                                  << "";
    QTest::newRow("brackets kept") << "'[A]'"
                                   << "[A]"
                                   << "";
    QTest::newRow("no quotes") << "123"
                               << ""
                               << "expected a text in single quotes";
    QTest::newRow("double quotes") << "\"abc\""
                                   << ""
                                   << "expected a text in single quotes";
    QTest::newRow("unclosed") << "'abc"
                              << ""
                              << "no closing quote";
    QTest::newRow("lone quote") << "'"
                                << ""
                                << "no closing quote";
    QTest::newRow("quote inside, not doubled") << "'ab'c'"
                                               << ""
                                               << "unexpected \"c'\"";
    QTest::newRow("two literals") << "'a' 'b'"
                                  << ""
                                  << "unexpected";
}

void TestReportEngine::expressions()
{
    QFETCH(QString, expression);
    QFETCH(QString, text);
    QFETCH(QString, error);

    QString result;
    const QString message = errorOf([&] { result = Expression::evaluate(expression); });
    if (error.isEmpty()) {
        QCOMPARE(message, QString());
        QCOMPARE(result, text);
    } else {
        QVERIFY2(message.contains(error), qPrintable(message));
        QVERIFY2(message.contains(expression), qPrintable(message));
    }
}

void TestReportEngine::quotedTextEvaluatesToItself_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("plain") << "20240517";
    QTest::newRow("empty") << "";
    QTest::newRow("one quote") << "'";
    QTest::newRow("quotes at both ends") << "'x'";
    QTest::newRow("two quotes") << "''";
    QTest::newRow("closing then more") << "a' + 'b";
    QTest::newRow("spaces kept") << "  x  ";
}

void TestReportEngine::quotedTextEvaluatesToItself()
{
    QFETCH(QString, text);
    QCOMPARE(Expression::evaluate(Expression::quoted(text)), text);
}

void TestReportEngine::badDefinitions_data()
{
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    QTest::addColumn<QString>("error");

    QTest::newRow("not JSON") << kDefinition << QByteArray("{ \"format\": ") << "offset";
    QTest::newRow("not an object") << kDefinition << QByteArray("[]") << "must be an object";
    QTest::newRow("other format") << QByteArray("vemo-report 1") << QByteArray("vemo-report 2")
                                  << "\"format\" must be \"vemo-report 1\"";
    QTest::newRow("unknown key") << QByteArray("\"name\": \"Test\",")
                                 << QByteArray("\"name\": \"Test\", \"colour\": 1,")
                                 << "top: unknown key \"colour\"";
    QTest::newRow("missing printer")
        << QByteArray("\"printer\": \"Default\",") << QByteArray() << "\"printer\" is missing";
    QTest::newRow("empty printer") << QByteArray("\"printer\": \"Default\"")
                                   << QByteArray("\"printer\": \"\"") << "\"printer\" is empty";
    QTest::newRow("bad variable name")
        << QByteArray("\"name\": \"A\"") << QByteArray("\"name\": \"A-1\"") << "bad variable name";
    QTest::newRow("variable twice")
        << QByteArray("\"name\": \"B\"") << QByteArray("\"name\": \"A\"")
        << "variable A is declared twice";
    QTest::newRow("variable value not a text")
        << QByteArray("\"value\": \"'b'\"") << QByteArray("\"value\": 2") << "must be a text";
    QTest::newRow("unknown orientation")
        << QByteArray("portrait") << QByteArray("sideways") << "unknown orientation";
    QTest::newRow("no paper width")
        << QByteArray("\"width-mm\": 210,") << QByteArray() << "page: \"width-mm\" is missing";
    QTest::newRow("number as text")
        << QByteArray("\"left\": 10, \"top\": 10") << QByteArray("\"left\": \"10\", \"top\": 10")
        << "objects[0] (Text1): \"left\" must be a number";
    QTest::newRow("zero width") << QByteArray("\"width\": 300") << QByteArray("\"width\": 0")
                                << "\"width\" must be greater than 0";
    QTest::newRow("font height of 1e10")
        << QByteArray("\"height\": 20,") << QByteArray("\"height\": 1e10,")
        << "objects[0] (Text1).font: \"height\" must be from 1 to 1000";
    QTest::newRow("font height below a unit")
        << QByteArray("\"height\": 20,") << QByteArray("\"height\": 0.4,")
        << "\"height\" must be from 1 to 1000";
    QTest::newRow("paper of 1e300 mm")
        << QByteArray("\"width-mm\": 210") << QByteArray("\"width-mm\": 1e300")
        << "page: \"width-mm\" must be at most 5000";
    QTest::newRow("frame line of 1e9")
        << QByteArray("\"width\": 1 }") << QByteArray("\"width\": 1e9 }")
        << "frame: \"width\" must be at most 40";
    QTest::newRow("negative top") << QByteArray("\"left\": 10, \"top\": 10")
                                  << QByteArray("\"left\": 10, \"top\": -1")
                                  << "\"top\" must not be negative";
    QTest::newRow("outside the page") << QByteArray("\"top\": 100") << QByteArray("\"top\": 1100")
                                      << "objects[1] (Logo): lies outside the page";
    QTest::newRow("same name twice") << QByteArray("\"name\": \"Logo\"")
                                     << QByteArray("\"name\": \"Text1\"") << "a name of its own";
    QTest::newRow("unknown kind") << QByteArray("\"kind\": \"picture\"")
                                  << QByteArray("\"kind\": \"chart\"")
                                  << "\"kind\" must be \"text\" or \"picture\"";
    QTest::newRow("text key on a picture")
        << QByteArray("\"file\": \"logo.png\"")
        << QByteArray("\"file\": \"logo.png\", \"lines\": []") << "unknown key \"lines\"";
    QTest::newRow("unknown stretch mode")
        << QByteArray("smDontStretch") << QByteArray("smSometimes") << "unknown stretch mode";
    QTest::newRow("unknown frame side")
        << QByteArray("[\"left\"]") << QByteArray("[\"inside\"]") << "unknown side \"inside\"";
    QTest::newRow("bad colour") << QByteArray("\"color\": \"black\"")
                                << QByteArray("\"color\": \"blackish\"") << "is not a colour";
    QTest::newRow("no font") << QByteArray("\"font\": { \"name\": \"Arial\", \"height\": 20, "
                                           "\"color\": \"black\" },")
                             << QByteArray() << "\"font\" is missing";
    QTest::newRow("lines not texts") << QByteArray("[\"A is [A]\", \"B is [B]\"]")
                                     << QByteArray("[\"A\", 3]") << "must be a list of texts";
    QTest::newRow("unknown placeholder")
        << QByteArray("B is [B]") << QByteArray("B is [C]") << "unknown variable [C]";
    QTest::newRow("unclosed placeholder")
        << QByteArray("B is [B]") << QByteArray("B is [B") << "\"[\" without \"]\"";
    QTest::newRow("empty placeholder")
        << QByteArray("B is [B]") << QByteArray("B is []") << "empty placeholder";
    QTest::newRow("missing picture")
        << QByteArray("logo.png") << QByteArray("nothing.png") << "cannot read the picture";
    QTest::newRow("picture outside the folder")
        << QByteArray("logo.png") << QByteArray("../logo.png")
        << "is not a file of the definition's folder";
    QTest::newRow("picture by an absolute path")
        << QByteArray("logo.png") << QByteArray("/dev/stdin")
        << "is not a file of the definition's folder";
    QTest::newRow("picture that is a folder")
        << QByteArray("logo.png") << QByteArray(".") << "cannot read the picture";
    QTest::newRow("unknown variable in the file name")
        << QByteArray("Test-[A]") << QByteArray("Test-[Z]")
        << "output-file-name: unknown variable [Z]";
}

void TestReportEngine::badDefinitions()
{
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(QString, error);

    TfrxReport report;
    const QString message = errorOf([&] { load(report, definition(from, to)); });
    QVERIFY2(message.startsWith(QLatin1String("Bad report definition: ")), qPrintable(message));
    QVERIFY2(message.contains(error), qPrintable(message));
    QVERIFY(!report.IsLoaded());
}

void TestReportEngine::loadFailureKeepsTheDefinition()
{
    TfrxReport report;
    load(report, definition());
    report.SetVariable(QStringLiteral("A"), QStringLiteral("'kept'"));
    QVERIFY(!errorOf([&] { load(report, definition("smDontStretch", "smNever")); }).isEmpty());

    QVERIFY(report.IsLoaded());
    QCOMPARE(report.Definition().name, QStringLiteral("Test"));
    QCOMPARE(report.Variable(QStringLiteral("A")), QStringLiteral("'kept'"));
    report.PrepareReport();
    QCOMPARE(report.PreparedPages().first().object(QStringLiteral("Text1"))->lines.first(),
             QStringLiteral("A is kept"));
}

void TestReportEngine::picturesReadWhateverTheirName_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("read");

    // A picture is read first as what its name says (so that no image
    // plugin is loaded to guess), then by its content.
    QTest::newRow("png") << QByteArray("logo.png") << true;
    QTest::newRow("bmp, name in capitals") << QByteArray("logo.BMP") << true;
    QTest::newRow("png named .bmp") << QByteArray("png-named.bmp") << true;
    QTest::newRow("no suffix") << QByteArray("logo") << true;
    QTest::newRow("not a picture") << QByteArray("junk.png") << false;
}

void TestReportEngine::picturesReadWhateverTheirName()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, read);

    TfrxReport report;
    const QString message = errorOf([&] { load(report, definition("logo.png", file)); });
    if (!read) {
        QVERIFY2(message.contains(QLatin1String("cannot read the picture")), qPrintable(message));
        return;
    }
    QVERIFY2(message.isEmpty(), qPrintable(message));
    const QImage picture = report.Definition().objects.last().picture;
    QCOMPARE(picture.size(), QSize(20, 10));
    QCOMPARE(QColor(picture.pixel(5, 5)), QColor(Qt::blue));
}

void TestReportEngine::missingDefinitionFile()
{
    TfrxReport report;
    const QString path = FDir.filePath(QStringLiteral("none.json"));
    const QString message = errorOf([&] { report.LoadFromFile(path); });
    QVERIFY2(message.contains(path), qPrintable(message));
    QVERIFY(!report.IsLoaded());
}

void TestReportEngine::prepareFillsPlaceholders()
{
    TfrxReport report;
    load(report, definition());
    // The stored values stand until they are set.
    report.PrepareReport();
    const report::PreparedPage *page = &report.PreparedPages().first();
    QCOMPARE(page->object(QStringLiteral("Text1"))->lines, (QStringList{"A is ", "B is b"}));

    // A value goes in as it is: its brackets are not read again, and
    // control characters, which have no glyph, are left out.
    report.SetVariable(QStringLiteral("A"), Expression::quoted(QStringLiteral("[B]\r\n")));
    report.SetVariable(QStringLiteral("B"), QStringLiteral("'x''y'"));
    report.PrepareReport();
    QCOMPARE(report.PreparedPages().size(), 1); // the earlier page is gone
    page = &report.PreparedPages().first();
    QCOMPARE(page->object(QStringLiteral("Text1"))->lines, (QStringList{"A is [B]", "B is x'y"}));
    QCOMPARE(page->objects.size(), 2);
    QCOMPARE(page->object(QStringLiteral("Logo"))->picture.size(), QSize(20, 10));
    // The definition keeps its placeholders for the next time.
    QCOMPARE(report.Definition().objects.first().lines.first(), QStringLiteral("A is [A]"));
}

void TestReportEngine::badExpressionNamesItsVariable()
{
    TfrxReport report;
    load(report, definition());
    report.PrepareReport();
    report.SetVariable(QStringLiteral("B"), QStringLiteral("'12'3'"));
    const QString message = errorOf([&] { report.PrepareReport(); });
    QVERIFY2(message.startsWith(QLatin1String("Bad value of variable B: ")), qPrintable(message));
    QVERIFY2(message.contains(QLatin1String("'12'3'")), qPrintable(message));
    // Nothing prepared is left to print by mistake.
    QVERIFY(report.PreparedPages().isEmpty());
    QCOMPARE(errorOf([&] { report.Print(); }), QStringLiteral("The report has not been prepared"));
}

void TestReportEngine::onlyDeclaredVariables()
{
    TfrxReport report;
    QCOMPARE(errorOf([&] { report.SetVariable(QStringLiteral("A"), QString()); }),
             QStringLiteral("No report definition is loaded"));
    load(report, definition());
    QCOMPARE(errorOf([&] { report.SetVariable(QStringLiteral("SERIAL"), QString()); }),
             QStringLiteral("The report has no variable SERIAL"));
    QCOMPARE(errorOf([&] { report.Variable(QStringLiteral("a")); }),
             QStringLiteral("The report has no variable a"));
}

void TestReportEngine::stretch_data()
{
    QTest::addColumn<QByteArray>("mode");
    QTest::addColumn<int>("top");
    QTest::addColumn<QString>("height"); // "design", "text" or "page"

    QTest::newRow("dont stretch") << QByteArray("smDontStretch") << 10 << "design";
    QTest::newRow("max height grows to the text") << QByteArray("smMaxHeight") << 10 << "text";
    QTest::newRow("max height stops at the page") << QByteArray("smMaxHeight") << 1090 << "page";
}

void TestReportEngine::stretch()
{
    QFETCH(QByteArray, mode);
    QFETCH(int, top);
    QFETCH(QString, height);

    // Five lines of a 20-pixel font in a box 30 units high.
    QByteArray text =
        definition("[\"A is [A]\", \"B is [B]\"]", "[\"1\", \"2\", \"3\", \"4\", \"5\"]");
    text.replace("smDontStretch", mode);
    const QByteArray place = "\"left\": 10, \"top\": 10,"; // Text1's
    text.replace(text.indexOf(place), place.size(),
                 "\"left\": 10, \"top\": " + QByteArray::number(top) + ',');
    TfrxReport report;
    load(report, text);
    report.PrepareReport();
    const report::PreparedPage &page = report.PreparedPages().first();
    const QRectF bounds = page.object(QStringLiteral("Text1"))->bounds;

    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(20);
    font.setHintingPreference(QFont::PreferNoHinting);
    const qreal fiveLines = 5 * QFontMetricsF(font).lineSpacing() + 2;
    QCOMPARE(bounds.topLeft(), QPointF(10, top));
    QCOMPARE(bounds.width(), 300.0);
    if (height == QLatin1String("design"))
        QCOMPARE(bounds.height(), 30.0);
    else if (height == QLatin1String("text"))
        QCOMPARE(bounds.height(), fiveLines);
    else
        QCOMPARE(bounds.bottom(), page.size.height());
}

void TestReportEngine::nothingToPrint()
{
    TfrxReport report;
    QCOMPARE(errorOf([&] { report.PrepareReport(); }),
             QStringLiteral("No report definition is loaded"));
    QCOMPARE(errorOf([&] { report.Print(); }), QStringLiteral("The report has not been prepared"));
    load(report, definition());
    QCOMPARE(errorOf([&] { report.Print(); }), QStringLiteral("The report has not been prepared"));
}

void TestReportEngine::safeFileNames_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("name");

    QTest::newRow("plain") << "Certificate-123456789"
                           << "Certificate-123456789";
    QTest::newRow("empty value") << "Certificate-"
                                 << "Certificate";
    QTest::newRow("path separators") << "Certificate-../../etc/x"
                                     << "Certificate-.._.._etc_x";
    QTest::newRow("no hidden file") << ".hidden"
                                    << "hidden";
    QTest::newRow("spaces and quotes") << "a b'c\"d"
                                       << "a_b_c_d";
    QTest::newRow("beyond ASCII") << QString::fromUtf8("Zähler€") << "Z_hler";
    QTest::newRow("nothing left") << "///"
                                  << "report";
}

void TestReportEngine::safeFileNames()
{
    QFETCH(QString, base);
    QFETCH(QString, name);
    QCOMPARE(report::ReportOutput::safeFileName(base), name);
}

void TestReportEngine::printToFolderNeverOverwrites()
{
    QTemporaryDir folder;
    TfrxReport report;
    load(report, definition());
    report.SetPrintToFolder(folder.path());
    report.SetVariable(QStringLiteral("A"), QStringLiteral("'7/8'"));
    report.PrepareReport();

    // Files already named for this second and the next are left alone.
    const QDateTime now = QDateTime::currentDateTime();
    QStringList taken;
    for (int s = 0; s < 2; ++s) {
        const QString stamp = now.addSecs(s).toString(QStringLiteral("yyyyMMdd-HHmmss"));
        taken << folder.filePath(QStringLiteral("Test-7_8-%1.pdf").arg(stamp));
        QFile file(taken.last());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("earlier");
    }
    report.Print();
    const QString first = report.LastPdfFile();
    report.Print();
    const QString second = report.LastPdfFile();

    QVERIFY(!taken.contains(first) && !taken.contains(second) && first != second);
    QVERIFY2(QFileInfo(first).fileName().startsWith(QLatin1String("Test-7_8-")), qPrintable(first));
    for (const QString &path : taken) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("earlier"));
    }
    for (const QString &path : {first, second}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().startsWith("%PDF-"));
    }
    // Nothing else is left in the folder, hidden or not.
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden).size(), 4);
}

void TestReportEngine::printerErrors_data()
{
    QTest::addColumn<QByteArray>("printer");
    QTest::addColumn<QString>("error");

    QTest::newRow("no default printer") << QByteArray("Default") << "No default printer is set up";
    QTest::newRow("named printer missing")
        << QByteArray("NoSuchQueue") << "The printer \"NoSuchQueue\" is not set up";
}

void TestReportEngine::printerErrors()
{
    QFETCH(QByteArray, printer);
    QFETCH(QString, error);

    TfrxReport report;
    load(report, definition("\"printer\": \"Default\"", "\"printer\": \"" + printer + "\""));
    report.PrepareReport();
    QCOMPARE(errorOf([&] { report.Print(); }), error);
    QVERIFY(report.LastPdfFile().isEmpty());
}

int main(int argc, char *argv[])
{
    useOffscreenUnlessSet();
    // No CUPS server to reach: this host has no printer at all, whatever the
    // machine running the test has set up.
    qputenv("CUPS_SERVER", "/nonexistent/vemo-report-test/cups.sock");
    qunsetenv("PRINTER");
    qunsetenv("LPDEST");
    QGuiApplication app(argc, argv);
    TestReportEngine test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_report_engine.moc"
