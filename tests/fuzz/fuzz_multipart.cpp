// The form reader: read in pieces of any sizes, a body gives the same parts as read whole, and
// every part lies inside the body.
#include "FuzzCheck.h"
#include "Multipart.h"

#include <cstdint>

namespace {

struct Collect : Multipart::Sink
{
    QList<QPair<QString, QByteArray>> parts;
    void partBegins(const QString &name, const std::optional<QString> &file) override
    {
        parts.append({name + (file ? u'|' + *file : QString()), {}});
    }
    void partData(qint64, QByteArrayView data) override { parts.last().second += data; }
    void partEnds() override {}
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const qsizetype step = 1 + data[0] % 64; // the size of the pieces
    const QByteArrayView body(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);

    QList<Multipart::Part> whole;
    QString error;
    const bool ok = Multipart::parse(body, "B", &whole, &error);
    FUZZ_CHECK(ok || !error.isEmpty());

    Multipart::Reader reader("B");
    Collect pieces;
    bool fed = true;
    for (qsizetype at = 0; at < body.size() && fed; at += step)
        fed = reader.feed(body.sliced(at, qMin(step, body.size() - at)), pieces);
    const bool piecesOk = fed && reader.finish();
    FUZZ_CHECK(piecesOk == ok);
    if (!ok)
        return 0;
    FUZZ_CHECK(pieces.parts.size() == whole.size());
    for (qsizetype i = 0; i < whole.size(); ++i) {
        const Multipart::Part &p = whole[i];
        FUZZ_CHECK(p.offset >= 0 && p.length >= 0 && p.offset + p.length <= body.size());
        FUZZ_CHECK(body.sliced(p.offset, p.length) == pieces.parts[i].second);
    }
    return 0;
}
