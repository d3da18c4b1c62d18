#include "files/RegularFile.h"
#include "usbio/Status.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <sys/types.h>

using files::RegularFile;
using Problem = RegularFile::Problem;

Q_DECLARE_METATYPE(RegularFile::Problem)

// Every file the program reads or writes by name is looked at first: what
// is not a regular file (a FIFO blocks its open and its reads, a device
// never ends) and what is larger than its bound is refused without being
// opened, so nothing can block and nothing huge is read into memory.
class TestRegularFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void reading_data();
    void reading();
    void writing_data();
    void writing();
    void sizeText_data();
    void sizeText();
    void boundOfAnImageInItsStatus();

private:
    // Makes what a row names in the test's folder; its path.
    QString make(const QString &what);

    std::unique_ptr<QTemporaryDir> m_dir;
};

namespace {

constexpr qint64 kLimit = 1000;

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

void TestRegularFile::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

QString TestRegularFile::make(const QString &what)
{
    const QString path = m_dir->filePath(QStringLiteral("file"));
    if (what == QLatin1String("missing"))
        return path;
    if (what == QLatin1String("folder")) {
        QDir().mkpath(path);
        return path;
    }
    if (what == QLatin1String("fifo")) {
        if (::mkfifo(QFile::encodeName(path).constData(), 0600) != 0)
            return QString();
        return path;
    }
    if (what.startsWith(QLatin1String("/dev/")))
        return what;
    if (what == QLatin1String("link to a file")) {
        writeBytes(path + QStringLiteral(".target"), "abc");
        QFile::link(path + QStringLiteral(".target"), path);
        return path;
    }
    if (what == QLatin1String("link to a fifo")) {
        ::mkfifo(QFile::encodeName(path + QStringLiteral(".fifo")).constData(), 0600);
        QFile::link(path + QStringLiteral(".fifo"), path);
        return path;
    }
    // "N bytes" of text, or "sparse N": a file of that size with no data
    // written (a hole that reads as zeros, as a huge file costs nothing).
    const QStringList words = what.split(QLatin1Char(' '));
    if (words.first() == QLatin1String("sparse")) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || !file.resize(words.last().toLongLong()))
            return QString();
        return path;
    }
    writeBytes(path, QByteArray(words.first().toInt(), 'x'));
    return path;
}

void TestRegularFile::reading_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<Problem>("problem");
    QTest::addColumn<QString>("reason"); // a part of it; empty: read

    QTest::newRow("a small file") << "10 bytes" << Problem::None << "";
    QTest::newRow("an empty file") << "0 bytes" << Problem::None << "";
    QTest::newRow("exactly at its bound") << "1000 bytes" << Problem::None << "";
    QTest::newRow("a symbolic link to a file") << "link to a file" << Problem::None << "";
    QTest::newRow("one byte past its bound")
        << "1001 bytes" << Problem::TooLarge << "larger than 1000 bytes (1001 bytes)";
    QTest::newRow("a huge sparse file")
        << "sparse 1073741824" << Problem::TooLarge << "larger than 1000 bytes (1073741824 bytes)";
    QTest::newRow("missing") << "missing" << Problem::Missing << "no such file";
    QTest::newRow("a folder") << "folder" << Problem::NotRegular << "a folder";
    QTest::newRow("a FIFO with no writer") << "fifo" << Problem::NotRegular << "not a regular file";
    QTest::newRow("a symbolic link to a FIFO")
        << "link to a fifo" << Problem::NotRegular << "not a regular file";
    QTest::newRow("a device that never ends")
        << "/dev/zero" << Problem::NotRegular << "not a regular file";
    QTest::newRow("a device that is always empty")
        << "/dev/null" << Problem::NotRegular << "not a regular file";
}

void TestRegularFile::reading()
{
    QFETCH(QString, what);
    QFETCH(Problem, problem);
    QFETCH(QString, reason);

    const QString path = make(what);
    QVERIFY(!path.isEmpty());

    // The look alone: it opens nothing, so a FIFO does not block it.
    Problem looked = Problem::OpenFailed;
    const QString checked = RegularFile::checkForReading(path, kLimit, &looked);
    QCOMPARE(looked, problem);
    QCOMPARE(checked.isEmpty(), reason.isEmpty());
    QVERIFY2(checked.contains(reason), qPrintable(checked));

    // The read: the whole file, or the same refusal and nothing read.
    QByteArray content("untouched");
    QString error;
    Problem read = Problem::OpenFailed;
    const bool ok = RegularFile::read(path, kLimit, &content, &error, &read);
    QCOMPARE(ok, reason.isEmpty());
    QCOMPARE(read, problem);
    if (ok) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(content, file.readAll());
    } else {
        QCOMPARE(error, checked);
        QCOMPARE(content, QByteArray("untouched"));
    }
}

void TestRegularFile::writing_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("reason"); // a part of it; empty: written to

    QTest::newRow("a new file") << "missing"
                                << "";
    QTest::newRow("an existing file") << "10 bytes"
                                      << "";
    QTest::newRow("a FIFO, whose open would wait for a reader") << "fifo"
                                                                << "not a regular file";
    QTest::newRow("a device that takes nothing") << "/dev/full"
                                                 << "not a regular file";
    QTest::newRow("a device that loses everything") << "/dev/null"
                                                    << "not a regular file";
    QTest::newRow("a folder") << "folder"
                              << "a folder";
}

void TestRegularFile::writing()
{
    QFETCH(QString, what);
    QFETCH(QString, reason);

    const QString path = make(what);
    QVERIFY(!path.isEmpty());
    const QString checked = RegularFile::checkForWriting(path);
    QCOMPARE(checked.isEmpty(), reason.isEmpty());
    QVERIFY2(checked.contains(reason), qPrintable(checked));
}

void TestRegularFile::sizeText_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");

    QTest::newRow("the inputs' bound") << RegularFile::InputLimit << "16 MiB";
    QTest::newRow("the images' bound") << RegularFile::FirmwareImageLimit << "32 MiB";
    QTest::newRow("kibibytes") << qint64(512 * 1024) << "512 KiB";
    QTest::newRow("not a whole kibibyte") << qint64(1025) << "1025 bytes";
    QTest::newRow("bytes") << qint64(100) << "100 bytes";
}

void TestRegularFile::sizeText()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(RegularFile::sizeText(bytes), text);
}

// The link's status for an image past the bound names the bound.
void TestRegularFile::boundOfAnImageInItsStatus()
{
    const QString text = usbio::statusDescription(usbio::status::FileTooLarge);
    QVERIFY2(text.contains(QStringLiteral("(%1)").arg(
                 RegularFile::sizeText(RegularFile::FirmwareImageLimit))),
             qPrintable(text));
}

QTEST_GUILESS_MAIN(TestRegularFile)
#include "tst_regularfile.moc"
