#include "dialogue/DeviceList.h"
#include "link/VemoUSBinterface.h"
#include "tests/support/DialogueRig.h"

#include <QTest>

using registry::RootKey;
using usbio::Generation;

// The device list without a window: which items the window is given for
// the devices the link finds, and what an unknown device does to the list.
class TestDeviceList : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void knownNames_data();
    void knownNames();
    void refresh_data();
    void refresh();
    void refreshReplacesWhatWasListed();
    void unknownDeviceEmptiesWhatWasListedDuringItsBox();
    void noLinkListsNothing();
};

namespace {

const QString kUnknownPath = QStringLiteral("USB\\VID_5E1A&PID_0999\\5&2C1B&0&1");
const QString kUnknownBox = QStringLiteral("Unknown device detected, please send a bugreport to "
                                           "Orvik|Device unknown|16");

// A link of the rig's own, connected: the list reads the devices through it.
void connectLink(DialogueRig &rig)
{
    rig.createLink()->ConnectInterfaces();
}

QStringList boxes(DialogueRig &rig)
{
    QStringList shown;
    for (const FakeHostServices::Call &box : rig.host().boxes())
        shown << QStringLiteral("%1|%2|%3").arg(box.text, box.caption).arg(box.flags);
    return shown;
}

} // namespace

void TestDeviceList::knownNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("known");

    QTest::newRow("Vemo") << "Vemo" << true;
    QTest::newRow("Vemo3") << "Vemo3" << true;
    QTest::newRow("lower case") << "vemo2" << true;
    QTest::newRow("instance path holding VEMO") << "USB\\VID_5E1A&PID_0999\\VEMO-7" << true;
    QTest::newRow("instance path") << kUnknownPath << false;
    QTest::newRow("empty: no name for the index") << "" << false;
    QTest::newRow("split") << "VEM O" << false;
}

void TestDeviceList::knownNames()
{
    QFETCH(QString, name);
    QFETCH(bool, known);
    QCOMPARE(dialogue::DeviceList::isKnownName(name), known);
}

void TestDeviceList::refresh_data()
{
    QTest::addColumn<QList<int>>("generations");
    // Index and instance path written over the driver's list; -1 for none.
    QTest::addColumn<int>("renamed");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<bool>("box");

    QTest::newRow("none") << QList<int>{} << -1 << "" << 0 << QStringList{} << QStringList{}
                          << false;
    QTest::newRow("one Vemo2") << QList<int>{int(Generation::Vemo2)} << -1 << "" << 1
                               << QStringList{"Vemo2 #1"} << QStringList{} << false;
    QTest::newRow("three generations")
        << QList<int>{int(Generation::Vemo3), int(Generation::Vemo), int(Generation::Vemo2)} << -1
        << "" << 3 << QStringList{"Vemo3 #1", "Vemo #2", "Vemo2 #3"} << QStringList{} << false;
    QTest::newRow("instance path holding VEMO")
        << QList<int>{int(Generation::Vemo2)} << 0 << "USB\\VID_5E1A&PID_0999\\VEMO-7" << 1
        << QStringList{"USB\\VID_5E1A&PID_0999\\VEMO-7 #1"} << QStringList{} << false;
    // The known first device is listed before the unknown second one is met;
    // both go.
    QTest::newRow("unknown second device")
        << QList<int>{int(Generation::Vemo2), int(Generation::Vemo2)} << 1 << kUnknownPath << 0
        << QStringList{} << QStringList{"Unknown device detected: " + kUnknownPath.toUpper()}
        << true;
    QTest::newRow("no name for the second device")
        << QList<int>{int(Generation::Vemo), int(Generation::Vemo)} << 1 << "" << 0 << QStringList{}
        << QStringList{"Unknown device detected: "} << true;
}

void TestDeviceList::refresh()
{
    QFETCH(QList<int>, generations);
    QFETCH(int, renamed);
    QFETCH(QString, path);
    QFETCH(int, count);
    QFETCH(QStringList, items);
    QFETCH(QStringList, lines);
    QFETCH(bool, box);

    DialogueRig rig;
    for (int i = 0; i < generations.size(); ++i)
        rig.attach(Generation(generations.at(i)), QByteArray::number(100000000 + i));
    if (renamed >= 0 && path.isEmpty())
        rig.store().deleteValue(RootKey::LocalMachine, DialogueRig::ServiceEnum,
                                QString::number(renamed));
    else if (renamed >= 0)
        rig.store().writeString(RootKey::LocalMachine, DialogueRig::ServiceEnum,
                                QString::number(renamed), path);
    connectLink(rig);

    QCOMPARE(rig.dialogue.refreshDeviceList(), count);
    QCOMPARE(rig.deviceItems, items);
    QCOMPARE(rig.selectedItem, items.isEmpty() ? -1 : 0);
    QCOMPARE(rig.lines, lines);
    QCOMPARE(boxes(rig), box ? QStringList{kUnknownBox} : QStringList{});
}

void TestDeviceList::refreshReplacesWhatWasListed()
{
    DialogueRig rig;
    rig.attach(Generation::Vemo3, "000000001");
    connectLink(rig);
    rig.addDeviceItem(QStringLiteral("Vemo #1"));
    rig.addDeviceItem(QStringLiteral("Vemo #2"));
    rig.selectDeviceItem(1);

    QCOMPARE(rig.dialogue.refreshDeviceList(), 1);
    QCOMPARE(rig.deviceItems, QStringList{"Vemo3 #1"});
    QCOMPARE(rig.selectedItem, 0);
}

void TestDeviceList::unknownDeviceEmptiesWhatWasListedDuringItsBox()
{
    DialogueRig rig;
    rig.attach(Generation::Vemo2, "000000001");
    rig.store().writeString(RootKey::LocalMachine, DialogueRig::ServiceEnum, QStringLiteral("0"),
                            kUnknownPath);
    connectLink(rig);
    // The box lets messages through: a rebuild inside it lists a device.
    QStringList listedDuringTheBox;
    rig.host().onBox = [&](const FakeHostServices::Call &) {
        rig.addDeviceItem(QStringLiteral("Vemo2 #1"));
        listedDuringTheBox = rig.deviceItems;
    };

    QCOMPARE(rig.dialogue.refreshDeviceList(), 0);
    QCOMPARE(listedDuringTheBox, QStringList{"Vemo2 #1"});
    QVERIFY(rig.deviceItems.isEmpty());
}

void TestDeviceList::noLinkListsNothing()
{
    DialogueRig rig;
    rig.attach(Generation::Vemo2, "000000001");
    rig.addDeviceItem(QStringLiteral("Vemo2 #1"));

    QCOMPARE(rig.dialogue.refreshDeviceList(), 0);
    QVERIFY(rig.deviceItems.isEmpty());
    QVERIFY(rig.lines.isEmpty());
    QVERIFY(rig.host().boxes().isEmpty());
}

QTEST_GUILESS_MAIN(TestDeviceList)
#include "tst_devicelist.moc"
