#pragma once

#include <QObject>

// The test object of a test that needs umockdev: where the process does not
// run inside umockdev-wrapper, every test function skips, saying why. Qt Test
// runs this init() before each test function of the derived object, which
// therefore declares no init() of its own.
class UmockdevTestCase : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
};
