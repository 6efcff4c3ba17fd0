#include "StoreFormat.h"

#include "Log.h"

#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace StoreFormat {

namespace {

using Statements = QStringList;

const QString FormatKey = QStringLiteral("store_format");

// The tables every store starts from: the first format, which stored no version. Never changed:
// stores out there were made by it; changes are upgrade steps.
Statements baseTables(Backend backend)
{
    const bool pg = backend == Backend::Postgresql;
    const QString id = pg ? QStringLiteral("id BIGSERIAL PRIMARY KEY")
                          : QStringLiteral("id INTEGER PRIMARY KEY AUTOINCREMENT");
    return {
        QStringLiteral("CREATE TABLE IF NOT EXISTS items (") + id +
            QStringLiteral(", from_admin INTEGER NOT NULL,"
                           " approved INTEGER NOT NULL,"
                           " category TEXT NOT NULL,"
                           " title TEXT NOT NULL,"
                           " licence TEXT NOT NULL,"
                           " updated TEXT NOT NULL,"
                           " file_name TEXT NOT NULL UNIQUE,"
                           " search_key TEXT NOT NULL)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS items_order ON items (updated DESC, id DESC)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS settings"
                       " (key TEXT PRIMARY KEY, value TEXT NOT NULL)"),
        // Deleted ids, so that a delete sent again is answered as done.
        QStringLiteral("CREATE TABLE IF NOT EXISTS deleted_items (id BIGINT PRIMARY KEY)")};
}

// Which list a row is in: a (administrator's), u (users'), p (pending), o (only in "all": flags
// that no list asks for). The same tests as the lists' queries.
QString groupOf(const QString &row)
{
    return QStringLiteral("(CASE WHEN %1approved = 0 THEN 'p'"
                          " WHEN %1approved = 1 AND %1from_admin = 1 THEN 'a'"
                          " WHEN %1approved = 1 AND %1from_admin = 0 THEN 'u' ELSE 'o' END)")
        .arg(row);
}

QString sliceOf(const QString &orderKeySql)
{
    return QStringLiteral("COALESCE((%1) >> %2, -1)").arg(orderKeySql).arg(SliceShift);
}

// The order key from a time and an id (SQL expressions). yyyy-MM-dd HH:mm:ss compares as text
// the way its fields compare as numbers, so the mixed-radix number below orders rows exactly as
// (updated, id) does: 12 months of 31 days a year, years 1970 to 2199, ids below 2^30. The
// inner CASE runs only on text of the right shape (PostgreSQL would fail on a bad number).
QString orderExpression(Backend backend, const QString &updated, const QString &id)
{
    const QString shape =
        backend == Backend::Sqlite
            ? updated + QStringLiteral(" GLOB '[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]"
                                       " [0-9][0-9]:[0-9][0-9]:[0-9][0-9]'")
            : updated +
                  QStringLiteral(" ~ '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}$'");
    auto field = [&](int from, int length) {
        return QStringLiteral("CAST(substr(%1, %2, %3) AS BIGINT)")
            .arg(updated)
            .arg(from)
            .arg(length);
    };
    const QString y = field(1, 4), mo = field(6, 2), d = field(9, 2), h = field(12, 2),
                  mi = field(15, 2), s = field(18, 2);
    return QStringLiteral("(CASE WHEN ") + shape + QStringLiteral(" THEN CASE WHEN ") + y +
           QStringLiteral(" BETWEEN 1970 AND 2199 AND ") + mo +
           QStringLiteral(" BETWEEN 1 AND 12 AND ") + d + QStringLiteral(" BETWEEN 1 AND 31 AND ") +
           h + QStringLiteral(" <= 23 AND ") + mi + QStringLiteral(" <= 59 AND ") + s +
           QStringLiteral(" <= 59 AND ") + id +
           QStringLiteral(" BETWEEN 0 AND %1 THEN ((((").arg(OrderIdMask) + y +
           QStringLiteral(" - 1970) * 12 + ") + mo + QStringLiteral(" - 1) * 31 + ") + d +
           QStringLiteral(" - 1) * 86400 + ") + h + QStringLiteral(" * 3600 + ") + mi +
           QStringLiteral(" * 60 + ") + s + QStringLiteral(") * %1 + ").arg(OrderIdMask + 1) + id +
           QStringLiteral(" END END)");
}

// --- SQLite: counts and search indexes kept by triggers -------------------------------------

// The search key's grams for the gram index: every two code points from each position (the
// last one alone), separated by U+0001, the one character no field may hold. The index's
// tokenizer takes every other character as part of a token, so each gram is one token; a search
// of two code points is that token, and one of one code point is a prefix (an index of
// one-character prefixes answers it).
QString sqliteGramDocument(const QString &key)
{
    return QStringLiteral("COALESCE((WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n"
                          " WHERE i < length(%1)) SELECT group_concat(substr(%1, i, 2), char(1))"
                          " FROM n), '')")
        .arg(key);
}

// The ascii tokenizer's options: ASCII letters and digits are token characters anyway, and
// non-ASCII ones too; this adds every other ASCII character but the separator U+0001.
QString sqliteGramTokenizer()
{
    QString chars;
    for (char c = 2; c > 0 && c < 127; ++c) {
        if (!QChar::isLetterOrNumber(uint(c)))
            chars += QLatin1Char(c);
    }
    chars += QLatin1Char(char(127));
    // Quoted twice: the tokenizer's argument inside fts5's option.
    chars.replace(u'\'', QStringLiteral("''"));
    return QStringLiteral("\"ascii tokenchars '%1'\"")
        .arg(chars.replace(u'"', QStringLiteral("\"\"")));
}

// Adds a row to a search index, or takes it out ('delete' needs the values it was added with).
// Each list has its column (a, u, p, o), so a search in one list is a column filter.
QString sqliteIndexWrite(const QString &table, bool remove, const QString &document,
                         const QString &row, const QString &from = QString())
{
    QString columns;
    for (const char *g : {"a", "u", "p", "o"})
        columns += QStringLiteral(", CASE g WHEN '%1' THEN d ELSE '' END").arg(QLatin1String(g));
    // Many rows at once go in order of the key: FTS5 writes out its pending terms whenever a
    // rowid is lower than the one before.
    return QStringLiteral("INSERT INTO %1 (%2rowid, a, u, p, o) SELECT %3r%4 FROM (SELECT %5 AS r,"
                          " %6 AS g, %7 AS d%8) WHERE r IS NOT NULL%9")
        .arg(table, remove ? table + QStringLiteral(", ") : QString(),
             remove ? QStringLiteral("'delete', ") : QString(), columns,
             orderKey(Backend::Sqlite, row), groupOf(row), document, from,
             from.isEmpty() ? QString() : QStringLiteral(" ORDER BY r"));
}

QString sqliteCountChange(const QString &row, int delta)
{
    if (delta > 0)
        return QStringLiteral("INSERT INTO item_counts (grp, slice, n) VALUES (%1, %2, 1)"
                              " ON CONFLICT (grp, slice) DO UPDATE SET n = n + 1")
            .arg(groupOf(row), sliceOf(orderKey(Backend::Sqlite, row)));
    return QStringLiteral("UPDATE item_counts SET n = n - 1 WHERE grp = %1 AND slice = %2")
        .arg(groupOf(row), sliceOf(orderKey(Backend::Sqlite, row)));
}

QString sqliteAdd(const QString &row)
{
    return sqliteCountChange(row, +1) + QStringLiteral(";\n") +
           sqliteIndexWrite(QStringLiteral("search_trigrams"), false,
                            row + QStringLiteral("search_key"), row) +
           QStringLiteral(";\n") +
           sqliteIndexWrite(QStringLiteral("search_grams"), false,
                            sqliteGramDocument(row + QStringLiteral("search_key")), row) +
           QStringLiteral(";\n");
}

QString sqliteRemove(const QString &row)
{
    return sqliteCountChange(row, -1) + QStringLiteral(";\n") +
           sqliteIndexWrite(QStringLiteral("search_trigrams"), true,
                            row + QStringLiteral("search_key"), row) +
           QStringLiteral(";\n") +
           sqliteIndexWrite(QStringLiteral("search_grams"), true,
                            sqliteGramDocument(row + QStringLiteral("search_key")), row) +
           QStringLiteral(";\n");
}

// The counts from all rows, for a step and after a bulk load.
QString sqliteCountsFill()
{
    return QStringLiteral(
               "INSERT INTO item_counts (grp, slice, n) SELECT %1, %2, COUNT(*) FROM items"
               " GROUP BY 1, 2")
        .arg(groupOf(QString()), sliceOf(orderKey(Backend::Sqlite)));
}

Statements sqliteIndexFills()
{
    return {sqliteIndexWrite(QStringLiteral("search_trigrams"), false,
                             QStringLiteral("items.search_key"), QStringLiteral("items."),
                             QStringLiteral(" FROM items")),
            sqliteIndexWrite(QStringLiteral("search_grams"), false,
                             sqliteGramDocument(QStringLiteral("items.search_key")),
                             QStringLiteral("items."), QStringLiteral(" FROM items"))};
}

Statements sqliteTriggers()
{
    return {QStringLiteral("CREATE TRIGGER items_indexed_insert AFTER INSERT ON items BEGIN\n") +
                sqliteAdd(QStringLiteral("NEW.")) + QStringLiteral("END"),
            QStringLiteral("CREATE TRIGGER items_indexed_delete AFTER DELETE ON items BEGIN\n") +
                sqliteRemove(QStringLiteral("OLD.")) + QStringLiteral("END"),
            QStringLiteral("CREATE TRIGGER items_indexed_update AFTER UPDATE OF id, from_admin,"
                           " approved, updated, search_key ON items BEGIN\n") +
                sqliteRemove(QStringLiteral("OLD.")) + sqliteAdd(QStringLiteral("NEW.")) +
                QStringLiteral("END")};
}

// The order index of each list, on the backend's order key.
Statements orderIndexes(const QString &key)
{
    return {
        QStringLiteral("CREATE UNIQUE INDEX items_by_order ON items (%1)").arg(key),
        QStringLiteral("CREATE INDEX items_admin_by_order ON items (%1)"
                       " WHERE from_admin = 1 AND approved = 1")
            .arg(key),
        QStringLiteral("CREATE INDEX items_users_by_order ON items (%1)"
                       " WHERE from_admin = 0 AND approved = 1")
            .arg(key),
        QStringLiteral("CREATE INDEX items_pending_by_order ON items (%1) WHERE approved = 0")
            .arg(key),
    };
}

// Per-list indexes on the order key (a deep page walks index entries only), counts per list and
// slice, and two search indexes over the folded search key: trigrams (FTS5, case-sensitive, as
// the key is folded already) for searches of 3 or more code points, and the grams of one and
// two code points for shorter ones. Triggers keep all of it, whoever writes the items.
Statements countsAndIndexesSqlite()
{
    Statements s = orderIndexes(orderKey(Backend::Sqlite));
    s += Statements{
        QStringLiteral("CREATE TABLE item_counts (grp TEXT NOT NULL, slice INTEGER NOT NULL,"
                       " n INTEGER NOT NULL, PRIMARY KEY (grp, slice)) WITHOUT ROWID"),
        sqliteCountsFill(),
        QStringLiteral("CREATE VIRTUAL TABLE search_trigrams USING fts5(a, u, p, o, content='',"
                       " tokenize='trigram case_sensitive 1')"),
        QStringLiteral("CREATE VIRTUAL TABLE search_grams USING fts5(a, u, p, o, content='',"
                       " detail='column', prefix='1', tokenize=%1)")
            .arg(sqliteGramTokenizer()),
    };
    return s + sqliteIndexFills() + sqliteTriggers();
}

// --- PostgreSQL: the same counts by a trigger; the search indexes are PostgreSQL's own --------

QString postgresqlCountsFill()
{
    return QStringLiteral(
               "INSERT INTO item_counts (grp, slice, n) SELECT catalogd_group(from_admin,"
               " approved), %1, COUNT(*) FROM items GROUP BY 1, 2")
        .arg(sliceOf(orderKey(Backend::Postgresql)));
}

Statements countsAndIndexesPostgresql()
{
    Statements s{
        // Memory for the index builds below, for this transaction only.
        QStringLiteral("SET LOCAL maintenance_work_mem = '256MB'"),
        // A trusted extension: the database's owner (or a role with CREATE on it) may add it.
        QStringLiteral("CREATE EXTENSION IF NOT EXISTS pg_trgm"),
        QStringLiteral("CREATE OR REPLACE FUNCTION catalogd_order(updated text, id bigint)"
                       " RETURNS bigint LANGUAGE sql IMMUTABLE PARALLEL SAFE AS $$ SELECT ") +
            orderExpression(Backend::Postgresql, QStringLiteral("updated"), QStringLiteral("id")) +
            QStringLiteral(" $$"),
        QStringLiteral(
            "CREATE OR REPLACE FUNCTION catalogd_group(from_admin integer, approved integer)"
            " RETURNS text LANGUAGE sql IMMUTABLE PARALLEL SAFE AS $$ SELECT ") +
            groupOf(QString()) + QStringLiteral(" $$"),
        // Every code point and every two of the key; the repeats cost nothing, as the index
        // keeps each gram of a row once.
        QStringLiteral(
            "CREATE OR REPLACE FUNCTION catalogd_grams(key text) RETURNS text[] LANGUAGE sql"
            " IMMUTABLE PARALLEL SAFE AS $$ SELECT string_to_array(key, NULL) || ARRAY(SELECT"
            " substr(key, i, 2) FROM generate_series(1, char_length(key) - 1) AS i) $$"),
        QStringLiteral("CREATE TABLE item_counts (grp text NOT NULL, slice bigint NOT NULL,"
                       " n bigint NOT NULL, PRIMARY KEY (grp, slice))"),
        postgresqlCountsFill(),
    };
    s += orderIndexes(orderKey(Backend::Postgresql));
    s += Statements{
        QStringLiteral(
            "CREATE INDEX items_search_trigrams ON items USING gin (search_key gin_trgm_ops)"),
        QStringLiteral(
            "CREATE INDEX items_search_grams ON items USING gin (catalogd_grams(search_key))"),
        QStringLiteral(
            "CREATE OR REPLACE FUNCTION catalogd_count_items() RETURNS trigger LANGUAGE plpgsql AS "
            "$$\n"
            "DECLARE old_group text; old_slice bigint; new_group text; new_slice bigint;\n"
            "BEGIN\n"
            "  IF TG_OP <> 'INSERT' THEN\n"
            "    old_group := catalogd_group(OLD.from_admin, OLD.approved);\n"
            "    old_slice := COALESCE(catalogd_order(OLD.updated, OLD.id) >> %1, -1);\n"
            "  END IF;\n"
            "  IF TG_OP <> 'DELETE' THEN\n"
            "    new_group := catalogd_group(NEW.from_admin, NEW.approved);\n"
            "    new_slice := COALESCE(catalogd_order(NEW.updated, NEW.id) >> %1, -1);\n"
            "  END IF;\n"
            "  IF old_group IS NOT DISTINCT FROM new_group AND old_slice IS NOT DISTINCT FROM "
            "new_slice"
            " THEN RETURN NULL; END IF;\n"
            "  IF old_group IS NOT NULL THEN\n"
            "    UPDATE item_counts SET n = n - 1 WHERE grp = old_group AND slice = old_slice;\n"
            "  END IF;\n"
            "  IF new_group IS NOT NULL THEN\n"
            "    INSERT INTO item_counts (grp, slice, n) VALUES (new_group, new_slice, 1)\n"
            "      ON CONFLICT (grp, slice) DO UPDATE SET n = item_counts.n + 1;\n"
            "  END IF;\n"
            "  RETURN NULL;\n"
            "END $$")
            .arg(SliceShift),
        QStringLiteral("CREATE TRIGGER items_counted AFTER INSERT OR UPDATE OR DELETE ON items"
                       " FOR EACH ROW EXECUTE FUNCTION catalogd_count_items()"),
        QStringLiteral(
            "CREATE OR REPLACE FUNCTION catalogd_clear_counts() RETURNS trigger"
            " LANGUAGE plpgsql AS $$ BEGIN DELETE FROM item_counts; RETURN NULL; END $$"),
        QStringLiteral("CREATE TRIGGER items_truncated AFTER TRUNCATE ON items"
                       " FOR EACH STATEMENT EXECUTE FUNCTION catalogd_clear_counts()"),
        QStringLiteral("ANALYZE items"),
    };
    return s;
}

// --- The SHA-256 of each item's file -----------------------------------------------------------

// Hex, NULL until known: a store from before this step gets its digests computed after start.
Statements fileDigests()
{
    return {QStringLiteral("ALTER TABLE items ADD COLUMN sha256 TEXT")};
}

// The record of administrator actions: approvals, deletions, password and code changes,
// each written in the action's own transaction. No secret goes in.
Statements auditTable(Backend backend)
{
    const QString id = backend == Backend::Postgresql
                           ? QStringLiteral("id BIGSERIAL PRIMARY KEY")
                           : QStringLiteral("id INTEGER PRIMARY KEY AUTOINCREMENT");
    return {QStringLiteral("CREATE TABLE audit (") + id +
                QStringLiteral(", at TEXT NOT NULL, action TEXT NOT NULL, item_id BIGINT,"
                               " title TEXT, client TEXT NOT NULL, result TEXT NOT NULL)"),
            QStringLiteral("CREATE INDEX audit_by_time ON audit (at)")};
}

Statements auditSqlite()
{
    return auditTable(Backend::Sqlite);
}

Statements auditPostgresql()
{
    return auditTable(Backend::Postgresql);
}

// The upgrade steps, oldest first; step N brings a store of format N-1 to format N.
// To add one: write its statements for each backend (functions like the ones above) and
// append a line here. A step that has shipped is never changed; it runs once per store, in
// one transaction with the format number it records, at start (on PostgreSQL under the start
// lock, so of several instances starting together one upgrades and the others find it done).
struct Step
{
    const char *what;
    Statements (*sqlite)();
    Statements (*postgresql)();
};

const Step Steps[] = {
    {"list counts, order keys and search indexes", countsAndIndexesSqlite,
     countsAndIndexesPostgresql},
    {"the SHA-256 of each item's file", fileDigests, fileDigests},
    {"the moderation audit", auditSqlite, auditPostgresql},
};

StoreResult<> execAll(QSqlDatabase db, const Statements &statements)
{
    QSqlQuery q(db);
    for (const QString &statement : statements) {
        if (!q.exec(statement))
            return StoreFailure{q.lastError().text()};
    }
    return {};
}

StoreResult<int> storedFormat(QSqlQuery &q)
{
    q.prepare(QStringLiteral("SELECT value FROM settings WHERE key = :k"));
    q.bindValue(QStringLiteral(":k"), FormatKey);
    if (!q.exec())
        return StoreFailure{q.lastError().text()};
    if (!q.next())
        return 0; // the first format stored no version
    bool ok = false;
    const int format = q.value(0).toString().toInt(&ok);
    if (!ok || format < 0)
        return StoreFailure{
            QStringLiteral("the store's format \"%1\" is not a number").arg(q.value(0).toString())};
    return format;
}

StoreResult<> run(QSqlDatabase db, const Step &step, Backend backend, int format)
{
    if (!db.transaction())
        return StoreFailure{db.lastError().text()};
    QSqlQuery q(db);
    auto fail = [&](const QString &error) {
        db.rollback();
        return StoreFailure{error};
    };
    const Statements statements = backend == Backend::Sqlite ? step.sqlite() : step.postgresql();
    for (const QString &s : statements) {
        if (!q.exec(s))
            return fail(q.lastError().text());
    }
    q.prepare(QStringLiteral("INSERT INTO settings (key, value) VALUES (:k, :v)"
                             " ON CONFLICT (key) DO UPDATE SET value = excluded.value"));
    q.bindValue(QStringLiteral(":k"), FormatKey);
    q.bindValue(QStringLiteral(":v"), QString::number(format));
    if (!q.exec())
        return fail(q.lastError().text());
    q.finish();
    if (!db.commit())
        return fail(db.lastError().text());
    return {};
}

} // namespace

int latest()
{
    return int(std::size(Steps));
}

QString orderKey(Backend backend, const QString &row)
{
    if (backend == Backend::Postgresql)
        return QStringLiteral("catalogd_order(%1updated, %1id)").arg(row);
    return orderExpression(backend, row + QStringLiteral("updated"), row + QStringLiteral("id"));
}

QString gramMatch(const QString &foldedKey)
{
    if (foldedKey.contains(QChar(1)))
        return {};
    const QString quoted = u'"' + QString(foldedKey).replace(u'"', QStringLiteral("\"\"")) + u'"';
    return foldedKey.toUcs4().size() == 1 ? quoted + QStringLiteral(" *") : quoted;
}

// Row by row, the triggers' upkeep and the inserts into large secondary indexes cost far more
// than the rows themselves (and on PostgreSQL one transaction's updates of the same count rows
// pile up). A whole catalogue is loaded without them: the triggers stop, the items' secondary
// indexes (those no constraint needs) are dropped, and at the end the indexes are made again
// from all rows (a sort, not a million look-ups) and the counts and search indexes built.
StoreResult<BulkLoad> beginBulkLoad(QSqlDatabase db, Backend backend)
{
    const bool pg = backend == Backend::Postgresql;
    QSqlQuery q(db);
    if (!q.exec(
            pg ? QStringLiteral("SELECT i.indexrelid::regclass::text, pg_get_indexdef(i.indexrelid)"
                                " FROM pg_index i WHERE i.indrelid = 'items'::regclass"
                                " AND NOT EXISTS (SELECT 1 FROM pg_constraint c"
                                " WHERE c.conindid = i.indexrelid)")
               : QStringLiteral("SELECT name, sql FROM sqlite_master WHERE type = 'index'"
                                " AND tbl_name = 'items' AND sql IS NOT NULL")))
        return StoreFailure{q.lastError().text()};
    BulkLoad load;
    Statements drops;
    while (q.next()) {
        drops << QStringLiteral("DROP INDEX ") + q.value(0).toString();
        load.indexes << q.value(1).toString();
    }
    q.finish();
    const Statements stop =
        pg ? Statements{QStringLiteral("ALTER TABLE items DISABLE TRIGGER items_counted"),
                        QStringLiteral("SET LOCAL maintenance_work_mem = '256MB'")}
           : Statements{QStringLiteral("DROP TRIGGER items_indexed_insert"),
                        QStringLiteral("DROP TRIGGER items_indexed_delete"),
                        QStringLiteral("DROP TRIGGER items_indexed_update"),
                        QStringLiteral("PRAGMA cache_size = -262144")};
    if (const StoreResult<> done = execAll(db, stop + drops); !done)
        return StoreFailure{done.error()};
    return load;
}

StoreResult<> endBulkLoad(QSqlDatabase db, Backend backend, const BulkLoad &load)
{
    if (backend == Backend::Postgresql)
        return execAll(db,
                       load.indexes + Statements{QStringLiteral("DELETE FROM item_counts"),
                                                 postgresqlCountsFill(),
                                                 QStringLiteral("ALTER TABLE items ENABLE TRIGGER"
                                                                " items_counted")});
    return execAll(db, load.indexes +
                           Statements{QStringLiteral("DELETE FROM item_counts"), sqliteCountsFill(),
                                      QStringLiteral("INSERT INTO search_trigrams (search_trigrams)"
                                                     " VALUES ('delete-all')"),
                                      QStringLiteral("INSERT INTO search_grams (search_grams)"
                                                     " VALUES ('delete-all')")} +
                           sqliteIndexFills() + sqliteTriggers());
}

StoreResult<> prepare(QSqlDatabase db, Backend backend)
{
    QSqlQuery q(db);
    Statements setup;
    if (backend == Backend::Sqlite)
        setup << QStringLiteral("PRAGMA journal_mode=WAL")
              << QStringLiteral("PRAGMA synchronous=NORMAL");
    setup << baseTables(backend);
    for (const QString &s : setup) {
        if (!q.exec(s))
            return StoreFailure{q.lastError().text()};
    }
    const StoreResult<int> found = storedFormat(q);
    if (!found)
        return StoreFailure{found.error()};
    if (*found > latest())
        return StoreFailure{
            QStringLiteral("the store is in format %1, newer than this catalogd knows"
                           " (%2): run the catalogd that wrote it, or a newer one")
                .arg(*found)
                .arg(latest())};
    // Index builds sort a whole table: a large page cache for them (this connection serves no
    // requests).
    if (backend == Backend::Sqlite && *found < latest())
        q.exec(QStringLiteral("PRAGMA cache_size = -262144"));
    for (int format = *found + 1; format <= latest(); ++format) {
        const Step &step = Steps[format - 1];
        qCInfo(lcServer, "upgrading the store to format %d of %d: %s", format, latest(), step.what);
        QElapsedTimer timer;
        timer.start();
        const StoreResult<> done = run(db, step, backend, format);
        if (!done)
            return StoreFailure{QStringLiteral("upgrading the store to format %1 failed: %2")
                                    .arg(format)
                                    .arg(done.error())};
        qCInfo(lcServer, "store upgraded to format %d in %.1f s", format, timer.elapsed() / 1000.0);
    }
    return {};
}

} // namespace StoreFormat
