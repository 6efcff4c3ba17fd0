#include "core/CatalogPage.h"

#include "core/Encoding.h"
#include "core/Rounding.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace tavrel {

namespace {

constexpr QByteArrayView trailerMarker(TrailerMarker.data(), TrailerMarker.size());

// The next occurrence of a byte in [from, to), or to; memchr is the fast scan here.
const char *findByte(const char *from, const char *to, char byte)
{
    const void *hit = std::memchr(from, byte, size_t(to - from));
    return hit ? static_cast<const char *>(hit) : to;
}

// The first trailer marker, or -1: the whole reply has to be searched.
qsizetype findMarker(QByteArrayView text)
{
    // Every "?" is a candidate; memchr finds them at memory speed, and records seldom hold one.
    const char *const begin = text.data();
    const char *const end = begin + text.size();
    for (const char *at = begin; at < end;) {
        at = findByte(at, end, '?');
        if (end - at < trailerMarker.size())
            return -1;
        if (std::memcmp(at, trailerMarker.data(), size_t(trailerMarker.size())) == 0)
            return at - begin;
        ++at;
    }
    return -1;
}

} // namespace

bool isCleanField(QStringView text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    }
    return !text.contains(TrailerMarker);
}

QByteArray buildCatalogPage(const QList<CatalogRecord> &records, qint64 recordCount,
                            qint64 pageCount)
{
    QString text;
    for (const CatalogRecord &r : records) {
        for (const QString *field : {&r.category, &r.title, &r.licence, &r.updated, &r.fileName}) {
            text += *field;
            text += QLatin1Char(FieldSeparator);
        }
        text += QString::number(r.id);
        text += QLatin1Char(RecordSeparator);
    }
    text += TrailerMarker;
    text += QString::number(recordCount);
    text += QLatin1Char('?');
    text += QString::number(pageCount);
    return text.toUtf8();
}

QByteArrayView CatalogPage::cell(qsizetype row, int column) const
{
    if (row < 0 || row >= records.size() || column < 0 || column >= CatalogColumns)
        return {};
    const char *const all = bytes.constData();
    const char *const last = all + bytes.size();
    const char *start = all + records.at(row);
    const char *const end = findByte(start, last, RecordSeparator);
    // Fields past the sixth are dropped; missing ones are empty.
    for (int c = 0; c < column; ++c) {
        const char *separator = findByte(start, end, FieldSeparator);
        if (separator == end)
            return {};
        start = separator + 1;
    }
    return QByteArrayView(start, findByte(start, end, FieldSeparator));
}

QStringList CatalogPage::row(qsizetype index) const
{
    QStringList out;
    for (int c = 0; c < CatalogColumns; ++c)
        out.append(utf8ToUnicode(cell(index, c)));
    return out;
}

int readPageCount(QStringView text)
{
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (!ok)
        return 0;
    return toInt32HalfEven(value).value_or(0);
}

CatalogPage parseCatalogPage(QByteArray reply)
{
    CatalogPage page;
    page.bytes = std::move(reply);
    const QByteArrayView all(page.bytes);

    // Every piece that a record separator closes is a record; what follows the last one is
    // not. Empty pieces add no row. Offsets are 32-bit: a larger reply is read up to 4 GiB.
    const qsizetype readable = std::min<qsizetype>(all.size(), UINT32_MAX);
    const char *const first = all.data();
    const char *const last = first + readable;
    for (const char *start = first; start < last;) {
        const char *end = findByte(start, last, RecordSeparator);
        if (end == last)
            break;
        if (end != start) {
            if (page.records.isEmpty()) // sized from the first record, to grow rarely
                page.records.reserve(readable / qMax<qsizetype>(end - start + 1, 16) + 1);
            page.records.append(quint32(start - first));
        }
        start = end + 1;
    }

    // The trailer runs from the first marker to the next one or the end; without a marker the
    // whole reply serves as trailer.
    QByteArrayView trailer = all;
    const qsizetype marker = findMarker(all);
    if (marker >= 0) {
        trailer = all.sliced(marker + trailerMarker.size());
        const qsizetype next = findMarker(trailer);
        if (next >= 0)
            trailer = trailer.first(next);
    }
    if (!trailer.isEmpty()) {
        const qsizetype q1 = trailer.indexOf('?');
        page.recordCount = utf8ToUnicode(q1 < 0 ? trailer : trailer.first(q1));
        if (q1 >= 0) {
            const QByteArrayView rest = trailer.sliced(q1 + 1);
            const qsizetype q2 = rest.indexOf('?');
            page.pageCount = readPageCount(utf8ToUnicode(q2 < 0 ? rest : rest.first(q2)));
        }
    }
    return page;
}

} // namespace tavrel
