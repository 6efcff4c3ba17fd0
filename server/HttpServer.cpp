#include "HttpServer.h"

#include "FailureLimiter.h"
#include "HttpConnection.h"
#include "HttpShared.h"
#include "Log.h"

#include <QTcpServer>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <sys/socket.h>
#include <unistd.h>

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

bool isTrustedProxy(const QHostAddress &address, const QList<QHostAddress> &trustedProxies)
{
    for (const QHostAddress &proxy : trustedProxies) {
        if (address.isEqual(proxy, QHostAddress::TolerantConversion))
            return true;
    }
    return false;
}

QHostAddress clientAddress(const QHostAddress &peer, const QByteArray &forwardedFor,
                           const QList<QHostAddress> &trustedProxies)
{
    auto trusted = [&](const QHostAddress &a) { return isTrustedProxy(a, trustedProxies); };
    if (!trusted(peer))
        return peer;
    // Each proxy appends the address it saw; the first untrusted one from the right is the
    // client, and anything further left may be made up by the client.
    const QList<QByteArray> hops = forwardedFor.split(',');
    for (auto it = hops.crbegin(); it != hops.crend(); ++it) {
        QHostAddress hop;
        if (!hop.setAddress(QString::fromLatin1(it->trimmed())))
            return peer;
        if (!trusted(hop))
            return hop;
    }
    return peer;
}

// Hands every accepted descriptor to the server without making a socket on this thread.
class Listener : public QTcpServer
{
public:
    explicit Listener(HttpServer *server) : QTcpServer(server), m_server(server) {}

protected:
    void incomingConnection(qintptr descriptor) override { m_server->dispatch(descriptor); }

private:
    HttpServer *m_server;
};

namespace {

QHostAddress peerOf(qintptr descriptor)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(int(descriptor), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return {};
    return QHostAddress(reinterpret_cast<sockaddr *>(&address));
}

// Refuses a connection before any request is read.
void refuse(qintptr descriptor)
{
    static const char busy[] = "HTTP/1.1 503 Service Unavailable\r\nServer: catalogd\r\n"
                               "Content-Type: text/plain; charset=utf-8\r\nContent-Length: 29\r\n"
                               "Connection: close\r\n\r\ntoo many connections at once\n";
    [[maybe_unused]] const ssize_t sent =
            ::send(int(descriptor), busy, sizeof busy - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    ::close(int(descriptor));
}

} // namespace

HttpServer::HttpServer(Handler handler, HttpLimits limits, QObject *parent)
    : QObject(parent), m_handler(std::move(handler)), m_limits(std::move(limits)),
      m_shared(std::make_unique<HttpShared>()), m_listener(new Listener(this))
{
    connect(m_listener, &QTcpServer::acceptError, this, &HttpServer::onAcceptError);
    for (int i = 0; i < qMax(1, m_limits.threads); ++i) {
        auto *thread = new QThread(this);
        auto *context = new QObject;
        context->moveToThread(thread);
        connect(thread, &QThread::finished, context, &QObject::deleteLater);
        thread->setObjectName(QStringLiteral("catalogd-io-%1").arg(i));
        thread->start();
        m_threads.append(thread);
        m_contexts.append(context);
    }
}

HttpServer::~HttpServer()
{
    // Connections end on their own threads, before those stop.
    for (QObject *context : std::as_const(m_contexts)) {
        QMetaObject::invokeMethod(
                context, [context] { qDeleteAll(context->children()); },
                Qt::BlockingQueuedConnection);
    }
    for (QThread *thread : std::as_const(m_threads)) {
        thread->quit();
        thread->wait();
    }
}

bool HttpServer::listen(const QHostAddress &address, quint16 port)
{
    return m_listener->listen(address, port);
}

quint16 HttpServer::serverPort() const
{
    return m_listener->serverPort();
}

QString HttpServer::errorString() const
{
    return m_listener->errorString();
}

void HttpServer::dispatch(qintptr descriptor)
{
    const QHostAddress peer = peerOf(descriptor);
    const QByteArray key = FailureLimiter::peerKey(peer);
    // A trusted proxy carries many clients over its connections: its own limits apply there.
    const bool counted = !isTrustedProxy(peer, m_limits.trustedProxies);
    if (m_stopping
        || (counted
            && !m_shared->take(m_shared->connectionsPerPeer, key, m_limits.maxConnectionsPerPeer))) {
        refuse(descriptor);
        return;
    }
    if (++m_shared->connections >= m_limits.maxConnections)
        m_listener->pauseAccepting(); // the rest wait in the system's queue
    QObject *context = m_contexts.at(m_next++ % m_contexts.size());
    QMetaObject::invokeMethod(context, [descriptor, this, context, key, counted] {
        auto *connection = new HttpConnection(descriptor, this, key, counted);
        connection->setParent(context);
    });
}

void HttpServer::connectionClosed(const QByteArray &peerKey, bool counted)
{
    if (counted)
        m_shared->give(m_shared->connectionsPerPeer, peerKey);
    --m_shared->connections;
    QMetaObject::invokeMethod(this, [this] {
        if (m_stopping)
            checkStopped();
        else
            resumeAccepting();
    });
}

// Out of descriptors (EMFILE) or memory: pause instead of failing the same accept in a loop,
// and try again shortly or as soon as a connection ends.
void HttpServer::onAcceptError()
{
    m_listener->pauseAccepting();
    if (m_resumeScheduled)
        return;
    m_resumeScheduled = true;
    qCWarning(lcServer, "cannot accept a connection (%s): paused for a moment",
              qPrintable(m_listener->errorString()));
    QTimer::singleShot(250, this, [this] {
        m_resumeScheduled = false;
        resumeAccepting();
    });
}

void HttpServer::resumeAccepting()
{
    if (!m_stopping && !m_resumeScheduled && m_shared->connections < m_limits.maxConnections)
        m_listener->resumeAccepting();
}

void HttpServer::stop(int graceMs)
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_listener->close();
    for (QObject *context : std::as_const(m_contexts)) {
        QMetaObject::invokeMethod(context, [context] {
            for (QObject *child : context->children()) {
                if (auto *connection = dynamic_cast<HttpConnection *>(child))
                    connection->finishAndClose();
            }
        });
    }
    QTimer::singleShot(graceMs, this, [this] { emit stopped(); });
    checkStopped();
}

void HttpServer::checkStopped()
{
    if (m_stopping && m_shared->connections == 0)
        QTimer::singleShot(0, this, [this] { emit stopped(); });
}
