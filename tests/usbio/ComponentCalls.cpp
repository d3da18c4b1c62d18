#include "tests/usbio/ComponentCalls.h"

#include <QTest>

using namespace usbio;

QByteArray readOne(Component &component, int *count, Status *status)
{
    QByteArray buffer(16, '\0');
    int n = -1;
    const Status s = component.ReadData(buffer, n);
    if (count)
        *count = n;
    if (status)
        *status = s;
    return buffer.left(qMax(0, n));
}

void addOperationsOnTheOpenDevice()
{
    QTest::addColumn<ComponentOperation>("operation");
    QTest::newRow("AddInterface") << ComponentOperation(
        [](Component &c) { return c.AddInterface(0, 0, 64000); });
    QTest::newRow("SetConfiguration")
        << ComponentOperation([](Component &c) { return c.SetConfiguration(0); });
    QTest::newRow("UnconfigureDevice")
        << ComponentOperation([](Component &c) { return c.UnconfigureDevice(); });
    QTest::newRow("Bind") << ComponentOperation([](Component &c) { return c.Bind(0x81); });
    QTest::newRow("Unbind") << ComponentOperation([](Component &c) { return c.Unbind(); });
    QTest::newRow("StartReading") << ComponentOperation(
        [](Component &c) { return c.StartReading(16, 5, 5); });
    QTest::newRow("ReadData") << ComponentOperation([](Component &c) {
        QByteArray b(16, '\0');
        int n = 0;
        return c.ReadData(b, n);
    });
    QTest::newRow("StartWriting") << ComponentOperation(
        [](Component &c) { return c.StartWriting(16, 5, 5, false); });
    QTest::newRow("WriteData") << ComponentOperation(
        [](Component &c) { return c.WriteData("x", 0); });
    QTest::newRow("ResetPipe") << ComponentOperation([](Component &c) { return c.ResetPipe(); });
    QTest::newRow("AbortPipe") << ComponentOperation([](Component &c) { return c.AbortPipe(); });
}
