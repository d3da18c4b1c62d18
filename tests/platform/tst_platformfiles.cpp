#include "platform/AppendFile.h"
#include "platform/FileIdentity.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <unistd.h>

using platform::AppendFile;
using platform::FileIdentity;

// The files the run writes by name: where a name leads (two names of one
// file are found to be one, before either is opened), and the file records
// are appended to, which never takes a record into a file its name no
// longer leads to, nor glues one onto a line left unfinished.
class TestPlatformFiles : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void placesOfNames_data();
    void placesOfNames();
    void appendStartsOnALineOfItsOwn_data();
    void appendStartsOnALineOfItsOwn();
    void appendRefusesALostFile_data();
    void appendRefusesALostFile();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    bool write(const QString &name, const QByteArray &bytes);
    QByteArray read(const QString &name) const;

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestPlatformFiles::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

bool TestPlatformFiles::write(const QString &name, const QByteArray &bytes)
{
    QFile file(path(name));
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray TestPlatformFiles::read(const QString &name) const
{
    QFile file(path(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

void TestPlatformFiles::placesOfNames_data()
{
    // Names in the test's folder; "(made)" is made first: "file" a file,
    // "link:TARGET" a symbolic link, "hard:TARGET" a hard link.
    QTest::addColumn<QStringList>("made");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<bool>("same");

    QTest::newRow("one name") << QStringList{"a:file"} << "a"
                              << "a" << true;
    QTest::newRow("two files") << QStringList{"a:file", "b:file"} << "a"
                               << "b" << false;
    QTest::newRow("a symbolic link") << QStringList{"a:file", "l:link:a"} << "a"
                                     << "l" << true;
    QTest::newRow("a hard link") << QStringList{"a:file", "h:hard:a"} << "a"
                                 << "h" << true;
    QTest::newRow("through the folder's own name") << QStringList{"a:file"} << "a"
                                                   << "./sub/../a" << true;
    // Not there yet: the one file both would create.
    QTest::newRow("a file not there yet, twice") << QStringList{} << "new"
                                                 << "./new" << true;
    QTest::newRow("two files not there yet") << QStringList{} << "new"
                                             << "other" << false;
    QTest::newRow("a dangling link and what it would create") << QStringList{"d:link:new"} << "d"
                                                              << "new" << true;
    QTest::newRow("a file and a name not there yet") << QStringList{"a:file"} << "a"
                                                     << "new" << false;
}

void TestPlatformFiles::placesOfNames()
{
    QFETCH(QStringList, made);
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(bool, same);

    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("sub")));
    for (const QString &item : made) {
        const QStringList parts = item.split(QLatin1Char(':'));
        const QByteArray name = QFile::encodeName(path(parts.at(0)));
        if (parts.at(1) == QLatin1String("file")) {
            QVERIFY(write(parts.at(0), "x\n"));
        } else if (parts.at(1) == QLatin1String("link")) {
            QCOMPARE(::symlink(QFile::encodeName(parts.at(2)).constData(), name.constData()), 0);
        } else {
            QCOMPARE(::link(QFile::encodeName(path(parts.at(2))).constData(), name.constData()), 0);
        }
    }
    const auto a = FileIdentity::placeOf(path(first));
    const auto b = FileIdentity::placeOf(path(second));
    QVERIFY(a && b);
    QCOMPARE(*a == *b, same);
}

void TestPlatformFiles::appendStartsOnALineOfItsOwn_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("a new file") << QByteArray() << QByteArray("{\"r\":2}\n");
    QTest::newRow("a file of whole lines")
        << QByteArray("{\"r\":1}\n") << QByteArray("{\"r\":1}\n{\"r\":2}\n");
    // A short write on a full disk whose line break did not get in either.
    QTest::newRow("a file ending inside a line")
        << QByteArray("{\"r\":1,\"rea") << QByteArray("{\"r\":1,\"rea\n{\"r\":2}\n");
}

void TestPlatformFiles::appendStartsOnALineOfItsOwn()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);

    if (!before.isEmpty())
        QVERIFY(write(QStringLiteral("records"), before));
    AppendFile file;
    QString error;
    QVERIFY2(file.open(path(QStringLiteral("records")), &error), qPrintable(error));
    QVERIFY2(file.append("{\"r\":2}\n", &error), qPrintable(error));
    QCOMPARE(read(QStringLiteral("records")), after);
}

void TestPlatformFiles::appendRefusesALostFile_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("removed") << "remove";
    QTest::newRow("replaced by another file") << "replace";
    QTest::newRow("renamed away") << "rename";
}

void TestPlatformFiles::appendRefusesALostFile()
{
    QFETCH(QString, how);

    const QString records = path(QStringLiteral("records"));
    AppendFile file;
    QString error;
    QVERIFY(file.open(records, &error));
    QVERIFY(file.append("{\"r\":1}\n", &error));
    if (how == QLatin1String("remove")) {
        QVERIFY(QFile::remove(records));
    } else if (how == QLatin1String("replace")) {
        QVERIFY(write(QStringLiteral("other"), "other\n"));
        QCOMPARE(std::rename(QFile::encodeName(path(QStringLiteral("other"))).constData(),
                             QFile::encodeName(records).constData()),
                 0);
    } else {
        QVERIFY(QFile::rename(records, path(QStringLiteral("moved"))));
    }

    QVERIFY(!file.append("{\"r\":2}\n", &error));
    QVERIFY2(error.startsWith(QLatin1String(AppendFile::RemovedOrReplaced)) &&
                 error.contains(records),
             qPrintable(error));
    // Nothing went anywhere: not into the file there now, not into the old.
    if (how == QLatin1String("replace"))
        QCOMPARE(read(QStringLiteral("records")), QByteArray("other\n"));
    if (how == QLatin1String("rename"))
        QCOMPARE(read(QStringLiteral("moved")), QByteArray("{\"r\":1}\n"));
    QVERIFY(how == QLatin1String("replace") || !QFile::exists(records));
}

QTEST_GUILESS_MAIN(TestPlatformFiles)
#include "tst_platformfiles.moc"
