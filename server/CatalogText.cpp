#include "CatalogText.h"

#include <QDateTime>
#include <QLocale>

namespace CatalogText {

qint64 pageCount(qint64 recordCount, int pageSize)
{
    if (recordCount <= 0 || pageSize <= 0)
        return 0;
    return (recordCount + pageSize - 1) / pageSize;
}

qint64 resolvePage(const QString &raw, qint64 pages)
{
    if (raw.isEmpty())
        return 1;
    for (QChar c : raw) {
        if (c < u'0' || c > u'9')
            return 1; // signs, blanks, letters: not a page number
    }
    const qint64 last = qMax<qint64>(pages, 1);
    // Too many digits to fit is simply past the end.
    bool ok = false;
    const qint64 page = raw.toLongLong(&ok);
    if (!ok)
        return last;
    if (page < 1)
        return 1;
    return qMin(page, last);
}

bool isPlainFileName(const QString &name)
{
    if (name.isEmpty() || name.size() > 200 || name == u"." || name == u"..")
        return false;
    if (name.toUtf8().size() > 255) // what a file system takes
        return false;
    if (name.startsWith(u'.'))
        return false; // hidden files and temporary names stay private
    for (QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c == u'/' || c == u'\\' || c == u':')
            return false;
    }
    return true;
}

bool isAcceptableSecurityCode(const QString &code)
{
    if (code.isEmpty() || code.size() > 32)
        return false;
    for (QChar c : code) {
        if (c < u'0' || c > u'9')
            return false;
    }
    QString digits = code;
    while (digits.size() > 1 && digits.startsWith(u'0'))
        digits.remove(0, 1);
    return digits != u"1";
}

bool constantTimeEquals(const QByteArray &a, const QByteArray &b)
{
    // Length is not secret (both sides are fixed-size digests or short codes); the content is.
    unsigned diff = unsigned(a.size() ^ b.size());
    const qsizetype n = qMin(a.size(), b.size());
    for (qsizetype i = 0; i < n; ++i)
        diff |= unsigned(uchar(a[i]) ^ uchar(b[i]));
    return diff == 0;
}

static bool parseDigits(QByteArrayView text, qint64 *value)
{
    if (text.isEmpty() || text.size() > 18)
        return false;
    qint64 v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    *value = v;
    return true;
}

QByteArray entityTag(qint64 size, const QDateTime &modified)
{
    return '"' + QByteArray::number(size, 16) + '-' +
           QByteArray::number(modified.toMSecsSinceEpoch(), 16) + '"';
}

QByteArray httpDate(const QDateTime &time)
{
    return QLocale::c()
        .toString(time.toUTC(), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"))
        .toLatin1();
}

bool ifRangeHolds(const QByteArray &ifRange, const QByteArray &etag, const QByteArray &lastModified)
{
    const QByteArray wanted = ifRange.trimmed();
    return wanted.isEmpty() || wanted == etag || wanted == lastModified;
}

ByteRange parseRange(const QByteArray &header, qint64 size)
{
    ByteRange whole;
    const QByteArray h = header.trimmed();
    if (!h.startsWith("bytes="))
        return whole;
    const QByteArray wanted = h.mid(6).trimmed();
    if (wanted.contains(','))
        return whole; // several ranges: the whole file is a valid answer
    const qsizetype dash = wanted.indexOf('-');
    if (dash < 0)
        return whole;
    const QByteArray from = wanted.left(dash).trimmed();
    const QByteArray to = wanted.mid(dash + 1).trimmed();

    ByteRange r;
    r.kind = ByteRange::Partial;
    if (from.isEmpty()) {
        qint64 suffix = 0;
        if (!parseDigits(to, &suffix))
            return whole;
        if (suffix == 0 || size == 0)
            return {ByteRange::Unsatisfiable, 0, -1};
        r.first = qMax<qint64>(0, size - suffix);
        r.last = size - 1;
        return r;
    }
    if (!parseDigits(from, &r.first))
        return whole;
    if (to.isEmpty()) {
        r.last = size - 1;
    } else {
        if (!parseDigits(to, &r.last) || r.last < r.first)
            return whole;
        r.last = qMin(r.last, size - 1);
    }
    if (r.first >= size)
        return {ByteRange::Unsatisfiable, 0, -1};
    return r;
}

} // namespace CatalogText
