#include "dialogue/Certificate.h"
#include "report/TfrxReport.h"
#include "tests/report/PdfText.h"
#include "tests/support/TestMain.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

// The accuracy certificate as it comes out of the fill-and-print: saved as
// PDF into a print-to folder and read back with poppler's tools, so the
// checks see the page as a printer would get it.
class TestCertificate : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void labelsAndValuesOnTheirLines_data();
    void labelsAndValuesOnTheirLines();
    void fixedLinesOfTheValueColumn();
    void titleAndAddress();
    void pageImage();
    void twoCertificatesKeepTheirOwnValues();
    void descriptionTitlesThePdf();
    void failuresRaiseReportError();

private:
    QString print(const QByteArray &serial, const QByteArray &deviation, const QByteArray &date);
    PdfText read(const QString &pdf);

    std::unique_ptr<QTemporaryDir> FDir;
    std::unique_ptr<TfrxReport> FReport;
};

namespace {

// The two columns in points: labels from 60 units, values from 365 units.
const qreal kLabelsFrom = unitsToPoints(60);
const qreal kValuesFrom = unitsToPoints(365);
const qreal kValuesTo = unitsToPoints(365 + 332);
const qreal kColumnsTop = unitsToPoints(188);

struct Row
{
    int line; // 1-based line of the columns
    QString label;
    QString value;
};

} // namespace

void TestCertificate::init()
{
    FDir = std::make_unique<QTemporaryDir>();
    QVERIFY(FDir->isValid());
    FReport = std::make_unique<TfrxReport>();
    dialogue::LoadCertificate(*FReport);
    FReport->SetPrintToFolder(FDir->path());
}

void TestCertificate::cleanup()
{
    FReport.reset();
    FDir.reset();
}

QString TestCertificate::print(const QByteArray &serial, const QByteArray &deviation,
                               const QByteArray &date)
{
    dialogue::PrintCertificate(*FReport, serial, deviation, date);
    return FReport->LastPdfFile();
}

PdfText TestCertificate::read(const QString &pdf)
{
    QString error;
    const PdfText page = PdfText::read(pdf, &error);
    if (!error.isEmpty())
        qWarning("%s", qPrintable(error));
    return page;
}

void TestCertificate::labelsAndValuesOnTheirLines_data()
{
    QTest::addColumn<QByteArray>("serial");
    QTest::addColumn<QByteArray>("deviation");
    QTest::addColumn<QByteArray>("date");
    QTest::addColumn<QString>("serialShown");
    QTest::addColumn<QString>("deviationShown");
    QTest::addColumn<QString>("dateShown");

    QTest::newRow("typical") << QByteArray("123456789") << QByteArray("+0.00012345")
                             << QByteArray("20240517") << "123456789"
                             << "+0.00012345"
                             << "20240517";
    QTest::newRow("empty serial and deviation")
        << QByteArray() << QByteArray() << QByteArray("20240517") << ""
        << ""
        << "20240517";
    QTest::newRow("eleven wide characters in full")
        << QByteArray("123456789") << QByteArray("WWWWWWWWWWW") << QByteArray("20240517")
        << "123456789"
        << "WWWWWWWWWWW"
        << "20240517";
    // A quote ended the text literal early and broke the certificate.
    QTest::newRow("quotes as received")
        << QByteArray("12'345'67") << QByteArray("'") << QByteArray("it''s") << "12'345'67"
        << "'"
        << "it''s";
    QTest::newRow("quote closing a literal")
        << QByteArray("1' + '2") << QByteArray("x'") << QByteArray("''") << "1' + '2"
        << "x'"
        << "''";
    // A value is not read again for placeholders.
    QTest::newRow("brackets as received")
        << QByteArray("[SETDATE]") << QByteArray("[") << QByteArray("]x[") << "[SETDATE]"
        << "["
        << "]x[";
    QTest::newRow("Windows-1252 text")
        << QByteArray("12\xe4") << QByteArray("\x80 5\xb0") << QByteArray("17.5.24")
        << QString::fromUtf8("12ä") << QString::fromUtf8("€ 5°") << "17.5.24";
    // The deviation of a short reply carries the line's CR.
    QTest::newRow("control characters are not printed")
        << QByteArray("123456789") << QByteArray("+0.001\r") << QByteArray("2024\t0517")
        << "123456789"
        << "+0.001"
        << "20240517";
}

void TestCertificate::labelsAndValuesOnTheirLines()
{
    QFETCH(QByteArray, serial);
    QFETCH(QByteArray, deviation);
    QFETCH(QByteArray, date);
    QFETCH(QString, serialShown);
    QFETCH(QString, deviationShown);
    QFETCH(QString, dateShown);

    const PdfText page = read(print(serial, deviation, date));
    QVERIFY(!page.words.isEmpty());

    const QList<Row> rows{
        {1, "Device:", "Vemo KW, Vemo KWD"},
        {5, "Serial Number:", serialShown},
        {8, "Time reference:", "CS frequency standard"},
        {11, "Accuracy test:", QString::fromUtf8("24 hours at 25°C")},
        {15, "Deviation:", deviationShown},
        {18, "Date:", dateShown},
        {21, "Adjusted by:", QString(24, QLatin1Char('_'))},
    };

    const PdfText::Line *first = page.lineWith(QStringLiteral("Device:"), 0, kValuesFrom);
    const PdfText::Line *second = page.lineWith(QStringLiteral("Serial Number:"), 0, kValuesFrom);
    QVERIFY(first && second);
    // The first line starts at the top of the columns (below the box's gap
    // and within the font's ascent).
    QVERIFY2(first->top >= kColumnsTop && first->top < kColumnsTop + 8,
             qPrintable(QString::number(first->top)));
    const qreal pitch = (second->top - first->top) / 4;
    QVERIFY2(pitch > 18 && pitch < 24, qPrintable(QString::number(pitch))); // 24-pixel font

    for (const Row &row : rows) {
        const PdfText::Line *line = page.lineWith(row.label, 0, kValuesFrom);
        QVERIFY2(line, qPrintable(row.label));
        QVERIFY2(qAbs(line->top - (first->top + (row.line - 1) * pitch)) < 0.5,
                 qPrintable(row.label));
        const PdfText::Word *label = line->first(0, kValuesFrom);
        QVERIFY(qAbs(label->box.left() - kLabelsFrom) < 4);
        QCOMPARE(line->text(kValuesFrom), row.value);
        if (const PdfText::Word *value = line->first(kValuesFrom)) {
            QVERIFY2(qAbs(value->box.left() - kValuesFrom) < 4, qPrintable(row.label));
            QVERIFY2(line->words.last().box.right() <= kValuesTo, qPrintable(row.label));
        }
    }
    // Nothing else is printed in the label column.
    int labelLines = 0;
    for (const PdfText::Line &line : page.lines) {
        if (line.top > kColumnsTop && line.top < unitsToPoints(800) &&
            !line.text(0, kValuesFrom).isEmpty())
            ++labelLines;
    }
    QCOMPARE(labelLines, rows.size());
}

void TestCertificate::fixedLinesOfTheValueColumn()
{
    const PdfText page = read(print("123456789", "+0.00012345", "20240517"));
    const PdfText::Line *device = page.lineWith(QStringLiteral("Device:"), 0, kValuesFrom);
    QVERIFY(device);
    const PdfText::Line *serial = page.lineWith(QStringLiteral("Serial Number:"), 0, kValuesFrom);
    const qreal pitch = (serial->top - device->top) / 4;

    const QList<Row> values{
        {2, QString(), "Vemo2 KW, Vemo2 KWD"},
        {3, QString(), "Vemo3 KW, Vemo3 KWD"},
        {12, QString(), "allowance +- 0.001 sec./hour"},
    };
    for (const Row &row : values) {
        const PdfText::Line *line = page.lineWith(row.value, kValuesFrom);
        QVERIFY2(line, qPrintable(row.value));
        QVERIFY2(qAbs(line->top - (device->top + (row.line - 1) * pitch)) < 0.5,
                 qPrintable(row.value));
        QCOMPARE(line->text(0, kValuesFrom), QString());
    }
}

void TestCertificate::titleAndAddress()
{
    const PdfText page = read(print("123456789", "+0.00012345", "20240517"));

    // The heading inside its framed box (56, 48, 644 x 96).
    const PdfText::Line *title = page.lineWith(QStringLiteral("Accuracy Certificate"));
    QVERIFY(title);
    const QRectF box(QPointF(unitsToPoints(56), unitsToPoints(48)),
                     QPointF(unitsToPoints(700), unitsToPoints(144)));
    for (const PdfText::Word &word : title->words)
        QVERIFY2(box.contains(word.box), qPrintable(word.text));
    QVERIFY2(title->words.first().box.height() > 40, "a 48 pt heading");

    // The maker's eight lines, in order, in the box right of the logo.
    const QStringList address{"Orvik Zeitmesstechnik GmbH", "Uhrmacherweg 17",
                              "12345 Beispielstadt",        "Germany",
                              "Phone +49 555 0140-0",       "Fax +49 555 0140-99",
                              "info@orvik.example",         "www.orvik.example"};
    QStringList found;
    for (const PdfText::Line &line : page.lines) {
        if (line.top >= unitsToPoints(831) && line.top < unitsToPoints(831 + 194))
            found << line.text(unitsToPoints(369));
    }
    QCOMPARE(found, address);
}

void TestCertificate::pageImage()
{
    const QString pdf = print("123456789", "+0.00012345", "20240517");
    QString error;
    // At 96 dpi one pixel is one layout unit.
    const QImage image = PdfText::render(pdf, 96, &error);
    QVERIFY2(image.width() == 794 && image.height() == 1123, qPrintable(error));

    const auto dark = [&](int x, int y) { return qGray(image.pixel(x, y)) < 128; };
    const auto white = [&](const QRect &area) {
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                if (qGray(image.pixel(x, y)) < 240)
                    return false;
        return true;
    };

    // The heading's frame on all four sides of (56, 48, 644 x 96).
    for (int y = 52; y < 140; y += 8) {
        QVERIFY2(dark(56, y), "left side");
        QVERIFY2(dark(700, y), "right side");
    }
    for (int x = 60; x < 696; x += 16) {
        QVERIFY2(dark(x, 48), "top side");
        QVERIFY2(dark(x, 144), "bottom side");
    }
    // The logo fills its box from the top left: navy ink and the red hand.
    int navy = 0;
    int red = 0;
    for (int y = 824; y < 1024; ++y) {
        for (int x = 60; x < 364; ++x) {
            const QColor c = image.pixelColor(x, y);
            navy += c.blue() > 80 && c.red() < 80;
            red += c.red() > 150 && c.green() < 80;
        }
    }
    QVERIFY2(navy > 2000, qPrintable(QString::number(navy)));
    QVERIFY2(red > 20, qPrintable(QString::number(red)));
    // The margins and the gaps between the objects stay blank.
    QVERIFY(white(QRect(0, 0, 794, 44)));
    QVERIFY(white(QRect(0, 0, 50, 1123)));
    QVERIFY(white(QRect(710, 0, 84, 1123)));
    QVERIFY(white(QRect(0, 150, 794, 36)));
    QVERIFY(white(QRect(0, 1030, 794, 93)));
}

void TestCertificate::twoCertificatesKeepTheirOwnValues()
{
    const QString first = print("123456789", "+0.00000001", "20240517");
    const QString second = print("123456789", "-0.00000002", "20240518");
    QVERIFY(!first.isEmpty() && !second.isEmpty());
    QVERIFY(first != second);
    QCOMPARE(QDir(FDir->path()).entryList(QDir::Files).size(), 2);

    // Named after the serial number and the time; a second one in the same
    // second gets a number instead of overwriting the first.
    const QRegularExpression name(
        QStringLiteral("^Certificate-123456789-\\d{8}-\\d{6}(-\\d+)?\\.pdf$"));
    QVERIFY2(name.match(QFileInfo(first).fileName()).hasMatch(), qPrintable(first));
    QVERIFY2(name.match(QFileInfo(second).fileName()).hasMatch(), qPrintable(second));

    const QStringList expected[2] = {{"+0.00000001", "20240517"}, {"-0.00000002", "20240518"}};
    const QString files[2] = {first, second};
    for (int i = 0; i < 2; ++i) {
        const PdfText page = read(files[i]);
        const PdfText::Line *deviation =
            page.lineWith(QStringLiteral("Deviation:"), 0, kValuesFrom);
        const PdfText::Line *date = page.lineWith(QStringLiteral("Date:"), 0, kValuesFrom);
        QVERIFY(deviation && date);
        QCOMPARE(deviation->text(kValuesFrom), expected[i].at(0));
        QCOMPARE(date->text(kValuesFrom), expected[i].at(1));
    }
}

void TestCertificate::descriptionTitlesThePdf()
{
    const QString pdf = print("123456789", "+0.00012345", "20240517");
    QCOMPARE(FReport->Description(), QStringLiteral("Orvik Vemo Acccuracy Certificate"));
    QString error;
    QCOMPARE(PdfText::info(pdf, QStringLiteral("Title"), &error),
             QStringLiteral("Orvik Vemo Acccuracy Certificate"));
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(PdfText::info(pdf, QStringLiteral("Pages"), &error), QStringLiteral("1"));
}

void TestCertificate::failuresRaiseReportError()
{
    // A print-to folder that went away.
    const QString gone = FDir->filePath(QStringLiteral("gone"));
    FReport->SetPrintToFolder(gone);
    try {
        print("123456789", "+0.00012345", "20240517");
        QFAIL("no error");
    } catch (const report::ReportError &e) {
        QVERIFY2(e.message().contains(gone), e.what());
    }

    // A report without its definition.
    TfrxReport empty;
    try {
        dialogue::PrintCertificate(empty, "1", "2", "3");
        QFAIL("no error");
    } catch (const report::ReportError &e) {
        QCOMPARE(e.message(), QStringLiteral("No report definition is loaded"));
    }
}

VEMO_TEST_MAIN(TestCertificate)
#include "tst_certificate.moc"
