// The Repr-Digest field a server sends: whatever it holds, the client reads either no digest or
// one of exactly 32 bytes, and the field catalogd writes reads back as its digest.
#include "FuzzCheck.h"
#include "core/Digest.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView field(reinterpret_cast<const char *>(data), qsizetype(size));
    const QByteArray digest = tavrel::sha256FromReprDigest(field);
    FUZZ_CHECK(digest.isEmpty() || digest.size() == tavrel::Sha256Size);
    if (size >= 32) {
        const QByteArrayView sha(reinterpret_cast<const char *>(data), 32);
        FUZZ_CHECK(tavrel::sha256FromReprDigest(tavrel::reprDigestField(sha)) == sha);
    }
    return 0;
}
