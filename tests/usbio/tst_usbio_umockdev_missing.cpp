// Stands in for a test of the libusb backend where umockdev's library was
// not found when the build was configured.

#include <QTest>

class TestUmockdevMissing : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void libusbUnderUmockdev()
    {
        QSKIP("umockdev is not available: libumockdev-dev was not found when the build was "
              "configured; install it (scripts/deps.sh) and configure again");
    }
};

QTEST_GUILESS_MAIN(TestUmockdevMissing)
#include "tst_usbio_umockdev_missing.moc"
