#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace tavrel {

inline constexpr int CatalogColumns = 6;

// One reply of a list script: records of six cells, and the trailer's two values.
//
// The separators and the trailer marker are ASCII, and an ASCII byte never occurs inside a
// multi-byte UTF-8 sequence, so cutting the reply's bytes first and decoding each cell later
// gives the same cells as decoding the whole reply first. The cells stay views into the reply
// and are decoded only when shown or read: a page of tens of thousands of records costs one
// buffer and one array.
struct CatalogPage
{
    QByteArray bytes;               // the reply the cells point into
    QList<QByteArrayView> cells;    // CatalogColumns per row, row after row, UTF-8
    std::optional<QString> recordCount; // the trailer's first value, exactly as sent
    int pageCount = 0;                  // 0 when missing or unreadable

    qsizetype rowCount() const { return cells.size() / CatalogColumns; }
    QStringList row(qsizetype index) const; // decoded
};

// Cuts a reply into rows and reads its trailer ("?TtbBa?" count "?" pages).
CatalogPage parseCatalogPage(QByteArray reply);

// A page count as the trailer carries it: blanks allowed, fractions rounded half to even;
// 0 when it is not a number or does not fit.
int readPageCount(QStringView text);

} // namespace tavrel
