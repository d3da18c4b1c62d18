#include "app/Application.h"
#include "app/Unit1.h"
#include "dialogue/FirmwareFile.h"
#include "dialogue/UpdateFlow.h"
#include "platform/MessageBoxStyle.h"
#include "tests/app/WindowFixture.h"
#include "tests/support/TestBytes.h"
#include "tests/support/TestMain.h"
#include "usbio/sim/SimDevice.h"

#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using usbio::Generation;

// Closing the window while an image streams into the device: the operator
// is asked first, No keeps the window and the transfer, Yes closes once the
// chunk in flight is done and logs how far the image got.
class TestTransferWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void closeWhileTransferRuns_data();
    void closeWhileTransferRuns();
    void closeWithoutTransferAsksNothing();
};

namespace {

constexpr int kImageSize = 64 * 200 + 7;

// The window with its device open, streaming an image the device takes
// slowly (the loader's blank flash announced), once a tenth of it is in.
struct Streaming
{
    WindowFixture fixture;
    QTemporaryDir dir;
    usbio::SimDevice *device = nullptr;
    QByteArray image = testBytes(kImageSize, 17);
    QString path;

    bool start()
    {
        device = fixture.attach(Generation::Vemo2, "000004711");
        TForm1 &form = fixture.start();
        form.show();
        if (!QTest::qWaitForWindowExposed(&form))
            return false;
        QTest::mouseClick(form.Open, Qt::LeftButton);
        if (!form.USBLink->Opened)
            return false;
        path = dir.filePath(QStringLiteral("vemo2.bin"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
            return false;
        file.close();
        form.FileNameE->setText(path);
        device->faults().writeCompletionDelayMs = 5;
        device->sendToHost("Flash is BLANK\r");
        return QTest::qWaitFor(
            [&] { return device->receivedChunks().join().size() >= kImageSize / 10; }, 10000);
    }
};

} // namespace

void TestTransferWindow::closeWhileTransferRuns_data()
{
    QTest::addColumn<int>("answer");
    QTest::newRow("No") << int(platform::IDNO);
    QTest::newRow("Yes") << int(platform::IDYES);
}

void TestTransferWindow::closeWhileTransferRuns()
{
    QFETCH(int, answer);
    Streaming s;
    QVERIFY(s.start());
    TForm1 &form = s.fixture.window();
    s.fixture.host().clearCalls();
    s.fixture.host().queueAnswer(answer);

    const bool closed = form.close();

    // Asked once: Yes and No, No the default.
    const int flags = platform::MB_YESNO | platform::MB_ICONQUESTION | platform::MB_DEFBUTTON2;
    QCOMPARE(s.fixture.boxes(),
             QStringList{QStringLiteral("%1|%2|%3")
                             .arg(QLatin1String(dialogue::UpdateFlow::CloseQuestion),
                                  QLatin1String(dialogue::UpdateFlow::CloseCaption))
                             .arg(flags)});
    QCOMPARE(platform::MessageBoxStyle::fromFlags(flags).defaultButton, QMessageBox::No);

    if (answer == platform::IDNO) {
        // The window stays and the transfer goes on to its end.
        QVERIFY(!closed);
        QVERIFY(form.isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(s.device->receivedChunks().join(), s.image, 20000);
        QTRY_COMPARE(s.fixture.log()
                         .filter(QStringLiteral("Firmware update complete: %1, %2 bytes in ")
                                     .arg(s.path)
                                     .arg(kImageSize))
                         .size(),
                     1);
        QVERIFY(s.fixture.log().filter(QStringLiteral("Firmware transfer failed")).isEmpty());
        return;
    }

    // Closed once the chunk in flight was taken: the device has whole chunks
    // of the image, and the log says how many bytes.
    QVERIFY(closed);
    QVERIFY(!form.isVisible());
    QVERIFY(!form.USBLink);
    const QByteArray taken = s.device->receivedChunks().join();
    QVERIFY(taken.size() < kImageSize);
    QCOMPARE(taken.size() % 64, 0);
    QCOMPARE(taken, s.image.left(taken.size()));
    QCOMPARE(
        s.fixture.log().filter(QStringLiteral("Firmware transfer failed")),
        QStringList{QStringLiteral("Firmware transfer failed: %1, %2 of %3 bytes taken: stopped")
                        .arg(s.path)
                        .arg(taken.size())
                        .arg(kImageSize)});
    // Nothing reaches the device later: the device takes a chunk when its
    // completion timer fires, and every such timer started before the close
    // fires before one started now with a longer interval.
    bool later = false;
    QTimer::singleShot(10 * s.device->faults().writeCompletionDelayMs, Qt::PreciseTimer, &form,
                       [&later] { later = true; });
    QTRY_VERIFY(later);
    QCOMPARE(s.device->receivedChunks().join(), taken);
}

void TestTransferWindow::closeWithoutTransferAsksNothing()
{
    WindowFixture fixture;
    fixture.attach(Generation::Vemo2, "000004711");
    TForm1 &form = fixture.start();
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTest::mouseClick(form.Open, Qt::LeftButton);
    QVERIFY(form.USBLink->Opened);
    fixture.host().clearCalls();

    QVERIFY(form.close());
    QVERIFY(fixture.host().boxes().isEmpty());
    QVERIFY(!form.USBLink);
}

int main(int argc, char *argv[])
{
    useOffscreenUnlessSet();
    VemoApplication app(argc, argv);
    TestTransferWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_transfer_window.moc"
