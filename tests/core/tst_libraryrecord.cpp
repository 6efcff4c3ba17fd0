// The library's record and the marks it gives a row, from the record and the disk.

#include "core/Library.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using tavrel::ItemMark;
using tavrel::LibraryEntry;
using tavrel::LibraryRecord;

Q_DECLARE_METATYPE(ItemMark::Kind)

namespace {

const QString here = QStringLiteral("http://a.test/adminphp/");
const QString elsewhere = QStringLiteral("http://b.test/adminphp/");

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

LibraryEntry entry(const QString &server, const QString &id, const QString &title,
                   const QString &fileName, const QString &updated, qint64 size)
{
    return {server, id, title, fileName, updated, size, {}, {}};
}

qint64 sizeOnDisk(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() ? info.size() : -1;
}

} // namespace

class TestLibraryRecord : public QObject
{
    Q_OBJECT

private slots:
    void marks_data();
    void marks();
    void recordFile_data();
    void recordFile();
    void recordSitsBesideTheLibrary();
};

// The disk holds "工具/new.zip" (4 bytes) unless a row says otherwise; the row is id 7 of
// "工具" on this server, updated 2024-05-01 10:00:00.
void TestLibraryRecord::marks_data()
{
    QTest::addColumn<QList<LibraryEntry>>("record");
    QTest::addColumn<QStringList>("files");   // relative to the root, 4 bytes each
    QTest::addColumn<QString>("rowFile");
    QTest::addColumn<QString>("rowUpdated");
    QTest::addColumn<ItemMark::Kind>("kind");
    QTest::addColumn<QString>("installedUpdated");

    const QString t = QStringLiteral("工具");
    const QString time = QStringLiteral("2024-05-01 10:00:00");
    const QString earlier = QStringLiteral("2024-04-30 23:59:59");
    const QString later = QStringLiteral("2024-05-01 10:00:01");
    const QStringList own{QStringLiteral("工具/new.zip")};
    const QStringList both{QStringLiteral("工具/new.zip"), QStringLiteral("工具/old.zip")};
    const QString newZip = QStringLiteral("new.zip");

    QTest::newRow("nothing on disk, no record")
        << QList<LibraryEntry>{} << QStringList{} << newZip << time << ItemMark::None << "";
    QTest::newRow("on disk, record missing: downloaded, not verified")
        << QList<LibraryEntry>{} << own << newZip << time << ItemMark::Downloaded << "";
    QTest::newRow("record and size agree: verified")
        << QList<LibraryEntry>{entry(here, "7", t, newZip, time, 4)} << own << newZip << time
        << ItemMark::Verified << "";
    QTest::newRow("file replaced by hand: size differs")
        << QList<LibraryEntry>{entry(here, "7", t, newZip, time, 5)} << own << newZip << time
        << ItemMark::Downloaded << "";
    QTest::newRow("folder deleted by hand: stale record")
        << QList<LibraryEntry>{entry(here, "7", t, newZip, time, 4)} << QStringList{} << newZip
        << time << ItemMark::None << "";
    QTest::newRow("another server's record of the same id")
        << QList<LibraryEntry>{entry(elsewhere, "7", t, newZip, time, 4)} << own << newZip
        << time << ItemMark::Downloaded << "";
    // A new version: a new id of the same title, with another file; the old one still there.
    QTest::newRow("older copy of the title: update")
        << QList<LibraryEntry>{entry(here, "3", t, "old.zip", earlier, 4)} << both
        << "newer.zip" << time << ItemMark::Update << earlier;
    QTest::newRow("copy of equal time: no update")
        << QList<LibraryEntry>{entry(here, "3", t, "old.zip", time, 4)} << both << "newer.zip"
        << time << ItemMark::None << "";
    QTest::newRow("copy of later time: no update")
        << QList<LibraryEntry>{entry(here, "3", t, "old.zip", later, 4)} << both << "newer.zip"
        << time << ItemMark::None << "";
    QTest::newRow("newest copy on disk decides")
        << QList<LibraryEntry>{entry(here, "3", t, "old.zip", earlier, 4),
                               entry(here, "7", t, newZip, time, 4)}
        << both << newZip << time << ItemMark::Verified << "";
    QTest::newRow("newer copy gone from disk: the older one counts")
        << QList<LibraryEntry>{entry(here, "3", t, "old.zip", earlier, 4),
                               entry(here, "5", t, "gone.zip", later, 4)}
        << both << "newer.zip" << time << ItemMark::Update << earlier;
    QTest::newRow("older copy no longer on disk: no update")
        << QList<LibraryEntry>{entry(here, "3", t, "old.zip", earlier, 4)} << QStringList{}
        << "newer.zip" << time << ItemMark::None << "";
    QTest::newRow("time changed in place: downloaded and update")
        << QList<LibraryEntry>{entry(here, "7", t, newZip, earlier, 4)} << own << newZip << time
        << ItemMark::Update << earlier;
    QTest::newRow("another server's older copy: no update")
        << QList<LibraryEntry>{entry(elsewhere, "3", t, "old.zip", earlier, 4)} << both
        << "newer.zip" << time << ItemMark::None << "";
    QTest::newRow("row time unreadable")
        << QList<LibraryEntry>{entry(here, "3", t, "old.zip", earlier, 4)} << both << "newer.zip"
        << "2024-05-01" << ItemMark::None << "";
    QTest::newRow("record time unreadable")
        << QList<LibraryEntry>{entry(here, "3", t, "old.zip", "2024/04/30 10:00:00", 4)} << both
        << "newer.zip" << time << ItemMark::None << "";
    QTest::newRow("impossible date")
        << QList<LibraryEntry>{entry(here, "3", t, "old.zip", "2024-02-30 10:00:00", 4)} << both
        << "newer.zip" << time << ItemMark::None << "";
    QTest::newRow("a folder where the file would be")
        << QList<LibraryEntry>{} << QStringList{QStringLiteral("工具/new.zip/x")} << newZip
        << time << ItemMark::None << "";
}

void TestLibraryRecord::marks()
{
    QFETCH(QList<LibraryEntry>, record);
    QFETCH(QStringList, files);
    QFETCH(QString, rowFile);
    QFETCH(QString, rowUpdated);
    QFETCH(ItemMark::Kind, kind);
    QFETCH(QString, installedUpdated);

    QTemporaryDir dir;
    const QString root = dir.path() + QStringLiteral("/Res/");
    for (const QString &file : files)
        writeFile(root + file, "1234");
    LibraryRecord lib;
    for (const LibraryEntry &e : record)
        lib.put(e);

    const tavrel::RowItem row{here, QStringLiteral("7"), QStringLiteral("工具"), rowFile,
                              rowUpdated};
    const ItemMark mark = tavrel::markFor(lib, root, row, sizeOnDisk);
    QCOMPARE(mark.kind, kind);
    QCOMPARE(mark.installedUpdated, installedUpdated);
}

void TestLibraryRecord::recordFile_data()
{
    QTest::addColumn<QByteArray>("contents"); // empty: no file at all
    QTest::addColumn<int>("entries");
    QTest::addColumn<bool>("warned");

    QTest::newRow("missing") << QByteArray() << 0 << false;
    QTest::newRow("cut short") << QByteArray("{\"version\":1,\"items\":[{\"server\":") << 0
                               << true;
    QTest::newRow("not json") << QByteArray("\x01\x02garbage") << 0 << true;
    QTest::newRow("unknown version") << QByteArray("{\"version\":9,\"items\":[]}") << 0 << true;
    QTest::newRow("an entry without a size")
        << QByteArray("{\"version\":1,\"items\":[{\"server\":\"s\",\"fileName\":\"f\"}]}") << 0
        << true;
    QTest::newRow("good")
        << QByteArray("{\"version\":1,\"items\":[{\"server\":\"s\",\"id\":\"1\",\"title\":\"t\","
                      "\"fileName\":\"f\",\"updated\":\"u\",\"size\":3}]}")
        << 1 << false;
}

void TestLibraryRecord::recordFile()
{
    QFETCH(QByteArray, contents);
    QFETCH(int, entries);
    QFETCH(bool, warned);

    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("library.json"));
    if (!contents.isEmpty())
        writeFile(file, contents);
    QString warning;
    const LibraryRecord record = LibraryRecord::load(file, &warning);
    QCOMPARE(record.entries().size(), entries);
    QCOMPARE(!warning.isEmpty(), warned);
    if (warned)
        QVERIFY2(warning.contains(QDir::toNativeSeparators(file)), qPrintable(warning));
}

void TestLibraryRecord::recordSitsBesideTheLibrary()
{
    QTemporaryDir dir;
    const QString file = LibraryRecord::fileFor(dir.path() + QStringLiteral("/Res/"));
    QCOMPARE(file, dir.path() + QStringLiteral("/library.json"));

    // Written, read back whole, the same item replaced rather than repeated.
    LibraryRecord record;
    LibraryEntry e = entry(here, "7", QStringLiteral("工具"), "a.zip", "2024-05-01 10:00:00", 4);
    e.digest = QStringLiteral("sha256:00ff");
    e.downloadedAt = QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::OffsetFromUTC, 3600);
    record.put(e);
    e.size = 5;
    record.put(e);
    record.put(entry(elsewhere, "7", "x", "b.zip", "", 1));
    QVERIFY(record.save(file));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"library.json"});

    const LibraryRecord back = LibraryRecord::load(file);
    QCOMPARE(back.entries().size(), 2);
    const LibraryEntry *read = back.find(here, QStringLiteral("7"));
    QVERIFY(read);
    QCOMPARE(read->size, 5);
    QCOMPARE(read->title, e.title);
    QCOMPARE(read->digest, e.digest);
    QCOMPARE(read->downloadedAt, e.downloadedAt);
}

QTEST_GUILESS_MAIN(TestLibraryRecord)
#include "tst_libraryrecord.moc"
