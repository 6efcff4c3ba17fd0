#include "Catalog.h"

#include "CatalogText.h"

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

QString searchKey(const QString &category, const QString &title)
{
    return (category + u'\n' + title).toCaseFolded();
}

// A transaction that rolls back unless committed.
class Transaction
{
public:
    explicit Transaction(QSqlDatabase db) : m_db(std::move(db)) { m_open = m_db.transaction(); }
    ~Transaction()
    {
        if (m_open)
            m_db.rollback();
    }
    bool isOpen() const { return m_open; }
    bool commit()
    {
        m_open = false;
        return m_db.commit();
    }

private:
    QSqlDatabase m_db;
    bool m_open = false;
};

QString whereClause(Catalog::List list, bool search, CatalogStore::Kind kind)
{
    QString where;
    switch (list) {
    case Catalog::List::Admin:
        where = QStringLiteral("from_admin = 1 AND approved = 1");
        break;
    case Catalog::List::Users:
        where = QStringLiteral("from_admin = 0 AND approved = 1");
        break;
    case Catalog::List::All:
        where = QStringLiteral("1 = 1");
        break;
    case Catalog::List::Pending:
        where = QStringLiteral("approved = 0");
        break;
    }
    if (search) {
        where += kind == CatalogStore::Postgresql
                     ? QStringLiteral(" AND strpos(search_key, :q) > 0")
                     : QStringLiteral(" AND instr(search_key, :q) > 0");
    }
    return where;
}

QStringList schema(CatalogStore::Kind kind)
{
    const bool pg = kind == CatalogStore::Postgresql;
    const QString id = pg ? QStringLiteral("id BIGSERIAL PRIMARY KEY")
                          : QStringLiteral("id INTEGER PRIMARY KEY AUTOINCREMENT");
    QStringList statements;
    if (!pg)
        statements << QStringLiteral("PRAGMA journal_mode=WAL")
                   << QStringLiteral("PRAGMA synchronous=NORMAL");
    statements << QStringLiteral("CREATE TABLE IF NOT EXISTS items (%1,"
                                 " from_admin INTEGER NOT NULL,"
                                 " approved INTEGER NOT NULL,"
                                 " category TEXT NOT NULL,"
                                 " title TEXT NOT NULL,"
                                 " licence TEXT NOT NULL,"
                                 " updated TEXT NOT NULL,"
                                 " file_name TEXT NOT NULL UNIQUE,"
                                 " search_key TEXT NOT NULL)")
                      .arg(id)
               << QStringLiteral("CREATE INDEX IF NOT EXISTS items_order"
                                 " ON items (updated DESC, id DESC)")
               << QStringLiteral("CREATE TABLE IF NOT EXISTS settings"
                                 " (key TEXT PRIMARY KEY, value TEXT NOT NULL)")
               // Deleted ids, so that a delete sent again is answered as done.
               << QStringLiteral("CREATE TABLE IF NOT EXISTS deleted_items"
                                 " (id BIGINT PRIMARY KEY)");
    return statements;
}

} // namespace

Catalog::Catalog()
{
    static QAtomicInt counter;
    m_connection = QStringLiteral("catalog-%1").arg(counter.fetchAndAddRelaxed(1) + 1);
}

Catalog::~Catalog()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        if (db.isValid())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

bool Catalog::fail(const QString &what)
{
    m_error = what;
    return false;
}

bool Catalog::open(const CatalogStore &store, bool prepare)
{
    m_kind = store.kind;
    const bool pg = store.kind == CatalogStore::Postgresql;
    QSqlDatabase db = QSqlDatabase::addDatabase(
        pg ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"), m_connection);
    if (!db.isValid())
        return fail(QStringLiteral("the Qt SQL driver for %1 is not installed")
                        .arg(pg ? QStringLiteral("PostgreSQL") : QStringLiteral("SQLite")));
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
        return fail(db.lastError().text());
    return !prepare || createSchema();
}

bool Catalog::createSchema()
{
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    QSqlQuery q(db);
    if (m_kind == CatalogStore::Postgresql &&
        !q.exec(QStringLiteral("SELECT pg_advisory_lock(%1)").arg(StartLockKey)))
        return fail(q.lastError().text());
    bool ok = true;
    for (const QString &s : schema(m_kind)) {
        if (!q.exec(s)) {
            ok = fail(q.lastError().text());
            break;
        }
    }
    if (m_kind == CatalogStore::Postgresql)
        q.exec(QStringLiteral("SELECT pg_advisory_unlock(%1)").arg(StartLockKey));
    return ok;
}

bool Catalog::watchChanges()
{
    if (m_kind != CatalogStore::Postgresql)
        return true; // one process per SQLite file: every change is its own
    QSqlDriver *driver = QSqlDatabase::database(m_connection).driver();
    if (!driver->subscribeToNotification(ChangeChannel))
        return fail(driver->lastError().text());
    connect(driver, &QSqlDriver::notification, this, [this] { emit changedElsewhere(); });
    return true;
}

// Inside a write's transaction: other instances hear of it when it commits.
bool Catalog::announceChange()
{
    if (m_kind != CatalogStore::Postgresql)
        return true;
    QSqlQuery q(QSqlDatabase::database(m_connection));
    return q.exec(QStringLiteral("SELECT pg_notify('%1', '')").arg(ChangeChannel)) ||
           fail(q.lastError().text());
}

QString Catalog::setting(const QString &key)
{
    QSqlQuery q(QSqlDatabase::database(m_connection));
    q.prepare(QStringLiteral("SELECT value FROM settings WHERE key = :k"));
    q.bindValue(QStringLiteral(":k"), key);
    if (!q.exec() || !q.next())
        return QString();
    return q.value(0).toString();
}

bool Catalog::writeSettings(const QList<QPair<QString, QString>> &values)
{
    QMutexLocker lock(&writeLock);
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    Transaction t(db);
    if (!t.isOpen())
        return fail(db.lastError().text());
    QSqlQuery q(db);
    q.prepare(QStringLiteral("INSERT INTO settings (key, value) VALUES (:k, :v)"
                             " ON CONFLICT (key) DO UPDATE SET value = excluded.value"));
    for (const auto &[key, value] : values) {
        q.bindValue(QStringLiteral(":k"), key);
        q.bindValue(QStringLiteral(":v"), value);
        if (!q.exec())
            return fail(q.lastError().text());
    }
    if (!announceChange())
        return false;
    return t.commit() || fail(db.lastError().text());
}

QByteArray Catalog::derive(const QString &password, const PasswordHash &stored)
{
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password.toUtf8(),
                                              stored.salt, stored.iterations, Pbkdf2Length);
}

bool Catalog::hasCredentials()
{
    return !setting(QStringLiteral("admin_hash")).isEmpty();
}

bool Catalog::setCredentials(const QString &password, const QString &securityCode)
{
    PasswordHash next{randomBytes(16), {}, Pbkdf2Iterations};
    next.hash = derive(password, next);
    QMutexLocker lock(&writeLock);
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    Transaction t(db);
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
            return fail(q.lastError().text());
        inserted += q.numRowsAffected() > 0;
    }
    if (inserted != values.size()) {
        m_error.clear();
        return false; // rolled back: the credentials that were there stay
    }
    return t.commit() || fail(db.lastError().text());
}

Catalog::PasswordHash Catalog::passwordHash()
{
    QSqlQuery q(QSqlDatabase::database(m_connection));
    PasswordHash h;
    if (!q.exec(QStringLiteral("SELECT key, value FROM settings WHERE key IN"
                               " ('admin_salt', 'admin_hash', 'admin_iterations')")))
        return h;
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

bool Catalog::setPassword(const QString &password)
{
    PasswordHash next{randomBytes(16), {}, Pbkdf2Iterations};
    next.hash = derive(password, next);
    return writeSettings({
        {QStringLiteral("admin_salt"), QString::fromLatin1(next.salt.toHex())},
        {QStringLiteral("admin_iterations"), QString::number(Pbkdf2Iterations)},
        {QStringLiteral("admin_hash"), QString::fromLatin1(next.hash.toHex())},
    });
}

QString Catalog::securityCode()
{
    return setting(QStringLiteral("security_code"));
}

bool Catalog::setSecurityCode(const QString &code)
{
    return writeSettings({{QStringLiteral("security_code"), code}});
}

Catalog::Page Catalog::page(List list, const QString &rawPage, const QString &search, int pageSize)
{
    Page result;
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    // One read transaction: the count and the rows come from the same snapshot.
    Transaction t(db);
    const QString key = search.toCaseFolded();
    const bool searching = !key.isEmpty();
    const QString where = whereClause(list, searching, m_kind);

    QSqlQuery count(db);
    count.prepare(QStringLiteral("SELECT COUNT(*) FROM items WHERE ") + where);
    if (searching)
        count.bindValue(QStringLiteral(":q"), key);
    if (!count.exec() || !count.next()) {
        m_error = count.lastError().text();
        return result;
    }
    result.recordCount = count.value(0).toLongLong();
    result.pageCount = CatalogText::pageCount(result.recordCount, pageSize);
    const qint64 page = CatalogText::resolvePage(rawPage, result.pageCount);

    QSqlQuery rows(db);
    rows.prepare(QStringLiteral("SELECT category, title, licence, updated, file_name, id"
                                " FROM items WHERE ") +
                 where +
                 QStringLiteral(" ORDER BY updated DESC, id DESC LIMIT :limit OFFSET :offset"));
    if (searching)
        rows.bindValue(QStringLiteral(":q"), key);
    rows.bindValue(QStringLiteral(":limit"), pageSize);
    rows.bindValue(QStringLiteral(":offset"), (page - 1) * pageSize);
    if (!rows.exec()) {
        m_error = rows.lastError().text();
        return result;
    }
    while (rows.next()) {
        result.records.append({rows.value(0).toString(), rows.value(1).toString(),
                               rows.value(2).toString(), rows.value(3).toString(),
                               rows.value(4).toString(), rows.value(5).toLongLong()});
    }
    result.ok = true;
    return result;
}

qint64 Catalog::itemCount()
{
    QSqlQuery q(QSqlDatabase::database(m_connection));
    if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM items")) || !q.next())
        return -1;
    return q.value(0).toLongLong();
}

bool Catalog::fileNameTaken(const QString &fileName)
{
    QSqlQuery q(QSqlDatabase::database(m_connection));
    q.prepare(QStringLiteral("SELECT 1 FROM items WHERE file_name = :f"));
    q.bindValue(QStringLiteral(":f"), fileName);
    return !q.exec() || q.next();
}

qint64 Catalog::addItem(const NewItem &item)
{
    QMutexLocker lock(&writeLock);
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    Transaction t(db);
    QSqlQuery q(db);
    q.prepare(QStringLiteral("INSERT INTO items (from_admin, approved, category, title, licence,"
                             " updated, file_name, search_key)"
                             " VALUES (:a, :p, :c, :t, :l, :u, :f, :s) RETURNING id"));
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
    q.bindValue(QStringLiteral(":s"), searchKey(item.category, item.title));
    if (!q.exec() || !q.next()) {
        m_error = q.lastError().text();
        return -1;
    }
    const qint64 id = q.value(0).toLongLong();
    q.finish();
    if (!announceChange() || !t.commit()) {
        m_error = db.lastError().text();
        return -1;
    }
    return id;
}

Catalog::Result Catalog::approve(qint64 id)
{
    QMutexLocker lock(&writeLock);
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    Transaction t(db);
    QSqlQuery q(db);
    q.prepare(QStringLiteral("UPDATE items SET approved = 1 WHERE id = :id"));
    q.bindValue(QStringLiteral(":id"), id);
    if (!q.exec())
        return Result::Failed;
    if (q.numRowsAffected() == 0)
        return Result::NotFound; // a deleted item too: it cannot be approved
    if (!announceChange())
        return Result::Failed;
    return t.commit() ? Result::Done : Result::Failed;
}

Catalog::Result Catalog::remove(qint64 id, QString *fileName)
{
    QMutexLocker lock(&writeLock);
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    Transaction t(db);
    QSqlQuery del(db);
    del.prepare(QStringLiteral("DELETE FROM items WHERE id = :id RETURNING file_name"));
    del.bindValue(QStringLiteral(":id"), id);
    if (!del.exec())
        return Result::Failed;
    if (!del.next()) {
        QSqlQuery known(db);
        known.prepare(QStringLiteral("SELECT 1 FROM deleted_items WHERE id = :id"));
        known.bindValue(QStringLiteral(":id"), id);
        if (!known.exec())
            return Result::Failed;
        return known.next() ? Result::AlreadyDone : Result::NotFound;
    }
    *fileName = del.value(0).toString();
    del.finish();
    QSqlQuery record(db);
    record.prepare(QStringLiteral("INSERT INTO deleted_items (id) VALUES (:id)"));
    record.bindValue(QStringLiteral(":id"), id);
    if (!record.exec() || !announceChange())
        return Result::Failed;
    return t.commit() ? Result::Done : Result::Failed;
}

qint64 Catalog::countVisit()
{
    QMutexLocker lock(&writeLock);
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    Transaction t(db);
    QSqlQuery q(db);
    const QString next = m_kind == CatalogStore::Postgresql
                             ? QStringLiteral("(CAST(settings.value AS BIGINT) + 1)::text")
                             : QStringLiteral("CAST(value AS INTEGER) + 1");
    if (!q.exec(QStringLiteral("INSERT INTO settings (key, value) VALUES ('visits', '1')"
                               " ON CONFLICT (key) DO UPDATE SET value = ") +
                next) ||
        !q.exec(QStringLiteral("SELECT value FROM settings WHERE key = 'visits'")) || !q.next())
        return -1;
    const qint64 visits = q.value(0).toLongLong();
    q.finish();
    return t.commit() ? visits : -1;
}
