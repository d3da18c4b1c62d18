#include "app/Unit1.h"
#include "dialogue/CommandList.h"
#include "tests/app/WindowFixture.h"
#include "tests/support/TestMain.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTest>
#include <QTimer>

// The window as its layout gives it, after a start-up without devices:
// every control, the command list, the timers, anchored resizing, the tab
// order and the first show.
class TestForm1Layout : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void controls_data();
    void controls();
    void fonts();
    void captionsReadInFull();
    void window();
    void members();
    void commandList();
    void resizing_data();
    void resizing();
    void tabOrderChain();
    void tabKeyReachesEveryControl();
    void centredOnFirstShow();
};

namespace {

using A = AnchorLayout;
constexpr int LT = A::AnchorLeft | A::AnchorTop;
constexpr int LTR = A::AnchorLeft | A::AnchorTop | A::AnchorRight;
constexpr int TR = A::AnchorTop | A::AnchorRight;
constexpr int LB = A::AnchorLeft | A::AnchorBottom;
constexpr int LTRB = LTR | A::AnchorBottom;

// Tab position of the controls, labels excluded.
const QStringList kTabOrder{"DevicesCB",      "Open",      "Close",         "Message",
                            "SendCommand",    "FileNameE", "ChooseFile",    "ProgressBar1",
                            "Update",         "Button1",   "Button2",       "WithCR",
                            "FilterLifeTick", "Command",   "WithoutFilter", "Count10sWind",
                            "DownloadB",      "EchoCB",    "DTPB"};

QString textOf(QWidget *control)
{
    if (auto *button = qobject_cast<QAbstractButton *>(control))
        return button->text();
    if (auto *label = qobject_cast<QLabel *>(control))
        return label->text();
    if (auto *edit = qobject_cast<QLineEdit *>(control))
        return edit->text();
    if (auto *memo = qobject_cast<QPlainTextEdit *>(control))
        return memo->toPlainText();
    if (auto *combo = qobject_cast<QComboBox *>(control))
        return combo->currentText();
    if (auto *bar = qobject_cast<QProgressBar *>(control))
        return QString::number(bar->value());
    return QString();
}

} // namespace

void TestForm1Layout::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QRect>("bounds");
    QTest::addColumn<QString>("text"); // "*": not compared (filled by start-up)
    QTest::addColumn<QString>("hint");
    QTest::addColumn<bool>("hintShown");
    QTest::addColumn<bool>("enabled"); // after start-up
    QTest::addColumn<bool>("visible"); // after start-up
    QTest::addColumn<int>("anchors");

    auto row = [](const char *name, const char *kind, QRect bounds, const char *text,
                  const char *hint, bool shown, bool enabled, bool visible, int anchors) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(kind) << bounds
                            << QString::fromLatin1(text) << QString::fromLatin1(hint) << shown
                            << enabled << visible << anchors;
    };
    // Start-up disables Close, SendCommand, Update, ChooseFile and DownloadB
    // and hides ProgressBar1; everything else is as laid out.
    row("DevicesCB", "QComboBox", {16, 24, 145, 21}, "", "Choose a Vemo", true, true, true, LT);
    row("Open", "QPushButton", {192, 24, 75, 25}, "Open", "Open Device", true, true, true, LT);
    row("Close", "QPushButton", {280, 24, 91, 25}, "Close", "Close Device", true, false, true, LT);
    row("Message", "LogView", {16, 160, 353, 303}, "*", "Messages Window", true, true, true, LTRB);
    row("SendCommand", "QPushButton", {168, 64, 105, 25}, "Send Command",
        "Send choosen command to the Vemo", true, false, true, LT);
    row("FileNameE", "QLineEdit", {16, 112, 183, 21}, "", "Enter Firmware Update File", true, true,
        true, LTR);
    row("ChooseFile", "QPushButton", {200, 108, 73, 25}, "Search...", "Search for File", true,
        false, true, TR);
    row("ProgressBar1", "QProgressBar", {16, 136, 353, 18}, "0", "Update in Progress", true, true,
        false, LTR);
    row("Update", "QPushButton", {280, 108, 91, 25}, "Update", "Program new Firmware", true, false,
        true, TR);
    row("Button1", "QPushButton", {448, 40, 89, 25}, "SleepTest 5s", "", false, true, true, LT);
    row("Button2", "QPushButton", {448, 72, 89, 25}, "200xOpen/Close", "", false, true, true, LT);
    row("WithCR", "QCheckBox", {48, 88, 97, 17}, "With CR", "Add a Carriage return after command",
        true, true, true, LT);
    row("FilterLifeTick", "QCheckBox", {232, 466, 145, 17}, "Filter Life Tick",
        "Here you can disable view of Life Ticker", true, true, true, LB);
    row("Command", "QComboBox", {16, 64, 145, 24}, "NSF?", "Enter a command", true, true, true, LT);
    row("WithoutFilter", "LogView", {600, 8, 185, 89}, "WithoutFilter", "", false, true, true, LT);
    row("Count10sWind", "QPushButton", {448, 8, 89, 25}, "Count10sWind",
        "Sends a SP2W to Vemo after every 10 sek. for countinous Wind test", false, true, true, LT);
    row("DownloadB", "QPushButton", {280, 64, 91, 25}, "Download Fw",
        "Download Firmware from Internet", false, false, true, LT);
    row("EchoCB", "QCheckBox", {808, 16, 97, 17}, "Echo", "", false, true, true, LT);
    row("DTPB", "QPushButton", {808, 40, 75, 25}, "200xDTP", "", false, true, true, LT);
    row("VemosL", "QLabel", {16, 8, 77, 13}, "Vemo's available:", "Choose an available Vemo", true,
        true, true, LT);
    row("BugLabel", "QLabel", {16, 466, 192, 13}, "Send Bug to: support@orvik.example",
        "Click here to send a bugreport", true, true, true, LB);
}

void TestForm1Layout::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QRect, bounds);
    QFETCH(QString, text);
    QFETCH(QString, hint);
    QFETCH(bool, hintShown);
    QFETCH(bool, enabled);
    QFETCH(bool, visible);
    QFETCH(int, anchors);

    WindowFixture fixture;
    TForm1 &form = fixture.start();
    auto *control = form.findChild<QWidget *>(name);
    QVERIFY2(control, qPrintable(name));
    QCOMPARE(control->parentWidget(), &form);
    QCOMPARE(QString::fromLatin1(control->metaObject()->className()), kind);
    QCOMPARE(control->geometry(), bounds);
    if (text != QLatin1String("*"))
        QCOMPARE(textOf(control), text);
    // Every hint is held; only the shown ones are tool tips.
    QCOMPARE(control->property("hint").toString(), hint);
    QCOMPARE(control->toolTip(), hintShown ? hint : QString());
    QCOMPARE(control->isEnabled(), enabled);
    QCOMPARE(!control->isHidden(), visible);
    QCOMPARE(form.Anchors().anchors(control), anchors);
    QCOMPARE(form.Anchors().designRect(control), bounds);

    const int tab = kTabOrder.indexOf(name);
    if (tab < 0)
        QCOMPARE(control->focusPolicy(), Qt::NoFocus); // labels take no focus
}

void TestForm1Layout::fonts()
{
    WindowFixture fixture;
    TForm1 &form = fixture.start();

    for (QWidget *control :
         {static_cast<QWidget *>(form.Message), static_cast<QWidget *>(form.Command)}) {
        QCOMPARE(control->font().family(), QStringLiteral("Courier New"));
        QCOMPARE(control->font().pixelSize(), 13);
    }
    const QFont bug = form.BugLabel->font();
    QCOMPARE(bug.family(), QStringLiteral("MS Sans Serif"));
    QCOMPARE(bug.pixelSize(), 11);
    QVERIFY(bug.underline());
    QCOMPARE(form.BugLabel->palette().color(QPalette::WindowText), QColor(Qt::blue));
    QCOMPARE(form.BugLabel->cursor().shape(), Qt::PointingHandCursor);
    // The window's design font, 8 point at 96 dpi, is every other control's.
    QCOMPARE(form.font().family(), QStringLiteral("MS Sans Serif"));
    QCOMPARE(form.font().pixelSize(), 11);
    for (QWidget *control : form.findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        if (control == form.Message || control == form.Command || control == form.BugLabel)
            continue;
        QCOMPARE(control->font(), form.font());
    }
    // A face stands in where the design face is missing.
    QVERIFY(!QFont::substitutes(QStringLiteral("MS Sans Serif")).isEmpty());
}

void TestForm1Layout::captionsReadInFull()
{
    WindowFixture fixture;
    TForm1 &form = fixture.start();

    // Each caption fits the bounds of its control as the layout gives them,
    // in the font the control is drawn with.
    for (QLabel *label : {form.VemosL, form.BugLabel}) {
        const int needed = label->fontMetrics().horizontalAdvance(label->text());
        QVERIFY2(needed <= label->width(), qPrintable(QStringLiteral("%1 needs %2 of %3 pixels")
                                                          .arg(label->text())
                                                          .arg(needed)
                                                          .arg(label->width())));
    }
    for (QPushButton *button : form.findChildren<QPushButton *>()) {
        // A few pixels of frame and padding on each side.
        const int needed = button->fontMetrics().horizontalAdvance(button->text()) + 8;
        QVERIFY2(needed <= button->width(), qPrintable(button->text()));
    }
    for (QCheckBox *box : form.findChildren<QCheckBox *>()) {
        const int needed =
            box->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, box) +
            box->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, box) +
            box->fontMetrics().horizontalAdvance(box->text());
        QVERIFY2(needed <= box->width(), qPrintable(box->text()));
    }
}

void TestForm1Layout::window()
{
    WindowFixture fixture;
    TForm1 &form = fixture.start();

    QCOMPARE(form.objectName(), QStringLiteral("Form1"));
    QCOMPARE(form.windowTitle(), QStringLiteral("Vemo USB Update V1.4.7.2"));
    QCOMPARE(form.size(), QSize(384, 493));
    QVERIFY(form.isWindow());
    QCOMPARE(form.palette().color(QPalette::Window), form.palette().color(QPalette::Button));
    QVERIFY(form.autoFillBackground());
    const QIcon icon = form.windowIcon();
    QVERIFY(!icon.isNull());
    QCOMPARE(icon.pixmap(32, 32).size(), QSize(32, 32));
    QCOMPARE(icon.availableSizes().value(0), QSize(32, 32));

    // The memos: the log wraps under a permanent vertical bar; the raw log
    // keeps its lines whole under both bars; Tab leaves both.
    QCOMPARE(form.Message->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    QCOMPARE(form.Message->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QVERIFY(!form.Message->isReadOnly());
    QCOMPARE(form.WithoutFilter->lineWrapMode(), QPlainTextEdit::NoWrap);
    QCOMPARE(form.WithoutFilter->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(form.WithoutFilter->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QVERIFY(form.Message->tabChangesFocus());
    QVERIFY(form.WithoutFilter->tabChangesFocus());

    QCOMPARE(form.ProgressBar1->minimum(), 0);
    QCOMPARE(form.ProgressBar1->maximum(), 100);
    QVERIFY(!form.ProgressBar1->isTextVisible());
    QVERIFY(form.WithCR->isChecked());
    QVERIFY(!form.FilterLifeTick->isChecked());
    QVERIFY(!form.EchoCB->isChecked());
    QVERIFY(form.DevicesCB->isEditable());
    QVERIFY(form.Command->isEditable());
    // Neither box adds what the operator types to its list.
    QCOMPARE(form.DevicesCB->insertPolicy(), QComboBox::NoInsert);
    QCOMPARE(form.Command->insertPolicy(), QComboBox::NoInsert);
}

void TestForm1Layout::members()
{
    WindowFixture fixture;
    TForm1 &form = fixture.start();

    const QList<QPair<QTimer *, int>> timers{
        {form.RestartVemoTimer, 3500}, {form.BWFTimer, 22000}, {form.VemoWind, 10000}};
    for (const auto &[timer, interval] : timers) {
        QVERIFY(timer);
        QCOMPARE(timer->interval(), interval);
        QVERIFY(!timer->isActive());
        QVERIFY(!timer->isSingleShot());
    }
    QCOMPARE(form.OpenDialog1.Filter, QStringLiteral("Vemo update files|vemo.exe;vemo.bin"));
    QCOMPARE(TOpenDialog::qtNameFilters(form.OpenDialog1.Filter),
             QStringList{"Vemo update files (vemo.exe vemo.bin)"});
    QVERIFY(form.frReport1 != nullptr);
    QVERIFY(form.Downloader == nullptr);
    QVERIFY(form.RegTools != nullptr);
    QVERIFY(form.USBLink != nullptr);
    QVERIFY(!form.Dialogue().update().updating());
    QVERIFY(!form.Dialogue().update().unattended());
    QVERIFY(form.Dialogue().serialNo().isEmpty());
    QVERIFY(form.Dialogue().pendingChunk().isEmpty());
    QCOMPARE(form.Arguments(), QStringList{WindowFixture::ProgramPath});
}

void TestForm1Layout::commandList()
{
    WindowFixture fixture;
    TForm1 &form = fixture.start();
    QComboBox *box = form.Command;

    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items << box->itemText(i);
    QCOMPARE(items.size(), 130);
    // The list as the device documentation gives it, written out here and
    // not taken from the table that filled the box.
    const QStringList expected{
        " #1234",
        "#1234b",
        "#1234C0",
        "#1234C1",
        "#1234l",
        "#1234r",
        "AS",
        "AST",
        "AZN?",
        "AZN12:00:00",
        "AZX?",
        "AZX12:00:00",
        "BE?",
        "BE0",
        "BE1",
        "BWF",
        "CALMT",
        "CALRT",
        "CALRT",
        "CALTT",
        "CHK?",
        "CHK0",
        "CHK1",
        "CLR",
        "DEVINFO?",
        "DIT1?",
        "DIT103",
        "DIT2?",
        "DIT299",
        "DTC?",
        "DTC401.78",
        "DTF?",
        "DTF00.03",
        "DTPHello World!",
        "DTS?",
        "DTS09.99",
        "EMU0",
        "EMU1",
        "EMU2",
        "FOOTBALL",
        "HELP",
        "KAMU111111111",
        "KAMU211111111",
        "KAMU222222222",
        "KL?",
        "KL0",
        "KL1",
        "LA?",
        "LAR",
        "LAT",
        "NSF?",
        "PRE?",
        "PRE0",
        "PRI_AF3",
        "PRI0",
        "PRI1",
        "PRILF",
        "PRILO",
        "PRIM",
        "PRINTER0",
        "PRINTER1",
        "PRINTER2",
        "PRMT0",
        "PRMT1",
        "PROG",
        "PS?",
        "PS0",
        "PS1",
        "RR?",
        "RR0",
        "RR1",
        "RR2",
        "RSBD?",
        "RSBD96",
        "RSM",
        "RSP00019999",
        "RSRST ",
        "RSRT?",
        "RSRT0",
        "RSRT1",
        "RSS",
        "RSS0002000020",
        "RSU?",
        "RSUA100109999",
        "RSUB012:00:00.000012:05:00.0000",
        "RT?",
        "RT0",
        "RT1",
        "SAF0",
        "SAFF",
        "SAFS",
        "SAS0",
        "SASD",
        "SASU",
        "SL?",
        "SL0",
        "SL1",
        "SM?",
        "SM0",
        "SM1",
        "SP2A",
        "SP2H",
        "SP2L",
        "SP2N",
        "SP2W",
        "SPDI?",
        "SPDI0100",
        "SPDR0",
        "SPDR1",
        "SPDR2",
        "SPEC:STOPWATCH:$A0$B0$C0",
        "SPEC?",
        "SPLV0100.0",
        "SPMI0000.1",
        "SPMI0010",
        "SPMX0200",
        "SPMX0200.0",
        "SPTI0",
        "SPTI1",
        "SPU0",
        "SPU1",
        "SPU2",
        "SST 1234 C0  12:34:56.7890 00",
        "SST?",
        "VEMOINIT",
        "USB-Vemo:BWF!!!",
        "USB-Vemo:NSF?!!",
        "USB-Vemo:Reset!",
        "USB-Vemo:BLANK!",
        "USB-Vemo:INIT!!",
    };
    QCOMPARE(expected.size(), 130);
    QCOMPARE(items, expected);
    QCOMPARE(dialogue::CommandList::Count, 130);

    // Entries as the device expects them, counted from 1.
    QCOMPARE(items.at(0), QStringLiteral(" #1234"));
    QCOMPARE(items.at(76), QStringLiteral("RSRST "));
    QCOMPARE(items.at(122), QStringLiteral("SST 1234 C0  12:34:56.7890 00"));
    QCOMPARE(items.at(17), QStringLiteral("CALRT"));
    QCOMPARE(items.at(18), QStringLiteral("CALRT"));
    QCOMPARE(items.count(QStringLiteral("CALRT")), 2);
    QCOMPARE(items.at(50), QStringLiteral("NSF?"));
    QCOMPARE(items.at(124), QStringLiteral("VEMOINIT"));
    const QStringList usb = items.mid(125);
    QCOMPARE(usb, (QStringList{"USB-Vemo:BWF!!!", "USB-Vemo:NSF?!!", "USB-Vemo:Reset!",
                               "USB-Vemo:BLANK!", "USB-Vemo:INIT!!"}));
    for (const QString &command : usb)
        QCOMPARE(command.size(), 15);
    // Only the five USB-interface commands are of that form.
    QCOMPARE(items.filter(QStringLiteral("USB-Vemo:")).size(), 5);

    // The box shows "NSF?" without having picked an entry.
    QCOMPARE(box->currentText(), QStringLiteral("NSF?"));
    QCOMPARE(box->lineEdit()->text(), QStringLiteral("NSF?"));
    QCOMPARE(box->currentIndex(), -1);
    QCOMPARE(box->itemData(0, Qt::SizeHintRole).toSize().height(), 16);
}

void TestForm1Layout::resizing_data()
{
    QTest::addColumn<QSize>("client");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("expected");

    const QSize wider(484, 543); // 100 wider, 50 higher
    QTest::newRow("Message grows") << wider << "Message" << QRect(16, 160, 453, 353);
    QTest::newRow("Update moves right") << wider << "Update" << QRect(380, 108, 91, 25);
    QTest::newRow("ChooseFile moves right") << wider << "ChooseFile" << QRect(300, 108, 73, 25);
    QTest::newRow("FileNameE widens") << wider << "FileNameE" << QRect(16, 112, 283, 21);
    QTest::newRow("ProgressBar1 widens") << wider << "ProgressBar1" << QRect(16, 136, 453, 18);
    QTest::newRow("FilterLifeTick moves down")
        << wider << "FilterLifeTick" << QRect(232, 516, 145, 17);
    QTest::newRow("BugLabel moves down") << wider << "BugLabel" << QRect(16, 516, 192, 13);
    QTest::newRow("Open stays") << wider << "Open" << QRect(192, 24, 75, 25);
    QTest::newRow("Close stays") << wider << "Close" << QRect(280, 24, 91, 25);
    QTest::newRow("service area stays") << wider << "DTPB" << QRect(808, 40, 75, 25);

    const QSize narrower(334, 443); // 50 narrower and lower
    QTest::newRow("narrow: Message shrinks") << narrower << "Message" << QRect(16, 160, 303, 253);
    QTest::newRow("narrow: Update moves left") << narrower << "Update" << QRect(230, 108, 91, 25);
    QTest::newRow("narrow: FilterLifeTick moves up")
        << narrower << "FilterLifeTick" << QRect(232, 416, 145, 17);

    const QSize service(905, 493); // wide enough for the service area
    QTest::newRow("service width: Message") << service << "Message" << QRect(16, 160, 874, 303);
    QTest::newRow("service width: EchoCB") << service << "EchoCB" << QRect(808, 16, 97, 17);
}

void TestForm1Layout::resizing()
{
    QFETCH(QSize, client);
    QFETCH(QString, name);
    QFETCH(QRect, expected);

    WindowFixture fixture;
    TForm1 &form = fixture.start();
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    form.resize(client);
    auto *control = form.findChild<QWidget *>(name);
    QVERIFY(control);
    QTRY_COMPARE(control->geometry(), expected);

    // Back at the design size every control is where it was laid out.
    form.resize(384, 493);
    QTRY_COMPARE(control->geometry(), form.Anchors().designRect(control));
}

void TestForm1Layout::tabOrderChain()
{
    WindowFixture fixture;
    TForm1 &form = fixture.start();

    // Follow the focus chain once round and note the named controls as they
    // first come (a combo box's line edit counts as its box).
    QStringList seen;
    QWidget *current = form.DevicesCB;
    for (int step = 0; step < 500; ++step) {
        QWidget *named = current;
        while (named && named != &form && !kTabOrder.contains(named->objectName()))
            named = named->parentWidget();
        if (named && named != &form && !seen.contains(named->objectName()))
            seen << named->objectName();
        current = current->nextInFocusChain();
        if (current == form.DevicesCB)
            break;
    }
    QCOMPARE(seen, kTabOrder);
}

void TestForm1Layout::tabKeyReachesEveryControl()
{
    WindowFixture fixture;
    TForm1 &form = fixture.start();
    // With every device control enabled, Tab visits each control that takes
    // focus, the service area beyond the window's edge included.
    for (QWidget *control :
         {static_cast<QWidget *>(form.Close), static_cast<QWidget *>(form.SendCommand),
          static_cast<QWidget *>(form.Update), static_cast<QWidget *>(form.ChooseFile),
          static_cast<QWidget *>(form.DownloadB)})
        control->setEnabled(true);
    form.ProgressBar1->show();
    form.show();
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    form.DevicesCB->setFocus();
    QTRY_VERIFY(form.DevicesCB->hasFocus());

    QStringList expected = kTabOrder;
    expected.removeOne(QStringLiteral("ProgressBar1")); // a progress bar takes no focus
    expected << QStringLiteral("DevicesCB");            // and round again

    QStringList visited{QStringLiteral("DevicesCB")};
    for (int i = 1; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget *focused = QApplication::focusWidget();
        while (focused && focused->parentWidget() != &form)
            focused = focused->parentWidget();
        QVERIFY(focused);
        visited << focused->objectName();
    }
    QCOMPARE(visited, expected);
    // Tab moved the focus: it did not type into the memos.
    QCOMPARE(form.WithoutFilter->toPlainText(), QStringLiteral("WithoutFilter"));
    QVERIFY(!form.Message->toPlainText().contains(QLatin1Char('\t')));
}

void TestForm1Layout::centredOnFirstShow()
{
    WindowFixture fixture;
    TForm1 &form = fixture.start();
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QPoint centre = form.screen()->availableGeometry().center();
    QTRY_VERIFY((form.frameGeometry().center() - centre).manhattanLength() <= 2);

    // Later shows keep the place the operator gave the window.
    form.hide();
    form.move(form.pos() + QPoint(-30, -20));
    const QPoint moved = form.pos();
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTRY_COMPARE(form.pos(), moved);
}

VEMO_TEST_MAIN(TestForm1Layout)
#include "tst_form1_layout.moc"
