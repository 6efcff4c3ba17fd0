#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace tavrel {

// One reply of a list script: records of up to six fields, and the trailer's two values.
struct CatalogPage
{
    QList<QStringList> rows;          // every row has exactly six cells
    std::optional<QString> recordCount; // the trailer's first value, exactly as sent
    int pageCount = 0;                // 0 when missing or unreadable
};

// Cuts a decoded reply into rows and reads its trailer ("?TtbBa?" count "?" pages).
CatalogPage parseCatalogPage(const QString &reply);

// A page count as the trailer carries it: blanks allowed, fractions rounded half to even;
// 0 when it is not a number or does not fit.
int readPageCount(QStringView text);

inline constexpr int CatalogColumns = 6;

} // namespace tavrel
