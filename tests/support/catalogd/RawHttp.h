#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// Exact HTTP requests for tests: the bytes go out as written (no URL normalising), one
// request per connection.
namespace RawHttp {

struct Response
{
    bool ok = false; // a whole response arrived
    QString error;
    int status = 0;
    QList<QPair<QByteArray, QByteArray>> headers; // names in lower case
    QByteArray body;

    QByteArray header(const QByteArray &lowerName) const;
};

// From `source` when given (any 127.x.y.z address reaches a server on 127.0.0.1), so that a
// test can be two clients.
Response send(quint16 port, const QByteArray &request, int timeoutMs = 15000,
              const QHostAddress &source = QHostAddress());
// "GET target HTTP/1.1" with Host and Connection: close, plus the given header lines.
Response get(quint16 port, const QByteArray &target, const QList<QByteArray> &headerLines = {},
             const QByteArray &method = "GET");

// A catalog page cut into its parts; `valid` is false when the trailer is missing or malformed.
struct CatalogPage
{
    bool valid = false;
    QList<QStringList> records;
    QString recordCount;
    QString pageCount;
};
CatalogPage parseCatalogPage(const QByteArray &body);

// Percent-encodes every byte of the UTF-8 text that is not unreserved, as the client does.
QByteArray encode(const QString &text);

} // namespace RawHttp
