#pragma once

#include "Catalog.h"
#include "StoreResult.h"

class QIODevice;

// The whole catalogue as one file, to move it between stores (SQLite to PostgreSQL, one
// machine to another): JSON Lines, one record a line, in a fixed order and with no time of its
// own, so that the same catalogue always gives the same bytes. The format is described in the
// server's README ("Export file format").
namespace CatalogTransfer {

constexpr int FormatVersion = 1;

struct Counts
{
    qint64 settings = 0;
    qint64 items = 0;
    qint64 deleted = 0;
    qint64 audit = 0;
};

// Writes the catalogue as one consistent snapshot, while others may go on writing.
StoreResult<Counts> exportTo(Catalog &catalog, QIODevice *out);

// Loads a whole export into a store without items or deleted ids, in one transaction: a file
// that is damaged anywhere ("line N: ...") leaves the store as it was. Settings, the
// credentials among them, replace the store's own; the id sequences continue after the file's.
StoreResult<Counts> importFrom(Catalog &catalog, QIODevice *in);

// A consistent copy of an SQLite store, made while it serves (VACUUM INTO), written to a new
// file beside `target` and renamed into place when whole.
StoreResult<> backupSqlite(Catalog &catalog, const QString &target);

} // namespace CatalogTransfer
