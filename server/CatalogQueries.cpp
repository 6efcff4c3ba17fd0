#include "CatalogQueries.h"

namespace CatalogQueries {

namespace {

// The rows of a list, as the lists' indexes are made.
QString listWhere(List list)
{
    switch (list) {
    case List::Admin:
        return QStringLiteral("from_admin = 1 AND approved = 1");
    case List::Users:
        return QStringLiteral("from_admin = 0 AND approved = 1");
    case List::All:
        return QStringLiteral("1 = 1");
    case List::Pending:
        return QStringLiteral("approved = 0");
    }
    return {};
}

// The groups of item_counts a list is made of.
QString listGroups(List list)
{
    switch (list) {
    case List::Admin:
        return QStringLiteral("'a'");
    case List::Users:
        return QStringLiteral("'u'");
    case List::Pending:
        return QStringLiteral("'p'");
    case List::All:
        break;
    }
    return QStringLiteral("'a', 'u', 'p', 'o'");
}

// The list's column in the SQLite search indexes.
QString columnFilter(List list)
{
    switch (list) {
    case List::Admin:
        return QStringLiteral("{a} : ");
    case List::Users:
        return QStringLiteral("{u} : ");
    case List::Pending:
        return QStringLiteral("{p} : ");
    case List::All:
        break;
    }
    return {};
}

QString direction(bool fromEnd)
{
    return fromEnd ? QStringLiteral("ASC") : QStringLiteral("DESC");
}

// A LIKE pattern that finds the text anywhere, its own %, _ and \ taken as plain characters.
QString containsPattern(const QString &text)
{
    QString out = QStringLiteral("%");
    for (QChar c : text) {
        if (c == u'\\' || c == u'%' || c == u'_')
            out += u'\\';
        out += c;
    }
    return out + u'%';
}

// A search on PostgreSQL always reads its matches from the search index and sorts them: a walk
// along a list's order, which the planner may prefer for a word it expects often, reads the
// whole list for a rare one. So the list is named in a form its order index does not answer.
QString searchWhere(List list, bool longKey)
{
    return QStringLiteral("catalogd_group(from_admin, approved) IN (%1) AND ")
               .arg(listGroups(list)) +
           (longKey ? QStringLiteral("search_key LIKE :q")
                    : QStringLiteral("catalogd_grams(search_key) @> ARRAY[CAST(:q AS text)]"));
}

QString searchTable(bool longKey)
{
    return longKey ? QStringLiteral("search_trigrams") : QStringLiteral("search_grams");
}

const QString Columns = QStringLiteral("category, title, licence, updated, file_name, id");

} // namespace

QString counts(List list)
{
    return QStringLiteral("SELECT COALESCE(SUM(n), 0), COALESCE(SUM(CASE WHEN slice < 0 THEN n"
                          " ELSE 0 END), 0) FROM item_counts WHERE grp IN (%1)")
        .arg(listGroups(list));
}

QString slice(List list, bool fromEnd)
{
    return QStringLiteral(
               "SELECT slice, seen FROM (SELECT slice, SUM(SUM(n)) OVER (ORDER BY slice %1"
               " ROWS UNBOUNDED PRECEDING) - SUM(n) AS seen, SUM(n) AS here FROM item_counts"
               " WHERE grp IN (%2) AND slice >= 0 GROUP BY slice) AS s"
               " WHERE seen + here > :skip ORDER BY slice %1 LIMIT 1")
        .arg(direction(fromEnd), listGroups(list));
}

QString listRows(Backend backend, List list, bool fromEnd)
{
    return QStringLiteral("SELECT %1 FROM items WHERE %2 AND %3 %4 :bound ORDER BY %3 %5"
                          " LIMIT :limit OFFSET :skip")
        .arg(Columns, listWhere(list), StoreFormat::orderKey(backend),
             fromEnd ? QStringLiteral(">=") : QStringLiteral("<"), direction(fromEnd));
}

QString searchCount(Backend backend, List list, bool longKey)
{
    if (backend == Backend::Postgresql)
        return QStringLiteral("SELECT COUNT(*) FROM items WHERE ") + searchWhere(list, longKey);
    return QStringLiteral("SELECT COUNT(*) FROM %1 WHERE %1 MATCH :q").arg(searchTable(longKey));
}

QString searchRows(Backend backend, List list, bool longKey, bool fromEnd)
{
    if (backend == Backend::Postgresql)
        // The order of the key, from the columns (cheaper than the key for every match), in a
        // form no order index answers.
        return QStringLiteral("SELECT %1 FROM items WHERE %2 ORDER BY updated COLLATE \"C\" %3,"
                              " id + 0 %3 LIMIT :limit OFFSET :skip")
            .arg(Columns, searchWhere(list, longKey), direction(fromEnd));
    // The index's rowid is the order key, whose low bits are the id.
    return QStringLiteral("SELECT i.category, i.title, i.licence, i.updated, i.file_name, i.id"
                          " FROM (SELECT rowid AS r FROM %1 WHERE %1 MATCH :q ORDER BY rowid %2"
                          " LIMIT :limit OFFSET :skip) AS f JOIN items AS i ON i.id = (f.r & %3)"
                          " ORDER BY f.r %2")
        .arg(searchTable(longKey), direction(fromEnd))
        .arg(StoreFormat::OrderIdMask);
}

QString searchPageCounted(List list, bool longKey)
{
    return searchRows(Backend::Postgresql, list, longKey, false)
        .replace(QStringLiteral(" FROM items"), QStringLiteral(", COUNT(*) OVER () FROM items"));
}

QString searchValue(Backend backend, List list, const QString &foldedKey)
{
    const bool longKey = foldedKey.toUcs4().size() >= 3;
    if (backend == Backend::Postgresql)
        return longKey ? containsPattern(foldedKey) : foldedKey;
    if (!longKey) {
        const QString match = StoreFormat::gramMatch(foldedKey);
        return match.isEmpty() ? match : columnFilter(list) + match;
    }
    // One phrase: the trigrams of the key, one after the other.
    return columnFilter(list) + u'"' + QString(foldedKey).replace(u'"', QStringLiteral("\"\"")) +
           u'"';
}

QString plainCount(Backend backend, List list, bool searching)
{
    QString where = listWhere(list);
    if (searching)
        where += backend == Backend::Postgresql ? QStringLiteral(" AND strpos(search_key, :q) > 0")
                                                : QStringLiteral(" AND instr(search_key, :q) > 0");
    return QStringLiteral("SELECT COUNT(*) FROM items WHERE ") + where;
}

QString plainRows(Backend backend, List list, bool searching)
{
    return plainCount(backend, list, searching).replace(QStringLiteral("COUNT(*)"), Columns) +
           QStringLiteral(" ORDER BY updated DESC, id DESC LIMIT :limit OFFSET :skip");
}

} // namespace CatalogQueries
