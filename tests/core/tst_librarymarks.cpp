// The marks the library's record and the disk give a row: the rules of times and servers.

#include "FileTree.h"

#include "core/Library.h"

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

class TestLibraryMarks : public QObject
{
    Q_OBJECT

private slots:
    void marks_data();
    void marks();
};

// The row is id 7 of "工具" on this server, updated `time`; files are 4 bytes, below the root.
// What the window shows end to end (verified, replaced or deleted by hand, a damaged record)
// is tested with the window; here are the rules of times and servers.
void TestLibraryMarks::marks_data()
{
    QTest::addColumn<QList<LibraryEntry>>("record");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("rowFile");
    QTest::addColumn<QString>("rowUpdated");
    QTest::addColumn<ItemMark::Kind>("kind");
    QTest::addColumn<QString>("installedUpdated");

    const QString t = QStringLiteral("工具"), time = "2024-05-01 10:00:00",
                  earlier = "2024-04-30 23:59:59", later = "2024-05-01 10:00:01";
    const QStringList own{"工具/new.zip"}, both{"工具/new.zip", "工具/old.zip"};
    const auto old = [&](const QString &server, const QString &updated) {
        return QList<LibraryEntry>{entry(server, "3", t, "old.zip", updated, 4)};
    };
    QTest::newRow("another server's record of the id: not verified")
        << QList<LibraryEntry>{entry(elsewhere, "7", t, "new.zip", time, 4)} << own << "new.zip"
        << time << ItemMark::Downloaded << "";
    // A new version arrives as a new id of the same title; the old file is still there.
    QTest::newRow("earlier copy: update")
        << old(here, earlier) << both << "newer.zip" << time << ItemMark::Update << earlier;
    QTest::newRow("equal") << old(here, time) << both << "newer.zip" << time << ItemMark::None
                           << "";
    QTest::newRow("later") << old(here, later) << both << "newer.zip" << time << ItemMark::None
                           << "";
    QTest::newRow("earlier copy gone from disk")
        << old(here, earlier) << QStringList{} << "newer.zip" << time << ItemMark::None << "";
    QTest::newRow("another server's earlier copy")
        << old(elsewhere, earlier) << both << "newer.zip" << time << ItemMark::None << "";
    QTest::newRow("row time unreadable") << old(here, earlier) << both << "newer.zip"
                                         << "2024-05-01" << ItemMark::None << "";
    QTest::newRow("record time unreadable")
        << old(here, "2024/04/30 10:00:00") << both << "newer.zip" << time << ItemMark::None << "";
    QTest::newRow("the newest copy on disk decides")
        << old(here, earlier) + QList<LibraryEntry>{entry(here, "7", t, "new.zip", time, 4)} << both
        << "new.zip" << time << ItemMark::Verified << "";
    QTest::newRow("a newer copy gone from disk does not")
        << old(here, earlier) + QList<LibraryEntry>{entry(here, "5", t, "gone.zip", later, 4)}
        << both << "newer.zip" << time << ItemMark::Update << earlier;
    // Other servers change an item's time in place.
    QTest::newRow("time changed in place")
        << QList<LibraryEntry>{entry(here, "7", t, "new.zip", earlier, 4)} << own << "new.zip"
        << time << ItemMark::Update << earlier;
}

void TestLibraryMarks::marks()
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
        FileTree::write(root + file, "1234");
    LibraryRecord lib;
    for (const LibraryEntry &e : record)
        lib.put(e);

    const tavrel::RowItem row{here, QStringLiteral("7"), QStringLiteral("工具"), rowFile,
                              rowUpdated};
    const ItemMark mark = tavrel::markFor(lib, root, row, sizeOnDisk);
    QCOMPARE(mark.kind, kind);
    QCOMPARE(mark.installedUpdated, installedUpdated);
}

QTEST_GUILESS_MAIN(TestLibraryMarks)
#include "tst_librarymarks.moc"
