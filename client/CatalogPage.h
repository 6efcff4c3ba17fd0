#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>

namespace tavrel {

inline constexpr int CatalogColumns = 6;

// One reply of a list script: records of six cells, and the trailer's two values. The cells
// are views into the decoded reply, so a page of tens of thousands of records costs one text
// and one array rather than an allocation per cell.
struct CatalogPage
{
    QString text;             // the decoded reply the cells point into
    QList<QStringView> cells; // CatalogColumns per row, row after row
    std::optional<QString> recordCount; // the trailer's first value, exactly as sent
    int pageCount = 0;                  // 0 when missing or unreadable

    qsizetype rowCount() const { return cells.size() / CatalogColumns; }
    QStringList row(qsizetype index) const;
};

// Cuts a decoded reply into rows and reads its trailer ("?TtbBa?" count "?" pages).
CatalogPage parseCatalogPage(QString reply);

// A page count as the trailer carries it: blanks allowed, fractions rounded half to even;
// 0 when it is not a number or does not fit.
int readPageCount(QStringView text);

} // namespace tavrel
