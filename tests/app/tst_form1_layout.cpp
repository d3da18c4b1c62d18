#include "app/Unit1.h"
#include "dialogue/CommandList.h"
#include "tests/app/WindowFixture.h"
#include "tests/support/TestMain.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTest>
#include <QTimer>

#include <iterator>

// The window as its layout gives it, after a start-up without devices:
// every control, the command list, the timers, anchored resizing, the tab
// order and the first show.
class TestForm1Layout : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void controls_data();
    void controls();
    void noControlBeyondTheLayout();
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

// One control of the layout. Controls are found by their object names (the
// names of the design), never by the window's members.
struct Control
{
    const char *name;
    const char *kind; // class name
    QRect bounds;     // in the design's client area of 384 x 493
    int anchors;
    const char *text; // caption or content after start-up; "*": filled by start-up
    const char *hint;
    bool hintShown; // the hint is the tool tip
    bool enabled;   // after start-up
    bool visible;   // after start-up
    bool tabStop;
};

// The layout, the one table of it: the controls that take focus in their
// tab order, then the labels. Start-up disables Close, SendCommand, Update,
// ChooseFile and DownloadB and hides ProgressBar1; everything else is as laid
// out.
// clang-format off
const Control kLayout[] = {
    // name            kind            bounds                anchors text                  hint                                  shown  enabled visible tab
    {"DevicesCB",      "QComboBox",    {16, 24, 145, 21},    LT,   "",                     "Choose a Vemo",                       true,  true,  true,  true},
    {"Open",           "QPushButton",  {192, 24, 75, 25},    LT,   "Open",                 "Open Device",                         true,  true,  true,  true},
    {"Close",          "QPushButton",  {280, 24, 91, 25},    LT,   "Close",                "Close Device",                        true,  false, true,  true},
    {"Message",        "LogView",      {16, 160, 353, 303},  LTRB, "*",                    "Messages Window",                     true,  true,  true,  true},
    {"SendCommand",    "QPushButton",  {168, 64, 105, 25},   LT,   "Send Command",         "Send choosen command to the Vemo",    true,  false, true,  true},
    {"FileNameE",      "QLineEdit",    {16, 112, 183, 21},   LTR,  "",                     "Enter Firmware Update File",          true,  true,  true,  true},
    {"ChooseFile",     "QPushButton",  {200, 108, 73, 25},   TR,   "Search...",            "Search for File",                     true,  false, true,  true},
    {"ProgressBar1",   "QProgressBar", {16, 136, 353, 18},   LTR,  "0",                    "Update in Progress",                  true,  true,  false, true},
    {"Update",         "QPushButton",  {280, 108, 91, 25},   TR,   "Update",               "Program new Firmware",                true,  false, true,  true},
    {"Button1",        "QPushButton",  {448, 40, 89, 25},    LT,   "SleepTest 5s",         "",                                    false, true,  true,  true},
    {"Button2",        "QPushButton",  {448, 72, 89, 25},    LT,   "200xOpen/Close",       "",                                    false, true,  true,  true},
    {"WithCR",         "QCheckBox",    {48, 88, 97, 17},     LT,   "With CR",              "Add a Carriage return after command", true,  true,  true,  true},
    {"FilterLifeTick", "QCheckBox",    {232, 466, 145, 17},  LB,   "Filter Life Tick",     "Here you can disable view of Life Ticker", true, true, true, true},
    {"Command",        "QComboBox",    {16, 64, 145, 24},    LT,   "NSF?",                 "Enter a command",                     true,  true,  true,  true},
    {"WithoutFilter",  "LogView",      {600, 8, 185, 89},    LT,   "WithoutFilter",        "",                                    false, true,  true,  true},
    {"Count10sWind",   "QPushButton",  {448, 8, 89, 25},     LT,   "Count10sWind",         "Sends a SP2W to Vemo after every 10 sek. for countinous Wind test", false, true, true, true},
    {"DownloadB",      "QPushButton",  {280, 64, 91, 25},    LT,   "Download Fw",          "Download Firmware from Internet",     false, false, true,  true},
    {"EchoCB",         "QCheckBox",    {808, 16, 97, 17},    LT,   "Echo",                 "",                                    false, true,  true,  true},
    {"DTPB",           "QPushButton",  {808, 40, 75, 25},    LT,   "200xDTP",              "",                                    false, true,  true,  true},
    {"VemosL",         "QLabel",       {16, 8, 77, 13},      LT,   "Vemo's available:",    "Choose an available Vemo",            true,  true,  true,  false},
    {"BugLabel",       "QLabel",       {16, 466, 192, 13},   LB,   "Send Bug to: support@orvik.example", "Click here to send a bugreport", true, true, true, false},
};
// clang-format on

const QSize kDesignClient(384, 493);

// Tab position of the controls, labels excluded.
QStringList tabOrder()
{
    QStringList names;
    for (const Control &control : kLayout) {
        if (control.tabStop)
            names << QString::fromLatin1(control.name);
    }
    return names;
}

// Where a control of the design goes in a client area grown by delta: a
// side anchored to the right or bottom edge keeps its distance to it, and a
// control anchored to both opposite edges stretches.
QRect anchoredAt(const Control &control, const QSize &client)
{
    const int dx = client.width() - kDesignClient.width();
    const int dy = client.height() - kDesignClient.height();
    QRect rect = control.bounds;
    const bool left = control.anchors & A::AnchorLeft;
    const bool right = control.anchors & A::AnchorRight;
    const bool top = control.anchors & A::AnchorTop;
    const bool bottom = control.anchors & A::AnchorBottom;
    if (right && left)
        rect.setWidth(rect.width() + dx);
    else if (right)
        rect.translate(dx, 0);
    if (bottom && top)
        rect.setHeight(rect.height() + dy);
    else if (bottom)
        rect.translate(0, dy);
    return rect;
}

QWidget *controlNamed(TForm1 &form, const QString &name)
{
    return form.findChild<QWidget *>(name, Qt::FindDirectChildrenOnly);
}

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
    QTest::addColumn<int>("row");
    for (int row = 0; row < int(std::size(kLayout)); ++row)
        QTest::newRow(kLayout[row].name) << row;
}

void TestForm1Layout::controls()
{
    QFETCH(int, row);
    const Control &expected = kLayout[row];
    const QString name = QString::fromLatin1(expected.name);

    WindowFixture fixture;
    TForm1 &form = fixture.start();
    QWidget *control = controlNamed(form, name);
    QVERIFY2(control, qPrintable(name));
    QCOMPARE(QString::fromLatin1(control->metaObject()->className()),
             QString::fromLatin1(expected.kind));
    QCOMPARE(control->geometry(), expected.bounds);
    if (qstrcmp(expected.text, "*") != 0)
        QCOMPARE(textOf(control), QString::fromLatin1(expected.text));
    // Every hint is held; only the shown ones are tool tips.
    const QString hint = QString::fromLatin1(expected.hint);
    QCOMPARE(control->property("hint").toString(), hint);
    QCOMPARE(control->toolTip(), expected.hintShown ? hint : QString());
    QCOMPARE(control->isEnabled(), expected.enabled);
    QCOMPARE(!control->isHidden(), expected.visible);
    QCOMPARE(form.Anchors().anchors(control), expected.anchors);
    QCOMPARE(form.Anchors().designRect(control), expected.bounds);
    if (!expected.tabStop)
        QCOMPARE(control->focusPolicy(), Qt::NoFocus); // labels take no focus
}

void TestForm1Layout::noControlBeyondTheLayout()
{
    WindowFixture fixture;
    TForm1 &form = fixture.start();
    QStringList laidOut;
    for (const Control &control : kLayout)
        laidOut << QString::fromLatin1(control.name);
    QStringList present;
    for (QWidget *child : form.findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
        present << child->objectName();
    laidOut.sort();
    present.sort();
    QCOMPARE(present, laidOut);
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
    auto *box = qobject_cast<QComboBox *>(controlNamed(form, QStringLiteral("Command")));
    QVERIFY(box);

    // The box offers the dialogue's list of operator commands, in its order.
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items << box->itemText(i);
    QCOMPARE(items, dialogue::CommandList::operatorCommands());
    QCOMPARE(items.size(), dialogue::CommandList::Count);
    QCOMPARE(items.size(), 130);

    // Entries as the device expects them, counted from 1: the blanks, the
    // doubled entry and the five USB-interface commands at the end.
    QCOMPARE(items.first(), QStringLiteral(" #1234"));
    QCOMPARE(items.at(76), QStringLiteral("RSRST "));
    QCOMPARE(items.at(84), QStringLiteral("RSUB012:00:00.000012:05:00.0000"));
    QCOMPARE(items.at(122), QStringLiteral("SST 1234 C0  12:34:56.7890 00"));
    QCOMPARE(items.at(17), QStringLiteral("CALRT"));
    QCOMPARE(items.at(18), QStringLiteral("CALRT"));
    QCOMPARE(items.count(QStringLiteral("CALRT")), 2);
    QCOMPARE(items.at(33), QStringLiteral("DTPHello World!"));
    QCOMPARE(items.at(50), QStringLiteral("NSF?"));
    QCOMPARE(items.at(110), QStringLiteral("SPEC:STOPWATCH:$A0$B0$C0"));
    QCOMPARE(items.at(124), QStringLiteral("VEMOINIT"));
    const QStringList usb = items.mid(125);
    QCOMPARE(usb, (QStringList{"USB-Vemo:BWF!!!", "USB-Vemo:NSF?!!", "USB-Vemo:Reset!",
                               "USB-Vemo:BLANK!", "USB-Vemo:INIT!!"}));
    for (const QString &command : usb)
        QCOMPARE(command.size(), 15);
    // Only the five USB-interface commands are of that form.
    QCOMPARE(items.filter(QStringLiteral("USB-Vemo:")).size(), 5);
    // The whole list as the device documentation gives it, by its
    // fingerprint (SHA-256 of the entries joined by line breaks): a change
    // to any entry of the table shows here and is made on purpose.
    QCOMPARE(QCryptographicHash::hash(items.join(QLatin1Char('\n')).toLatin1(),
                                      QCryptographicHash::Sha256)
                 .toHex(),
             QByteArray("f2b7645622eb9ec5b9f21e815718bb135fc5c1082aabd4e92114d222a371898d"));

    // The box shows "NSF?" without having picked an entry.
    QCOMPARE(box->currentText(), QStringLiteral("NSF?"));
    QCOMPARE(box->lineEdit()->text(), QStringLiteral("NSF?"));
    QCOMPARE(box->currentIndex(), -1);
    QCOMPARE(box->itemData(0, Qt::SizeHintRole).toSize().height(), 16);
}

void TestForm1Layout::resizing_data()
{
    QTest::addColumn<QSize>("client");
    QTest::addColumn<int>("row");

    // Every control at three client sizes: wider and higher, narrower and
    // lower, and wide enough for the service area beyond the design's edge.
    const QList<QPair<const char *, QSize>> clients{{"wider", QSize(484, 543)},
                                                    {"narrower", QSize(334, 443)},
                                                    {"service width", QSize(905, 493)}};
    for (const auto &[what, client] : clients) {
        for (int row = 0; row < int(std::size(kLayout)); ++row)
            QTest::addRow("%s: %s", what, kLayout[row].name) << client << row;
    }
}

void TestForm1Layout::resizing()
{
    QFETCH(QSize, client);
    QFETCH(int, row);
    const Control &expected = kLayout[row];

    WindowFixture fixture;
    TForm1 &form = fixture.start();
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    form.resize(client);
    QWidget *control = controlNamed(form, QString::fromLatin1(expected.name));
    QVERIFY(control);
    QTRY_COMPARE(control->geometry(), anchoredAt(expected, client));

    // Back at the design size every control is where it was laid out.
    form.resize(kDesignClient);
    QTRY_COMPARE(control->geometry(), expected.bounds);
}

void TestForm1Layout::tabOrderChain()
{
    WindowFixture fixture;
    TForm1 &form = fixture.start();

    // Follow the focus chain once round and note the named controls as they
    // first come (a combo box's line edit counts as its box).
    const QStringList order = tabOrder();
    QStringList seen;
    QWidget *current = form.DevicesCB;
    for (int step = 0; step < 500; ++step) {
        QWidget *named = current;
        while (named && named != &form && !order.contains(named->objectName()))
            named = named->parentWidget();
        if (named && named != &form && !seen.contains(named->objectName()))
            seen << named->objectName();
        current = current->nextInFocusChain();
        if (current == form.DevicesCB)
            break;
    }
    QCOMPARE(seen, order);
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

    QStringList expected = tabOrder();
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
