#pragma once

#include "Catalog.h"
#include "StoreFormat.h"

#include <QString>

// The statements that read catalog pages, one function each, so that the tests can look at
// the plan of exactly what runs. Placeholders: :q (search), :skip, :limit, :bound.
namespace CatalogQueries {

using Backend = StoreFormat::Backend;
using List = Catalog::List;

// The list's total and how many of its rows have no order key, from the counts.
QString counts(List list);
// The slice of order keys where a page starts, and the rows before that slice.
QString slice(List list, bool fromEnd);
QString listRows(Backend backend, List list, bool fromEnd);

// A search of 3 or more code points (long) or of 1 or 2.
QString searchCount(Backend backend, List list, bool longKey);
QString searchRows(Backend backend, List list, bool longKey, bool fromEnd);
// PostgreSQL: a page of a search and, in every row, the count of all its matches, so that the
// matches are read once.
QString searchPageCounted(List list, bool longKey);
// What to bind to :q for a folded search key; empty when the indexes cannot answer it.
QString searchValue(Backend backend, List list, const QString &foldedKey);

// The plain queries, for stores with rows that have no order key.
QString plainCount(Backend backend, List list, bool searching);
QString plainRows(Backend backend, List list, bool searching);

} // namespace CatalogQueries
