// Construction, connection, scan, open, close, status texts and driver
// information of the device link.

#include "tests/link/LinkFixture.h"

#include "usbio/Backend.h"

#include <QtTest>

using usbio::Status;
namespace st = usbio::status;

namespace {

const QString kGuid = QString::fromLatin1(TVemoUSBinterface::DeviceGuid);

QStringList onAllThree(const QString &call)
{
    return {QStringLiteral("R:") + call, QStringLiteral("C:") + call, QStringLiteral("F:") + call};
}

// The calls of a fully successful OpenDevice(0) of a link that is neither
// reading nor writing.
QStringList successfulOpen()
{
    return onAllThree(QStringLiteral("OpenDevice(0)")) +
           onAllThree(QStringLiteral("UnconfigureDevice")) +
           onAllThree(QStringLiteral("DeleteInterfaces")) +
           onAllThree(QStringLiteral("AddInterface(0,0,64000)")) +
           QStringList{QStringLiteral("R:SetConfiguration(0)"), QStringLiteral("R:Bind(81)"),
                       QStringLiteral("C:Bind(01)"), QStringLiteral("F:Bind(02)")};
}

} // namespace

class LinkOpenTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void constructionConnectsEachObjectInOrder();
    void constructionWithoutComponentShowsBoxAndConnectRaises();
    void connectInterfacesKeepsExistingInstances();
    void objectsBelongToOwner();
    void scanDevices_data();
    void scanDevices();
    void openSucceeds();
    void openWhileOpenCallsNothing();
    void openFailure_data();
    void openFailure();
    void openFaultOfDevice_data();
    void openFaultOfDevice();
    void openAfterCloseStopsReadingAndWriting();
    void closeDevice();
    void enablePnP_data();
    void enablePnP();
    void plugAndPlayCallbacks();
    void statusText_data();
    void statusText();
    void statusTextErrorGoesToExceptionDisplay();
    void driverInfo_data();
    void driverInfo();
};

void LinkOpenTest::constructionConnectsEachObjectInOrder()
{
    LinkFixture f;
    QCOMPARE(f.journal().calls, onAllThree(QStringLiteral("SetDeviceParameter(50000)")));
    QCOMPARE(f.bus().componentsCreated(), 3);
    QVERIFY(!f.link().Opened);
    QVERIFY(f.boxes().isEmpty());
}

void LinkOpenTest::constructionWithoutComponentShowsBoxAndConnectRaises()
{
    LinkFixture f;
    f.destroyLink();
    f.journal().calls.clear();
    usbio::selectBackend(QStringLiteral("not-registered"));
    f.createLink();

    QCOMPARE(f.boxes().size(), 1);
    QCOMPARE(f.boxes().first().text, QStringLiteral("Error init Vemo object"));
    QCOMPARE(f.boxes().first().caption, QStringLiteral("Error"));
    QCOMPARE(f.boxes().first().flags, 0);
    QVERIFY(f.journal().calls.isEmpty());

    bool raised = false;
    try {
        f.link().ConnectInterfaces();
    } catch (const EOleSysError &) {
        raised = true;
    }
    QVERIFY(raised);
}

void LinkOpenTest::connectInterfacesKeepsExistingInstances()
{
    LinkFixture f;
    f.link().ConnectInterfaces();
    f.link().ConnectInterfaces();
    QCOMPARE(f.bus().componentsCreated(), 3);
}

void LinkOpenTest::objectsBelongToOwner()
{
    LinkFixture f;
    auto owner = std::make_unique<QObject>();
    auto link = std::make_unique<TVemoUSBinterface>(owner.get());
    QCOMPARE(owner->findChildren<TUSBIOInterface3 *>().size(), 3);
    link->ConnectInterfaces();
    QCOMPARE(link->ScanDevices(), 1);

    // The owner may go first (the application object at the very end); the
    // link then has nothing left to delete.
    owner.reset();
    link.reset();

    // And the link deletes its objects itself when it goes first.
    owner = std::make_unique<QObject>();
    link = std::make_unique<TVemoUSBinterface>(owner.get());
    link.reset();
    QVERIFY(owner->findChildren<TUSBIOInterface3 *>().isEmpty());
}

void LinkOpenTest::scanDevices_data()
{
    QTest::addColumn<int>("devices");
    QTest::newRow("none") << 0;
    QTest::newRow("one") << 1;
    QTest::newRow("three") << 3;
}

void LinkOpenTest::scanDevices()
{
    QFETCH(int, devices);
    LinkFixture f({}, false);
    for (int i = 0; i < devices; ++i) {
        usbio::SimDeviceSettings settings;
        settings.serialNumber = QByteArray::number(100000001 + i);
        f.bus().attach(settings);
    }
    f.link().ConnectInterfaces();
    f.journal().calls.clear();

    QCOMPARE(f.link().ScanDevices(), devices);
    QCOMPARE(f.journal().calls, onAllThree(QStringLiteral("EnumerateDevices(%1)").arg(kGuid)));
}

void LinkOpenTest::openSucceeds()
{
    LinkFixture f;
    f.link().ConnectInterfaces();
    f.link().ScanDevices();
    f.journal().calls.clear();

    QCOMPARE(f.link().OpenDevice(0), Status(0));
    QVERIFY(f.link().Opened);
    QCOMPARE(f.journal().calls, successfulOpen());
    // Opening does not start reading.
    QCOMPARE(f.journal().count(QStringLiteral("R:StartReading")), 0);
}

void LinkOpenTest::openWhileOpenCallsNothing()
{
    LinkFixture f;
    QCOMPARE(f.open(), Status(0));
    f.journal().calls.clear();

    QCOMPARE(f.link().OpenDevice(0), st::AlreadyOpened);
    QVERIFY(f.journal().calls.isEmpty());
    QVERIFY(f.link().Opened);
}

void LinkOpenTest::openFailure_data()
{
    QTest::addColumn<QString>("failing");
    QTest::addColumn<Status>("status");
    QTest::addColumn<Status>("result");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<bool>("driverBox");

    const QStringList opens = onAllThree(QStringLiteral("OpenDevice(0)"));
    const QStringList declared = opens + onAllThree(QStringLiteral("UnconfigureDevice")) +
                                 onAllThree(QStringLiteral("DeleteInterfaces")) +
                                 onAllThree(QStringLiteral("AddInterface(0,0,64000)"));
    const QStringList configured = declared + QStringList{QStringLiteral("R:SetConfiguration(0)")};
    const QStringList bound =
        configured + QStringList{QStringLiteral("R:Bind(81)"), QStringLiteral("C:Bind(01)"),
                                 QStringLiteral("F:Bind(02)")};

    QTest::newRow("wrong driver") << "F:OpenDevice" << st::VersionMismatch << st::VersionMismatch
                                  << opens << true;
    QTest::newRow("device gone") << "F:OpenDevice" << st::DeviceGone << st::DeviceGone
                                 << opens + onAllThree(QStringLiteral("CloseDevice")) << false;
    QTest::newRow("other open refusal")
        << "F:OpenDevice" << st::AccessDenied << st::AccessDenied << opens << false;
    QTest::newRow("declaration") << "F:AddInterface" << st::InvalidParameter << st::InvalidParameter
                                 << declared << false;
    QTest::newRow("configuration") << "R:SetConfiguration" << st::NotOpened << st::NotOpened
                                   << configured + onAllThree(QStringLiteral("DeleteInterfaces")) +
                                          onAllThree(QStringLiteral("UnconfigureDevice"))
                                   << false;
    QTest::newRow("bind") << "F:Bind" << st::AlreadyBound << st::AlreadyBound
                          << bound + onAllThree(QStringLiteral("Unbind")) +
                                 onAllThree(QStringLiteral("UnconfigureDevice")) +
                                 onAllThree(QStringLiteral("DeleteInterfaces"))
                          << false;
    // The file writer's status decides; the others' are not looked at.
    QTest::newRow("reader's open only")
        << "R:OpenDevice" << st::AccessDenied << Status(0) << successfulOpen() << false;
    QTest::newRow("command writer's declaration only")
        << "C:AddInterface" << st::InvalidParameter << Status(0) << successfulOpen() << false;
    QTest::newRow("reader's bind only")
        << "R:Bind" << st::AlreadyBound << Status(0) << successfulOpen() << false;
    QTest::newRow("ignored unconfigure")
        << "F:UnconfigureDevice" << st::NotConfigured << Status(0) << successfulOpen() << false;
}

void LinkOpenTest::openFailure()
{
    QFETCH(QString, failing);
    QFETCH(Status, status);
    QFETCH(Status, result);
    QFETCH(QStringList, calls);
    QFETCH(bool, driverBox);

    LinkFixture f;
    f.link().ConnectInterfaces();
    QCOMPARE(f.link().ScanDevices(), 1);
    f.journal().calls.clear();
    f.journal().force(failing, status);

    QCOMPARE(f.link().OpenDevice(0), result);
    QCOMPARE(f.journal().calls, calls);
    QCOMPARE(f.link().Opened, result == 0);
    if (driverBox) {
        QCOMPARE(f.boxes().size(), 1);
        QCOMPARE(f.boxes().first().text,
                 QStringLiteral("Please be shure to have latest driver installed!"));
        QCOMPARE(f.boxes().first().caption, QStringLiteral("Driver Error!"));
        QCOMPARE(f.boxes().first().flags, 0);
    } else {
        QVERIFY(f.boxes().isEmpty());
    }

    // With the fault gone the next open succeeds (the link closes first if
    // the last one did).
    f.journal().forced.clear();
    f.link().CloseDevice();
    QCOMPARE(f.link().OpenDevice(0), Status(0));
    QVERIFY(f.link().Opened);
}

void LinkOpenTest::openFaultOfDevice_data()
{
    QTest::addColumn<int>("step"); // which fault of the device
    QTest::addColumn<Status>("status");
    QTest::addColumn<int>("boxes");
    QTest::newRow("open: wrong driver") << 0 << st::VersionMismatch << 1;
    QTest::newRow("open: in use") << 0 << st::AccessDenied << 0;
    QTest::newRow("declaration") << 1 << st::InvalidParameter << 0;
    QTest::newRow("configuration") << 2 << st::TransferFailed << 0;
    QTest::newRow("bind") << 3 << st::TransferFailed << 0;
}

// The same faults as the simulated device itself gives them, on all three
// objects at once.
void LinkOpenTest::openFaultOfDevice()
{
    QFETCH(int, step);
    QFETCH(Status, status);
    QFETCH(int, boxes);

    LinkFixture f;
    usbio::SimFaults &faults = f.device()->faults();
    Status *fault[] = {&faults.openStatus, &faults.declareStatus, &faults.selectStatus,
                       &faults.bindStatus};
    *fault[step] = status;
    f.link().ConnectInterfaces();
    QCOMPARE(f.link().ScanDevices(), 1);

    QCOMPARE(f.link().OpenDevice(0), status);
    QVERIFY(!f.link().Opened);
    QCOMPARE(f.boxes().size(), boxes);

    *fault[step] = 0;
    QCOMPARE(f.link().OpenDevice(0), Status(0));
    QVERIFY(f.link().Opened);
    // The device works: a command reaches it.
    QCOMPARE(f.link().SendCommand("NSF?\r"), Status(0));
    QVERIFY(LinkFixture::waitFor([&] { return f.device()->receivedPieces().size() == 1; }));
}

void LinkOpenTest::openAfterCloseStopsReadingAndWriting()
{
    LinkFixture f;
    QVERIFY(f.openAndReceive());
    // A piece whose completion never comes leaves the command writer started.
    f.journal().swallowWriteCompletions[QLatin1Char('C')] = true;
    QCOMPARE(f.link().SendCommand("NSF?\r"), Status(0));
    f.link().CloseDevice();
    f.journal().calls.clear();

    QCOMPARE(f.link().OpenDevice(0), Status(0));
    QStringList expected = onAllThree(QStringLiteral("OpenDevice(0)"));
    expected << QStringLiteral("R:StopReading") << QStringLiteral("R:ResetPipe")
             << QStringLiteral("C:StopWriting");
    expected += successfulOpen().mid(3);
    QCOMPARE(f.journal().calls, expected);
}

void LinkOpenTest::closeDevice()
{
    LinkFixture f;
    f.link().ConnectInterfaces();
    f.link().ScanDevices();
    f.journal().calls.clear();

    f.link().CloseDevice(); // closed: nothing
    QVERIFY(f.journal().calls.isEmpty());

    QCOMPARE(f.link().OpenDevice(0), Status(0));
    f.journal().calls.clear();
    f.link().CloseDevice();
    QCOMPARE(f.journal().calls, onAllThree(QStringLiteral("CloseDevice")));
    QVERIFY(!f.link().Opened);

    f.journal().calls.clear();
    f.link().CloseDevice();
    QVERIFY(f.journal().calls.isEmpty());
}

void LinkOpenTest::enablePnP_data()
{
    QTest::addColumn<Status>("refusal");
    QTest::newRow("enabled") << Status(0);
    QTest::newRow("refused") << st::InvalidParameter;
}

void LinkOpenTest::enablePnP()
{
    QFETCH(Status, refusal);
    LinkFixture f;
    f.bus().pnpEnableStatus = refusal;
    f.link().ConnectInterfaces();
    f.journal().calls.clear();

    QCOMPARE(f.link().EnablePnP(), refusal);
    QCOMPARE(f.journal().calls,
             QStringList{QStringLiteral("R:EnablePnPNotification(%1)").arg(kGuid)});
    // A refused enable leaves the link usable.
    QCOMPARE(f.link().ScanDevices(), 1);
    QCOMPARE(f.link().OpenDevice(0), Status(0));
}

void LinkOpenTest::plugAndPlayCallbacks()
{
    LinkFixture f({}, false);
    f.link().ConnectInterfaces();
    QCOMPARE(f.link().EnablePnP(), Status(0));

    // Unset callbacks are not called (nothing to crash on).
    usbio::SimDevice *first = f.bus().attach();
    LinkFixture::settle();

    QStringList seen;
    QList<TObject *> senders;
    f.link().OnDeviceArrived = [&](TObject *sender, const IDispatchRef &obj) {
        senders << sender;
        seen << QStringLiteral("arrived ") + (obj ? obj->devicePath : QString());
    };
    f.link().OnDeviceRemoved = [&](TObject *sender, const IDispatchRef &obj) {
        senders << sender;
        seen << QStringLiteral("removed ") + (obj ? obj->devicePath : QString());
    };
    usbio::SimDeviceSettings settings;
    settings.serialNumber = "000000002";
    usbio::SimDevice *second = f.bus().attach(settings);
    const QString secondPath = second->devicePath();
    QVERIFY(LinkFixture::waitFor([&] { return seen.size() == 1; }));
    f.bus().detach(first);
    QVERIFY(LinkFixture::waitFor([&] { return seen.size() == 2; }));

    QCOMPARE(seen.at(0), QStringLiteral("arrived ") + secondPath);
    QVERIFY(seen.at(1).startsWith(QStringLiteral("removed ")));
    QVERIFY(senders.at(0) != nullptr);
    QCOMPARE(senders.at(0), senders.at(1)); // both from the reader
    QVERIFY(qobject_cast<TUSBIOInterface3 *>(senders.at(0)) != nullptr);
    // The link changes nothing of its own on these events.
    QVERIFY(!f.link().Opened);
}

void LinkOpenTest::statusText_data()
{
    QTest::addColumn<Status>("status");
    QTest::newRow("time-out") << st::Timeout;
    QTest::newRow("already open") << st::AlreadyOpened;
    QTest::newRow("wrong driver") << st::VersionMismatch;
    QTest::newRow("transfer running") << st::TransferRunning;
    QTest::newRow("file open failed") << st::FileOpenFailed;
    QTest::newRow("file empty") << st::FileEmpty;
    QTest::newRow("unknown") << Status(0xE0FF0000);
}

void LinkOpenTest::statusText()
{
    QFETCH(Status, status);
    LinkFixture f;
    f.link().ConnectInterfaces();

    f.journal().calls.clear();
    QCOMPARE(f.link().StatusText(0), QByteArray("Success!"));
    QVERIFY(f.journal().calls.isEmpty()); // the component is not asked

    const QByteArray text = f.link().StatusText(long(status));
    QVERIFY(!text.isEmpty());
    QCOMPARE(text, usbio::statusDescription(status).toLocal8Bit());
    QCOMPARE(
        f.journal().calls,
        QStringList{QStringLiteral("R:ErrorText(%1)").arg(QString::number(status, 16).toUpper())});
}

void LinkOpenTest::statusTextErrorGoesToExceptionDisplay()
{
    LinkFixture f;
    f.link().ConnectInterfaces();
    f.device()->faults().errorTextFails = true;

    QCOMPARE(f.link().StatusText(long(st::Timeout)), QByteArray());
    QCOMPARE(f.exceptions().size(), 1);
    QVERIFY(!f.exceptions().first().isEmpty());
    QCOMPARE(f.link().StatusText(0), QByteArray("Success!"));
}

void LinkOpenTest::driverInfo_data()
{
    QTest::addColumn<quint32>("api");
    QTest::addColumn<quint32>("driver");
    QTest::addColumn<quint32>("build");
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<QByteArray>("apiText");
    QTest::addColumn<QByteArray>("driverText");
    QTest::addColumn<QByteArray>("buildText");
    QTest::addColumn<QByteArray>("flagsText");

    QTest::newRow("2.10") << 0x0210u << 2u * 256 + 5 << 1234u << 0u << QByteArray("2.10")
                          << QByteArray("2.5") << QByteArray("1234") << QByteArray("0");
    QTest::newRow("2.1A") << 0x021Au << 2u * 256 + 50 << 0u << 3u << QByteArray("2.1A")
                          << QByteArray("2.50") << QByteArray("0") << QByteArray("3");
    QTest::newRow("no leading zeros")
        << 0x0A0Bu << 0x0001u << 70000u << 255u << QByteArray("A.B") << QByteArray("0.1")
        << QByteArray("70000") << QByteArray("255");
    QTest::newRow("two-digit parts")
        << 0x1FFFu << 12u * 256 + 255 << 1u << 65536u << QByteArray("1F.FF") << QByteArray("12.255")
        << QByteArray("1") << QByteArray("65536");
}

void LinkOpenTest::driverInfo()
{
    QFETCH(quint32, api);
    QFETCH(quint32, driver);
    QFETCH(quint32, build);
    QFETCH(quint32, flags);

    LinkFixture f;
    f.device()->faults().driverInfo = usbio::DriverInfo{api, driver, build, flags};
    QCOMPARE(f.open(), Status(0));
    f.journal().calls.clear();

    AnsiString apiText, driverText, buildText, flagsText;
    QCOMPARE(f.link().QueryDriverInfo(apiText, driverText, buildText, flagsText), Status(0));
    QTEST(apiText, "apiText");
    QTEST(driverText, "driverText");
    QTEST(buildText, "buildText");
    QTEST(flagsText, "flagsText");
    QCOMPARE(f.journal().calls, QStringList{QStringLiteral("R:GetDriverInfo")});
}

QTEST_GUILESS_MAIN(LinkOpenTest)
#include "tst_link_open.moc"
