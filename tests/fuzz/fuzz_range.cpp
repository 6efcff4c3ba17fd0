// Range headers: whatever is asked, a partial answer lies inside the file.
#include "CatalogText.h"
#include "FuzzCheck.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    quint32 raw = 0;
    std::memcpy(&raw, data, 4);
    const qint64 fileSize = raw % 100000;
    const QByteArray header(reinterpret_cast<const char *>(data) + 4, qsizetype(size) - 4);
    const CatalogText::ByteRange r = CatalogText::parseRange(header, fileSize);
    if (r.kind == CatalogText::ByteRange::Partial)
        FUZZ_CHECK(r.first >= 0 && r.first <= r.last && r.last < fileSize);
    return 0;
}
