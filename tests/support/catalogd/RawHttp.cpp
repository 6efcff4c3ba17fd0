#include "RawHttp.h"

#include <QDeadlineTimer>
#include <QTcpSocket>
#include <QUrl>

namespace RawHttp {

QByteArray Response::header(const QByteArray &lowerName) const
{
    for (const auto &h : headers) {
        if (h.first == lowerName)
            return h.second;
    }
    return {};
}

Response send(quint16 port, const QByteArray &request, int timeoutMs, const QHostAddress &source)
{
    Response r;
    QTcpSocket socket;
    if (!source.isNull())
        socket.bind(source);
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(timeoutMs)) {
        r.error = socket.errorString();
        return r;
    }
    socket.write(request);
    QByteArray data;
    const QDeadlineTimer deadline(timeoutMs);
    qint64 headEnd = -1;
    qint64 wanted = -1;
    while (!deadline.hasExpired()) {
        if (socket.bytesToWrite() > 0)
            socket.waitForBytesWritten(50);
        data += socket.readAll();
        if (headEnd < 0) {
            headEnd = data.indexOf("\r\n\r\n");
            if (headEnd >= 0) {
                const QList<QByteArray> lines = data.left(headEnd).split('\n');
                const QList<QByteArray> status = lines.first().trimmed().split(' ');
                r.status = status.size() >= 2 ? status[1].toInt() : 0;
                for (qsizetype i = 1; i < lines.size(); ++i) {
                    const qsizetype colon = lines[i].indexOf(':');
                    if (colon > 0)
                        r.headers.append({lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed()});
                }
                bool ok = false;
                const qint64 length = r.header("content-length").toLongLong(&ok);
                const bool noBody = request.startsWith("HEAD ") || r.status == 304 || r.status == 204;
                wanted = noBody ? 0 : (ok ? length : -1);
            }
        }
        if (headEnd >= 0 && wanted >= 0 && data.size() - headEnd - 4 >= wanted)
            break;
        if (socket.state() != QAbstractSocket::ConnectedState && socket.bytesAvailable() == 0)
            break;
        socket.waitForReadyRead(100);
    }
    if (headEnd < 0) {
        r.error = data.isEmpty() ? QStringLiteral("no reply") : QStringLiteral("no complete header");
        return r;
    }
    r.body = data.mid(headEnd + 4);
    if (wanted >= 0) {
        r.ok = r.body.size() == wanted;
        if (!r.ok)
            r.error = QStringLiteral("body has %1 bytes, expected %2").arg(r.body.size()).arg(wanted);
    } else {
        r.ok = socket.state() != QAbstractSocket::ConnectedState;
    }
    return r;
}

Response get(quint16 port, const QByteArray &target, const QList<QByteArray> &headerLines, const QByteArray &method)
{
    QByteArray request = method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port)
            + "\r\nConnection: close\r\n";
    for (const QByteArray &line : headerLines)
        request += line + "\r\n";
    request += "\r\n";
    return send(port, request);
}

CatalogPage parseCatalogPage(const QByteArray &body)
{
    CatalogPage page;
    const QString text = QString::fromUtf8(body);
    const qsizetype marker = text.indexOf(QStringLiteral("?TtbBa?"));
    if (marker < 0)
        return page;
    const QStringList trailer = text.mid(marker + 7).split(u'?');
    if (trailer.size() != 2)
        return page;
    page.recordCount = trailer[0];
    page.pageCount = trailer[1];
    const QString records = text.left(marker);
    if (!records.isEmpty() && !records.endsWith(QChar(0x0001)))
        return page;
    QStringList pieces = records.split(QChar(0x0001));
    pieces.removeLast();
    for (const QString &piece : pieces)
        page.records.append(piece.split(QChar(0x0002)));
    page.valid = true;
    return page;
}

QByteArray encode(const QString &text)
{
    return text.toUtf8().toPercentEncoding();
}

} // namespace RawHttp
