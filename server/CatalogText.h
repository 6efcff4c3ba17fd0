#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

// Pure decisions of the catalogue server: parameter parsing, name and text checks. The page
// format itself lives with the client's reader in core/CatalogPage.h.
namespace CatalogText {

// Page count of a list of `recordCount` records; 0 for an empty list.
qint64 pageCount(qint64 recordCount, int pageSize);

// The page to serve for a raw `page` parameter: missing, non-numeric, zero or negative give 1;
// anything past the last page (however large) gives the last page.
qint64 resolvePage(const QString &raw, qint64 pages);

// A file name without any folder part that cannot climb out of the folder it is joined to, of
// at most 200 characters and 255 bytes in UTF-8.
bool isPlainFileName(const QString &name);

// A security code is kept as decimal text. The client reads the reply "1" (or "01", "001")
// as a rejection, so a code with that value could never be read back.
bool isAcceptableSecurityCode(const QString &code);

bool constantTimeEquals(const QByteArray &a, const QByteArray &b);

struct ByteRange
{
    enum Kind { Whole, Partial, Unsatisfiable };
    Kind kind = Whole;
    qint64 first = 0;
    qint64 last = -1; // inclusive
};

// Reads a Range header against a file of `size` bytes. A header that is absent, malformed or
// asks for several ranges is ignored (the whole file is sent).
ByteRange parseRange(const QByteArray &header, qint64 size);

// The validators of an item file, for a client that resumes it: a strong entity tag made of its
// size and modification time, and that time as an HTTP date.
QByteArray entityTag(qint64 size, const QDateTime &modified);
QByteArray httpDate(const QDateTime &time);
// Whether a range may be served under an If-Range header: absent, or naming this very file.
bool ifRangeHolds(const QByteArray &ifRange, const QByteArray &etag,
                  const QByteArray &lastModified);

} // namespace CatalogText
