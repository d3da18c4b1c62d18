#pragma once

#include <QTest>
#include <QtGlobal>

// A test program that makes windows (or paints through the platform) runs
// where there is no display, started by hand as well as by ctest: it takes
// Qt's offscreen platform unless QT_QPA_PLATFORM names one. Called first
// thing in main, before the application object exists.
inline void useOffscreenUnlessSet()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// QTEST_MAIN for those programs.
#define VEMO_TEST_MAIN(TestObject)                                                                 \
    QTEST_MAIN_WRAPPER(TestObject, useOffscreenUnlessSet(); QTEST_MAIN_SETUP())
