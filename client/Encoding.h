#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace tavrel {

// The server's UTF-8 bodies to text. Malformed bytes become U+FFFD; a byte-order mark is kept.
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
