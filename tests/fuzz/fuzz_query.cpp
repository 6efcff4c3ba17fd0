// Query decoding as the routes do it: any target's query gives values, page numbers inside
// the list, operation codes 0 to 7 only, and checks that never pass bad values.
#include "CatalogText.h"
#include "FuzzCheck.h"
#include "HttpServer.h"
#include "core/AdminOperation.h"
#include "core/CatalogPage.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    HttpRequest request;
    request.rawQuery = QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
    request.query.setQuery(QString::fromUtf8(request.rawQuery));
    for (const QString &key :
         {QStringLiteral("page"), QStringLiteral("q"), QStringLiteral("cz"), QStringLiteral("pass"),
          QStringLiteral("topass"), QStringLiteral("id")}) {
        const QString value = request.queryValue(key);
        const qint64 pages = value.size() % 7;
        const qint64 page = CatalogText::resolvePage(value, pages);
        FUZZ_CHECK(page >= 1 && page <= qMax<qint64>(1, pages));
        if (const auto op = tavrel::adminOperationFromCode(value))
            FUZZ_CHECK(int(*op) >= 0 && int(*op) <= 7 && value.size() == 1);
        if (CatalogText::isAcceptableSecurityCode(value))
            FUZZ_CHECK(value.size() <= 32 && value.toULongLong() != 1);
        if (CatalogText::isPlainFileName(value))
            FUZZ_CHECK(!value.contains(u'/') && !value.startsWith(u'.') &&
                       value.toUtf8().size() <= 255);
        if (tavrel::isCleanField(value))
            FUZZ_CHECK(!value.contains(QChar(1)) && !value.contains(QChar(2)));
    }
    return 0;
}
