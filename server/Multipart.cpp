#include "Multipart.h"

namespace Multipart {

namespace {

constexpr qsizetype MaxPartHead = 8192;
constexpr int MaxParts = 32;

// Reads name="..." or filename="..." out of a Content-Disposition value.
std::optional<QString> dispositionParam(const QByteArray &value, const QByteArray &key)
{
    qsizetype from = 0;
    while (true) {
        const qsizetype at = value.indexOf(key + "=\"", from);
        if (at < 0)
            return std::nullopt;
        // Must start a parameter, so that "name" does not match inside "filename".
        const char before = at > 0 ? value.at(at - 1) : ';';
        if (before != ';' && before != ' ' && before != '\t') {
            from = at + 1;
            continue;
        }
        const qsizetype start = at + key.size() + 2;
        const qsizetype end = value.indexOf('"', start);
        if (end < 0)
            return std::nullopt;
        return QString::fromUtf8(value.mid(start, end - start));
    }
}

} // namespace

QByteArray boundaryOf(const QByteArray &contentType)
{
    const QList<QByteArray> pieces = contentType.split(';');
    if (pieces.isEmpty() || pieces.first().trimmed().toLower() != "multipart/form-data")
        return {};
    for (qsizetype i = 1; i < pieces.size(); ++i) {
        const QByteArray piece = pieces[i].trimmed();
        if (!piece.toLower().startsWith("boundary="))
            continue;
        QByteArray b = piece.mid(9);
        if (b.size() >= 2 && b.startsWith('"') && b.endsWith('"'))
            b = b.mid(1, b.size() - 2);
        if (b.isEmpty() || b.size() > 70)
            return {};
        return b;
    }
    return {};
}

Reader::Reader(const QByteArray &boundary)
    : m_delimiter("--" + boundary), m_separator("\r\n--" + boundary)
{}

bool Reader::fail(const QString &why)
{
    m_state = State::Failed;
    m_error = why;
    m_pending.clear();
    return false;
}

void Reader::consume(qsizetype n)
{
    m_pending.remove(0, n);
    m_offset += n;
}

bool Reader::feed(QByteArrayView piece, Sink &sink)
{
    if (m_state == State::Failed)
        return false;
    if (m_state == State::Done)
        return true; // the epilogue is ignored
    m_pending.append(piece.data(), piece.size());
    while (step(sink)) {
    }
    return m_state != State::Failed;
}

// One step of reading; false when more bytes are needed or reading has ended.
bool Reader::step(Sink &sink)
{
    switch (m_state) {
    case State::Preamble:
        return readPreamble();
    case State::AfterDelimiter:
        return readAfterDelimiter();
    case State::PartHead:
        return readPartHead(sink);
    case State::PartData:
        return readPartData(sink);
    case State::Done:
    case State::Failed:
        break;
    }
    return false;
}

// Whatever comes before the first delimiter is not part of the form.
bool Reader::readPreamble()
{
    if (m_offset == 0 && m_pending.size() < m_delimiter.size() && m_delimiter.startsWith(m_pending))
        return false;
    if (m_offset == 0 && m_pending.startsWith(m_delimiter)) {
        consume(m_delimiter.size());
        m_state = State::AfterDelimiter;
        return true;
    }
    const qsizetype at = m_pending.indexOf(m_separator);
    if (at < 0) {
        // Keep what may be the start of a delimiter; the rest is preamble.
        const qsizetype keep = m_separator.size() - 1;
        if (m_pending.size() > keep)
            consume(m_pending.size() - keep);
        return false;
    }
    consume(at + m_separator.size());
    m_state = State::AfterDelimiter;
    return true;
}

bool Reader::readAfterDelimiter()
{
    if (m_pending.size() < 2)
        return false;
    if (m_pending.startsWith("--")) {
        m_state = State::Done;
        m_pending.clear();
        return false;
    }
    if (!m_pending.startsWith("\r\n"))
        return fail(QStringLiteral("the form data is malformed"));
    consume(2);
    m_state = State::PartHead;
    return true;
}

bool Reader::readPartHead(Sink &sink)
{
    const qsizetype end = m_pending.indexOf("\r\n\r\n");
    if (end < 0 || end > MaxPartHead) {
        if (end > MaxPartHead || m_pending.size() > MaxPartHead + 4)
            return fail(QStringLiteral("the form data is malformed"));
        return false;
    }
    QString name;
    std::optional<QString> fileName;
    for (const QByteArray &line : m_pending.left(end).split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon < 0 || line.left(colon).trimmed().toLower() != "content-disposition")
            continue;
        const QByteArray value = line.mid(colon + 1).trimmed();
        name = dispositionParam(value, "name").value_or(QString());
        fileName = dispositionParam(value, "filename");
    }
    if (name.isEmpty())
        return fail(QStringLiteral("a form part has no name"));
    if (++m_parts > MaxParts)
        return fail(QStringLiteral("the form has too many parts"));
    consume(end + 4);
    sink.partBegins(name, fileName);
    m_state = State::PartData;
    return true;
}

bool Reader::readPartData(Sink &sink)
{
    const qsizetype at = m_pending.indexOf(m_separator);
    if (at < 0) {
        // Everything but a possible start of the delimiter belongs to the part.
        const qsizetype safe = m_pending.size() - (m_separator.size() - 1);
        if (safe > 0) {
            sink.partData(m_offset, QByteArrayView(m_pending).first(safe));
            consume(safe);
        }
        return false;
    }
    if (at > 0)
        sink.partData(m_offset, QByteArrayView(m_pending).first(at));
    sink.partEnds();
    consume(at + m_separator.size());
    m_state = State::AfterDelimiter;
    return true;
}

bool Reader::finish()
{
    if (m_state == State::Done)
        return true;
    if (m_state == State::Failed)
        return false;
    return fail(m_state == State::Preamble ? QStringLiteral("the form data has no parts")
                                           : QStringLiteral("the form data ends early"));
}

namespace {

// Collects where each part lies in a whole body.
class PartList : public Sink
{
public:
    QList<Part> parts;

    void partBegins(const QString &name, const std::optional<QString> &fileName) override
    {
        Part p;
        p.name = name;
        p.isFile = fileName.has_value();
        p.fileName = fileName.value_or(QString());
        p.offset = -1;
        parts.append(p);
    }
    void partData(qint64 offset, QByteArrayView data) override
    {
        Part &p = parts.last();
        if (p.offset < 0)
            p.offset = qsizetype(offset);
        p.length += data.size();
    }
    void partEnds() override
    {
        Part &p = parts.last();
        if (p.offset < 0)
            p.offset = 0; // empty content
    }
};

} // namespace

bool parse(QByteArrayView body, const QByteArray &boundary, QList<Part> *parts, QString *error)
{
    Reader reader(boundary);
    PartList list;
    if (!reader.feed(body, list) || !reader.finish()) {
        *error = reader.error();
        return false;
    }
    *parts = list.parts;
    return true;
}

} // namespace Multipart
