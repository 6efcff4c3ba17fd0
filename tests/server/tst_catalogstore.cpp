#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <algorithm>
#include <memory>
#include <optional>
#include <thread>

#include "Catalog.h"
#include "CatalogQueries.h"
#include "CatalogText.h"
#include "CatalogdProcess.h"
#include "StoreFormat.h"

using List = Catalog::List;

namespace {

const List Lists[] = {List::Admin, List::Users, List::All, List::Pending};

struct Row
{
    qint64 id = 0;
    int fromAdmin = 0;
    int approved = 0;
    QString category, title, licence, updated, fileName, key;
};

bool inList(const Row &r, List list)
{
    switch (list) {
    case List::Admin:
        return r.fromAdmin == 1 && r.approved == 1;
    case List::Users:
        return r.fromAdmin == 0 && r.approved == 1;
    case List::Pending:
        return r.approved == 0;
    case List::All:
        break;
    }
    return true;
}

// A store of its own: an SQLite file, or a PostgreSQL database when the tests run against one.
// `sql()` is a connection of its own, writing the way an older catalogd or a hand edit would.
class Store
{
public:
    Store()
    {
        static int made = 0;
        m_name = QStringLiteral("raw-%1").arg(++made);
        QString error;
        const QString url = CatalogdProcess::databaseFor(m_dir.path(), &error);
        if (!error.isEmpty())
            qFatal("%s", qPrintable(error));
        if (url.isEmpty()) {
            m_store.sqlitePath = m_dir.filePath(QStringLiteral("catalog.db"));
        } else {
            const QUrl u(url);
            m_store.kind = CatalogStore::Postgresql;
            m_store.host = u.host();
            m_store.port = u.port(-1);
            m_store.user = u.userName();
            m_store.databaseName = u.path().mid(1);
        }
        QSqlDatabase db = QSqlDatabase::addDatabase(
            pg() ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"), m_name);
        configure(db);
        if (!db.open())
            qFatal("cannot open the store: %s", qPrintable(db.lastError().text()));
    }
    ~Store()
    {
        QSqlDatabase::database(m_name).close();
        QSqlDatabase::removeDatabase(m_name);
    }

    void configure(QSqlDatabase &db) const
    {
        if (pg()) {
            db.setHostName(m_store.host);
            db.setPort(m_store.port);
            db.setUserName(m_store.user);
            db.setDatabaseName(m_store.databaseName);
        } else {
            db.setDatabaseName(m_store.sqlitePath);
            db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
        }
    }
    bool pg() const { return m_store.kind == CatalogStore::Postgresql; }
    StoreFormat::Backend backend() const
    {
        return pg() ? StoreFormat::Backend::Postgresql : StoreFormat::Backend::Sqlite;
    }
    const CatalogStore &store() const { return m_store; }
    QSqlDatabase sql() const { return QSqlDatabase::database(m_name); }

    // The tables as the first catalogd made them.
    void writeFirstFormat() const
    {
        QFile file(QStringLiteral(TAVREL_FIXTURES "/format0-%1.sql")
                       .arg(pg() ? QStringLiteral("postgresql") : QStringLiteral("sqlite")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        for (QString statement : QString::fromUtf8(file.readAll()).split(u';')) {
            statement.remove(QRegularExpression(QStringLiteral("--[^\n]*")));
            if (!statement.trimmed().isEmpty())
                exec(statement);
        }
    }

    QSqlQuery exec(const QString &statement, const QVariantList &values = {}) const
    {
        QSqlQuery q(sql());
        bool done = false;
        if (values.isEmpty()) {
            done = q.exec(statement); // PostgreSQL prepares no DDL or EXPLAIN
        } else {
            q.prepare(statement);
            for (const QVariant &v : values)
                q.addBindValue(v);
            done = q.exec();
        }
        if (!done)
            qFatal("%s: %s", qPrintable(statement), qPrintable(q.lastError().text()));
        return q;
    }

    void insert(const Row &r) const
    {
        exec(QStringLiteral(
                 "INSERT INTO items (from_admin, approved, category, title, licence, updated,"
                 " file_name, search_key) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"),
             {r.fromAdmin, r.approved, r.category, r.title, r.licence, r.updated, r.fileName,
              r.key});
    }

    QList<Row> rows() const
    {
        QList<Row> out;
        QSqlQuery q =
            exec(QStringLiteral("SELECT id, from_admin, approved, category, title, licence,"
                                " updated, file_name, search_key FROM items"));
        while (q.next())
            out.append({q.value(0).toLongLong(), q.value(1).toInt(), q.value(2).toInt(),
                        q.value(3).toString(), q.value(4).toString(), q.value(5).toString(),
                        q.value(6).toString(), q.value(7).toString(), q.value(8).toString()});
        return out;
    }

private:
    QTemporaryDir m_dir;
    CatalogStore m_store;
    QString m_name;
};

// What the plain query of the first catalogd answers: the search key contains the folded
// text, newest first, ties by id.
Catalog::Page modelPage(QList<Row> rows, List list, const QString &rawPage, const QString &search,
                        int pageSize)
{
    const QString key = search.toCaseFolded();
    rows.removeIf([&](const Row &r) { return !inList(r, list) || !r.key.contains(key); });
    std::sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) {
        return a.updated != b.updated ? a.updated > b.updated : a.id > b.id;
    });
    Catalog::Page page;
    page.recordCount = rows.size();
    page.pageCount = CatalogText::pageCount(page.recordCount, pageSize);
    const qint64 first = (CatalogText::resolvePage(rawPage, page.pageCount) - 1) * pageSize;
    for (qint64 i = first; i < qMin<qint64>(first + pageSize, rows.size()); ++i) {
        const Row &r = rows.at(i);
        page.records.append({r.category, r.title, r.licence, r.updated, r.fileName, r.id});
    }
    return page;
}

const QStringList Words{
    QStringLiteral("补丁"),    QStringLiteral("工具"),    QStringLiteral("中文字体"),
    QStringLiteral("浏览器"),  QStringLiteral("皮肤"),    QStringLiteral("Editor"),
    QStringLiteral("backup"),  QStringLiteral("PLAYER"),  QStringLiteral("v1.2"),
    QStringLiteral("50%_off"), QStringLiteral("a\\b"),    QStringLiteral("\"quoted\""),
    QStringLiteral("Straße"),  QStringLiteral("ΣΊΣΥΦΟΣ"), QStringLiteral("😀smile"),
    QStringLiteral("it's"),    QStringLiteral("ss")};
const QStringList Categories{QStringLiteral("工具"), QStringLiteral("Games"),
                             QStringLiteral("补丁"), QStringLiteral("UTILITIES")};

Row randomRow(QRandomGenerator &rng, int n, int distinctTimes)
{
    Row r;
    const int kind = rng.bounded(10);
    r.fromAdmin = kind < 4 ? 1 : 0;
    r.approved = kind < 8 ? 1 : 0;
    r.category = Categories.at(rng.bounded(int(Categories.size())));
    for (int w = 0, words = 2 + rng.bounded(2); w < words; ++w)
        r.title += (w ? QStringLiteral(" ") : QString()) + Words.at(rng.bounded(int(Words.size())));
    r.licence = QStringLiteral("免费");
    r.updated = QDateTime(QDate(2016, 1, 1), QTime(0, 0))
                    .addSecs(qint64(rng.bounded(distinctTimes)) * 86400 * 3650 / distinctTimes)
                    .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    r.fileName = QStringLiteral("f%1.zip").arg(n);
    r.key = (r.category + u'\n' + r.title).toCaseFolded();
    return r;
}

// Searches: pieces of stored keys of every length, in other cases, and texts that match
// nothing or look like patterns.
QStringList searchesFor(const QList<Row> &rows, QRandomGenerator &rng)
{
    QStringList out{QString(),
                    QStringLiteral("%"),
                    QStringLiteral("\\"),
                    QStringLiteral("\""),
                    QStringLiteral("'s"),
                    QStringLiteral("s\nu"),
                    QStringLiteral("😀"),
                    QStringLiteral("ß"),
                    QStringLiteral("SS"),
                    QStringLiteral("σίσ"),
                    QStringLiteral("zzzz"),
                    QStringLiteral("\x01"),
                    QStringLiteral("0%_")};
    for (int i = 0; i < 10; ++i) {
        const QList<uint> key = rows.at(rng.bounded(int(rows.size()))).key.toUcs4();
        const int length = 1 + rng.bounded(5);
        const int from = rng.bounded(qMax(1, int(key.size()) - length + 1));
        const QList<uint> part = key.mid(from, length);
        const QString piece =
            QString::fromUcs4(reinterpret_cast<const char32_t *>(part.constData()), part.size());
        out.append(i % 3 == 0 ? piece.toUpper() : piece);
    }
    return out;
}

void comparePages(Catalog &catalog, const Store &store, QRandomGenerator &rng, int pageSize,
                  const char *when)
{
    const QList<Row> rows = store.rows();
    for (const QString &search : searchesFor(rows, rng)) {
        for (List list : Lists) {
            const Catalog::Page whole = modelPage(rows, list, QString(), search, pageSize);
            const qint64 last = whole.pageCount;
            for (const QString &page : {QStringLiteral("2"), QString::number(last / 2),
                                        QString::number(last - 1), QStringLiteral("99999")}) {
                const StoreResult<Catalog::Page> got = catalog.page(list, page, search, pageSize);
                QVERIFY2(got.ok(), qPrintable(got.error()));
                const Catalog::Page want = modelPage(rows, list, page, search, pageSize);
                const QByteArray where = QStringLiteral("%1: list %2, page %3, search \"%4\"")
                                             .arg(QLatin1String(when))
                                             .arg(int(list))
                                             .arg(page, search)
                                             .toUtf8();
                QVERIFY2(got->recordCount == want.recordCount && got->pageCount == want.pageCount,
                         where + " counts " + QByteArray::number(got->recordCount) + " want " +
                             QByteArray::number(want.recordCount));
                QVERIFY2(got->records.size() == want.records.size(), where.constData());
                for (int i = 0; i < want.records.size(); ++i)
                    QVERIFY2(got->records.at(i).id == want.records.at(i).id &&
                                 got->records.at(i).title == want.records.at(i).title,
                             where + " row " + QByteArray::number(i));
            }
        }
    }
}

QString explained(const Store &store, QString sql, const QList<QPair<QString, QVariant>> &binds)
{
    // Values in place: PostgreSQL cannot prepare an EXPLAIN.
    for (const auto &[name, value] : binds) {
        const QString literal =
            value.typeId() == QMetaType::QString
                ? u'\'' + value.toString().replace(u'\'', QStringLiteral("''")) + u'\''
                : value.toString();
        sql.replace(name, literal);
    }
    QSqlQuery q = store.exec(
        (store.pg() ? QStringLiteral("EXPLAIN ") : QStringLiteral("EXPLAIN QUERY PLAN ")) + sql);
    QString plan;
    while (q.next())
        plan += q.value(store.pg() ? 0 : 3).toString() + u'\n';
    return plan;
}

} // namespace

class TestCatalogStore : public QObject
{
    Q_OBJECT
private slots:
    void pagesAndSearchesMatchThePlainQuery_data();
    void pagesAndSearchesMatchThePlainQuery();
    void upgradesTheFirstFormat();
    void plansUseTheIndexes_data();
    void plansUseTheIndexes();
    void countsExactAfterConcurrentWriters();
    void cleanupTestCase();

private:
    // The plans' store, made once for all their rows.
    std::unique_ptr<Store> m_planStore;
    std::unique_ptr<Catalog> m_planCatalog;
};

void TestCatalogStore::cleanupTestCase()
{
    m_planCatalog.reset();
    m_planStore.reset();
}

void TestCatalogStore::pagesAndSearchesMatchThePlainQuery_data()
{
    QTest::addColumn<int>("items");
    QTest::addColumn<int>("distinctTimes");
    QTest::addColumn<int>("pageSize");
    QTest::newRow("many equal times") << 1500 << 7 << 20;
    QTest::newRow("times all apart, short pages") << 1200 << 100000 << 7;
}

// Random catalogues in the first format, upgraded, then written to by catalogd and by hand;
// every page and search is compared with the plain query's answer at each step.
void TestCatalogStore::pagesAndSearchesMatchThePlainQuery()
{
    QFETCH(int, items);
    QFETCH(int, distinctTimes);
    QFETCH(int, pageSize);
    QRandomGenerator rng(items + distinctTimes);
    Store store;
    store.writeFirstFormat();
    store.sql().transaction();
    for (int i = 0; i < items; ++i)
        store.insert(randomRow(rng, i, distinctTimes));
    store.sql().commit();
    store.exec(QStringLiteral("DELETE FROM items WHERE id % 17 = 0"));

    Catalog catalog;
    const StoreResult<> opened = catalog.open(store.store(), true);
    QVERIFY2(opened.ok(), qPrintable(opened.error()));
    comparePages(catalog, store, rng, pageSize, "upgraded");
    if (QTest::currentTestFailed())
        return;

    // catalogd's own writes.
    for (int i = 0; i < 40; ++i) {
        Row r = randomRow(rng, items + i, distinctTimes);
        const StoreResult<qint64> added = catalog.addItem({.fromAdmin = bool(r.fromAdmin),
                                                           .approved = bool(r.approved),
                                                           .category = r.category,
                                                           .title = r.title,
                                                           .licence = r.licence,
                                                           .fileName = r.fileName,
                                                           .updated = r.updated});
        QVERIFY2(added.ok(), qPrintable(added.error()));
        QString fileName;
        QVERIFY(catalog.approve(1 + rng.bounded(items)));
        QVERIFY(catalog.remove(1 + rng.bounded(items), &fileName));
    }
    // An older catalogd and hand edits, which know nothing of the counts and indexes.
    store.insert(randomRow(rng, 2 * items, distinctTimes));
    store.exec(QStringLiteral("UPDATE items SET approved = 1 - approved WHERE id % 11 = 3"));
    store.exec(QStringLiteral("UPDATE items SET from_admin = 2 WHERE id % 31 = 5"));
    store.exec(
        QStringLiteral("UPDATE items SET updated = '2030-01-01 00:00:00' WHERE id % 13 = 1"));
    store.exec(QStringLiteral("UPDATE items SET search_key = 'hand\neditor' WHERE id % 29 = 7"));
    store.exec(QStringLiteral("DELETE FROM items WHERE id % 19 = 2"));
    comparePages(catalog, store, rng, pageSize, "after writes");
    if (QTest::currentTestFailed())
        return;

    // A time the order key cannot hold: read plainly, still right; mended, fast again.
    store.exec(QStringLiteral("UPDATE items SET updated = '2024-3-1 9:00' WHERE id % 23 = 4"));
    comparePages(catalog, store, rng, pageSize, "odd times");
    store.exec(QStringLiteral(
        "UPDATE items SET updated = '2024-03-01 09:00:00' WHERE updated = '2024-3-1 9:00'"));
    comparePages(catalog, store, rng, pageSize, "mended");
    QSqlQuery counts = store.exec(CatalogQueries::counts(List::All));
    QVERIFY(counts.next());
    QCOMPARE(counts.value(1).toLongLong(), 0);
}

void TestCatalogStore::upgradesTheFirstFormat()
{
    Store store;
    store.writeFirstFormat();
    QRandomGenerator rng(3);
    for (int i = 0; i < 300; ++i)
        store.insert(randomRow(rng, i, 40));
    store.exec(QStringLiteral(
        "INSERT INTO settings (key, value) VALUES ('security_code', '0042'), ('visits', '17')"));
    store.exec(QStringLiteral("DELETE FROM items WHERE id IN (5, 6)"));
    store.exec(QStringLiteral("INSERT INTO deleted_items (id) VALUES (5), (6)"));
    const QList<Row> before = store.rows();

    Catalog catalog;
    QTest::ignoreMessage(
        QtInfoMsg, QRegularExpression(QStringLiteral("upgrading the store to format 1 of \\d+")));
    QTest::ignoreMessage(QtInfoMsg,
                         QRegularExpression(QStringLiteral("store upgraded to format 1 in")));
    StoreResult<> opened = catalog.open(store.store(), true);
    QVERIFY2(opened.ok(), qPrintable(opened.error()));
    QCOMPARE(store.rows().size(), before.size());
    QCOMPARE(*catalog.securityCode(), QStringLiteral("0042"));
    QCOMPARE(*catalog.countVisit(), 18);
    QCOMPARE(*catalog.itemCount(), before.size());
    QString fileName;
    QCOMPARE(*catalog.remove(5, &fileName), Catalog::Change::AlreadyDone);
    for (List list : Lists) {
        const auto got = catalog.page(list, QStringLiteral("2"), QString(), 20);
        QCOMPARE(got->recordCount,
                 modelPage(before, list, QStringLiteral("2"), QString(), 20).recordCount);
    }
    QSqlQuery format =
        store.exec(QStringLiteral("SELECT value FROM settings WHERE key = 'store_format'"));
    QVERIFY(format.next());
    QCOMPARE(format.value(0).toInt(), StoreFormat::latest());

    // A second start finds nothing to do; a store from a newer catalogd is refused.
    Catalog again;
    QVERIFY(again.open(store.store(), true));
    store.exec(QStringLiteral("UPDATE settings SET value = '%1' WHERE key = 'store_format'")
                   .arg(StoreFormat::latest() + 1));
    Catalog newer;
    opened = newer.open(store.store(), true);
    QVERIFY(!opened);
    QVERIFY2(opened.error().contains(QStringLiteral("newer than this catalogd knows")),
             qPrintable(opened.error()));
}

void TestCatalogStore::plansUseTheIndexes_data()
{
    QTest::addColumn<int>("statement");
    QTest::addColumn<int>("list");
    QTest::addColumn<QString>("sqliteIndex");
    QTest::addColumn<QString>("postgresqlIndex");
    enum { Counts, Slice, Rows, LongSearch, ShortSearch };
    QTest::newRow("counts") << int(Counts) << int(List::All) << "item_counts"
                            << "item_counts_pkey";
    QTest::newRow("slice") << int(Slice) << int(List::Users) << "item_counts"
                           << "item_counts_pkey";
    QTest::newRow("admin rows") << int(Rows) << int(List::Admin) << "items_admin_by_order"
                                << "items_admin_by_order";
    QTest::newRow("users rows") << int(Rows) << int(List::Users) << "items_users_by_order"
                                << "items_users_by_order";
    QTest::newRow("pending rows") << int(Rows) << int(List::Pending) << "items_pending_by_order"
                                  << "items_pending_by_order";
    QTest::newRow("all rows") << int(Rows) << int(List::All) << "items_by_order"
                              << "items_by_order";
    QTest::newRow("long search") << int(LongSearch) << int(List::Users)
                                 << "search_trigrams VIRTUAL TABLE"
                                 << "items_search_trigrams";
    QTest::newRow("short search") << int(ShortSearch) << int(List::All)
                                  << "search_grams VIRTUAL TABLE"
                                  << "items_search_grams";
}

// The plans of the statements that run: the indexes, never a walk over every item.
void TestCatalogStore::plansUseTheIndexes()
{
    QFETCH(int, statement);
    QFETCH(int, list);
    QFETCH(QString, sqliteIndex);
    QFETCH(QString, postgresqlIndex);
    if (!m_planStore) {
        m_planStore = std::make_unique<Store>();
        m_planCatalog = std::make_unique<Catalog>();
        const Store &store = *m_planStore;
        QVERIFY(m_planCatalog->open(store.store(), true));
        // Some items and their statistics, so that PostgreSQL plans as for a real catalogue.
        QRandomGenerator rng(9);
        store.sql().transaction();
        for (int i = 0; i < 2000; ++i)
            store.insert(randomRow(rng, i, 1000));
        store.sql().commit();
        if (store.pg())
            store.exec(QStringLiteral("ANALYZE items"));
        if (store.pg())
            store.exec(QStringLiteral("SET enable_seqscan = off"));
    }
    const Store &store = *m_planStore;
    const auto backend = store.backend();
    const List l = List(list);
    QStringList sql;
    const QString search = statement == 3 ? QStringLiteral("zzzq") : QStringLiteral("ß");
    const QList<QPair<QString, QVariant>> binds{
        {QStringLiteral(":q"), CatalogQueries::searchValue(backend, l, search)},
        {QStringLiteral(":skip"), 40},
        {QStringLiteral(":limit"), 20},
        {QStringLiteral(":bound"), qint64(1) << 60}};
    switch (statement) {
    case 0:
        sql << CatalogQueries::counts(l);
        break;
    case 1:
        sql << CatalogQueries::slice(l, false) << CatalogQueries::slice(l, true);
        break;
    case 2:
        sql << CatalogQueries::listRows(backend, l, false)
            << CatalogQueries::listRows(backend, l, true);
        break;
    default:
        sql << CatalogQueries::searchCount(backend, l, statement == 3)
            << CatalogQueries::searchRows(backend, l, statement == 3, false)
            << CatalogQueries::searchRows(backend, l, statement == 3, true);
        if (store.pg())
            sql << CatalogQueries::searchPageCounted(l, statement == 3);
    }
    for (const QString &s : sql) {
        const QString plan = explained(store, s, binds);
        QVERIFY2(plan.contains(store.pg() ? postgresqlIndex : sqliteIndex), qPrintable(plan));
        QVERIFY2(!plan.contains(QStringLiteral("SCAN items")) &&
                     !plan.contains(QStringLiteral("Seq Scan")),
                 qPrintable(plan));
        // A list page is read in index order; a search sorts its matches (SQLite: one page).
        QVERIFY2(!plan.contains(QStringLiteral("TEMP B-TREE")) || statement != 2, qPrintable(plan));
        QVERIFY2(!plan.contains(QStringLiteral("Sort")) || statement != 2, qPrintable(plan));
    }
}

// Two writers at once, each on a connection of its own as two instances would be, through
// nothing but plain SQL: the counts the triggers keep match the rows.
void TestCatalogStore::countsExactAfterConcurrentWriters()
{
    Store store;
    Catalog catalog;
    QVERIFY(catalog.open(store.store(), true));
    auto writer = [&store](int seed) {
        const QString name = QStringLiteral("writer-%1").arg(seed);
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(
                store.pg() ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"), name);
            store.configure(db);
            db.open();
            QRandomGenerator rng(seed);
            std::optional<QSqlQuery> query(std::in_place, db);
            QSqlQuery &q = *query;
            for (int i = 0; i < 150; ++i) {
                Row r = randomRow(rng, seed * 1000 + i, 5);
                q.prepare(QStringLiteral(
                    "INSERT INTO items (from_admin, approved, category, title, licence, updated,"
                    " file_name, search_key) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"));
                for (const QVariant &v : QVariantList{r.fromAdmin, r.approved, r.category, r.title,
                                                      r.licence, r.updated, r.fileName, r.key})
                    q.addBindValue(v);
                q.exec();
                q.exec(QStringLiteral("UPDATE items SET approved = 1 WHERE id = (SELECT MIN(id) "
                                      "FROM items WHERE approved = 0)"));
                if (i % 3 == 0)
                    q.exec(QStringLiteral("DELETE FROM items WHERE id = (SELECT MAX(id) FROM items "
                                          "WHERE from_admin = %1)")
                               .arg(seed % 2));
            }
            query.reset();
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
    };
    std::thread a(writer, 1), b(writer, 2);
    a.join();
    b.join();
    const QList<Row> rows = store.rows();
    QVERIFY(rows.size() > 150);
    for (List list : Lists) {
        const auto got = catalog.page(list, QStringLiteral("1"), QString(), 20);
        QVERIFY2(got.ok(), qPrintable(got.error()));
        QCOMPARE(got->recordCount,
                 modelPage(rows, list, QStringLiteral("1"), QString(), 20).recordCount);
    }
}

QTEST_GUILESS_MAIN(TestCatalogStore)
#include "tst_catalogstore.moc"
