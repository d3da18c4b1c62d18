#pragma once

#include <QCoreApplication>
#include <QString>
#include <QTest>

// For the main() of a test that needs umockdev: when the process does not
// run inside umockdev-wrapper yet, it starts itself again inside it (once).
// Returns only when it could not: the tests then skip, saying why.
void runInsideUmockdev(int argc, char **argv);

// Why the tests cannot run (not under umockdev-wrapper), or empty.
QString umockdevMissing();

// QTEST_MAIN for these tests.
#define VEMO_UMOCKDEV_TEST_MAIN(TestObject)                                                        \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        runInsideUmockdev(argc, argv);                                                             \
        QCoreApplication app(argc, argv);                                                          \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
