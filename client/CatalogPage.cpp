#include "CatalogPage.h"

#include "progress/Rounding.h"

namespace tavrel {

namespace {

const QString trailerMarker = QStringLiteral("?TtbBa?");
constexpr char16_t recordEnd = u'\x01';
constexpr char16_t fieldSeparator = u'\x02';

// Appends the cells of one record; fields after the sixth are dropped, missing ones are empty.
void appendRecord(QList<QStringView> &cells, QStringView record)
{
    int column = 0;
    qsizetype start = 0;
    while (column < CatalogColumns) {
        const qsizetype end = record.indexOf(QChar(fieldSeparator), start);
        if (end < 0) {
            cells.append(record.mid(start));
            ++column;
            break;
        }
        cells.append(record.mid(start, end - start));
        ++column;
        start = end + 1;
    }
    for (; column < CatalogColumns; ++column)
        cells.append(QStringView());
}

} // namespace

QStringList CatalogPage::row(qsizetype index) const
{
    QStringList out;
    for (int c = 0; c < CatalogColumns; ++c)
        out.append(cells.at(index * CatalogColumns + c).toString());
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

CatalogPage parseCatalogPage(QString reply)
{
    CatalogPage page;
    page.text = std::move(reply);
    const QStringView all(page.text);

    // Every piece that a record separator closes is a record; what follows the last one is
    // not. Empty pieces add no row.
    qsizetype start = 0;
    for (qsizetype end; (end = all.indexOf(QChar(recordEnd), start)) >= 0; start = end + 1) {
        if (end == start)
            continue;
        if (page.cells.isEmpty()) // sized from the first record, to grow rarely
            page.cells.reserve((all.size() / qMax<qsizetype>(end - start, 16) + 1)
                               * CatalogColumns);
        appendRecord(page.cells, all.mid(start, end - start));
    }

    // The trailer runs from the first marker to the next one or the end; without a marker the
    // whole reply serves as trailer.
    QStringView trailer = all;
    const qsizetype marker = all.indexOf(trailerMarker);
    if (marker >= 0) {
        trailer = all.mid(marker + trailerMarker.size());
        const qsizetype next = trailer.indexOf(trailerMarker);
        if (next >= 0)
            trailer = trailer.left(next);
    }
    if (!trailer.isEmpty()) {
        const qsizetype q1 = trailer.indexOf(u'?');
        page.recordCount = trailer.left(q1 < 0 ? trailer.size() : q1).toString();
        if (q1 >= 0) {
            QStringView rest = trailer.mid(q1 + 1);
            const qsizetype q2 = rest.indexOf(u'?');
            page.pageCount = readPageCount(q2 < 0 ? rest : rest.left(q2));
        }
    }
    return page;
}

} // namespace tavrel
