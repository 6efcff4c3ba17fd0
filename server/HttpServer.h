#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QUrlQuery>

#include <functional>
#include <memory>

class QTcpServer;
class QTemporaryFile;

struct HttpRequest
{
    QByteArray method;
    QByteArray target; // as sent, still percent-encoded
    QString path;      // decoded
    QByteArray rawQuery;
    QUrlQuery query;
    QHash<QByteArray, QByteArray> headers;    // names in lower case
    QByteArray body;                          // small bodies
    std::shared_ptr<QTemporaryFile> bodyFile; // bodies too large to keep in memory
    qint64 bodySize = 0;
    bool bodyTooLarge = false; // the body was announced over the limit and was not read
    QHostAddress peer;

    QByteArray header(const QByteArray &lowerName) const { return headers.value(lowerName); }
    QString queryValue(const QString &key) const;
};

struct HttpResponse
{
    int status = 200;
    QByteArray contentType = "text/plain; charset=utf-8";
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    // When filePath is set, the body is that file's bytes [fileOffset, fileOffset + fileLength),
    // streamed from disk.
    QString filePath;
    qint64 fileOffset = 0;
    qint64 fileLength = 0;
    bool closeConnection = false;
    // What the access log shows of the request target; the full target when empty.
    QByteArray logTarget;

    void addHeader(const QByteArray &name, const QByteArray &value)
    {
        headers.append(qMakePair(name, value));
    }

    static HttpResponse text(int status, const QByteArray &body);
    static HttpResponse html(int status, const QString &body);
};

struct HttpLimits
{
    int maxHeaderBytes = 16 * 1024;
    int maxRequestLine = 8 * 1024;
    qint64 maxBodyBytes = 64 * 1024 * 1024;
    qint64 memoryBodyBytes = 256 * 1024;
    qint64 rateLimit = 0; // bytes per second for file bodies, 0 for none
    int idleTimeoutMs = 60 * 1000;
    QString spoolDir; // where large request bodies wait; the system temp folder when empty
};

// A small HTTP/1.1 server on QTcpServer: keep-alive, bodies spooled to disk, files streamed with
// bounded memory, and a defined answer for every malformed request.
class HttpServer : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<HttpResponse(const HttpRequest &)>;

    HttpServer(Handler handler, HttpLimits limits, QObject *parent = nullptr);
    ~HttpServer() override;

    bool listen(const QHostAddress &address, quint16 port);
    quint16 serverPort() const;
    QString errorString() const;

    const HttpLimits &limits() const { return m_limits; }
    const Handler &handler() const { return m_handler; }

private:
    void acceptConnections();

    Handler m_handler;
    HttpLimits m_limits;
    QTcpServer *m_server = nullptr;
};
