#include "RequestHead.h"

#include <QList>

namespace {

HeadParse failed(int status, const QByteArray &reason)
{
    HeadParse p;
    p.state = HeadParse::Failed;
    p.status = status;
    p.reason = reason;
    return p;
}

// A head that has not ended yet may already be too long.
HeadParse incomplete(QByteArrayView buffer, const HeadLimits &limits)
{
    const qsizetype lineEnd = buffer.indexOf("\r\n");
    if ((lineEnd < 0 && buffer.size() > limits.maxRequestLine) || lineEnd > limits.maxRequestLine)
        return failed(414, "request line too long");
    if (buffer.size() > limits.maxHeaderBytes)
        return failed(431, "request header too large");
    return {};
}

// Method, target and version; blanks inside the target (a client that does not encode them)
// stay part of it.
bool readRequestLine(const QByteArray &line, const HeadLimits &limits, RequestHead *head,
                     HeadParse *failure)
{
    const QByteArray first = line.trimmed();
    const qsizetype firstBlank = first.indexOf(' ');
    const qsizetype lastBlank = first.lastIndexOf(' ');
    if (firstBlank <= 0 || lastBlank <= firstBlank + 1) {
        *failure = failed(400, "malformed request line");
        return false;
    }
    head->method = first.left(firstBlank);
    head->target = first.mid(firstBlank + 1, lastBlank - firstBlank - 1).trimmed();
    head->version = first.mid(lastBlank + 1);
    if (head->method.size() > 16 || head->target.size() > limits.maxRequestLine) {
        const bool longTarget = head->target.size() > limits.maxRequestLine;
        *failure = failed(longTarget ? 414 : 400, "malformed request line");
        return false;
    }
    if (head->version != "HTTP/1.1" && head->version != "HTTP/1.0") {
        *failure =
            failed(head->version.startsWith("HTTP/") ? 505 : 400, "unsupported protocol version");
        return false;
    }
    return true;
}

bool readHeaderLines(const QList<QByteArray> &lines, RequestHead *head, HeadParse *failure)
{
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            *failure = failed(400, "malformed header line");
            return false;
        }
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "content-length" && head->headers.contains(name) &&
            head->headers.value(name) != value) {
            *failure = failed(400, "conflicting Content-Length");
            return false;
        }
        head->headers.insert(name, value);
    }
    return true;
}

bool readTarget(RequestHead *head, HeadParse *failure)
{
    if (!head->target.startsWith('/')) {
        *failure = failed(400, "request target must be a path");
        return false;
    }
    const qsizetype question = head->target.indexOf('?');
    const QByteArray rawPath = question < 0 ? head->target : head->target.left(question);
    head->rawQuery = question < 0 ? QByteArray() : head->target.mid(question + 1);
    const QByteArray decodedPath = QByteArray::fromPercentEncoding(rawPath);
    if (decodedPath.contains('\0')) {
        *failure = failed(400, "NUL in path");
        return false;
    }
    head->path = QString::fromUtf8(decodedPath);
    return true;
}

bool readBodyFraming(RequestHead *head, HeadParse *failure)
{
    if (head->headers.contains("transfer-encoding")) {
        *failure = failed(411, "chunked request bodies are not accepted; send Content-Length");
        return false;
    }
    head->contentLength = 0;
    if (!head->headers.contains("content-length"))
        return true;
    bool ok = false;
    const QByteArray raw = head->header("content-length");
    const qint64 length = raw.toLongLong(&ok);
    if (!ok || length < 0 || raw.startsWith('+') || raw.startsWith('-')) {
        *failure = failed(400, "bad Content-Length");
        return false;
    }
    head->contentLength = length;
    return true;
}

} // namespace

HeadParse parseRequestHead(QByteArrayView buffer, const HeadLimits &limits)
{
    // Blank lines before a request are allowed between keep-alive requests.
    qsizetype skipped = 0;
    while (buffer.sliced(skipped).startsWith("\r\n"))
        skipped += 2;
    const QByteArrayView rest = buffer.sliced(skipped);
    const qsizetype end = rest.indexOf("\r\n\r\n");
    if (end < 0) {
        HeadParse p = incomplete(rest, limits);
        p.consumed = p.state == HeadParse::NeedMore ? skipped : 0;
        return p;
    }
    if (end > limits.maxHeaderBytes) {
        const qsizetype lineEnd = rest.indexOf("\r\n");
        return failed(lineEnd > limits.maxRequestLine ? 414 : 431, "request header too large");
    }

    HeadParse p;
    const QList<QByteArray> lines = rest.first(end).toByteArray().split('\n');
    RequestHead &head = p.head;
    if (!readRequestLine(lines.first(), limits, &head, &p) || !readHeaderLines(lines, &head, &p))
        return p;
    const QByteArray connection = head.header("connection").toLower();
    head.keepAlive = head.version == "HTTP/1.1" ? !connection.contains("close")
                                                : connection.contains("keep-alive");
    if (!readTarget(&head, &p) || !readBodyFraming(&head, &p))
        return p;
    p.state = HeadParse::Complete;
    p.consumed = skipped + end + 4;
    return p;
}
