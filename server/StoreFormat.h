#pragma once

#include "StoreResult.h"

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

// The layout of the catalogue's tables, as a recorded format version and the steps that bring
// an older store up to date (see StoreFormat.cpp).
namespace StoreFormat {

enum class Backend { Sqlite, Postgresql };

// The newest format this catalogd knows.
int latest();

// Creates the tables of a new store, or upgrades an older one step by step; refuses a store of
// a newer format than latest(). On PostgreSQL the caller holds the start lock.
StoreResult<> prepare(QSqlDatabase db, Backend backend);

// Loading a whole catalogue in one transaction (an import into an empty store): the row-by-row
// upkeep of counts and search indexes stops at the begin, and the end builds them from all rows.
struct BulkLoad
{
    QStringList indexes; // the secondary indexes dropped at the begin, made again at the end
};
StoreResult<BulkLoad> beginBulkLoad(QSqlDatabase db, Backend backend);
StoreResult<> endBulkLoad(QSqlDatabase db, Backend backend, const BulkLoad &load);

// The items' order as one integer, "newest first" being "largest first": the time `updated`
// (yyyy-MM-dd HH:mm:ss) in its high bits, the id in the low ones, so that ordering by it is
// ordering by (updated, id). NULL for a time or id it cannot hold; a store with such rows is
// read with the plain queries. `row` prefixes the columns ("", "NEW.", "i.").
QString orderKey(Backend backend, const QString &row = QString());
constexpr int OrderIdBits = 30;
constexpr qint64 OrderIdMask = (qint64(1) << OrderIdBits) - 1;
// Counts are kept per list and per slice of order keys (about 12 days each), so that a deep
// page finds its slice from the counts and walks only the index entries of that slice.
constexpr int SliceShift = 50;

// The gram index's query for a search of one or two code points (already folded); empty for a
// text the index cannot hold (U+0001), which is searched the plain way.
QString gramMatch(const QString &foldedKey);

} // namespace StoreFormat
