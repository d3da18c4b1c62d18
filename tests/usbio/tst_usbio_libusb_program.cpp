#include "tests/usbio/umockdev/UmockdevMain.h"

class TestPlaceholder : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void nothing() { QSKIP("not written yet"); }
};

VEMO_UMOCKDEV_TEST_MAIN(TestPlaceholder)
#include "tst_usbio_libusb_program.moc"
