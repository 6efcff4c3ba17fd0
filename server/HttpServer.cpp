#include "HttpServer.h"

#include "Log.h"
#include "RequestHead.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QTimer>
#include <QUrl>

#include <sys/socket.h>

QString HttpRequest::queryValue(const QString &key) const
{
    return query.queryItemValue(key, QUrl::FullyDecoded);
}

HttpResponse HttpResponse::text(int status, const QByteArray &body)
{
    HttpResponse r;
    r.status = status;
    r.body = body;
    return r;
}

HttpResponse HttpResponse::html(int status, const QString &body)
{
    HttpResponse r;
    r.status = status;
    r.contentType = "text/html; charset=utf-8";
    r.body = body.toUtf8();
    return r;
}

static QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 411:
        return "Length Required";
    case 413:
        return "Payload Too Large";
    case 414:
        return "URI Too Long";
    case 416:
        return "Range Not Satisfiable";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Status";
    }
}

// Keeps the access log to one printable line whatever the client sent.
static QByteArray printable(const QByteArray &raw)
{
    QByteArray out = raw.left(300);
    for (char &c : out) {
        if (uchar(c) < 0x20 || uchar(c) >= 0x7f)
            c = '?';
    }
    if (raw.size() > out.size())
        out += "...";
    return out;
}

namespace {

class HttpConnection : public QObject
{
public:
    HttpConnection(QTcpSocket *socket, HttpServer *server)
        : QObject(server), m_socket(socket), m_server(server), m_limits(server->limits())
    {
        m_socket->setParent(this);
        m_idle.setSingleShot(true);
        m_idle.setInterval(m_limits.idleTimeoutMs);
        connect(&m_idle, &QTimer::timeout, this, [this] { m_socket->abort(); });
        connect(m_socket, &QTcpSocket::readyRead, this, &HttpConnection::onReadyRead);
        connect(m_socket, &QTcpSocket::bytesWritten, this, &HttpConnection::pump);
        connect(m_socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
        connect(m_socket, &QTcpSocket::errorOccurred, this, [this] {
            if (m_socket->state() == QAbstractSocket::UnconnectedState)
                deleteLater();
        });
        if (m_limits.rateLimit > 0) {
            m_rateTimer.setInterval(100);
            connect(&m_rateTimer, &QTimer::timeout, this, [this] {
                const qint64 step = qMax<qint64>(1, m_limits.rateLimit / 10);
                m_tokens = qMin(m_tokens + step, 2 * step);
                pump();
            });
        }
        m_idle.start();
    }

private:
    enum class State { Head, Body, Streaming, Closing };
    static constexpr qint64 BacklogLimit = 1024 * 1024;

    void onReadyRead()
    {
        m_idle.start();
        if (m_state == State::Closing) {
            m_socket->readAll(); // drained so that closing does not reset the answer away
            return;
        }
        m_buffer += m_socket->readAll();
        if (m_state != State::Body && m_buffer.size() > BacklogLimit) {
            m_socket->abort(); // keeps sending requests but does not read the answers
            return;
        }
        process();
    }

    void process()
    {
        while (m_state == State::Head || m_state == State::Body) {
            // Answers not yet taken by the client hold back further pipelined requests.
            if (m_state == State::Head && m_socket->bytesToWrite() > BacklogLimit)
                return;
            if (m_state == State::Head && !readHead())
                return;
            if (m_state == State::Body && !readBody())
                return;
        }
    }

    bool readHead()
    {
        const HeadParse parsed = parseRequestHead(m_buffer, m_headLimits);
        if (parsed.state == HeadParse::Failed) {
            fail(parsed.status, parsed.reason);
            return false;
        }
        m_buffer.remove(0, parsed.consumed);
        if (parsed.state == HeadParse::NeedMore)
            return false;
        startRequest(parsed.head);
        return acceptBody();
    }

    void startRequest(const RequestHead &head)
    {
        m_request = HttpRequest();
        m_request.peer = m_socket->peerAddress();
        m_request.method = head.method;
        m_request.target = head.target;
        m_request.path = head.path;
        m_request.rawQuery = head.rawQuery;
        m_request.query.setQuery(QString::fromUtf8(head.rawQuery));
        m_request.headers = head.headers;
        m_request.bodySize = head.contentLength;
        m_keepAlive = head.keepAlive;
        m_bodyLeft = head.contentLength;
    }

    // Decides where the announced body goes: refused unread, kept in memory or spooled.
    bool acceptBody()
    {
        if (m_bodyLeft > m_limits.maxBodyBytes) {
            // Answer at once without reading the body; the connection cannot be reused.
            m_request.bodyTooLarge = true;
            m_keepAlive = false;
            m_bodyLeft = 0;
            respond();
            return false;
        }
        if (m_bodyLeft > m_limits.memoryBodyBytes) {
            const QString dir = m_limits.spoolDir.isEmpty() ? QDir::tempPath() : m_limits.spoolDir;
            auto file = std::make_shared<QTemporaryFile>(dir + QStringLiteral("/body-XXXXXX"));
            if (!file->open()) {
                fail(500, "cannot store the request body");
                return false;
            }
            m_request.bodyFile = file;
        }
        if (m_bodyLeft > 0 && m_request.header("expect").toLower() == "100-continue")
            m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
        m_state = State::Body;
        return true;
    }

    bool readBody()
    {
        const qint64 take = qMin<qint64>(m_bodyLeft, m_buffer.size());
        if (take > 0) {
            if (m_request.bodyFile) {
                if (m_request.bodyFile->write(m_buffer.constData(), take) != take) {
                    fail(500, "cannot store the request body");
                    return false;
                }
            } else {
                m_request.body.append(m_buffer.constData(), take);
            }
            m_buffer.remove(0, take);
            m_bodyLeft -= take;
        }
        if (m_bodyLeft > 0)
            return false;
        if (m_request.bodyFile && !m_request.bodyFile->flush()) {
            fail(500, "cannot store the request body");
            return false;
        }
        respond();
        return m_state == State::Head;
    }

    void respond()
    {
        HttpResponse response = m_server->handler()(m_request);
        const bool head = m_request.method == "HEAD";
        m_request.bodyFile.reset();
        if (response.closeConnection)
            m_keepAlive = false;

        qint64 length = response.body.size();
        if (!response.filePath.isEmpty()) {
            m_file.reset(new QFile(response.filePath));
            if (!m_file->open(QIODevice::ReadOnly | QIODevice::Unbuffered) ||
                !m_file->seek(response.fileOffset)) {
                m_file.reset();
                response = HttpResponse::text(500, "cannot read the file\n");
                length = response.body.size();
            } else {
                length = response.fileLength;
            }
        }
        log(response, length);

        QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' +
                         reasonPhrase(response.status) + "\r\n";
        out += "Server: catalogd\r\n";
        out += "Content-Type: " + response.contentType + "\r\n";
        out += "Content-Length: " + QByteArray::number(length) + "\r\n";
        for (const auto &h : response.headers)
            out += h.first + ": " + h.second + "\r\n";
        out += m_keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
        out += "\r\n";
        if (!head && response.filePath.isEmpty())
            out += response.body;
        m_socket->write(out);

        if (m_file && !head && length > 0) {
            m_fileLeft = length;
            m_state = State::Streaming;
            if (m_limits.rateLimit > 0) {
                m_tokens = qMax<qint64>(1, m_limits.rateLimit / 10);
                m_rateTimer.start();
            }
            pump();
            return;
        }
        m_file.reset();
        finishResponse();
    }

    void pump()
    {
        m_idle.start();
        if (m_state == State::Closing) {
            if (m_socket->bytesToWrite() == 0)
                closeGracefully();
            return;
        }
        if (m_state == State::Head && !m_buffer.isEmpty()) {
            process();
            return;
        }
        if (m_state != State::Streaming)
            return;
        constexpr qint64 chunk = 256 * 1024;
        while (m_fileLeft > 0 && m_socket->bytesToWrite() < 2 * chunk) {
            qint64 want = qMin(chunk, m_fileLeft);
            if (m_limits.rateLimit > 0) {
                want = qMin(want, m_tokens);
                if (want <= 0)
                    return;
            }
            if (m_chunk.size() < want)
                m_chunk.resize(want);
            const qint64 got = m_file->read(m_chunk.data(), want);
            if (got <= 0) {
                // The file shrank under us: the promised length cannot be met.
                m_socket->abort();
                return;
            }
            m_socket->write(m_chunk.constData(), got);
            m_fileLeft -= got;
            m_tokens -= got;
        }
        if (m_fileLeft == 0) {
            m_rateTimer.stop();
            m_file.reset();
            finishResponse();
            process();
        }
    }

    void finishResponse()
    {
        if (m_keepAlive) {
            m_state = State::Head;
            return;
        }
        m_state = State::Closing;
        if (m_socket->bytesToWrite() == 0)
            closeGracefully();
    }

    // Ends our side and keeps reading for a moment: closing with unread request bytes would
    // reset the connection and the client could lose the answer (an upload refused early).
    void closeGracefully()
    {
        if (m_shutDown)
            return;
        m_shutDown = true;
        ::shutdown(int(m_socket->socketDescriptor()), SHUT_WR);
        m_socket->readAll();
        QTimer::singleShot(2000, this, [this] { m_socket->abort(); });
    }

    void fail(int status, const QByteArray &why)
    {
        HttpResponse r = HttpResponse::text(status, why + '\n');
        m_keepAlive = false;
        m_buffer.clear();
        QByteArray out =
            "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) +
            "\r\nServer: catalogd\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
            QByteArray::number(r.body.size()) + "\r\nConnection: close\r\n\r\n" + r.body;
        qCInfo(lcAccess, "%s %d %s", qPrintable(m_socket->peerAddress().toString()), status,
               why.constData());
        m_socket->write(out);
        m_state = State::Closing;
        pump();
    }

    void log(const HttpResponse &response, qint64 length)
    {
        const QByteArray target =
            response.logTarget.isEmpty() ? m_request.target : response.logTarget;
        qCInfo(lcAccess, "%s \"%s %s\" %d %lld", qPrintable(m_request.peer.toString()),
               printable(m_request.method).constData(), printable(target).constData(),
               response.status, static_cast<long long>(length));
    }

    QTcpSocket *m_socket;
    HttpServer *m_server;
    const HttpLimits &m_limits;
    const HeadLimits m_headLimits{m_limits.maxRequestLine, m_limits.maxHeaderBytes};
    QTimer m_idle;
    QTimer m_rateTimer;
    State m_state = State::Head;
    QByteArray m_buffer;
    HttpRequest m_request;
    qint64 m_bodyLeft = 0;
    bool m_keepAlive = true;
    bool m_shutDown = false;
    std::unique_ptr<QFile> m_file;
    qint64 m_fileLeft = 0;
    qint64 m_tokens = 0;
    QByteArray m_chunk;
};

} // namespace

HttpServer::HttpServer(Handler handler, HttpLimits limits, QObject *parent)
    : QObject(parent), m_handler(std::move(handler)), m_limits(std::move(limits)),
      m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &HttpServer::acceptConnections);
}

HttpServer::~HttpServer() = default;

bool HttpServer::listen(const QHostAddress &address, quint16 port)
{
    return m_server->listen(address, port);
}

quint16 HttpServer::serverPort() const
{
    return m_server->serverPort();
}

QString HttpServer::errorString() const
{
    return m_server->errorString();
}

void HttpServer::acceptConnections()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection())
        new HttpConnection(socket, this);
}
