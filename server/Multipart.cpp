#include "Multipart.h"

namespace Multipart {

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

// Reads name="..." or filename="..." out of a Content-Disposition value.
static bool dispositionParam(const QByteArray &value, const QByteArray &key, QString *out)
{
    qsizetype from = 0;
    while (true) {
        const qsizetype at = value.indexOf(key + "=\"", from);
        if (at < 0)
            return false;
        // Must start a parameter, so that "name" does not match inside "filename".
        const char before = at > 0 ? value.at(at - 1) : ';';
        if (before != ';' && before != ' ' && before != '\t') {
            from = at + 1;
            continue;
        }
        const qsizetype start = at + key.size() + 2;
        const qsizetype end = value.indexOf('"', start);
        if (end < 0)
            return false;
        *out = QString::fromUtf8(value.mid(start, end - start));
        return true;
    }
}

static QByteArrayView from(QByteArrayView body, qsizetype pos)
{
    return body.sliced(qMin(pos, body.size()));
}

bool parse(QByteArrayView body, const QByteArray &boundary, QList<Part> *parts, QString *error)
{
    const QByteArray delimiter = "--" + boundary;
    const QByteArray separator = "\r\n" + delimiter;
    qsizetype pos = 0;
    if (!body.startsWith(delimiter)) {
        const qsizetype first = body.indexOf(separator);
        if (first < 0) {
            *error = QStringLiteral("the form data has no parts");
            return false;
        }
        pos = first + 2;
    }
    pos += delimiter.size();
    while (true) {
        if (from(body, pos).startsWith("--"))
            return true; // closing delimiter
        if (!from(body, pos).startsWith("\r\n")) {
            *error = QStringLiteral("the form data is malformed");
            return false;
        }
        pos += 2;
        const qsizetype headEnd = body.indexOf("\r\n\r\n", pos);
        if (headEnd < 0 || headEnd - pos > 8192) {
            *error = QStringLiteral("the form data is malformed");
            return false;
        }
        const QByteArray head = body.sliced(pos, headEnd - pos).toByteArray();
        const qsizetype contentStart = headEnd + 4;
        const qsizetype contentEnd = body.indexOf(separator, contentStart);
        if (contentEnd < 0) {
            *error = QStringLiteral("the form data ends early");
            return false;
        }
        Part part;
        for (const QByteArray &line : head.split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon < 0)
                continue;
            if (line.left(colon).trimmed().toLower() != "content-disposition")
                continue;
            const QByteArray value = line.mid(colon + 1).trimmed();
            dispositionParam(value, "name", &part.name);
            part.isFile = dispositionParam(value, "filename", &part.fileName);
        }
        if (part.name.isEmpty()) {
            *error = QStringLiteral("a form part has no name");
            return false;
        }
        part.offset = contentStart;
        part.length = contentEnd - contentStart;
        parts->append(part);
        if (parts->size() > 32) {
            *error = QStringLiteral("the form has too many parts");
            return false;
        }
        pos = contentEnd + separator.size();
    }
}

} // namespace Multipart
