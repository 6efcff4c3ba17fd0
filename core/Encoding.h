#pragma once

#include <QByteArrayView>
#include <QString>

// Text between the catalog server's UTF-8 and the program's UTF-16, and values for queries.
namespace tavrel {

// The server's UTF-8 bodies to text. Malformed bytes become U+FFFD instead of failing the
// whole reply, and a leading byte-order mark stays in the text as U+FEFF.
QString utf8ToUnicode(QByteArrayView bytes);

// A search text in the form the list scripts expect: characters below U+0080 unchanged, every
// other UTF-16 unit as its own percent-escaped UTF-8 bytes (surrogate halves one by one).
QString gbToUtf8(const QString &text);

// A value for a query string: like gbToUtf8, but the ASCII characters that would end or change
// the value ("&", "#", "+", "%", "=", blanks, control characters...) are escaped too, so the
// server receives it whole.
QString encodeQueryValue(const QString &text);

// Leading and trailing blanks (U+0020 only) removed; tabs and line breaks stay.
QString trimBlanks(const QString &text);

} // namespace tavrel
