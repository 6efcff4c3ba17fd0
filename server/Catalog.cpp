#include "Catalog.h"

#include "CatalogText.h"

#include <QDateTime>
#include <QMessageAuthenticationCode>
#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

constexpr int Pbkdf2Iterations = 20000;
constexpr int Pbkdf2Length = 32;

QByteArray randomBytes(int n)
{
    QByteArray out(n, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(out.data()), n / 4);
    return out;
}

QByteArray derive(const QString &password, const QByteArray &salt, int iterations)
{
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password.toUtf8(), salt,
                                              iterations, Pbkdf2Length);
}

QString searchKey(const QString &category, const QString &title)
{
    return (category + u'\n' + title).toCaseFolded();
}

// A database handle bound to one connection name; commits only when told to.
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

QString whereClause(Catalog::List list, bool search)
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
    if (search)
        where += QStringLiteral(" AND instr(search_key, :q) > 0");
    return where;
}

} // namespace

Catalog::Catalog()
{
    static int counter = 0;
    m_connection = QStringLiteral("catalog-%1").arg(++counter);
    m_cacheKey = randomBytes(32);
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

bool Catalog::open(const QString &databasePath)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(databasePath);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!db.open())
        return fail(db.lastError().text());
    QSqlQuery q(db);
    const QStringList statements{
        QStringLiteral("PRAGMA journal_mode=WAL"),
        QStringLiteral("PRAGMA synchronous=NORMAL"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS items ("
                       " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                       " from_admin INTEGER NOT NULL,"
                       " approved INTEGER NOT NULL,"
                       " category TEXT NOT NULL,"
                       " title TEXT NOT NULL,"
                       " licence TEXT NOT NULL,"
                       " updated TEXT NOT NULL,"
                       " file_name TEXT NOT NULL UNIQUE,"
                       " search_key TEXT NOT NULL)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS items_order ON items (updated DESC, id DESC)"),
        QStringLiteral(
            "CREATE TABLE IF NOT EXISTS settings (key TEXT PRIMARY KEY, value TEXT NOT NULL)"),
    };
    for (const QString &s : statements) {
        if (!q.exec(s))
            return fail(q.lastError().text());
    }
    return true;
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
    return t.commit() || fail(db.lastError().text());
}

bool Catalog::hasCredentials()
{
    return !setting(QStringLiteral("admin_hash")).isEmpty();
}

bool Catalog::setCredentials(const QString &password, const QString &securityCode)
{
    const QByteArray salt = randomBytes(16);
    return writeSettings({
        {QStringLiteral("admin_salt"), QString::fromLatin1(salt.toHex())},
        {QStringLiteral("admin_iterations"), QString::number(Pbkdf2Iterations)},
        {QStringLiteral("admin_hash"),
         QString::fromLatin1(derive(password, salt, Pbkdf2Iterations).toHex())},
        {QStringLiteral("security_code"), securityCode},
    });
}

bool Catalog::checkPassword(const QString &password)
{
    const QByteArray salt = QByteArray::fromHex(setting(QStringLiteral("admin_salt")).toLatin1());
    const QByteArray stored = QByteArray::fromHex(setting(QStringLiteral("admin_hash")).toLatin1());
    const int iterations = setting(QStringLiteral("admin_iterations")).toInt();
    if (salt.isEmpty() || stored.isEmpty() || iterations <= 0)
        return false;
    const QByteArray token =
        QMessageAuthenticationCode::hash(password.toUtf8(), m_cacheKey, QCryptographicHash::Sha256);
    if (m_acceptedForHash == stored && CatalogText::constantTimeEquals(token, m_acceptedToken))
        return true;
    if (!CatalogText::constantTimeEquals(derive(password, salt, iterations), stored))
        return false;
    m_acceptedToken = token;
    m_acceptedForHash = stored;
    return true;
}

bool Catalog::setPassword(const QString &password)
{
    const QByteArray salt = randomBytes(16);
    return writeSettings({
        {QStringLiteral("admin_salt"), QString::fromLatin1(salt.toHex())},
        {QStringLiteral("admin_iterations"), QString::number(Pbkdf2Iterations)},
        {QStringLiteral("admin_hash"),
         QString::fromLatin1(derive(password, salt, Pbkdf2Iterations).toHex())},
    });
}

QString Catalog::securityCode()
{
    return setting(QStringLiteral("security_code"));
}

bool Catalog::checkSecurityCode(const QString &code)
{
    const QString stored = securityCode();
    return !stored.isEmpty() && CatalogText::constantTimeEquals(code.toUtf8(), stored.toUtf8());
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
    const QString where = whereClause(list, searching);

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
    rows.prepare(QStringLiteral(
                     "SELECT category, title, licence, updated, file_name, id FROM items WHERE ") +
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
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    Transaction t(db);
    QSqlQuery q(db);
    q.prepare(
        QStringLiteral("INSERT INTO items (from_admin, approved, category, title, licence, updated,"
                       " file_name, search_key) VALUES (:a, :p, :c, :t, :l, :u, :f, :s)"));
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
    if (!q.exec()) {
        m_error = q.lastError().text();
        return -1;
    }
    const qint64 id = q.lastInsertId().toLongLong();
    if (!t.commit()) {
        m_error = db.lastError().text();
        return -1;
    }
    return id;
}

Catalog::Result Catalog::approve(qint64 id)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    Transaction t(db);
    QSqlQuery q(db);
    q.prepare(QStringLiteral("UPDATE items SET approved = 1 WHERE id = :id"));
    q.bindValue(QStringLiteral(":id"), id);
    if (!q.exec())
        return Result::Failed;
    if (q.numRowsAffected() == 0)
        return Result::NotFound;
    return t.commit() ? Result::Done : Result::Failed;
}

Catalog::Result Catalog::remove(qint64 id, QString *fileName)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    Transaction t(db);
    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT file_name FROM items WHERE id = :id"));
    q.bindValue(QStringLiteral(":id"), id);
    if (!q.exec())
        return Result::Failed;
    if (!q.next())
        return Result::NotFound;
    *fileName = q.value(0).toString();
    QSqlQuery del(db);
    del.prepare(QStringLiteral("DELETE FROM items WHERE id = :id"));
    del.bindValue(QStringLiteral(":id"), id);
    if (!del.exec())
        return Result::Failed;
    return t.commit() ? Result::Done : Result::Failed;
}

qint64 Catalog::countVisit()
{
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    Transaction t(db);
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral(
            "INSERT INTO settings (key, value) VALUES ('visits', '1')"
            " ON CONFLICT (key) DO UPDATE SET value = CAST(value AS INTEGER) + 1")) ||
        !q.exec(QStringLiteral("SELECT value FROM settings WHERE key = 'visits'")) || !q.next())
        return -1;
    const qint64 visits = q.value(0).toLongLong();
    return t.commit() ? visits : -1;
}
