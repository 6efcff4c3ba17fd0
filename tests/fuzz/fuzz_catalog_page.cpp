// The client's page reader: any reply gives rows whose six cells point into it, and a page
// built again from clean rows reads back the same.
#include "FuzzCheck.h"
#include "core/CatalogPage.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray reply(reinterpret_cast<const char *>(data), qsizetype(size));
    const tavrel::CatalogPage page = tavrel::parseCatalogPage(reply);
    const char *begin = page.bytes.constData();
    for (qsizetype r = 0; r < page.rowCount(); ++r) {
        FUZZ_CHECK(page.records.at(r) < quint32(page.bytes.size()));
        for (int c = 0; c < tavrel::CatalogColumns; ++c) {
            const QByteArrayView cell = page.cell(r, c);
            if (!cell.isEmpty())
                FUZZ_CHECK(cell.data() >= begin &&
                           cell.data() + cell.size() <= begin + page.bytes.size());
        }
    }

    QList<tavrel::CatalogRecord> records;
    for (qsizetype r = 0; r < page.rowCount(); ++r) {
        const QStringList row = page.row(r);
        bool clean = true;
        for (const QString &cell : row)
            clean = clean && tavrel::isCleanField(cell);
        bool numeric = false;
        const qint64 id = row[5].toLongLong(&numeric);
        if (clean && numeric && QString::number(id) == row[5])
            records.append({row[0], row[1], row[2], row[3], row[4], id});
    }
    const tavrel::CatalogPage again =
        tavrel::parseCatalogPage(tavrel::buildCatalogPage(records, records.size(), 3));
    FUZZ_CHECK(again.rowCount() == records.size());
    for (qsizetype r = 0; r < records.size(); ++r)
        FUZZ_CHECK(again.row(r).at(1) == records[r].title);
    FUZZ_CHECK(again.pageCount == 3);
    return 0;
}
