// The text encoders: the search encoding leaves only ASCII, a query value decodes back to the
// UTF-8 of what was encoded, and decoding UTF-8 never grows past one unit per byte.
#include "FuzzCheck.h"
#include "core/Encoding.h"

#include <algorithm>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString text = tavrel::utf8ToUnicode(bytes);
    FUZZ_CHECK(text.size() <= bytes.size());

    // The same bytes as UTF-16 units, lone surrogates and all.
    const QString units = QString(reinterpret_cast<const QChar *>(data), qsizetype(size / 2));
    for (const QString &input : {text, units}) {
        const QString search = tavrel::gbToUtf8(input);
        for (const QChar c : search)
            FUZZ_CHECK(c.unicode() < 0x80);
        const QString value = tavrel::encodeQueryValue(input);
        for (const QChar c : value)
            FUZZ_CHECK(c.unicode() < 0x80 &&
                       (c.isLetterOrNumber() || QStringLiteral("-._~%").contains(c)));
        // Surrogate halves are encoded one by one, so only text without them comes back whole.
        const bool bmpOnly =
            std::none_of(input.cbegin(), input.cend(), [](QChar c) { return c.isSurrogate(); });
        if (bmpOnly)
            FUZZ_CHECK(QByteArray::fromPercentEncoding(value.toLatin1()) == input.toUtf8());
    }
    return 0;
}
