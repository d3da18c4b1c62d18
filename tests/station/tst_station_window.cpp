// The station's window on the offscreen platform, its runs real vemotool
// processes on the simulated bus. The station sees the devices of a bus in
// this process (plugged and unplugged by the test); each run gets the same
// devices from the simulator file, in a copy of its own, and is told its
// device by the device's id (its bus path there).

#include "registry/KeyStore.h"
#include "station/DeviceWatch.h"
#include "station/Station.h"
#include "station/StationWindow.h"
#include "tests/support/TestBytes.h"
#include "tests/support/TestMain.h"
#include "tests/support/ToolProcess.h"
#include "usbio/sim/SimBus.h"
#include "usbio/sim/SimDevice.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace station;

namespace {

// The bus of the station: s1 and s2 Vemo2 (s2 takes its chunks slowly), s3
// a Vemo3 (no image is given for it), s4 a Vemo2 whose firmware after the
// update is not the version the runs expect (2.11: its check fails).
const char *const kDevices = R"({ "devices": [
  { "id": "s1", "generation": "Vemo2", "serial": "200000001", "firmware": "2.10",
    "restartDelayMs": 50, "eraseDelayMs": 50, "loaderAnnouncesBlank": true,
    "imageFolder": "%1/images" },
  { "id": "s2", "generation": "Vemo2", "serial": "200000002", "firmware": "2.10",
    "restartDelayMs": 50, "eraseDelayMs": 50, "loaderAnnouncesBlank": true,
    "imageFolder": "%1/images", "faults": { "writeCompletionDelayMs": 15 } },
  { "id": "s3", "generation": "Vemo3", "serial": "V30000003", "firmware": "3.05",
    "restartDelayMs": 50, "eraseDelayMs": 50, "loaderAnnouncesBlank": true },
  { "id": "s4", "generation": "Vemo2", "serial": "200000004", "firmware": "2.20",
    "restartDelayMs": 50, "eraseDelayMs": 50, "loaderAnnouncesBlank": true,
    "imageFolder": "%1/images" }
] })";

constexpr int kImageSize = 5000;
constexpr int kRunMs = 60000;

} // namespace

class TestStationWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void rowsFollowTheDevices();
    void startAndAutoRunTheRightDevices();
    void progressMovesAndStopSaysHowFarItGot();
    void closingWhileRunsGoAsksFirst();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    usbio::SimDevice *device(const QString &id) const;
    // The window over the station over the bus, as the program makes them.
    void open(bool withDevices = true);
    QString cell(const QString &socket, int column) const;
    QColor colour(const QString &socket) const;
    QProgressBar *bar(const QString &socket) const;
    // The records the runs appended, by serial number.
    QMap<QString, QJsonObject> records() const;
    // The row says what the record says: state, result, firmware, colour.
    void rowMatchesItsRecord(const QString &socket, const QJsonObject &record) const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<registry::KeyStore> m_store;
    std::unique_ptr<usbio::SimBus> m_bus;
    QMap<QString, usbio::SimDevice *> m_devices;
    std::unique_ptr<Station> m_station;
    std::unique_ptr<DeviceWatch> m_watch;
    std::unique_ptr<StationWindow> m_window;
    QByteArray m_image;
};

void TestStationWindow::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QFile sim(path(QStringLiteral("station.json")));
    QVERIFY(sim.open(QIODevice::WriteOnly));
    sim.write(QString::fromLatin1(kDevices).arg(m_dir->path()).toUtf8());
    sim.close();
    m_image = testBytes(kImageSize, 7);
    QFile image(path(QStringLiteral("vemo2.bin")));
    QVERIFY(image.open(QIODevice::WriteOnly));
    image.write(m_image);
    image.close();

    m_store = std::make_unique<registry::KeyStore>(QString());
    m_bus = std::make_unique<usbio::SimBus>(m_store.get());
    m_bus->install();
    QString error;
    QVERIFY2(m_bus->loadConfig(path(QStringLiteral("station.json")), &error), qPrintable(error));
    // Kept: the bus lists only the devices plugged in.
    m_devices.clear();
    for (usbio::SimDevice *device : m_bus->devices())
        m_devices.insert(device->busPath(), device);
    QCOMPARE(m_devices.size(), 4);
}

void TestStationWindow::cleanup()
{
    m_window.reset();
    m_watch.reset();
    m_station.reset();
    m_bus.reset();
    m_store.reset();
    m_dir.reset();
}

usbio::SimDevice *TestStationWindow::device(const QString &id) const
{
    return m_devices.value(id);
}

void TestStationWindow::open(bool withDevices)
{
    Settings settings;
    settings.program = ToolProcess::vemotool();
    settings.images.insert(QStringLiteral("Vemo2"), path(QStringLiteral("vemo2.bin")));
    settings.recordFile = path(QStringLiteral("station.jsonl"));
    settings.logFolder = path(QStringLiteral("logs"));
    settings.expectVersion = QStringLiteral("2.11");
    settings.timeoutSeconds = 120;
    settings.passOn = {QStringLiteral("--sim=") + path(QStringLiteral("station.json")),
                       QStringLiteral("--registry=") + path(QStringLiteral("registry.json"))};
    settings.tempRoot = m_dir->path();
    if (!withDevices) {
        for (usbio::SimDevice *device : m_bus->devices())
            m_bus->detach(device);
    }
    m_station = std::make_unique<Station>(settings);
    m_watch = std::make_unique<DeviceWatch>();
    connect(m_watch.get(), &DeviceWatch::devicesChanged, m_station.get(), &Station::devicesSeen);
    QString error;
    QVERIFY2(m_watch->start(&error), qPrintable(error));
    m_station->devicesSeen(m_watch->devices());
    m_window = std::make_unique<StationWindow>(*m_station);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

QString TestStationWindow::cell(const QString &socket, int column) const
{
    const int row = m_window->rowOf(socket);
    return row < 0 ? QStringLiteral("<no row>") : m_window->table()->item(row, column)->text();
}

QColor TestStationWindow::colour(const QString &socket) const
{
    const int row = m_window->rowOf(socket);
    return row < 0 ? QColor()
                   : m_window->table()->item(row, StationWindow::StateColumn)->background().color();
}

QProgressBar *TestStationWindow::bar(const QString &socket) const
{
    const int row = m_window->rowOf(socket);
    return row < 0 ? nullptr
                   : qobject_cast<QProgressBar *>(
                         m_window->table()->cellWidget(row, StationWindow::ProgressColumn));
}

QMap<QString, QJsonObject> TestStationWindow::records() const
{
    QMap<QString, QJsonObject> found;
    QFile file(path(QStringLiteral("station.jsonl")));
    if (!file.open(QIODevice::ReadOnly))
        return found;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        if (!record.isEmpty())
            found.insert(record.value(QStringLiteral("serial")).toString(), record);
    }
    return found;
}

void TestStationWindow::rowMatchesItsRecord(const QString &socket, const QJsonObject &record) const
{
    const int status = record.value(QStringLiteral("status")).toInt(-1);
    QCOMPARE(
        cell(socket, StationWindow::ResultColumn),
        QStringLiteral("%1 %2").arg(status).arg(record.value(QStringLiteral("reason")).toString()));
    QCOMPARE(cell(socket, StationWindow::FirmwareColumn),
             record.value(QStringLiteral("firmwareBefore")).toString() + QStringLiteral(" -> ") +
                 (record.value(QStringLiteral("firmwareAfter")).isString()
                      ? record.value(QStringLiteral("firmwareAfter")).toString()
                      : QStringLiteral("?")));
    const SocketState state = status == 0 ? SocketState::Done : SocketState::Failed;
    QVERIFY2(cell(socket, StationWindow::StateColumn)
                 .startsWith(status == 0 ? QLatin1String("done") : QLatin1String("failed")),
             qPrintable(cell(socket, StationWindow::StateColumn)));
    // The colour says the same, in every cell of the row.
    QCOMPARE(colour(socket), StationWindow::colourOf(state));
    const int row = m_window->rowOf(socket);
    for (int column = 0; column < StationWindow::ColumnCount; ++column)
        QCOMPARE(m_window->table()->item(row, column)->background().color(),
                 StationWindow::colourOf(state));
}

// ---- Tests --------------------------------------------------------------------------------

void TestStationWindow::rowsFollowTheDevices()
{
    open(false);
    QCOMPARE(m_window->table()->rowCount(), 0);
    m_bus->attach(device(QStringLiteral("s3")));
    QTRY_COMPARE(m_window->table()->rowCount(), 1);
    m_bus->attach(device(QStringLiteral("s1")));
    QTRY_COMPARE(m_window->table()->rowCount(), 2);
    // In the order of their sockets, whatever the order they came in.
    QCOMPARE(cell(QStringLiteral("s1"), StationWindow::SocketColumn), QStringLiteral("s1"));
    QCOMPARE(m_window->rowOf(QStringLiteral("s1")), 0);
    QCOMPARE(m_window->rowOf(QStringLiteral("s3")), 1);
    QCOMPARE(cell(QStringLiteral("s1"), StationWindow::GenerationColumn), QStringLiteral("Vemo2"));
    QCOMPARE(cell(QStringLiteral("s1"), StationWindow::SerialColumn), QStringLiteral("200000001"));
    QCOMPARE(cell(QStringLiteral("s1"), StationWindow::FirmwareColumn), QStringLiteral("2.10"));
    QCOMPARE(cell(QStringLiteral("s1"), StationWindow::StateColumn), QStringLiteral("ready"));
    // No run, no image on its way: no bar.
    QVERIFY(!bar(QStringLiteral("s1")));
    QCOMPARE(m_window->autoButton()->text(), QStringLiteral("Auto: off"));
    // No image for a Vemo3: the text and the colour say it is left alone.
    QCOMPARE(cell(QStringLiteral("s3"), StationWindow::StateColumn),
             QStringLiteral("left alone: no image for Vemo3"));
    QCOMPARE(colour(QStringLiteral("s3")), StationWindow::colourOf(SocketState::LeftAlone));
    QVERIFY(StationWindow::colourOf(SocketState::LeftAlone) !=
            StationWindow::colourOf(SocketState::Ready));

    // Unplugged without a run: the row goes.
    m_bus->detach(device(QStringLiteral("s3")));
    QTRY_COMPARE(m_window->table()->rowCount(), 1);
    QCOMPARE(m_window->rowOf(QStringLiteral("s3")), -1);
    // An image picked for the Vemo3 makes it ready when it is back.
    m_window->imageEdit(QStringLiteral("Vemo3"))->setText(path(QStringLiteral("vemo2.bin")));
    Q_EMIT m_window->imageEdit(QStringLiteral("Vemo3"))->editingFinished();
    m_bus->attach(device(QStringLiteral("s3")));
    QTRY_COMPARE(m_window->table()->rowCount(), 2);
    QCOMPARE(cell(QStringLiteral("s3"), StationWindow::StateColumn), QStringLiteral("ready"));
    QCOMPARE(m_station->runsGoing(), 0);
    QCOMPARE(m_window->counters()->text(),
             QStringLiteral("Done: 0    Failed: 0    Runs per hour: -"));
}

void TestStationWindow::startAndAutoRunTheRightDevices()
{
    open(false);
    m_bus->attach(device(QStringLiteral("s1")));
    m_bus->attach(device(QStringLiteral("s3")));
    QTRY_COMPARE(m_window->table()->rowCount(), 2);
    // Start runs the Vemo2, and leaves the Vemo3 alone.
    QTest::mouseClick(m_window->startButton(), Qt::LeftButton);
    QCOMPARE(m_station->runsGoing(), 1);
    QVERIFY(m_station->socket(QStringLiteral("s1"))->state == SocketState::Running);
    QCOMPARE(colour(QStringLiteral("s1")), StationWindow::colourOf(SocketState::Running));
    QTRY_COMPARE_WITH_TIMEOUT(m_station->runsGoing(), 0, kRunMs);
    QMap<QString, QJsonObject> found = records();
    QCOMPARE(found.size(), 1);
    QCOMPARE(found.value(QStringLiteral("200000001")).value(QStringLiteral("status")).toInt(), 0);
    rowMatchesItsRecord(QStringLiteral("s1"), found.value(QStringLiteral("200000001")));
    QCOMPARE(cell(QStringLiteral("s1"), StationWindow::ResultColumn), QStringLiteral("0 done"));
    QCOMPARE(cell(QStringLiteral("s1"), StationWindow::FirmwareColumn),
             QStringLiteral("2.10 -> 2.11"));
    QCOMPARE(bar(QStringLiteral("s1"))->value(), kImageSize);
    QCOMPARE(bar(QStringLiteral("s1"))->maximum(), kImageSize);
    QCOMPARE(cell(QStringLiteral("s3"), StationWindow::StateColumn),
             QStringLiteral("left alone: no image for Vemo3"));
    QVERIFY(records().value(QStringLiteral("V30000003")).isEmpty());

    // Auto: each device that arrives starts by itself.
    QTest::mouseClick(m_window->autoButton(), Qt::LeftButton);
    QVERIFY(m_window->autoButton()->isChecked());
    QCOMPARE(m_window->autoButton()->text(), QStringLiteral("Auto: on"));
    QCOMPARE(m_station->runsGoing(), 0); // the done one is not run again
    m_bus->attach(device(QStringLiteral("s4")));
    QTRY_COMPARE(m_station->runsGoing(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(m_station->runsGoing(), 0, kRunMs);
    found = records();
    QCOMPARE(found.size(), 2);
    const QJsonObject failed = found.value(QStringLiteral("200000004"));
    QCOMPARE(failed.value(QStringLiteral("status")).toInt(), 5);
    rowMatchesItsRecord(QStringLiteral("s4"), failed);
    QCOMPARE(cell(QStringLiteral("s4"), StationWindow::ResultColumn),
             QStringLiteral("5 verification failed: firmware after update is 'Vemo2 firmware "
                            "V2.21', not 2.11"));
    QCOMPARE(m_window->counters()->text().section(QStringLiteral("    "), 0, 1),
             QStringLiteral("Done: 1    Failed: 1"));
    QVERIFY(!m_window->counters()->text().endsWith(QLatin1Char('-')));

    // A failed row opens its log: the run's own, to its last line.
    const int row = m_window->rowOf(QStringLiteral("s4"));
    const QRect cellRect =
        m_window->table()->visualItemRect(m_window->table()->item(row, StationWindow::StateColumn));
    // A double click, as the mouse makes it: a click, then the second press.
    QTest::mouseClick(m_window->table()->viewport(), Qt::LeftButton, {}, cellRect.center());
    QTest::mouseDClick(m_window->table()->viewport(), Qt::LeftButton, {}, cellRect.center());
    QTRY_VERIFY(m_window->logDialog() && m_window->logDialog()->isVisible());
    const QString log = m_window->logDialog()->text()->toPlainText();
    QVERIFY2(log.contains(QStringLiteral("run ended: 5 ") +
                          failed.value(QStringLiteral("reason")).toString()),
             qPrintable(log));
    QVERIFY2(m_window->logDialog()->windowTitle().endsWith(QLatin1String(" s4")),
             qPrintable(m_window->logDialog()->windowTitle()));
}

void TestStationWindow::progressMovesAndStopSaysHowFarItGot()
{
    open(false);
    m_bus->attach(device(QStringLiteral("s2")));
    QTRY_COMPARE(m_window->table()->rowCount(), 1);
    QTest::mouseClick(m_window->startButton(), Qt::LeftButton);
    // The bar moves: it shows more than once a part of the image.
    QTRY_VERIFY(bar(QStringLiteral("s2")));
    QProgressBar *progress = bar(QStringLiteral("s2"));
    QTRY_VERIFY_WITH_TIMEOUT(progress->value() > 0 && progress->maximum() == kImageSize, kRunMs);
    QVERIFY(progress->isVisible());
    QCOMPARE(cell(QStringLiteral("s2"), StationWindow::StateColumn),
             QStringLiteral("transferring"));
    const int first = progress->value();
    QTRY_VERIFY_WITH_TIMEOUT(progress->value() > first, kRunMs);
    QVERIFY(progress->value() < kImageSize);
    QVERIFY2(progress->text().contains(QStringLiteral("of %1 bytes").arg(kImageSize)),
             qPrintable(progress->text()));

    QTest::mouseClick(m_window->stopButton(), Qt::LeftButton);
    QCOMPARE(cell(QStringLiteral("s2"), StationWindow::StateColumn),
             QStringLiteral("stopping (transferring)"));
    QTRY_COMPARE_WITH_TIMEOUT(m_station->runsGoing(), 0, kRunMs);
    const QJsonObject record = records().value(QStringLiteral("200000002"));
    QCOMPARE(record.value(QStringLiteral("status")).toInt(), 5);
    const int taken = record.value(QStringLiteral("bytesTaken")).toInt(-1);
    QVERIFY2(taken > 0 && taken < kImageSize, qPrintable(QString::number(taken)));
    // The row and the record say how far it got.
    QCOMPARE(record.value(QStringLiteral("reason")).toString(),
             QStringLiteral("transfer failed: interrupted by SIGTERM at %1 of %2 bytes")
                 .arg(taken)
                 .arg(kImageSize));
    rowMatchesItsRecord(QStringLiteral("s2"), record);
    QCOMPARE(progress->value(), taken);
}

void TestStationWindow::closingWhileRunsGoAsksFirst()
{
    open(false);
    m_bus->attach(device(QStringLiteral("s2")));
    QTRY_COMPARE(m_window->table()->rowCount(), 1);
    QTest::mouseClick(m_window->startButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(bar(QStringLiteral("s2")) && bar(QStringLiteral("s2"))->value() > 0,
                             kRunMs);

    // The box answers itself, with the button the test names.
    QString asked;
    const auto answer = [&asked](QMessageBox::StandardButton button) {
        QTimer::singleShot(0, [&asked, button] {
            QTRY_VERIFY(qobject_cast<QMessageBox *>(QApplication::activeModalWidget()));
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            asked = box->text();
            box->button(button)->click();
        });
    };
    answer(QMessageBox::No);
    QVERIFY(!m_window->close());
    QVERIFY2(asked.contains(QLatin1String("Close anyway?")), qPrintable(asked));
    QVERIFY(m_window->isVisible());
    QCOMPARE(m_station->runsGoing(), 1);

    asked.clear();
    answer(QMessageBox::Yes);
    QVERIFY(m_window->close());
    QVERIFY(!asked.isEmpty());
    // Closed once the run ended, as a signal ends it, with its record.
    QCOMPARE(m_station->runsGoing(), 0);
    const QJsonObject record = records().value(QStringLiteral("200000002"));
    QCOMPARE(record.value(QStringLiteral("status")).toInt(), 5);
    QVERIFY2(record.value(QStringLiteral("reason"))
                 .toString()
                 .startsWith(QLatin1String("transfer failed: interrupted by SIGTERM at ")),
             qPrintable(record.value(QStringLiteral("reason")).toString()));
}

VEMO_TEST_MAIN(TestStationWindow)
#include "tst_station_window.moc"
