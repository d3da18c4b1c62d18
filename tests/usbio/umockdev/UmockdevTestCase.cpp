#include "tests/usbio/umockdev/UmockdevTestCase.h"

#include "tests/usbio/umockdev/UmockdevMain.h"

#include <QTest>

void UmockdevTestCase::init()
{
    if (const QString missing = umockdevMissing(); !missing.isEmpty())
        QSKIP(qPrintable(missing));
}
