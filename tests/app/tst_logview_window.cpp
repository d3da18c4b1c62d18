#include "app/Application.h"
#include "app/LogView.h"
#include "app/Unit1.h"
#include "tests/app/WindowFixture.h"
#include "usbio/sim/SimDevice.h"

#include <QFile>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

using usbio::Generation;

// The message log and the raw log keep a bounded number of lines: past the
// bound the oldest go (a hundredth of the bound at a time, so one line at a
// time below 100), the newest stay, and the message log says once that lines
// are being dropped. The device's lines come from the simulated device
// through the window's own handler; the bound is made small for the test.
class TestLogViewWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();
    void boundedLog_data();
    void boundedLog();
    void smallerBoundDropsAtTheNextLine();
    void largeBoundDropsInSteps();
    void linesBeingReadStayInView();

private:
    TForm1 &startAndOpen(const ProgramOptions &options = {});
    // The device sends lines first..last as "Lnnnn" + CR, one read each,
    // and the window has handled the last of them.
    void deviceSendsLines(int first, int last);

    std::unique_ptr<WindowFixture> m_fixture;
    usbio::SimDevice *m_device = nullptr;
    TForm1 *m_form = nullptr;
};

namespace {

constexpr int kLimit = 40;

QByteArray deviceLine(int number)
{
    return "L" + QByteArray::number(number).rightJustified(4, '0');
}

// The raw log's line for the chunk of deviceLine(number): its CR shows as a
// blank, then a TAB and the chunk's length.
QString rawLine(int number)
{
    return QString::fromLatin1(deviceLine(number)) + QStringLiteral(" \t6");
}

QStringList viewLines(const LogView *view)
{
    return view->toPlainText().split(QLatin1Char('\n'));
}

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

const QString MessageNotice = QStringLiteral(
    "The message log shows its last 40 lines: older lines are dropped from the view");
const QString MessageNoticeWithFile = MessageNotice + QStringLiteral("; the log file keeps them");
// With %1 for the bound.
const QString RawNotice =
    QStringLiteral("The raw log shows its last %1 lines: older lines are dropped from it");

} // namespace

void TestLogViewWindow::cleanup()
{
    m_fixture.reset();
    m_form = nullptr;
}

TForm1 &TestLogViewWindow::startAndOpen(const ProgramOptions &options)
{
    m_fixture = std::make_unique<WindowFixture>();
    m_device = m_fixture->attach(Generation::Vemo2, "000004711");
    m_form = &m_fixture->start({}, options);
    QTest::mouseClick(m_form->Open, Qt::LeftButton);
    [&] { QTRY_VERIFY(m_fixture->log().last().startsWith(QStringLiteral("Vemo2"))); }();
    return *m_form;
}

void TestLogViewWindow::deviceSendsLines(int first, int last)
{
    // The device keeps at most 256 reads nobody has taken: in batches.
    for (int batch = first; batch <= last; batch += 100) {
        const int batchLast = qMin(last, batch + 99);
        for (int number = batch; number <= batchLast; ++number)
            m_device->sendToHost(deviceLine(number) + '\r');
        QTRY_COMPARE(viewLines(m_form->WithoutFilter).last(), rawLine(batchLast));
    }
}

void TestLogViewWindow::boundedLog_data()
{
    QTest::addColumn<bool>("rawView");
    QTest::addColumn<bool>("withLogFile");
    QTest::addColumn<QString>("notice");

    QTest::newRow("message log") << false << false << MessageNotice;
    QTest::newRow("message log, --log-file") << false << true << MessageNoticeWithFile;
    QTest::newRow("raw log") << true << false << RawNotice.arg(kLimit);
}

void TestLogViewWindow::boundedLog()
{
    QFETCH(bool, rawView);
    QFETCH(bool, withLogFile);
    QFETCH(QString, notice);

    QTemporaryDir dir;
    ProgramOptions options;
    if (withLogFile)
        options.logFile = dir.filePath(QStringLiteral("run.log"));
    TForm1 &form = startAndOpen(options);
    LogView *view = rawView ? form.WithoutFilter : form.Message;
    view->setLineLimit(kLimit);
    QCOMPARE(view->lineLimit(), kLimit);
    const auto shown = [&](int number) {
        return rawView ? rawLine(number) : QString::fromLatin1(deviceLine(number));
    };

    // Up to the bound nothing is dropped and nothing said.
    const QStringList before = viewLines(view);
    QVERIFY(before.size() < kLimit);
    const int fill = kLimit - before.size();
    deviceSendsLines(1, fill);
    QCOMPARE(view->document()->blockCount(), kLimit);
    QCOMPARE(viewLines(view).mid(0, before.size()), before);
    QVERIFY(!view->dropping());
    QVERIFY(!m_fixture->log().contains(notice));

    // One line past it: the oldest goes, and the message log says so once,
    // after the line that made it so.
    deviceSendsLines(fill + 1, fill + 1);
    QVERIFY(view->dropping());
    QCOMPARE(view->document()->blockCount(), kLimit);
    QCOMPARE(m_fixture->log().count(notice), 1);
    if (rawView) {
        QCOMPARE(viewLines(view).first(), before.value(1));
        QCOMPARE(viewLines(view).last(), shown(fill + 1));
    } else {
        // The notice itself took a line too.
        QCOMPARE(viewLines(view).first(), before.value(2));
        QCOMPARE(viewLines(view).mid(kLimit - 2), (QStringList{shown(fill + 1), notice}));
    }

    // Far past it: the view holds exactly the newest lines, in order; the
    // notice came once and has scrolled away with the old lines.
    const int last = fill + 1 + 3 * kLimit;
    deviceSendsLines(fill + 2, last);
    QCOMPARE(view->document()->blockCount(), kLimit);
    QStringList newest;
    for (int number = last - kLimit + 1; number <= last; ++number)
        newest << shown(number);
    QCOMPARE(viewLines(view), newest);
    if (!rawView)
        QVERIFY(!m_fixture->log().contains(notice));
    // The raw log's notice stays in the message log, which is far from full.
    if (rawView)
        QCOMPARE(m_fixture->log().count(notice), 1);

    // The log file keeps every line the view dropped, and the notice once.
    if (withLogFile) {
        const QStringList file = readLines(options.logFile);
        QCOMPARE(file.count(notice), 1);
        QStringList all;
        for (int number = 1; number <= last; ++number)
            all << shown(number);
        QStringList deviceLines = file.mid(file.indexOf(shown(1)));
        deviceLines.removeAll(notice);
        QCOMPARE(deviceLines, all);
    }
}

void TestLogViewWindow::smallerBoundDropsAtTheNextLine()
{
    TForm1 &form = startAndOpen();
    const int before = form.WithoutFilter->document()->blockCount();
    deviceSendsLines(1, 2 * kLimit);
    QCOMPARE(form.WithoutFilter->document()->blockCount(), before + 2 * kLimit);
    QVERIFY(!form.WithoutFilter->dropping());

    // A bound below what the view holds: the next line leaves the newest
    // lines up to the bound, and the notice comes once.
    form.WithoutFilter->setLineLimit(kLimit);
    deviceSendsLines(2 * kLimit + 1, 2 * kLimit + 2);
    QStringList newest;
    for (int number = kLimit + 3; number <= 2 * kLimit + 2; ++number)
        newest << rawLine(number);
    QCOMPARE(viewLines(form.WithoutFilter), newest);
    QCOMPARE(m_fixture->log().count(RawNotice.arg(kLimit)), 1);

    // A bound below 1 keeps the newest line.
    form.WithoutFilter->setLineLimit(0);
    QCOMPARE(form.WithoutFilter->lineLimit(), 1);
    deviceSendsLines(2 * kLimit + 3, 2 * kLimit + 3);
    QCOMPARE(viewLines(form.WithoutFilter), QStringList{rawLine(2 * kLimit + 3)});
    QCOMPARE(m_fixture->log().count(RawNotice.arg(kLimit)), 1);
}

void TestLogViewWindow::largeBoundDropsInSteps()
{
    TForm1 &form = startAndOpen();
    LogView *view = form.WithoutFilter;
    constexpr int limit = 500;
    view->setLineLimit(limit);
    const int fill = limit - view->document()->blockCount();
    deviceSendsLines(1, fill);
    QCOMPARE(view->document()->blockCount(), limit);

    // The first line past the bound drops a hundredth of it besides.
    deviceSendsLines(fill + 1, fill + 1);
    QCOMPARE(view->document()->blockCount(), limit - limit / 100);
    QCOMPARE(m_fixture->log().count(RawNotice.arg(limit)), 1);

    // From then on the view holds between 99 % of the bound and the bound,
    // always the newest lines without a gap.
    for (int last = fill + 2; last <= fill + 1 + 2 * limit; last += 37) {
        deviceSendsLines(last, qMin(last + 36, fill + 1 + 2 * limit));
        const QStringList lines = viewLines(view);
        QVERIFY2(lines.size() >= limit - limit / 100 && lines.size() <= limit,
                 qPrintable(QString::number(lines.size())));
        const int newest = qMin(last + 36, fill + 1 + 2 * limit);
        for (int i = 0; i < lines.size(); ++i)
            QCOMPARE(lines.at(i), rawLine(newest - int(lines.size()) + 1 + i));
    }
    QCOMPARE(m_fixture->log().count(RawNotice.arg(limit)), 1);
}

void TestLogViewWindow::linesBeingReadStayInView()
{
    TForm1 &form = startAndOpen();
    form.show();
    LogView *view = form.WithoutFilter;
    constexpr int limit = 500;
    view->setLineLimit(limit);
    const int fill = limit - view->document()->blockCount();
    deviceSendsLines(1, fill);
    QScrollBar *scrollBar = view->verticalScrollBar();
    const auto topLine = [&] { return view->cursorForPosition(QPoint(2, 2)).block().text(); };
    const auto bottomLine = [&] {
        return view->cursorForPosition(QPoint(2, view->viewport()->height() - 2)).block().text();
    };

    // Following the end: the newest line stays in view as lines drop.
    QCOMPARE(scrollBar->value(), scrollBar->maximum());
    deviceSendsLines(fill + 1, fill + 20);
    QCOMPARE(bottomLine(), rawLine(fill + 20));

    // Reading older lines: the line at the top stays there as the lines
    // before it drop.
    scrollBar->setValue(scrollBar->maximum() / 2);
    const QString read = topLine();
    deviceSendsLines(fill + 21, fill + 21 + limit / 4);
    QVERIFY(view->document()->blockCount() <= limit);
    QCOMPARE(topLine(), read);
}

int main(int argc, char *argv[])
{
    VemoApplication app(argc, argv);
    TestLogViewWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_logview_window.moc"
