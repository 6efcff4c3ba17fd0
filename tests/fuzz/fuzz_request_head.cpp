// The request head parser: any bytes give NeedMore, Complete or a failure status, never more
// consumed bytes than there are, and a complete head is one the server can route.
#include "FuzzCheck.h"
#include "RequestHead.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const HeadLimits limits{512, 1024}; // small, so the limits are reached often
    const HeadParse p = parseRequestHead(bytes, limits);
    FUZZ_CHECK(p.consumed >= 0 && p.consumed <= bytes.size());
    switch (p.state) {
    case HeadParse::Failed:
        FUZZ_CHECK(p.status >= 400 && p.status < 600 && !p.reason.isEmpty());
        break;
    case HeadParse::Complete:
        FUZZ_CHECK(p.head.target.startsWith('/'));
        FUZZ_CHECK(!p.head.path.contains(QChar(0)));
        FUZZ_CHECK(p.head.contentLength >= 0);
        FUZZ_CHECK(p.head.version == "HTTP/1.1" || p.head.version == "HTTP/1.0");
        break;
    case HeadParse::NeedMore:
        FUZZ_CHECK(bytes.size() - p.consumed <= limits.maxHeaderBytes + 4);
        break;
    }
    return 0;
}
