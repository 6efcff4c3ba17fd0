#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QLatin1StringView>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The catalog page, the reply of every list request, built by the server and read by the
// client from this one definition:
//
//   record  = six fields joined by FieldSeparator, then RecordSeparator (the last one too)
//   page    = record* TrailerMarker recordCount "?" pageCount
//
// Fields carry no escaping, so a field may never hold a separator or the trailer marker.
namespace tavrel {

inline constexpr char RecordSeparator = '\x01';
inline constexpr char FieldSeparator = '\x02';
inline constexpr QLatin1StringView TrailerMarker("?TtbBa?");
inline constexpr int CatalogColumns = 6;

// One record as the server keeps it; the fields in the order they go on the wire.
struct CatalogRecord
{
    QString category;
    QString title;
    QString licence;
    QString updated; // "yyyy-MM-dd HH:mm:ss"
    QString fileName;
    qint64 id = 0;
};

// Text that may go into a record field: no control characters (the separators among them) and
// no trailer marker.
bool isCleanField(QStringView text);

// The reply to a list request. Every field must pass isCleanField.
QByteArray buildCatalogPage(const QList<CatalogRecord> &records, qint64 recordCount,
                            qint64 pageCount);

// One reply of a list script as the client reads it: records of six cells, and the trailer's
// two values.
//
// A page keeps the reply's bytes and one offset per record; a record's cells are cut when they
// are read. The separators and the trailer marker are ASCII, and an ASCII byte never occurs
// inside a multi-byte UTF-8 sequence, so cutting the bytes and decoding each cell later gives
// the same cells as decoding the whole reply first. A page of millions of records thus costs
// its reply and four bytes a record. Replies up to 4 GiB are read.
struct CatalogPage
{
    QByteArray bytes;                   // the reply
    QList<quint32> records;             // where each record starts in bytes
    std::optional<QString> recordCount; // the trailer's first value, exactly as sent
    int pageCount = 0;                  // 0 when missing or unreadable

    qsizetype rowCount() const { return records.size(); }
    // The UTF-8 bytes of one cell, empty for a field the record lacks.
    QByteArrayView cell(qsizetype row, int column) const;
    QStringList row(qsizetype index) const; // decoded
};

// Cuts a reply into rows and reads its trailer. A piece without RecordSeparator after it is no
// record; fields past the sixth are dropped and missing ones are empty; without a marker the
// whole reply serves as trailer.
CatalogPage parseCatalogPage(QByteArray reply);

// A page count as the trailer carries it: blanks allowed, fractions rounded half to even;
// 0 when it is not a number or does not fit.
int readPageCount(QStringView text);

} // namespace tavrel
