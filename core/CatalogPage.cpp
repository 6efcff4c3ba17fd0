#include "core/CatalogPage.h"

#include "core/Encoding.h"
#include "core/Rounding.h"

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

// Appends the cells of one record; fields after the sixth are dropped, missing ones are empty.
void appendRecord(QList<QByteArrayView> &cells, const char *begin, const char *end)
{
    int column = 0;
    for (const char *start = begin; column < CatalogColumns; ++column) {
        const char *stop = findByte(start, end, FieldSeparator);
        cells.append(QByteArrayView(start, stop - start));
        if (stop == end) {
            ++column;
            break;
        }
        start = stop + 1;
    }
    for (; column < CatalogColumns; ++column)
        cells.append(QByteArrayView());
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

QStringList CatalogPage::row(qsizetype index) const
{
    QStringList out;
    for (int c = 0; c < CatalogColumns; ++c)
        out.append(utf8ToUnicode(cells.at(index * CatalogColumns + c)));
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
    // not. Empty pieces add no row.
    const char *const last = all.data() + all.size();
    for (const char *start = all.data(); start < last;) {
        const char *end = findByte(start, last, RecordSeparator);
        if (end == last)
            break;
        if (end != start) {
            if (page.cells.isEmpty()) // sized from the first record, to grow rarely
                page.cells.reserve((all.size() / qMax<qsizetype>(end - start, 16) + 1)
                                   * CatalogColumns);
            appendRecord(page.cells, start, end);
        }
        start = end + 1;
    }

    // The trailer runs from the first marker to the next one or the end; without a marker the
    // whole reply serves as trailer.
    QByteArrayView trailer = all;
    const qsizetype marker = all.indexOf(trailerMarker);
    if (marker >= 0) {
        trailer = all.sliced(marker + trailerMarker.size());
        const qsizetype next = trailer.indexOf(trailerMarker);
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
