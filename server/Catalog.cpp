#include "Catalog.h"

#include "CatalogQueries.h"
#include "CatalogText.h"
#include "Metrics.h"
#include "StoreFormat.h"
#include "StoreTransaction.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QMutex>
#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

namespace {

constexpr int Pbkdf2Iterations = 20000;
constexpr int Pbkdf2Length = 32;
const QString ChangeChannel = QStringLiteral("catalogd_changes");
// Held while the schema and the first credentials are made, so instances that start together
// make them once.
constexpr int StartLockKey = 720171;

// One writer at a time in this process: SQLite takes one writer anyway, and a write that waits
// here never meets a busy database.
QMutex writeLock;

QByteArray randomBytes(int n)
{
    QByteArray out(n, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(out.data()), n / 4);
    return out;
}

QString searchKeyOf(const QString &category, const QString &title)
{
    return (category + u'\n' + title).toCaseFolded();
}

StoreFormat::Backend backendOf(CatalogStore::Kind kind)
{
    return kind == CatalogStore::Postgresql ? StoreFormat::Backend::Postgresql
                                            : StoreFormat::Backend::Sqlite;
}

tavrel::CatalogRecord recordAt(const QSqlQuery &q)
{
    return {q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
            q.value(3).toString(), q.value(4).toString(), q.value(5).toLongLong()};
}

StoreFailure failed(const QSqlQuery &q)
{
    Metrics::instance().countStoreError();
    return StoreFailure{q.lastError().text()};
}

StoreFailure failed(const QSqlDatabase &db)
{
    Metrics::instance().countStoreError();
    return StoreFailure{db.lastError().text()};
}

QString auditResult(Catalog::Change change)
{
    switch (change) {
    case Catalog::Change::Done:
        return QStringLiteral("done");
    case Catalog::Change::AlreadyDone:
        return QStringLiteral("already-done");
    case Catalog::Change::NotFound:
        break;
    }
    return QStringLiteral("no-such-item");
}

} // namespace

Catalog::Catalog()
{
    static QAtomicInt counter;
    m_connection = QStringLiteral("catalog-%1").arg(counter.fetchAndAddRelaxed(1) + 1);
}

Catalog::~Catalog()
{
    m_statements.clear();
    m_unprepared = QSqlQuery();
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        if (db.isValid())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

StoreResult<> Catalog::open(const CatalogStore &store, bool prepare)
{
    m_kind = store.kind;
    const bool pg = store.kind == CatalogStore::Postgresql;
    QSqlDatabase db = QSqlDatabase::addDatabase(
        pg ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"), m_connection);
    if (!db.isValid())
        return StoreFailure{QStringLiteral("the Qt SQL driver for %1 is not installed")
                                .arg(pg ? QStringLiteral("PostgreSQL") : QStringLiteral("SQLite"))};
    if (pg) {
        db.setHostName(store.host);
        db.setPort(store.port);
        db.setUserName(store.user);
        db.setPassword(store.password);
        db.setDatabaseName(store.databaseName);
        db.setConnectOptions(store.options);
    } else {
        db.setDatabaseName(store.sqlitePath);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    }
    if (!db.open())
        return failed(db);
    // A search of a common gram gathers many matches in a bitmap: in memory, it stays exact;
    // past work_mem it turns lossy and every row of its pages is checked again.
    if (pg && !QSqlQuery(db).exec(QStringLiteral("SET work_mem = '64MB'")))
        return failed(db);
    if (!prepare)
        return {};
    return createSchema();
}

// The page statements run on every request: each is prepared once per connection.
QSqlQuery &Catalog::prepared(const QString &sql)
{
    auto it = m_statements.find(sql);
    if (it != m_statements.end())
        return it->second;
    QSqlQuery q(QSqlDatabase::database(m_connection));
    if (!q.prepare(sql)) {
        m_unprepared = std::move(q); // not kept: its exec() fails with the error
        return m_unprepared;
    }
    return m_statements.emplace(sql, std::move(q)).first->second;
}

StoreResult<> Catalog::createSchema()
{
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    QSqlQuery q(db);
    const bool pg = m_kind == CatalogStore::Postgresql;
    if (pg && !q.exec(QStringLiteral("SELECT pg_advisory_lock(%1)").arg(StartLockKey)))
        return failed(q);
    const StoreResult<> prepared = StoreFormat::prepare(db, pg ? StoreFormat::Backend::Postgresql
                                                               : StoreFormat::Backend::Sqlite);
    if (pg)
        q.exec(QStringLiteral("SELECT pg_advisory_unlock(%1)").arg(StartLockKey));
    return prepared;
}

StoreResult<> Catalog::ping()
{
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    if (!q.exec(QStringLiteral("SELECT 1 FROM settings LIMIT 1")))
        return failed(q);
    return {};
}

StoreResult<> Catalog::watchChanges()
{
    if (m_kind != CatalogStore::Postgresql)
        return {}; // one process per SQLite file: every change is its own
    QSqlDriver *driver = QSqlDatabase::database(m_connection).driver();
    if (!driver->subscribeToNotification(ChangeChannel))
        return StoreFailure{driver->lastError().text()};
    connect(driver, &QSqlDriver::notification, this, [this] { emit changedElsewhere(); });
    return {};
}

// Inside a write's transaction: other instances hear of it when it commits.
StoreResult<> Catalog::announceChange()
{
    if (m_kind != CatalogStore::Postgresql)
        return {};
    QSqlQuery q(QSqlDatabase::database(m_connection));
    if (!q.exec(QStringLiteral("SELECT pg_notify('%1', '')").arg(ChangeChannel)))
        return failed(q);
    return {};
}

StoreResult<QString> Catalog::setting(const QString &key)
{
    QSqlQuery q(QSqlDatabase::database(m_connection));
    q.prepare(QStringLiteral("SELECT value FROM settings WHERE key = :k"));
    q.bindValue(QStringLiteral(":k"), key);
    if (!q.exec())
        return failed(q);
    return q.next() ? q.value(0).toString() : QString();
}

StoreResult<> Catalog::writeSettings(const QList<QPair<QString, QString>> &values,
                                     const AuditRecord &audit)
{
    QMutexLocker lock(&writeLock);
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    StoreTransaction t(db);
    if (!t.isOpen())
        return failed(db);
    QSqlQuery q(db);
    q.prepare(QStringLiteral("INSERT INTO settings (key, value) VALUES (:k, :v)"
                             " ON CONFLICT (key) DO UPDATE SET value = excluded.value"));
    for (const auto &[key, value] : values) {
        q.bindValue(QStringLiteral(":k"), key);
        q.bindValue(QStringLiteral(":v"), value);
        if (!q.exec())
            return failed(q);
    }
    if (const StoreResult<> recorded = record(audit); !recorded)
        return recorded;
    if (const StoreResult<> announced = announceChange(); !announced)
        return announced;
    if (!t.commit())
        return failed(db);
    return {};
}

QString Catalog::searchKey(const QString &category, const QString &title)
{
    return searchKeyOf(category, title);
}

QByteArray Catalog::derive(const QString &password, const PasswordHash &stored)
{
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password.toUtf8(),
                                              stored.salt, stored.iterations, Pbkdf2Length);
}

StoreResult<bool> Catalog::hasCredentials()
{
    const StoreResult<QString> hash = setting(QStringLiteral("admin_hash"));
    if (!hash)
        return StoreFailure{hash.error()};
    return !hash->isEmpty();
}

StoreResult<bool> Catalog::setCredentials(const QString &password, const QString &securityCode)
{
    PasswordHash next{randomBytes(16), {}, Pbkdf2Iterations};
    next.hash = derive(password, next);
    QMutexLocker lock(&writeLock);
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    StoreTransaction t(db);
    QSqlQuery q(db);
    // The first to insert wins; an instance that started at the same moment keeps its hands off.
    q.prepare(QStringLiteral("INSERT INTO settings (key, value) VALUES (:k, :v)"
                             " ON CONFLICT (key) DO NOTHING"));
    const QList<QPair<QString, QString>> values{
        {QStringLiteral("admin_salt"), QString::fromLatin1(next.salt.toHex())},
        {QStringLiteral("admin_iterations"), QString::number(Pbkdf2Iterations)},
        {QStringLiteral("admin_hash"), QString::fromLatin1(next.hash.toHex())},
        {QStringLiteral("security_code"), securityCode},
    };
    int inserted = 0;
    for (const auto &[key, value] : values) {
        q.bindValue(QStringLiteral(":k"), key);
        q.bindValue(QStringLiteral(":v"), value);
        if (!q.exec())
            return failed(q);
        inserted += q.numRowsAffected() > 0;
    }
    if (inserted != values.size())
        return false; // rolled back: the credentials that were there stay
    if (!t.commit())
        return failed(db);
    return true;
}

StoreResult<Catalog::PasswordHash> Catalog::passwordHash()
{
    QSqlQuery q(QSqlDatabase::database(m_connection));
    PasswordHash h;
    if (!q.exec(QStringLiteral("SELECT key, value FROM settings WHERE key IN"
                               " ('admin_salt', 'admin_hash', 'admin_iterations')")))
        return failed(q);
    while (q.next()) {
        const QString key = q.value(0).toString();
        const QString value = q.value(1).toString();
        if (key == u"admin_salt")
            h.salt = QByteArray::fromHex(value.toLatin1());
        else if (key == u"admin_hash")
            h.hash = QByteArray::fromHex(value.toLatin1());
        else
            h.iterations = value.toInt();
    }
    return h;
}

StoreResult<> Catalog::setPassword(const QString &password, const Actor &actor)
{
    PasswordHash next{randomBytes(16), {}, Pbkdf2Iterations};
    next.hash = derive(password, next);
    return writeSettings(
        {
            {QStringLiteral("admin_salt"), QString::fromLatin1(next.salt.toHex())},
            {QStringLiteral("admin_iterations"), QString::number(Pbkdf2Iterations)},
            {QStringLiteral("admin_hash"), QString::fromLatin1(next.hash.toHex())},
        },
        {QStringLiteral("password"), 0, QString(), actor.client, QStringLiteral("done"), {}});
}

StoreResult<QString> Catalog::securityCode()
{
    return setting(QStringLiteral("security_code"));
}

StoreResult<> Catalog::setSecurityCode(const QString &code, const Actor &actor)
{
    return writeSettings(
        {{QStringLiteral("security_code"), code}},
        {QStringLiteral("security-code"), 0, QString(), actor.client, QStringLiteral("done"), {}});
}

// The rows of one page, counted from the newest; past the middle of a list they are read from
// its oldest end (and turned around), so the last page costs what the first does.
struct Catalog::Window
{
    qint64 pageCount = 0;
    qint64 skip = 0;
    int limit = 0;
    bool fromEnd = false;

    Window(qint64 total, const QString &rawPage, int pageSize)
    {
        pageCount = CatalogText::pageCount(total, pageSize);
        const qint64 offset = (CatalogText::resolvePage(rawPage, pageCount) - 1) * pageSize;
        limit = int(qBound(qint64(0), total - offset, qint64(pageSize)));
        fromEnd = total - offset - limit < offset;
        skip = fromEnd ? total - offset - limit : offset;
    }
};

namespace {

StoreResult<QList<tavrel::CatalogRecord>> readRecords(QSqlQuery &q, bool reversed)
{
    if (!q.exec())
        return failed(q);
    QList<tavrel::CatalogRecord> records;
    while (q.next())
        records.append(recordAt(q));
    q.finish();
    if (reversed)
        std::reverse(records.begin(), records.end());
    return records;
}

} // namespace

StoreResult<Catalog::Page> Catalog::page(List list, const QString &rawPage, const QString &search,
                                         int pageSize)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    // One read transaction: the count and the rows come from the same snapshot.
    StoreTransaction t(db);
    const QString key = search.toCaseFolded();
    QSqlQuery &q = prepared(CatalogQueries::counts(list));
    if (!q.exec() || !q.next())
        return failed(q);
    const qint64 total = q.value(0).toLongLong();
    const qint64 unordered = q.value(1).toLongLong();
    q.finish();
    // Rows with a time the order key cannot hold (not written by catalogd) are read plainly.
    if (unordered > 0)
        return plainRows(list, key, rawPage, pageSize);
    if (!key.isEmpty())
        return searchRows(list, key, rawPage, pageSize);
    return listRows(list, Window(total, rawPage, pageSize), total);
}

// The counts per slice tell in which slice of the order keys the page starts; the rows are then
// an index range from that slice on.
StoreResult<Catalog::Page> Catalog::listRows(List list, const Window &w, qint64 total)
{
    Page result{{}, total, w.pageCount};
    if (w.limit == 0)
        return result;
    QSqlQuery &slice = prepared(CatalogQueries::slice(list, w.fromEnd));
    slice.bindValue(QStringLiteral(":skip"), w.skip);
    if (!slice.exec())
        return failed(slice);
    if (!slice.next())
        return StoreFailure{QStringLiteral("the list counts do not match the items")};
    const qint64 first = slice.value(0).toLongLong();
    const qint64 seen = slice.value(1).toLongLong();
    slice.finish();

    QSqlQuery &rows = prepared(CatalogQueries::listRows(backendOf(m_kind), list, w.fromEnd));
    rows.bindValue(QStringLiteral(":bound"), (w.fromEnd ? first : first + 1)
                                                 << StoreFormat::SliceShift);
    rows.bindValue(QStringLiteral(":limit"), w.limit);
    rows.bindValue(QStringLiteral(":skip"), w.skip - seen);
    const auto records = readRecords(rows, w.fromEnd);
    if (!records)
        return StoreFailure{records.error()};
    result.records = *records;
    return result;
}

// A search is a look-up in the index for its length: trigrams for 3 or more code points, grams
// for 1 or 2.
StoreResult<Catalog::Page> Catalog::searchRows(List list, const QString &key,
                                               const QString &rawPage, int pageSize)
{
    const StoreFormat::Backend backend = backendOf(m_kind);
    const bool longKey = key.toUcs4().size() >= 3;
    const QString value = CatalogQueries::searchValue(backend, list, key);
    if (value.isEmpty())
        return plainRows(list, key, rawPage, pageSize);
    if (backend == StoreFormat::Backend::Postgresql) {
        // Most pages asked for exist: one pass over the matches gives the page and the count.
        // A page past the end (or no match) is read again below, as the last page.
        const qint64 asked = CatalogText::resolvePage(rawPage, qint64(1) << 40);
        QSqlQuery &counted = prepared(CatalogQueries::searchPageCounted(list, longKey));
        counted.bindValue(QStringLiteral(":q"), value);
        counted.bindValue(QStringLiteral(":limit"), pageSize);
        counted.bindValue(QStringLiteral(":skip"), (asked - 1) * pageSize);
        if (!counted.exec())
            return failed(counted);
        Page result;
        while (counted.next()) {
            result.records.append(recordAt(counted));
            result.recordCount = counted.value(6).toLongLong();
        }
        counted.finish();
        if (!result.records.isEmpty()) {
            result.pageCount = CatalogText::pageCount(result.recordCount, pageSize);
            return result;
        }
    }
    QSqlQuery &count = prepared(CatalogQueries::searchCount(backend, list, longKey));
    count.bindValue(QStringLiteral(":q"), value);
    if (!count.exec() || !count.next())
        return failed(count);
    const qint64 total = count.value(0).toLongLong();
    count.finish();
    const Window w(total, rawPage, pageSize);
    Page result{{}, total, w.pageCount};
    if (w.limit == 0)
        return result;
    QSqlQuery &rows = prepared(CatalogQueries::searchRows(backend, list, longKey, w.fromEnd));
    rows.bindValue(QStringLiteral(":q"), value);
    rows.bindValue(QStringLiteral(":limit"), w.limit);
    rows.bindValue(QStringLiteral(":skip"), w.skip);
    const auto records = readRecords(rows, w.fromEnd);
    if (!records)
        return StoreFailure{records.error()};
    result.records = *records;
    return result;
}

// The plain queries: a count and an OFFSET walk over every row of the list.
StoreResult<Catalog::Page> Catalog::plainRows(List list, const QString &key, const QString &rawPage,
                                              int pageSize)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    const bool searching = !key.isEmpty();
    QSqlQuery count(db);
    count.prepare(CatalogQueries::plainCount(backendOf(m_kind), list, searching));
    if (searching)
        count.bindValue(QStringLiteral(":q"), key);
    if (!count.exec() || !count.next())
        return failed(count);
    Page result;
    result.recordCount = count.value(0).toLongLong();
    result.pageCount = CatalogText::pageCount(result.recordCount, pageSize);
    const qint64 page = CatalogText::resolvePage(rawPage, result.pageCount);

    QSqlQuery rows(db);
    rows.prepare(CatalogQueries::plainRows(backendOf(m_kind), list, searching));
    if (searching)
        rows.bindValue(QStringLiteral(":q"), key);
    rows.bindValue(QStringLiteral(":limit"), pageSize);
    rows.bindValue(QStringLiteral(":skip"), (page - 1) * pageSize);
    const auto records = readRecords(rows, false);
    if (!records)
        return StoreFailure{records.error()};
    result.records = *records;
    return result;
}

StoreResult<qint64> Catalog::itemCount()
{
    QSqlQuery q(QSqlDatabase::database(m_connection));
    if (!q.exec(QStringLiteral("SELECT COALESCE(SUM(n), 0) FROM item_counts")) || !q.next())
        return failed(q);
    return q.value(0).toLongLong();
}

StoreResult<bool> Catalog::fileNameTaken(const QString &fileName)
{
    QSqlQuery q(QSqlDatabase::database(m_connection));
    q.prepare(QStringLiteral("SELECT 1 FROM items WHERE file_name = :f"));
    q.bindValue(QStringLiteral(":f"), fileName);
    if (!q.exec())
        return failed(q);
    return q.next();
}

StoreResult<qint64> Catalog::addItem(const NewItem &item, const QByteArray &sha256)
{
    QMutexLocker lock(&writeLock);
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    StoreTransaction t(db);
    QSqlQuery q(db);
    q.prepare(QStringLiteral("INSERT INTO items (from_admin, approved, category, title, licence,"
                             " updated, file_name, search_key, sha256)"
                             " VALUES (:a, :p, :c, :t, :l, :u, :f, :s, :h) RETURNING id"));
    q.bindValue(QStringLiteral(":a"), item.fromAdmin ? 1 : 0);
    q.bindValue(QStringLiteral(":p"), item.approved ? 1 : 0);
    q.bindValue(QStringLiteral(":c"), item.category);
    q.bindValue(QStringLiteral(":t"), item.title);
    q.bindValue(QStringLiteral(":l"), item.licence);
    q.bindValue(QStringLiteral(":u"),
                item.updated.isEmpty()
                    ? QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                    : item.updated);
    q.bindValue(QStringLiteral(":f"), item.fileName);
    q.bindValue(QStringLiteral(":s"), searchKeyOf(item.category, item.title));
    q.bindValue(QStringLiteral(":h"), sha256.isEmpty() ? QVariant(QMetaType::fromType<QString>())
                                                       : QVariant(QString::fromLatin1(sha256.toHex())));
    if (!q.exec() || !q.next())
        return failed(q);
    const qint64 id = q.value(0).toLongLong();
    q.finish();
    if (const StoreResult<> announced = announceChange(); !announced)
        return StoreFailure{announced.error()};
    if (!t.commit())
        return failed(db);
    return id;
}

StoreResult<QByteArray> Catalog::fileDigest(const QString &fileName)
{
    QSqlQuery q(QSqlDatabase::database(m_connection));
    q.prepare(QStringLiteral("SELECT sha256 FROM items WHERE file_name = :f"));
    q.bindValue(QStringLiteral(":f"), fileName);
    if (!q.exec())
        return failed(q);
    if (!q.next() || q.isNull(0))
        return QByteArray();
    const QByteArray digest = QByteArray::fromHex(q.value(0).toString().toLatin1());
    return digest.size() == 32 ? digest : QByteArray();
}

StoreResult<QStringList> Catalog::filesWithoutDigest()
{
    QSqlQuery q(QSqlDatabase::database(m_connection));
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT file_name FROM items WHERE sha256 IS NULL ORDER BY id")))
        return failed(q);
    QStringList files;
    while (q.next())
        files.append(q.value(0).toString());
    return files;
}

StoreResult<> Catalog::setFileDigest(const QString &fileName, const QByteArray &sha256)
{
    QMutexLocker lock(&writeLock);
    QSqlQuery q(QSqlDatabase::database(m_connection));
    q.prepare(QStringLiteral("UPDATE items SET sha256 = :h WHERE file_name = :f AND sha256 IS NULL"));
    q.bindValue(QStringLiteral(":h"), QString::fromLatin1(sha256.toHex()));
    q.bindValue(QStringLiteral(":f"), fileName);
    if (!q.exec())
        return failed(q);
    return {};
}

StoreResult<Catalog::Change> Catalog::approve(qint64 id, const Actor &actor)
{
    QMutexLocker lock(&writeLock);
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    StoreTransaction t(db);
    QSqlQuery q(db);
    // Only a row that changes: the index upkeep runs for a real change alone.
    q.prepare(QStringLiteral(
        "UPDATE items SET approved = 1 WHERE id = :id AND approved <> 1 RETURNING title"));
    q.bindValue(QStringLiteral(":id"), id);
    if (!q.exec())
        return failed(q);
    Change change = Change::Done;
    QString title;
    if (q.next()) {
        title = q.value(0).toString();
    } else {
        QSqlQuery known(db);
        known.prepare(QStringLiteral("SELECT title FROM items WHERE id = :id"));
        known.bindValue(QStringLiteral(":id"), id);
        if (!known.exec())
            return failed(known);
        // A deleted item cannot be approved.
        change = known.next() ? Change::AlreadyDone : Change::NotFound;
        title = known.value(0).toString();
    }
    q.finish();
    if (const StoreResult<> kept = recordChange(
            {QStringLiteral("approve"), id, title, actor.client, auditResult(change), {}}, change);
        !kept)
        return StoreFailure{kept.error()};
    if (!t.commit())
        return failed(db);
    return change;
}

StoreResult<Catalog::Change> Catalog::remove(qint64 id, QString *fileName, const Actor &actor)
{
    QMutexLocker lock(&writeLock);
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    StoreTransaction t(db);
    QSqlQuery del(db);
    del.prepare(QStringLiteral("DELETE FROM items WHERE id = :id RETURNING file_name, title"));
    del.bindValue(QStringLiteral(":id"), id);
    if (!del.exec())
        return failed(del);
    Change change = Change::Done;
    QString title;
    if (del.next()) {
        *fileName = del.value(0).toString();
        title = del.value(1).toString();
        del.finish();
        QSqlQuery kept(db);
        kept.prepare(QStringLiteral("INSERT INTO deleted_items (id) VALUES (:id)"));
        kept.bindValue(QStringLiteral(":id"), id);
        if (!kept.exec())
            return failed(kept);
    } else {
        QSqlQuery known(db);
        known.prepare(QStringLiteral("SELECT 1 FROM deleted_items WHERE id = :id"));
        known.bindValue(QStringLiteral(":id"), id);
        if (!known.exec())
            return failed(known);
        change = known.next() ? Change::AlreadyDone : Change::NotFound;
    }
    if (const StoreResult<> kept = recordChange(
            {QStringLiteral("delete"), id, title, actor.client, auditResult(change), {}}, change);
        !kept)
        return StoreFailure{kept.error()};
    if (!t.commit())
        return failed(db);
    return change;
}

// The end of an item action, inside its transaction: the audit record, and word to other
// instances when something changed.
StoreResult<> Catalog::recordChange(const AuditRecord &entry, Change change)
{
    if (const StoreResult<> recorded = record(entry); !recorded)
        return recorded;
    if (change == Change::Done)
        return announceChange();
    return {};
}

// Inside the action's own transaction: the record stands or falls with the action.
StoreResult<> Catalog::record(const AuditRecord &entry)
{
    QSqlQuery q(QSqlDatabase::database(m_connection));
    q.prepare(
        QStringLiteral("INSERT INTO audit (at, action, item_id, title, client, result)"
                       " VALUES (:at, :action, :item, :title, COALESCE(:client, ''), :result)"));
    q.bindValue(QStringLiteral(":at"), QDateTime::currentDateTimeUtc().toString(Qt::ISODate));
    q.bindValue(QStringLiteral(":action"), entry.action);
    q.bindValue(QStringLiteral(":item"), entry.itemId > 0
                                             ? QVariant(entry.itemId)
                                             : QVariant(QMetaType::fromType<qint64>()));
    q.bindValue(QStringLiteral(":title"), entry.title.isNull()
                                              ? QVariant(QMetaType::fromType<QString>())
                                              : QVariant(entry.title));
    q.bindValue(QStringLiteral(":client"), entry.client);
    q.bindValue(QStringLiteral(":result"), entry.result);
    if (!q.exec())
        return failed(q);
    return {};
}

StoreResult<QList<Catalog::AuditRecord>> Catalog::audit(const QString &since)
{
    QSqlQuery q(QSqlDatabase::database(m_connection));
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT at, action, item_id, title, client, result FROM audit"
                             " WHERE at >= :since ORDER BY id"));
    q.bindValue(QStringLiteral(":since"), since);
    if (!q.exec())
        return failed(q);
    QList<AuditRecord> out;
    while (q.next()) {
        out.append({q.value(1).toString(), q.value(2).isNull() ? 0 : q.value(2).toLongLong(),
                    q.value(3).toString(), q.value(4).toString(), q.value(5).toString(),
                    q.value(0).toString()});
    }
    return out;
}

StoreResult<qint64> Catalog::countVisit()
{
    QMutexLocker lock(&writeLock);
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    StoreTransaction t(db);
    QSqlQuery q(db);
    const QString next = m_kind == CatalogStore::Postgresql
                             ? QStringLiteral("(CAST(settings.value AS BIGINT) + 1)::text")
                             : QStringLiteral("CAST(value AS INTEGER) + 1");
    if (!q.exec(QStringLiteral("INSERT INTO settings (key, value) VALUES ('visits', '1')"
                               " ON CONFLICT (key) DO UPDATE SET value = ") +
                next) ||
        !q.exec(QStringLiteral("SELECT value FROM settings WHERE key = 'visits'")) || !q.next())
        return failed(q);
    const qint64 visits = q.value(0).toLongLong();
    q.finish();
    if (!t.commit())
        return failed(db);
    return visits;
}
