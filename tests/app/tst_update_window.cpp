#include "app/Application.h"
#include "app/Unit1.h"
#include "dialogue/FirmwareFile.h"
#include "dialogue/GenerationGuard.h"
#include "dialogue/Intervals.h"
#include "dialogue/UpdateFlow.h"
#include "tests/app/WindowFixture.h"
#include "tests/support/TestBytes.h"
#include "tests/support/TestMain.h"
#include "usbio/devicemodel/VemoFirmware.h"
#include "usbio/sim/SimDevice.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using usbio::Generation;

// The firmware update on the simulated device, end to end: the loader
// request, the device restarting into its loader and back, the repeated
// request, the image streamed and the device restarting with it; and the
// ways it stops short.
class TestUpdateWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void installerAndImageNames_data();
    void installerAndImageNames();
    void wholeUpdate_data();
    void wholeUpdate();
    void updateThroughAnInstaller();
    void installerThatCannotStart();
    void installerLeavesNoImage();
    void loaderReadyWithoutAnUpdate();
    void transferThatCannotStartEndsTheUpdate();
    void updateRefused_data();
    void updateRefused();
    void anotherGenerationAsksFirst_data();
    void anotherGenerationAsksFirst();
    void deviceThatNeverComesBack();
    void deviceRemovedHalfWayThroughTheImage_data();
    void deviceRemovedHalfWayThroughTheImage();
    void progressReports();

private:
    usbio::SimDevice *attach(Generation generation, int imageSize, int eraseDelayMs = 20);
    TForm1 &startAndOpen();
    QString writeImage(const QByteArray &bytes,
                       const QString &name = QStringLiteral("firmware.bin"));
    QStringList log() const { return m_fixture->log(); }

    std::unique_ptr<WindowFixture> m_fixture;
    std::unique_ptr<QTemporaryDir> m_dir;
    usbio::SimDevice *m_device = nullptr;
};

namespace {

// Every entry of want appears in log, in this order.
bool inOrder(const QStringList &log, const QStringList &want)
{
    int from = 0;
    for (const QString &line : want) {
        from = log.indexOf(line, from);
        if (from < 0)
            return false;
        ++from;
    }
    return true;
}

} // namespace

void TestUpdateWindow::init()
{
    dialogue::Intervals fast;
    fast.bwfScale = 0.003; // 60 ms for the first generation, 90 ms for the others
    fast.restartReminder = 25;
    dialogue::setIntervals(fast);
    m_dir = std::make_unique<QTemporaryDir>();
    m_fixture = std::make_unique<WindowFixture>();
    m_fixture->host().tempDir = m_dir->path();
}

void TestUpdateWindow::cleanup()
{
    m_fixture.reset();
    m_dir.reset();
    dialogue::setIntervals(dialogue::Intervals());
}

usbio::SimDevice *TestUpdateWindow::attach(Generation generation, int imageSize, int eraseDelayMs)
{
    usbio::SimDeviceSettings settings;
    settings.generation = generation;
    settings.serialNumber = "000004711";
    settings.restartDelayMs = 60;
    settings.eraseDelayMs = eraseDelayMs;
    // Images of whole chunks end when the loader has this many bytes.
    settings.imageSize = imageSize;
    m_device = m_fixture->bus().attach(settings);
    return m_device;
}

TForm1 &TestUpdateWindow::startAndOpen()
{
    TForm1 &form = m_fixture->start();
    QTest::mouseClick(form.Open, Qt::LeftButton);
    [&] { QTRY_VERIFY(m_device->receivedCommands().contains("USB-Vemo:NSF?!!")); }();
    return form;
}

QString TestUpdateWindow::writeImage(const QByteArray &bytes, const QString &name)
{
    const QString path = m_dir->filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return path;
}

void TestUpdateWindow::installerAndImageNames_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("installer");
    QTest::newRow("vemo2.exe") << "/fw/vemo2.exe" << true;
    QTest::newRow("VEMO2.EXE") << "/fw/VEMO2.EXE" << true;
    QTest::newRow("Vemo.eXe") << "/fw/Vemo.eXe" << true;
    QTest::newRow("vemo.bin") << "/fw/vemo.bin" << false;
    QTest::newRow("exe without dot") << "/fw/vemoexe" << false;
    QTest::newRow("short") << "exe" << false;
}

void TestUpdateWindow::installerAndImageNames()
{
    QFETCH(QString, file);
    QFETCH(bool, installer);
    QCOMPARE(dialogue::FirmwareFile::isInstaller(file), installer);
    QCOMPARE(dialogue::FirmwareFile::imagePath(QStringLiteral("/tmp"), QStringLiteral("Vemo2")),
             QStringLiteral("/tmp/Vemo2.bin"));
    QCOMPARE(dialogue::FirmwareFile::imagePath(QStringLiteral("/tmp/"), QStringLiteral("Vemo3")),
             QStringLiteral("/tmp/Vemo3.bin"));
    QCOMPARE(dialogue::FirmwareFile::imagePath(QStringLiteral("/t"), QStringLiteral("vemo2")),
             QStringLiteral("/t/Vemo.bin"));
}

void TestUpdateWindow::wholeUpdate_data()
{
    QTest::addColumn<int>("generation");
    QTest::addColumn<int>("size");

    for (Generation generation : {Generation::Vemo, Generation::Vemo2, Generation::Vemo3}) {
        const QByteArray name = usbio::generationName(generation);
        for (int size : {1, 63, 64, 65, 200 * 1024 + 17})
            QTest::addRow("%s, %d bytes", name.constData(), size) << int(generation) << size;
    }
}

void TestUpdateWindow::wholeUpdate()
{
    QFETCH(int, generation);
    QFETCH(int, size);

    attach(Generation(generation), size);
    const QByteArray version = m_device->firmwareVersion();
    TForm1 &form = startAndOpen();
    const QByteArray image = testBytes(size);
    form.FileNameE->setText(writeImage(image));
    const QString name = QString::fromLatin1(usbio::generationName(Generation(generation)));

    QTest::mouseClick(form.Update, Qt::LeftButton);
    QVERIFY(form.Dialogue().update().updating());
    QVERIFY(!form.Update->isEnabled() && !form.SendCommand->isEnabled() &&
            !form.DownloadB->isEnabled());

    // Reported done once the device took the last chunk, then the device
    // restarts with it.
    QTRY_VERIFY_WITH_TIMEOUT(!form.Dialogue().update().updating(), 20000);
    QCOMPARE(m_device->image(), image);
    QVERIFY(!form.ProgressBar1->isVisible());
    QCOMPARE(form.ProgressBar1->value(), 100);
    QVERIFY(!m_fixture->host().busyCursor());
    // The device comes back with the new firmware; without an update
    // running it is listed, not opened.
    QTRY_COMPARE(m_device->firmwareVersion(), usbio::VemoFirmware::nextVersion(version));
    QTRY_VERIFY(m_device->onBus() && form.DevicesCB->count() == 1 && form.Open->isEnabled());
    QVERIFY(!form.USBLink->Opened);

    QVERIFY2(inOrder(log(), {"OnPnPRemoveNotification", "Device closed", "Please restart Vemo!!",
                             "OnPnPAddNotification", "Device opend: " + name + " #1",
                             "Did not receive Flash is blank. Sending additional BWF...",
                             "sending File...."}),
             qPrintable(log().join('\n')));
    // In update mode the re-open sends no new-firmware query.
    QCOMPARE(m_device->receivedCommands().count("USB-Vemo:NSF?!!"), 1);
    QVERIFY(m_fixture->host().beeps() >= 2); // the reminder and "Flash is BLANK"
    QVERIFY(!form.RestartVemoTimer->isActive());
    QVERIFY(!form.BWFTimer->isActive());
}

void TestUpdateWindow::updateThroughAnInstaller()
{
    attach(Generation::Vemo2, 0);
    TForm1 &form = startAndOpen();
    const QByteArray image = testBytes(1000);
    const QString installer = writeImage("#!/bin/sh\n", QStringLiteral("VEMO2.EXE"));
    form.FileNameE->setText(installer);
    // In place of the real installer: it leaves the image in the temporary
    // directory under the generation's name.
    m_fixture->host().onProgram = [this, image](const QString &, const QStringList &) {
        writeImage(image, QStringLiteral("Vemo2.bin"));
    };

    QTest::mouseClick(form.Update, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!form.Dialogue().update().updating(), 10000);

    const QList<FakeHostServices::Call> runs = m_fixture->host().programsRun();
    QCOMPARE(runs.size(), 1);
    QCOMPARE(runs.first().text, installer);
    QCOMPARE(runs.first().arguments, QStringList{" /auto"});
    QCOMPARE(form.FileNameE->text(), m_dir->path() + QStringLiteral("/Vemo2.bin"));
    QCOMPARE(m_device->image(), image);
}

void TestUpdateWindow::installerThatCannotStart()
{
    attach(Generation::Vemo3, 0);
    TForm1 &form = startAndOpen();
    const QString installer = writeImage("x", QStringLiteral("vemo3.exe"));
    form.FileNameE->setText(installer);
    m_fixture->host().programStarts = false;

    QTest::mouseClick(form.Update, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(m_fixture->host().boxes().size() == 1, 10000);

    QCOMPARE(m_fixture->boxes(), QStringList{"Error executing uC-Software|" + installer + "|16"});
    QVERIFY(form.FileNameE->text().isEmpty());
    // Stalled: the update stays set, nothing was sent, the cursor is back.
    QVERIFY(form.Dialogue().update().updating());
    QVERIFY(m_device->receivedChunks().isEmpty());
    QVERIFY(!m_fixture->host().busyCursor());
    QVERIFY(!form.ProgressBar1->isVisible());
}

void TestUpdateWindow::installerLeavesNoImage()
{
    attach(Generation::Vemo2, 0);
    TForm1 &form = startAndOpen();
    form.FileNameE->setText(writeImage("x", QStringLiteral("vemo2.exe")));

    QTest::mouseClick(form.Update, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(log().contains(QStringLiteral("sending File....")), 10000);

    QCOMPARE(m_fixture->host().programsRun().size(), 1);
    QCOMPARE(form.FileNameE->text(), m_dir->path() + QStringLiteral("/Vemo2.bin"));
    QVERIFY(m_fixture->host().boxes().isEmpty());
    QVERIFY(form.Dialogue().update().updating());
    QVERIFY(!m_fixture->host().busyCursor());
    QVERIFY(m_device->receivedChunks().isEmpty());
}

void TestUpdateWindow::loaderReadyWithoutAnUpdate()
{
    attach(Generation::Vemo2, 0);
    TForm1 &form = startAndOpen();
    const QByteArray image = testBytes(300);
    form.FileNameE->setText(writeImage(image));

    // Acted on in every state, no update started included.
    m_device->sendToHost("Flash is BLANK\r");
    QTRY_COMPARE(m_device->receivedChunks().join(), image);
    QTRY_VERIFY(!form.ProgressBar1->isVisible());
    QCOMPARE(form.ProgressBar1->value(), 100);
    QVERIFY(!form.Dialogue().update().updating());
    QVERIFY(log().contains(QStringLiteral("sending File....")));
}

void TestUpdateWindow::transferThatCannotStartEndsTheUpdate()
{
    attach(Generation::Vemo2, 0);
    TForm1 &form = startAndOpen();
    form.FileNameE->setText(writeImage(testBytes(100)));
    form.Dialogue().update().setStateForTest(dialogue::UpdateFlow::State::LoaderOpen);
    m_device->faults().startWritingStatus = usbio::status::Busy;

    m_device->sendToHost("Flash is BLANK\r");
    QTRY_VERIFY(!form.Dialogue().update().updating());

    // The link's box, one line, and nothing running any more.
    QCOMPARE(m_fixture->host().boxes().size(), 1);
    QCOMPARE(m_fixture->host().lastBox().caption, QStringLiteral("Error SendFile"));
    QVERIFY(log().last().startsWith(QStringLiteral("Error SendFile: ")));
    QVERIFY(!m_fixture->host().busyCursor());
    QVERIFY(form.Update->isEnabled());
    QVERIFY(!form.ProgressBar1->isVisible());

    // Started again once the pipe takes writes, it goes through.
    m_device->faults().startWritingStatus = 0;
    m_device->sendToHost("Flash is BLANK\r");
    QTRY_COMPARE(m_device->receivedChunks().size(), 2);
}

void TestUpdateWindow::updateRefused_data()
{
    QTest::addColumn<int>("devices");
    QTest::addColumn<bool>("fileExists");
    QTest::addColumn<QString>("box");

    QTest::newRow("no device")
        << 0 << true << "More than one Vemo found, please disconnect others first|Error|16";
    QTest::newRow("two devices")
        << 2 << true << "More than one Vemo found, please disconnect others first|Error|16";
    QTest::newRow("no file") << 1 << false << "File does not exist|Error|16";
}

void TestUpdateWindow::updateRefused()
{
    QFETCH(int, devices);
    QFETCH(bool, fileExists);
    QFETCH(QString, box);

    for (int i = 0; i < devices; ++i)
        attach(Generation::Vemo2, 0);
    TForm1 &form = m_fixture->start();
    form.FileNameE->setText(fileExists ? writeImage("x") : m_dir->filePath("missing.bin"));

    form.UpdateClick(&form);

    QCOMPARE(m_fixture->boxes(), QStringList{box});
    QVERIFY(!form.Dialogue().update().updating());
    for (usbio::SimDevice *device : m_fixture->bus().devices())
        QVERIFY(device->receivedPieces().isEmpty());
}

void TestUpdateWindow::anotherGenerationAsksFirst_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("answer"); // 0: none (the box's default)
    QTest::addColumn<bool>("asked");
    QTest::addColumn<bool>("started");

    QTest::newRow("another generation, Yes") << "vemo3.bin" << int(platform::IDYES) << true << true;
    QTest::newRow("another generation, No") << "vemo3.bin" << int(platform::IDNO) << true << false;
    QTest::newRow("another generation, unanswered") << "Vemo.exe" << 0 << true << false;
    QTest::newRow("its own generation") << "VEMO2.BIN" << 0 << false << true;
}

void TestUpdateWindow::anotherGenerationAsksFirst()
{
    QFETCH(QString, name);
    QFETCH(int, answer);
    QFETCH(bool, asked);
    QFETCH(bool, started);

    attach(Generation::Vemo2, 0);
    TForm1 &form = startAndOpen();
    form.FileNameE->setText(writeImage(testBytes(100), name));
    m_fixture->host().clearCalls();
    if (answer != 0)
        m_fixture->host().queueAnswer(answer);
    m_device->clearRecords();

    QTest::mouseClick(form.Update, Qt::LeftButton);

    QCOMPARE(m_fixture->host().boxes().size(), asked ? 1 : 0);
    if (asked)
        QCOMPARE(m_fixture->host().boxes().first().caption,
                 QString::fromLatin1(dialogue::GenerationGuard::QuestionCaption));
    QCOMPARE(form.Dialogue().update().updating(), started);
    QCOMPARE(form.Update->isEnabled(), !started);
    if (started)
        QTRY_VERIFY(m_device->receivedCommands().contains("USB-Vemo:BWF!!!"));
    else
        QVERIFY(!m_device->receivedCommands().contains("USB-Vemo:BWF!!!"));
}

void TestUpdateWindow::deviceThatNeverComesBack()
{
    attach(Generation::Vemo, 0, 60000); // the loader never reports a blank flash
    TForm1 &form = startAndOpen();
    form.FileNameE->setText(writeImage("x"));
    QTest::mouseClick(form.Update, Qt::LeftButton);
    // Back in its loader, asked again at the first generation's period.
    QTRY_VERIFY_WITH_TIMEOUT(log().count(QStringLiteral(
                                 "Did not receive Flash is blank. Sending additional BWF...")) >= 2,
                             10000);
    QVERIFY(form.BWFTimer->isActive());
    QCOMPARE(form.BWFTimer->interval(), 60);

    // Now it leaves the bus for good.
    m_fixture->bus().detach(m_device);
    QTRY_VERIFY(form.RestartVemoTimer->isActive());
    const QString again =
        QStringLiteral("Did not receive Flash is blank. Sending additional BWF...");
    const int bwfLines = log().count(again);
    const int beeps = m_fixture->host().beeps();
    // Reminders and beeps without end ...
    QTRY_VERIFY_WITH_TIMEOUT(log().count(QStringLiteral("Please restart Vemo!!")) >= 5 &&
                                 m_fixture->host().beeps() >= beeps + 5,
                             20000);
    // ... while the loader request is not repeated: not by the timer running
    // all the while, nor by its ticks handed to the window now.
    QCOMPARE(log().count(again), bwfLines);
    QVERIFY(form.BWFTimer->isActive());
    for (int tick = 0; tick < 3; ++tick)
        form.BWFTimerTimer(form.BWFTimer);
    QCOMPARE(log().count(again), bwfLines);
    QVERIFY(form.Dialogue().update().updating());
    form.RestartVemoTimer->stop();
    form.BWFTimer->stop();
}

void TestUpdateWindow::deviceRemovedHalfWayThroughTheImage_data()
{
    QTest::addColumn<bool>("unattended");
    QTest::newRow("operator") << false;
    QTest::newRow("unattended run") << true;
}

void TestUpdateWindow::deviceRemovedHalfWayThroughTheImage()
{
    QFETCH(bool, unattended);
    const int size = 64 * 400 + 5;
    attach(Generation::Vemo2, size);
    TForm1 &form = startAndOpen();
    const QByteArray image = testBytes(size);
    const QString file = writeImage(image);
    form.FileNameE->setText(file);
    if (unattended)
        form.Dialogue().update().beginUnattended(false);
    // Slow chunks, so the device can leave in the middle of the image.
    m_device->faults().writeCompletionDelayMs = 1;

    QTest::mouseClick(form.Update, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(m_device->receivedChunks().size() > 100, 10000);
    m_fixture->bus().detach(m_device);
    QTRY_VERIFY(!form.Dialogue().update().updating());

    // One line naming the file and how far it got; nothing runs any more.
    const QStringList failed = log().filter(QStringLiteral("Firmware transfer failed: "));
    QCOMPARE(failed.size(), 1);
    const qint64 taken = m_device->receivedChunks().join().size();
    QCOMPARE(failed.first(), QStringLiteral("Firmware transfer failed: %1, %2 of %3 bytes taken: "
                                            "device removed")
                                 .arg(file)
                                 .arg(taken)
                                 .arg(size));
    QCOMPARE(m_device->receivedChunks().join(), image.left(taken));
    QVERIFY(!form.ProgressBar1->isVisible());
    QVERIFY(!m_fixture->host().busyCursor());
    QVERIFY(!form.RestartVemoTimer->isActive());
    QCOMPARE(m_fixture->host().terminateRequested(), unattended);
    QCOMPARE(form.Outcome().failed(), unattended);
    if (unattended) {
        QCOMPARE(form.Outcome().reason(),
                 QStringLiteral("transfer failed: device removed at %1 of %2 bytes")
                     .arg(taken)
                     .arg(size));
        return;
    }

    // Back on the bus, still in its loader: a second update goes through
    // without restarting the program.
    m_device->faults().writeCompletionDelayMs = 0;
    m_fixture->bus().attach(m_device);
    QTRY_COMPARE(form.DevicesCB->count(), 1);
    QTest::mouseClick(form.Open, Qt::LeftButton);
    QVERIFY(form.USBLink->Opened);
    QTest::mouseClick(form.Update, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!form.Dialogue().update().updating(), 10000);
    QCOMPARE(m_device->image(), image);
    QCOMPARE(log().filter(QStringLiteral("Firmware transfer failed: ")).size(), 1);
}

void TestUpdateWindow::progressReports()
{
    TForm1 &form = m_fixture->start();
    form.Dialogue().update().setStateForTest(dialogue::UpdateFlow::State::Transferring);
    form.ProgressBar1->setVisible(true);
    m_fixture->host().clearCalls();

    form.TransferProgress(nullptr, 0);
    QCOMPARE(form.ProgressBar1->value(), 0);
    QVERIFY(m_fixture->host().busyCursor());
    form.TransferProgress(nullptr, 50);
    QCOMPARE(form.ProgressBar1->value(), 50);
    QVERIFY(form.Dialogue().update().updating());

    // 100 at the hand-over of the last chunk ends nothing: the device may
    // still lose it.
    form.TransferProgress(nullptr, 100);
    QCOMPARE(form.ProgressBar1->value(), 100);
    QVERIFY(form.Dialogue().update().updating());
    QVERIFY(!form.ProgressBar1->isHidden());
    QVERIFY(m_fixture->host().busyCursor());

    // The device took it.
    form.TransferComplete(nullptr, "/fw/vemo2.bin", 100001, 1234);
    QVERIFY(!form.Dialogue().update().updating());
    QVERIFY(form.ProgressBar1->isHidden());
    QVERIFY(!m_fixture->host().busyCursor());
    QVERIFY(form.Update->isEnabled() && form.ChooseFile->isEnabled() &&
            form.DownloadB->isEnabled());
    QVERIFY(!m_fixture->host().terminateRequested());
    QCOMPARE(log().filter(QStringLiteral("Firmware update complete")),
             QStringList{"Firmware update complete: /fw/vemo2.bin, 100001 bytes in 1.2 s"});

    // An unattended run ends when the device took the last chunk, not at
    // the first 100.
    if (true)
        form.Dialogue().update().beginUnattended(false);
    form.Dialogue().update().setStateForTest(dialogue::UpdateFlow::State::Transferring);
    form.TransferProgress(nullptr, 100);
    QVERIFY(!m_fixture->host().terminateRequested());
    QVERIFY(!form.Outcome().ended());
    form.TransferComplete(nullptr, "/fw/vemo2.bin", 64, 40);
    QVERIFY(m_fixture->host().terminateRequested());
    QVERIFY(!form.Outcome().failed());
    QCOMPARE(form.Outcome().reason(), QStringLiteral("the device took the whole image"));
    QCOMPARE(log().last(),
             QStringLiteral("Firmware update complete: /fw/vemo2.bin, 64 bytes in 0.0 s"));
}

int main(int argc, char *argv[])
{
    useOffscreenUnlessSet();
    VemoApplication app(argc, argv);
    TestUpdateWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_update_window.moc"
