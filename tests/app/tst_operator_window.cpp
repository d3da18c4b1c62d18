#include "app/Application.h"
#include "app/Unit1.h"
#include "dialogue/Intervals.h"
#include "tests/app/WindowFixture.h"
#include "tests/support/TestMain.h"
#include "usbio/sim/SimDevice.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using usbio::Generation;

// The operator's own functions in the real window over the simulated bus:
// sending commands, picking a file, the bug mail and the service-area tests.
class TestOperatorWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();
    void sendCommand_data();
    void sendCommand();
    void enterSends();
    void typedCommandIsSentAsTyped_data();
    void typedCommandIsSentAsTyped();
    void commandPickedFromTheListIsSent();
    void enterWithNoDeviceOpenLogsOneError();
    void chooseFile();
    void bugLabelOpensTheMail();
    void sleepTestBlocksFiftySeconds();
    void windTestSwitchesOnAndOff();
    void windTestTicksWithoutDeviceLogErrors();
    void twoHundredOpenCloseCycles();
    void twoHundredPrinterCommandsArriveInOrder();
    void windowClosedInsideASendStopsTheLoop();
};

namespace {

// Opens the only device and waits until its new-firmware query is in.
usbio::SimDevice *openOne(WindowFixture &fixture, TForm1 &form)
{
    usbio::SimDevice *device = fixture.bus().devices().value(0);
    QTest::mouseClick(form.Open, Qt::LeftButton);
    if (!QTest::qWaitFor(
            [&] { return device->receivedCommands().contains(QByteArray("USB-Vemo:NSF?!!")); }))
        return nullptr;
    device->clearRecords();
    return device;
}

// Input as the desktop delivers it: to the window, where a popup open at
// the time takes it first (keys go to the popup, and a click elsewhere only
// closes it), as under X. The widget overloads of Qt Test hand the event to
// the widget itself, past any popup.
void typeIntoWindow(QWidget *window, const QString &text)
{
    for (const QChar c : text)
        QTest::keyClick(window->windowHandle(), c.toLatin1());
}

void clickAsTheDesktop(QWidget *widget, const QPoint &at)
{
    QWidget *window = widget->window();
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, widget->mapTo(window, at));
}

void clickAsTheDesktop(QWidget *widget)
{
    clickAsTheDesktop(widget, widget->rect().center());
}

QByteArray piece(const QByteArray &text)
{
    return text + QByteArray(16 - text.size(), '\0');
}

} // namespace

void TestOperatorWindow::cleanup()
{
    dialogue::setIntervals(dialogue::Intervals());
}

void TestOperatorWindow::sendCommand_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("withCR");
    QTest::addColumn<QList<QByteArray>>("pieces");

    QTest::newRow("with CR") << "NSF?" << true << QList<QByteArray>{piece("NSF?\r")};
    QTest::newRow("without CR") << "NSF?" << false << QList<QByteArray>{piece("NSF?")};
    QTest::newRow("empty with CR: a lone CR") << "" << true << QList<QByteArray>{piece("\r")};
    QTest::newRow("empty without CR: nothing") << "" << false << QList<QByteArray>{};
    QTest::newRow("USB command fills one piece")
        << "USB-Vemo:NSF?!!" << true << QList<QByteArray>{"USB-Vemo:NSF?!!\r"};
    QTest::newRow("17 characters, two pieces")
        << "DTPabcdefghijklm" << true << QList<QByteArray>{"DTPabcdefghijklm", piece("\r")};
    QTest::newRow("blanks kept") << " #1234" << false << QList<QByteArray>{piece(" #1234")};
}

void TestOperatorWindow::sendCommand()
{
    QFETCH(QString, text);
    QFETCH(bool, withCR);
    QFETCH(QList<QByteArray>, pieces);

    WindowFixture fixture;
    fixture.attach(Generation::Vemo2, "000004711");
    TForm1 &form = fixture.start();
    usbio::SimDevice *device = openOne(fixture, form);
    QVERIFY(device);
    form.Command->setEditText(text);
    form.WithCR->setChecked(withCR);
    QTest::mouseClick(form.SendCommand, Qt::LeftButton);

    QTRY_COMPARE(device->receivedPieces().size(), pieces.size());
    QCOMPARE(device->receivedPieces(), pieces);
    // Nothing is logged on success (the device's answers are its own lines).
    QVERIFY(fixture.log().filter(QStringLiteral("Error writing")).isEmpty());
    QCOMPARE(form.Command->currentText(), text);
    QCOMPARE(form.Command->count(), 130);
}

void TestOperatorWindow::enterSends()
{
    WindowFixture fixture;
    fixture.attach(Generation::Vemo2, "000004711");
    TForm1 &form = fixture.start();
    usbio::SimDevice *device = openOne(fixture, form);
    QVERIFY(device);

    form.Command->setEditText(QStringLiteral("SP2W"));
    // The desktop gives keys to the box, which hands them to its line edit.
    QTest::keyClick(form.Command, Qt::Key_Return);
    QTest::keyClick(form.Command, Qt::Key_Enter, Qt::ShiftModifier);
    QTest::keyClick(form.Command, Qt::Key_A);
    QTRY_COMPARE(device->receivedCommands(), (QList<QByteArray>{"SP2W", "SP2W"}));
    // The key went on to the box: the letter was typed.
    QCOMPARE(form.Command->currentText(), QStringLiteral("SP2Wa"));
}

void TestOperatorWindow::typedCommandIsSentAsTyped_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("byEnter"); // else a click on Send Command
    // Each is the beginning of listed commands ("KL?", "KL0", "KL1", "NSF?"):
    // what was typed goes all the same.
    QTest::newRow("KL, clicked") << "KL" << false;
    QTest::newRow("KL, Enter") << "KL" << true;
    QTest::newRow("NSF, clicked") << "NSF" << false;
    QTest::newRow("lower case, clicked") << "kl" << false;
    QTest::newRow("a listed command whole, clicked") << "KL?" << false;
    QTest::newRow("a listed command whole, Enter") << "KL?" << true;
    QTest::newRow("no listed command, clicked") << "XYZ1" << false;
}

// Typed into the command box with keys as the desktop delivers them, a
// command is never completed in place and nothing opens beside the box: the
// first click on Send Command (or Enter) sends it as typed. A list of
// suggestions that opened as the operator typed would be a popup, which
// takes the next click for itself: that click would only close it.
void TestOperatorWindow::typedCommandIsSentAsTyped()
{
    QFETCH(QString, typed);
    QFETCH(bool, byEnter);

    WindowFixture fixture;
    fixture.attach(Generation::Vemo2, "000004711");
    TForm1 &form = fixture.start();
    form.show();
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    usbio::SimDevice *device = openOne(fixture, form);
    QVERIFY(device);

    clickAsTheDesktop(form.Command->lineEdit());
    QTRY_VERIFY(form.Command->lineEdit()->hasFocus());
    form.Command->clearEditText();
    typeIntoWindow(&form, typed);
    QCOMPARE(form.Command->currentText(), typed);
    QVERIFY(form.Command->lineEdit()->selectedText().isEmpty());
    QCOMPARE(QApplication::activePopupWidget(), nullptr);

    const QByteArray sent = typed.toLatin1();
    const auto send = [&] {
        if (byEnter)
            QTest::keyClick(form.windowHandle(), Qt::Key_Return);
        else
            clickAsTheDesktop(form.SendCommand);
    };
    send();
    QTRY_COMPARE(device->receivedCommands(), QList<QByteArray>{sent});
    QCOMPARE(form.Command->currentText(), typed);
    // Each click or Enter sends it once: the second is the next command.
    send();
    QTRY_COMPARE(device->receivedCommands(), (QList<QByteArray>{sent, sent}));
    QCOMPARE(form.Command->count(), 130);
}

// The 130 listed commands stay in the box's drop-down list: one picked
// there with the mouse is sent at the first click on Send Command.
void TestOperatorWindow::commandPickedFromTheListIsSent()
{
    WindowFixture fixture;
    fixture.attach(Generation::Vemo2, "000004711");
    TForm1 &form = fixture.start();
    form.show();
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    usbio::SimDevice *device = openOne(fixture, form);
    QVERIFY(device);

    QCOMPARE(form.Command->count(), 130);
    const int index = form.Command->findText(QStringLiteral("KL0"));
    QVERIFY(index >= 0);
    clickAsTheDesktop(form.Command->lineEdit());
    QTRY_VERIFY(form.Command->lineEdit()->hasFocus());
    QTest::keyClick(form.windowHandle(), Qt::Key_F4); // opens the list
    QAbstractItemView *list = form.Command->view();
    QTRY_VERIFY(list->isVisible());
    const QModelIndex item = list->model()->index(index, 0);
    list->scrollTo(item);
    clickAsTheDesktop(list->viewport(), list->visualRect(item).center());
    QTRY_VERIFY(!list->isVisible());
    QCOMPARE(form.Command->currentText(), QStringLiteral("KL0"));

    clickAsTheDesktop(form.SendCommand);
    QTRY_COMPARE(device->receivedCommands(), QList<QByteArray>{"KL0"});
}

void TestOperatorWindow::enterWithNoDeviceOpenLogsOneError()
{
    WindowFixture fixture;
    fixture.attach(Generation::Vemo2, "000004711");
    TForm1 &form = fixture.start();
    const QStringList before = fixture.log();

    QTest::keyClick(form.Command, Qt::Key_Return);

    const QStringList added = fixture.log().mid(before.size());
    QCOMPARE(added.size(), 1);
    QVERIFY2(added.first().startsWith(QStringLiteral("Error writing Command: ")) &&
                 added.first().size() > 23,
             qPrintable(added.first()));
    QVERIFY(!form.USBLink->Opened);
    QVERIFY(form.Open->isEnabled());
    QCOMPARE(form.Command->currentText(), QStringLiteral("NSF?"));
}

void TestOperatorWindow::chooseFile()
{
    WindowFixture fixture;
    fixture.attach(Generation::Vemo3, "000004711");
    TForm1 &form = fixture.start();
    openOne(fixture, form);

    fixture.host().chosenFile = QStringLiteral("/data/fw/vemo3.bin");
    QTest::mouseClick(form.ChooseFile, Qt::LeftButton);
    QCOMPARE(form.FileNameE->text(), QStringLiteral("/data/fw/vemo3.bin"));
    // The dialog offered the open device's files.
    QCOMPARE(fixture.host().callsOf(FakeHostServices::Call::FileDialog).last().text,
             QStringLiteral("Vemo3 update files|vemo3.exe;vemo3.bin"));

    // Cancelled: the field keeps its text.
    fixture.host().chosenFile.clear();
    QTest::mouseClick(form.ChooseFile, Qt::LeftButton);
    QCOMPARE(form.FileNameE->text(), QStringLiteral("/data/fw/vemo3.bin"));
}

void TestOperatorWindow::bugLabelOpensTheMail()
{
    WindowFixture fixture;
    fixture.host().os = platform::OsVersion{6, 1, QStringLiteral("Debian GNU/Linux 12 (bookworm)")};
    TForm1 &form = fixture.start();

    QTest::mouseClick(form.BugLabel, Qt::LeftButton);

    QCOMPARE(fixture.host().urlsOpened(),
             QStringList{"mailto:support@orvik.example?subject=BugreportVemo USB Update "
                         "V1.4.7.2&body=I use Operating System: V6.1 Debian GNU/Linux 12 "
                         "(bookworm)       Used Cable Number:        used device:       used "
                         "program:"});
    // No mail program: nothing is reported.
    fixture.host().urlOpens = false;
    const QStringList before = fixture.log();
    QTest::mouseClick(form.BugLabel, Qt::LeftButton);
    QCOMPARE(fixture.log(), before);
    QVERIFY(fixture.host().boxes().isEmpty());
}

void TestOperatorWindow::sleepTestBlocksFiftySeconds()
{
    WindowFixture fixture;
    TForm1 &form = fixture.start();
    fixture.host().clearCalls();
    form.resize(905, form.height()); // the service area shows
    QTest::mouseClick(form.SleepTestB, Qt::LeftButton);
    QCOMPARE(fixture.host().journal(),
             (QStringList{"cursor busy", "sleep 50000", "cursor normal"}));
    // The fake's sleep does not handle messages either: nothing ran between.
    QCOMPARE(fixture.host().processMessagesCalls() + fixture.host().handleMessageCalls(), 0);
}

void TestOperatorWindow::windTestSwitchesOnAndOff()
{
    dialogue::Intervals fast;
    fast.windTest = 40;
    dialogue::setIntervals(fast);
    WindowFixture fixture;
    fixture.attach(Generation::Vemo2, "000004711");
    TForm1 &form = fixture.start();
    usbio::SimDevice *device = openOne(fixture, form);
    QVERIFY(device);

    // Twice before the first period is over: nothing is ever sent.
    QTest::mouseClick(form.Count10sWind, Qt::LeftButton);
    QTest::mouseClick(form.Count10sWind, Qt::LeftButton);
    QVERIFY(!form.VemoWind->isActive());
    QTest::qWait(150);
    QVERIFY(device->receivedPieces().isEmpty());

    // On: "SP2W" + CR every period, whatever With CR says.
    form.WithCR->setChecked(false);
    QTest::mouseClick(form.Count10sWind, Qt::LeftButton);
    QTRY_VERIFY(device->receivedPieces().size() >= 2);
    QCOMPARE(device->receivedPieces().first(), piece("SP2W\r"));
    QCOMPARE(form.Count10sWind->text(), QStringLiteral("Count10sWind"));
    QTest::mouseClick(form.Count10sWind, Qt::LeftButton);
    QVERIFY(!form.VemoWind->isActive());
}

void TestOperatorWindow::windTestTicksWithoutDeviceLogErrors()
{
    dialogue::Intervals fast;
    fast.windTest = 20;
    dialogue::setIntervals(fast);
    WindowFixture fixture;
    fixture.attach(Generation::Vemo2, "000004711");
    TForm1 &form = fixture.start();
    const int before = fixture.log().size();

    QTest::mouseClick(form.Count10sWind, Qt::LeftButton);
    QTRY_VERIFY(fixture.log().size() >= before + 3);
    form.VemoWind->stop();
    for (const QString &line : fixture.log().mid(before))
        QVERIFY2(line.startsWith(QStringLiteral("Error writing Command: ")), qPrintable(line));
}

void TestOperatorWindow::twoHundredOpenCloseCycles()
{
    WindowFixture fixture;
    usbio::SimDevice *device = fixture.attach(Generation::Vemo2, "000004711");
    TForm1 &form = fixture.start();
    const int before = fixture.log().size();

    QTest::mouseClick(form.OpenCloseTestB, Qt::LeftButton);

    // Every cycle reports the same three lines, none of them a failure.
    const QStringList added = fixture.log().mid(before);
    QCOMPARE(added.size(), 600);
    for (int i = 0; i < 600; i += 3) {
        QCOMPARE(added.at(i), QStringLiteral("Device opend: Vemo2 #1"));
        QVERIFY2(added.at(i + 1).startsWith(QStringLiteral("API:")), qPrintable(added.at(i + 1)));
        QCOMPARE(added.at(i + 2), QStringLiteral("Device closed"));
    }
    QVERIFY(!form.USBLink->Opened);
    QVERIFY(form.Open->isEnabled());
    // The device is still there to be opened.
    QTest::mouseClick(form.Open, Qt::LeftButton);
    QVERIFY(form.USBLink->Opened);
    QTRY_VERIFY(device->receivedCommands().contains(QByteArray("USB-Vemo:NSF?!!")));
}

void TestOperatorWindow::twoHundredPrinterCommandsArriveInOrder()
{
    WindowFixture fixture;
    fixture.attach(Generation::Vemo2, "000004711");
    TForm1 &form = fixture.start();
    usbio::SimDevice *device = openOne(fixture, form);
    QVERIFY(device);
    const int before = fixture.log().size();

    QTest::mouseClick(form.DTPTestB, Qt::LeftButton);

    QTRY_COMPARE(device->receivedPieces().size(), 400);
    for (int i = 0; i < 400; i += 2) {
        QCOMPARE(device->receivedPieces().at(i), QByteArray("DTP1234567890123"));
        QCOMPARE(device->receivedPieces().at(i + 1), piece("45678901234\r"));
    }
    QCOMPARE(device->receivedCommands().size(), 200);
    // No write failed; the device acknowledged each one.
    QVERIFY(fixture.log().filter(QStringLiteral("Error writing")).isEmpty());
    QTRY_COMPARE(fixture.log().mid(before).count(QStringLiteral("DTP")), 200);
}

void TestOperatorWindow::windowClosedInsideASendStopsTheLoop()
{
    WindowFixture fixture;
    usbio::SimDevice *device = fixture.attach(Generation::Vemo2, "000004711");
    TForm1 &form = fixture.start();
    form.show();
    QVERIFY(openOne(fixture, form));
    // Slow completions, so the loop waits inside its sends.
    device->faults().writeCompletionDelayMs = 2;

    QTimer::singleShot(30, &form, [&form] { form.close(); });
    QTest::mouseClick(form.DTPTestB, Qt::LeftButton);

    QVERIFY(form.USBLink == nullptr);
    const int sent = device->receivedPieces().size();
    QVERIFY2(sent > 0 && sent < 400, qPrintable(QString::number(sent)));
    QTest::qWait(50);
    QCOMPARE(device->receivedPieces().size(), sent);
}

// The application object of the program, so an exception that leaves a
// handler reaches its display as in the program.
int main(int argc, char *argv[])
{
    useOffscreenUnlessSet();
    VemoApplication app(argc, argv);
    TestOperatorWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_operator_window.moc"
