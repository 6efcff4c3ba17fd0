#include "CatalogTransfer.h"

#include "PostgresCopy.h"
#include "StoreFormat.h"
#include "StoreTransaction.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QIODevice>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryFile>
#include <QVariant>

#include <algorithm>
#include <cstdio>
#include <deque>

namespace CatalogTransfer {

namespace {

// Each store records its own format; it is no part of the catalogue.
const QString StoreFormatKey = QStringLiteral("store_format");
const QString FileKind = QStringLiteral("catalogd-export");
constexpr int ReadBatch = 10000;
constexpr int RowsPerInsert = 500;
constexpr qint64 LongestLine = 1024 * 1024;

StoreFailure failed(const QSqlQuery &q)
{
    return StoreFailure{q.lastError().text()};
}

StoreFailure failed(const QSqlDatabase &db)
{
    return StoreFailure{db.lastError().text()};
}

QJsonValue jsonOf(const QVariant &v, bool isInteger)
{
    if (v.isNull())
        return QJsonValue::Null;
    return isInteger ? QJsonValue(v.toLongLong()) : QJsonValue(v.toString());
}

// Lines out, each hashed as written, for the last line's check of everything before it.
class LineWriter
{
public:
    explicit LineWriter(QIODevice *out) : m_out(out) {}

    void write(const QJsonObject &object)
    {
        QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact);
        line += '\n';
        m_hash.addData(line);
        m_ok = m_ok && m_out->write(line) == line.size();
    }
    bool ok() const { return m_ok; }
    QString digest() const { return QString::fromLatin1(m_hash.result().toHex()); }

private:
    QIODevice *m_out;
    QCryptographicHash m_hash{QCryptographicHash::Sha256};
    bool m_ok = true;
};

// A table's rows in id order, read in slices of the snapshot (a cursor in all but name, on both
// stores), each row written as one line by `line`.
StoreResult<qint64> exportRows(QSqlDatabase db, const QString &select, const QString &table,
                               const std::function<QJsonObject(const QSqlQuery &)> &line,
                               LineWriter *out)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(select + QStringLiteral(" FROM ") + table +
                   QStringLiteral(" WHERE id > ? ORDER BY id LIMIT %1").arg(ReadBatch)))
        return failed(q);
    qint64 last = 0;
    qint64 count = 0;
    for (;;) {
        q.bindValue(0, last);
        if (!q.exec())
            return failed(q);
        qint64 rows = 0;
        while (q.next()) {
            out->write(line(q));
            last = q.value(0).toLongLong();
            ++rows;
        }
        count += rows;
        if (rows < ReadBatch)
            return count;
    }
}

// The highest id the items' sequence has handed out (0 for none).
StoreResult<qint64> itemSequence(QSqlDatabase db, bool pg)
{
    QSqlQuery q(db);
    if (!pg) {
        if (!q.exec(QStringLiteral("SELECT seq FROM sqlite_sequence WHERE name = 'items'")))
            return failed(q);
        return q.next() ? q.value(0).toLongLong() : 0;
    }
    if (!q.exec(QStringLiteral("SELECT pg_get_serial_sequence('items', 'id')")) || !q.next())
        return failed(q);
    const QString sequence = q.value(0).toString();
    if (!q.exec(QStringLiteral("SELECT CASE WHEN is_called THEN last_value ELSE 0 END FROM ") +
                sequence) ||
        !q.next())
        return failed(q);
    return q.value(0).toLongLong();
}

// Rows gathered into multi-row INSERTs: one round trip per few hundred rows, not per row.
class BatchInsert
{
public:
    BatchInsert(QSqlDatabase db, const QString &table, const QStringList &columns)
        : m_db(std::move(db)), m_full(m_db), m_columns(int(columns.size())),
          m_head(QStringLiteral("INSERT INTO %1 (%2) VALUES ").arg(table, columns.join(u", ")))
    {}

    StoreResult<> add(const QVariantList &row)
    {
        m_pending += row;
        if (m_pending.size() < qsizetype(m_columns) * RowsPerInsert)
            return {};
        if (!m_fullPrepared) {
            if (!m_full.prepare(statement(RowsPerInsert)))
                return failed(m_full);
            m_fullPrepared = true;
        }
        return run(m_full);
    }

    // The rows left; the statements are let go, so that the table may be dropped.
    StoreResult<> finish()
    {
        m_full = QSqlQuery(m_db);
        m_fullPrepared = false;
        if (m_pending.isEmpty())
            return {};
        QSqlQuery rest(m_db);
        if (!rest.prepare(statement(int(m_pending.size() / m_columns))))
            return failed(rest);
        return run(rest);
    }

private:
    QString statement(int rows) const
    {
        const QString one = u'(' + QStringList(m_columns, QStringLiteral("?")).join(u',') + u')';
        return m_head + QStringList(rows, one).join(u',');
    }

    StoreResult<> run(QSqlQuery &q)
    {
        for (qsizetype i = 0; i < m_pending.size(); ++i)
            q.bindValue(int(i), m_pending[i]);
        m_pending.clear();
        if (!q.exec())
            return failed(q);
        return {};
    }

    QSqlDatabase m_db;
    QSqlQuery m_full;
    bool m_fullPrepared = false;
    int m_columns;
    QString m_head;
    QVariantList m_pending;
};

// The tables an import loads row by row.
enum Table { Items, Deleted, Audit, TableCount };
const QString TableNames[TableCount] = {QStringLiteral("items"), QStringLiteral("deleted_items"),
                                        QStringLiteral("audit")};
const QStringList TableColumns[TableCount] = {
    {QStringLiteral("id"), QStringLiteral("from_admin"), QStringLiteral("approved"),
     QStringLiteral("category"), QStringLiteral("title"), QStringLiteral("licence"),
     QStringLiteral("updated"), QStringLiteral("file_name"), QStringLiteral("search_key"),
     QStringLiteral("sha256")},
    {QStringLiteral("id")},
    {QStringLiteral("id"), QStringLiteral("at"), QStringLiteral("action"),
     QStringLiteral("item_id"), QStringLiteral("title"), QStringLiteral("client"),
     QStringLiteral("result")},
};

// Where an import's rows go: PostgreSQL's COPY, or multi-row INSERTs into SQLite.
class RowSink
{
public:
    RowSink(const QSqlDatabase &db, bool pg)
    {
        if (pg) {
            m_copy = std::make_unique<PostgresCopy>(db);
            return;
        }
        for (int t = 0; t < TableCount; ++t)
            m_batches.emplace_back(db, TableNames[t], TableColumns[t]);
    }

    StoreResult<> add(Table table, const QVariantList &row)
    {
        if (m_copy)
            return m_copy->add(TableNames[table], TableColumns[table], row);
        return m_batches[table].add(row);
    }

    StoreResult<> finish()
    {
        if (m_copy)
            return m_copy->finish();
        for (BatchInsert &batch : m_batches) {
            if (const StoreResult<> rest = batch.finish(); !rest)
                return rest;
        }
        return {};
    }

private:
    std::unique_ptr<PostgresCopy> m_copy;
    std::deque<BatchInsert> m_batches; // never moved: they hold prepared statements
};

// The fields of one line, checked as they are taken.
class Fields
{
public:
    explicit Fields(const QJsonObject &object) : m_object(object) {}

    // An integer of at least `min`; or null, when `orNull`.
    QVariant integer(const char *key, qint64 min, bool orNull = false)
    {
        const QJsonValue v = m_object.value(QLatin1StringView(key));
        if (orNull && v.isNull())
            return QVariant(QMetaType::fromType<qint64>());
        const qint64 i = v.toInteger(min - 1);
        if (!v.isDouble() || double(i) != v.toDouble() || i < min)
            return missing(key, "an integer");
        return i;
    }
    QVariant text(const char *key, bool orNull = false)
    {
        const QJsonValue v = m_object.value(QLatin1StringView(key));
        if (orNull && v.isNull())
            return QVariant(QMetaType::fromType<QString>());
        if (!v.isString())
            return missing(key, "a text");
        return v.toString();
    }
    // A SHA-256 as 64 lower-case hex digits, or null (not known yet).
    QVariant digest(const char *key)
    {
        const QVariant v = text(key, true);
        static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
        if (!v.isNull() && !hex.match(v.toString()).hasMatch())
            return missing(key, "a SHA-256 in hex");
        return v;
    }
    QString error() const { return m_error; }

private:
    QVariant missing(const char *key, const char *what)
    {
        if (m_error.isEmpty())
            m_error = QStringLiteral("\"%1\" is not %2")
                          .arg(QLatin1StringView(key), QLatin1StringView(what));
        return {};
    }

    QJsonObject m_object;
    QString m_error;
};

StoreResult<> setSequence(QSqlDatabase db, bool pg, const QString &table, qint64 value)
{
    QSqlQuery q(db);
    if (pg) {
        // setval(s, 1, false): the next id is 1, as in a new store.
        q.prepare(
            QStringLiteral("SELECT setval(pg_get_serial_sequence('%1', 'id'), ?, ?)").arg(table));
        q.addBindValue(qMax<qint64>(1, value));
        q.addBindValue(value > 0);
        return q.exec() ? StoreResult<>() : StoreResult<>(failed(q));
    }
    q.prepare(QStringLiteral("DELETE FROM sqlite_sequence WHERE name = ?"));
    q.addBindValue(table);
    if (!q.exec())
        return failed(q);
    if (value <= 0)
        return {};
    q.prepare(QStringLiteral("INSERT INTO sqlite_sequence (name, seq) VALUES (?, ?)"));
    q.addBindValue(table);
    q.addBindValue(value);
    return q.exec() ? StoreResult<>() : StoreResult<>(failed(q));
}

} // namespace

StoreResult<Counts> exportTo(Catalog &catalog, QIODevice *out)
{
    QSqlDatabase db = QSqlDatabase::database(catalog.connectionName());
    const bool pg = catalog.kind() == CatalogStore::Postgresql;
    // Everything from one snapshot: on SQLite a read transaction (WAL lets the writer go on),
    // on PostgreSQL a repeatable-read one.
    StoreTransaction t(db);
    if (!t.isOpen())
        return failed(db);
    QSqlQuery q(db);
    if (pg && !q.exec(QStringLiteral("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY")))
        return failed(q);

    // Sorted here, not by the store: collations differ between stores and machines.
    if (!q.exec(QStringLiteral("SELECT key, value FROM settings")))
        return failed(q);
    QList<QPair<QString, QString>> settings;
    while (q.next()) {
        if (q.value(0).toString() != StoreFormatKey)
            settings.append({q.value(0).toString(), q.value(1).toString()});
    }
    std::sort(settings.begin(), settings.end());
    if (!q.exec(QStringLiteral("SELECT COALESCE(MAX(id), 0) FROM items")) || !q.next())
        return failed(q);
    const qint64 highestItem = q.value(0).toLongLong();
    const StoreResult<qint64> sequence = itemSequence(db, pg);
    if (!sequence)
        return StoreFailure{sequence.error()};

    LineWriter lines(out);
    lines.write({{QStringLiteral("kind"), FileKind},
                 {QStringLiteral("version"), FormatVersion},
                 {QStringLiteral("id_sequence"), qMax(*sequence, highestItem)}});
    Counts counts;
    for (const auto &[key, value] : std::as_const(settings)) {
        lines.write({{QStringLiteral("kind"), QStringLiteral("setting")},
                     {QStringLiteral("key"), key},
                     {QStringLiteral("value"), value}});
    }
    counts.settings = settings.size();

    const StoreResult<qint64> items = exportRows(
        db,
        QStringLiteral("SELECT id, from_admin, approved, category, title, licence, updated,"
                       " file_name, sha256"),
        QStringLiteral("items"),
        [](const QSqlQuery &r) {
            return QJsonObject{{QStringLiteral("kind"), QStringLiteral("item")},
                               {QStringLiteral("id"), r.value(0).toLongLong()},
                               {QStringLiteral("from_admin"), r.value(1).toLongLong()},
                               {QStringLiteral("approved"), r.value(2).toLongLong()},
                               {QStringLiteral("category"), r.value(3).toString()},
                               {QStringLiteral("title"), r.value(4).toString()},
                               {QStringLiteral("licence"), r.value(5).toString()},
                               {QStringLiteral("updated"), r.value(6).toString()},
                               {QStringLiteral("file_name"), r.value(7).toString()},
                               {QStringLiteral("sha256"), jsonOf(r.value(8), false)}};
        },
        &lines);
    if (!items)
        return StoreFailure{items.error()};
    const StoreResult<qint64> deleted = exportRows(
        db, QStringLiteral("SELECT id"), QStringLiteral("deleted_items"),
        [](const QSqlQuery &r) {
            return QJsonObject{{QStringLiteral("kind"), QStringLiteral("deleted")},
                               {QStringLiteral("id"), r.value(0).toLongLong()}};
        },
        &lines);
    if (!deleted)
        return StoreFailure{deleted.error()};
    const StoreResult<qint64> audit = exportRows(
        db, QStringLiteral("SELECT id, at, action, item_id, title, client, result"),
        QStringLiteral("audit"),
        [](const QSqlQuery &r) {
            return QJsonObject{{QStringLiteral("kind"), QStringLiteral("audit")},
                               {QStringLiteral("id"), r.value(0).toLongLong()},
                               {QStringLiteral("at"), r.value(1).toString()},
                               {QStringLiteral("action"), r.value(2).toString()},
                               {QStringLiteral("item_id"), jsonOf(r.value(3), true)},
                               {QStringLiteral("title"), jsonOf(r.value(4), false)},
                               {QStringLiteral("client"), r.value(5).toString()},
                               {QStringLiteral("result"), r.value(6).toString()}};
        },
        &lines);
    if (!audit)
        return StoreFailure{audit.error()};
    counts.items = *items;
    counts.deleted = *deleted;
    counts.audit = *audit;

    // The last line says what came before it: a file cut short or changed is refused.
    lines.write({{QStringLiteral("kind"), QStringLiteral("end")},
                 {QStringLiteral("settings"), counts.settings},
                 {QStringLiteral("items"), counts.items},
                 {QStringLiteral("deleted"), counts.deleted},
                 {QStringLiteral("audit"), counts.audit},
                 {QStringLiteral("sha256"), lines.digest()}});
    if (!lines.ok())
        return StoreFailure{QStringLiteral("cannot write the file: ") + out->errorString()};
    return counts;
}

StoreResult<Counts> importFrom(Catalog &catalog, QIODevice *in)
{
    QSqlDatabase db = QSqlDatabase::database(catalog.connectionName());
    const bool pg = catalog.kind() == CatalogStore::Postgresql;
    StoreTransaction t(db);
    if (!t.isOpen())
        return failed(db);
    QSqlQuery q(db);
    // Writers of other instances wait until the whole file is in.
    if (pg && !q.exec(QStringLiteral(
                  "LOCK TABLE items, deleted_items, settings, audit IN EXCLUSIVE MODE")))
        return failed(q);
    if (!q.exec(QStringLiteral("SELECT (SELECT COUNT(*) FROM items),"
                               " (SELECT COUNT(*) FROM deleted_items)")) ||
        !q.next())
        return failed(q);
    if (q.value(0).toLongLong() > 0 || q.value(1).toLongLong() > 0)
        return StoreFailure{QStringLiteral("the store is not empty (%1 items, %2 deleted ids):"
                                           " an export goes into a new store only")
                                .arg(q.value(0).toLongLong())
                                .arg(q.value(1).toLongLong())};
    q.finish(); // SQLite drops no table while a statement reads

    const StoreFormat::Backend backend =
        pg ? StoreFormat::Backend::Postgresql : StoreFormat::Backend::Sqlite;
    const StoreResult<StoreFormat::BulkLoad> bulk = StoreFormat::beginBulkLoad(db, backend);
    if (!bulk)
        return StoreFailure{bulk.error()};
    RowSink rows(db, pg);
    QList<QPair<QString, QString>> settings;
    Counts counts;
    qint64 sequence = 0;
    qint64 highestId = 0;
    qint64 highestAudit = 0;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    bool ended = false;
    qint64 number = 0;
    auto bad = [&number](const QString &what) {
        return StoreFailure{QStringLiteral("line %1: %2").arg(number).arg(what)};
    };

    while (!in->atEnd()) {
        const QByteArray line = in->readLine(LongestLine);
        ++number;
        if (ended)
            return bad(QStringLiteral("more lines after the last one"));
        if (!line.endsWith('\n'))
            return bad(QStringLiteral("the line is cut short (a truncated file?)"));
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
        if (!document.isObject())
            return bad(parseError.error != QJsonParseError::NoError
                           ? QStringLiteral("not JSON: ") + parseError.errorString()
                           : QStringLiteral("not a JSON object"));
        const QJsonObject object = document.object();
        const QString kind = object.value(QStringLiteral("kind")).toString();
        Fields f(object);
        StoreResult<> stored;
        if (number == 1) {
            if (kind != FileKind)
                return bad(QStringLiteral("not a catalogd export"));
            const QVariant version = f.integer("version", 1);
            if (f.error().isEmpty() && version.toLongLong() > FormatVersion)
                return bad(
                    QStringLiteral("written by a newer catalogd (format %1; this one reads %2)")
                        .arg(version.toLongLong())
                        .arg(FormatVersion));
            sequence = f.integer("id_sequence", 0).toLongLong();
        } else if (kind == u"setting") {
            const QString key = f.text("key").toString();
            const QString value = f.text("value").toString();
            if (key == StoreFormatKey)
                return bad(QStringLiteral("the store's format is no setting of the catalogue"));
            settings.append({key, value});
            ++counts.settings;
        } else if (kind == u"item") {
            const QVariant id = f.integer("id", 1);
            const QString category = f.text("category").toString();
            const QString title = f.text("title").toString();
            const QVariantList row{id,
                                   f.integer("from_admin", 0),
                                   f.integer("approved", 0),
                                   category,
                                   title,
                                   f.text("licence"),
                                   f.text("updated"),
                                   f.text("file_name"),
                                   Catalog::searchKey(category, title),
                                   f.digest("sha256")};
            if (f.error().isEmpty())
                stored = rows.add(Items, row);
            highestId = qMax(highestId, id.toLongLong());
            ++counts.items;
        } else if (kind == u"deleted") {
            const QVariant id = f.integer("id", 1);
            if (f.error().isEmpty())
                stored = rows.add(Deleted, {id});
            highestId = qMax(highestId, id.toLongLong());
            ++counts.deleted;
        } else if (kind == u"audit") {
            const QVariant id = f.integer("id", 1);
            const QVariantList row{id,
                                   f.text("at"),
                                   f.text("action"),
                                   f.integer("item_id", 1, true),
                                   f.text("title", true),
                                   f.text("client"),
                                   f.text("result")};
            if (f.error().isEmpty())
                stored = rows.add(Audit, row);
            highestAudit = qMax(highestAudit, id.toLongLong());
            ++counts.audit;
        } else if (kind == u"end") {
            const Counts said{
                f.integer("settings", 0).toLongLong(), f.integer("items", 0).toLongLong(),
                f.integer("deleted", 0).toLongLong(), f.integer("audit", 0).toLongLong()};
            const QString digest = f.text("sha256").toString();
            if (f.error().isEmpty() &&
                (said.settings != counts.settings || said.items != counts.items ||
                 said.deleted != counts.deleted || said.audit != counts.audit))
                return bad(QStringLiteral("the file holds other records than its last line counts"
                                          " (lines lost or added)"));
            if (f.error().isEmpty() && digest != QString::fromLatin1(hash.result().toHex()))
                return bad(QStringLiteral("the file was changed or damaged before this line"
                                          " (its SHA-256 does not match)"));
            ended = true;
        } else {
            return bad(QStringLiteral("unknown kind of line \"%1\"").arg(kind));
        }
        if (!f.error().isEmpty())
            return bad(f.error());
        if (!stored)
            return bad(QStringLiteral("cannot store it: ") + stored.error());
        hash.addData(line);
    }
    if (!ended)
        return StoreFailure{
            QStringLiteral("line %1: the file ends before its last line (a truncated file?)")
                .arg(number + 1)};
    if (const StoreResult<> rest = rows.finish(); !rest)
        return StoreFailure{QStringLiteral("cannot store the records: ") + rest.error()};

    if (const StoreResult<> built = StoreFormat::endBulkLoad(db, backend, *bulk); !built)
        return StoreFailure{QStringLiteral("cannot build the counts and search indexes: ") +
                            built.error()};

    // The file's settings, credentials among them, replace the store's own.
    q.prepare(QStringLiteral("DELETE FROM settings WHERE key <> ?"));
    q.addBindValue(StoreFormatKey);
    if (!q.exec())
        return failed(q);
    BatchInsert settingRows(db, QStringLiteral("settings"),
                            {QStringLiteral("key"), QStringLiteral("value")});
    for (const auto &[key, value] : std::as_const(settings)) {
        if (const StoreResult<> s = settingRows.add({key, value}); !s)
            return StoreFailure{s.error()};
    }
    if (const StoreResult<> s = settingRows.finish(); !s)
        return StoreFailure{s.error()};
    // New ids continue after every id the catalogue ever gave, deleted ones included.
    if (const StoreResult<> s =
            setSequence(db, pg, QStringLiteral("items"), qMax(sequence, highestId));
        !s)
        return StoreFailure{s.error()};
    if (const StoreResult<> s = setSequence(db, pg, QStringLiteral("audit"), highestAudit); !s)
        return StoreFailure{s.error()};
    if (!t.commit())
        return failed(db);
    if (pg)
        q.exec(QStringLiteral("ANALYZE")); // plans for the new rows; nothing depends on it
    return counts;
}

StoreResult<> backupSqlite(Catalog &catalog, const QString &target)
{
    const QFileInfo info(target);
    // Mode 0600, beside the target, renamed into place when whole.
    QTemporaryFile partial(
        info.absoluteDir().filePath(info.fileName() + QStringLiteral(".partial-XXXXXX")));
    if (!partial.open())
        return StoreFailure{QStringLiteral("cannot create %1: %2")
                                .arg(partial.fileTemplate(), partial.errorString())};
    partial.close(); // VACUUM INTO writes into an empty file
    QSqlQuery q(QSqlDatabase::database(catalog.connectionName()));
    q.prepare(QStringLiteral("VACUUM INTO ?"));
    q.addBindValue(partial.fileName());
    if (!q.exec())
        return failed(q);
    if (std::rename(QFile::encodeName(partial.fileName()).constData(),
                    QFile::encodeName(info.absoluteFilePath()).constData()) != 0)
        return StoreFailure{QStringLiteral("cannot rename the copy to %1").arg(target)};
    partial.setAutoRemove(false);
    return {};
}

} // namespace CatalogTransfer
