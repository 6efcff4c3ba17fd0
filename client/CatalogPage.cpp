#include "CatalogPage.h"

#include "progress/Rounding.h"

namespace tavrel {

namespace {

const QString trailerMarker = QStringLiteral("?TtbBa?");
constexpr QChar recordEnd(u'\x01');
constexpr QChar fieldSeparator(u'\x02');

} // namespace

int readPageCount(QStringView text)
{
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (!ok)
        return 0;
    return toInt32HalfEven(value).value_or(0);
}

CatalogPage parseCatalogPage(const QString &reply)
{
    CatalogPage page;
    const QStringView all(reply);

    // Every piece that a record separator closes is a record; what follows the last one is not.
    const qsizetype lastEnd = all.lastIndexOf(recordEnd);
    if (lastEnd >= 0) {
        page.rows.reserve(all.left(lastEnd).count(recordEnd) + 1);
        for (QStringView piece : all.left(lastEnd).tokenize(recordEnd)) {
            if (piece.isEmpty())
                continue;
            QStringList cells;
            cells.reserve(CatalogColumns);
            for (QStringView field : piece.tokenize(fieldSeparator)) {
                if (cells.size() == CatalogColumns)
                    break;
                cells.append(field.toString());
            }
            while (cells.size() < CatalogColumns)
                cells.append(QString());
            page.rows.append(std::move(cells));
        }
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
