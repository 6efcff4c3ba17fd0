#include "HttpServer.h"

#include "CatalogText.h"
#include "FailureLimiter.h"
#include "HttpConnection.h"
#include "HttpShared.h"
#include "Log.h"
#include "Metrics.h"

#include "core/HttpStatus.h"
#include "core/Sha256.h"

#include <QDateTime>

#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
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

HttpResponse HttpResponse::refusal(int status, const QByteArray &why)
{
    HttpResponse r = text(status, why + '\n');
    r.closeConnection = true;
    return r;
}

namespace {

// The Date header's value, made once a second per thread.
QByteArray currentDate()
{
    thread_local qint64 second = -1;
    thread_local QByteArray text;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (now != second) {
        second = now;
        text = CatalogText::httpDate(QDateTime::fromSecsSinceEpoch(now, Qt::UTC));
    }
    return text;
}

} // namespace

QByteArray HttpResponse::head(qint64 length, bool keepAlive) const
{
    QByteArray out;
    out.reserve(256);
    out += "HTTP/1.1 " + QByteArray::number(status) + ' ' + tavrel::httpReasonPhrase(status) +
           "\r\nServer: catalogd\r\nDate: " + currentDate() + "\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + QByteArray::number(length) +
           "\r\nX-Content-Type-Options: nosniff\r\n";
    for (const auto &h : headers)
        out += h.first + ": " + h.second + "\r\n";
    out += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    return out;
}

bool isTrustedProxy(const QHostAddress &address, const QList<QHostAddress> &trustedProxies)
{
    for (const QHostAddress &proxy : trustedProxies) {
        if (address.isEqual(proxy, QHostAddress::TolerantConversion))
            return true;
    }
    return false;
}

std::optional<QHostAddress> clientAddress(const QHostAddress &peer,
                                          const std::optional<QByteArray> &forwardedFor,
                                          const QList<QHostAddress> &trustedProxies)
{
    auto trusted = [&](const QHostAddress &a) { return isTrustedProxy(a, trustedProxies); };
    if (!forwardedFor || !trusted(peer))
        return peer;
    // Each proxy appends the address it saw; the first untrusted one from the right is the
    // client, and anything further left may be made up by the client. What the proxy itself
    // wrote must be an address: anything else would charge the proxy's own budget.
    const QList<QByteArray> hops = forwardedFor->split(',');
    for (auto it = hops.crbegin(); it != hops.crend(); ++it) {
        QHostAddress hop;
        const QByteArray text = it->trimmed();
        if (text.isEmpty() || text.contains('/') || !hop.setAddress(QString::fromLatin1(text)))
            return std::nullopt;
        if (!trusted(hop))
            return hop;
    }
    return peer;
}

// The listening socket, accepted by hand: Qt 6.4's QTcpServer retries an accept that fails
// for want of descriptors (EMFILE) at once and for ever, spinning.
class Listener : public QObject
{
public:
    explicit Listener(HttpServer *server) : QObject(server), m_server(server) {}
    ~Listener() override { close(); }

    bool listen(const QHostAddress &address, quint16 port)
    {
        sockaddr_storage storage{};
        socklen_t length = 0;
        if (!toSockaddr(address, port, &storage, &length))
            return fail(EAFNOSUPPORT);
        m_fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (m_fd < 0)
            return fail(errno);
        const int on = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(m_fd, reinterpret_cast<sockaddr *>(&storage), length) != 0 ||
            ::listen(m_fd, 1024) != 0)
            return fail(errno);
        length = sizeof storage;
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&storage), &length);
        m_port = ntohs(storage.ss_family == AF_INET6
                           ? reinterpret_cast<sockaddr_in6 *>(&storage)->sin6_port
                           : reinterpret_cast<sockaddr_in *>(&storage)->sin_port);
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &Listener::acceptAll);
        return true;
    }

    quint16 port() const { return m_port; }
    QString errorString() const { return m_error; }
    void pause() { setEnabled(false); }
    void resume() { setEnabled(true); }
    void close()
    {
        delete m_notifier;
        m_notifier = nullptr;
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    static bool toSockaddr(const QHostAddress &address, quint16 port, sockaddr_storage *out,
                           socklen_t *length)
    {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            auto *v4 = reinterpret_cast<sockaddr_in *>(out);
            v4->sin_family = AF_INET;
            v4->sin_port = htons(port);
            v4->sin_addr.s_addr = htonl(address.toIPv4Address());
            *length = sizeof *v4;
            return true;
        }
        if (address.protocol() == QAbstractSocket::IPv6Protocol) {
            auto *v6 = reinterpret_cast<sockaddr_in6 *>(out);
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(port);
            const Q_IPV6ADDR bytes = address.toIPv6Address();
            memcpy(&v6->sin6_addr, bytes.c, 16);
            *length = sizeof *v6;
            return true;
        }
        return false;
    }

    bool fail(int error)
    {
        m_error = QString::fromLocal8Bit(strerror(error));
        close();
        return false;
    }

    void setEnabled(bool on)
    {
        if (m_notifier)
            m_notifier->setEnabled(on);
    }

    void acceptAll()
    {
        while (m_notifier && m_notifier->isEnabled()) {
            const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                m_server->dispatch(fd);
                continue;
            }
            const int error = errno;
            if (error == EINTR || error == ECONNABORTED)
                continue;
            if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                m_error = QString::fromLocal8Bit(strerror(error));
                m_server->onAcceptError();
            }
            return; // EAGAIN: nothing more waits
        }
    }

    HttpServer *m_server;
    int m_fd = -1;
    quint16 m_port = 0;
    QSocketNotifier *m_notifier = nullptr;
    QString m_error;
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
    const HttpResponse r = HttpResponse::refusal(503, "too many connections at once");
    const QByteArray out = r.head(r.body.size(), false) + r.body;
    [[maybe_unused]] const ssize_t sent =
        ::send(int(descriptor), out.constData(), size_t(out.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
    ::close(int(descriptor));
}

// Connections above the cap while those closed to make room for them are on their way out.
int capSlack(int maxConnections)
{
    return qMax(8, maxConnections / 8);
}

} // namespace

HttpServer::HttpServer(Handler handler, HttpLimits limits, QObject *parent)
    : QObject(parent), m_handler(std::move(handler)), m_limits(std::move(limits)),
      m_shared(std::make_unique<HttpShared>()), m_listener(new Listener(this))
{
    for (int i = 0; i < qMax(1, m_limits.threads); ++i) {
        auto *thread = new QThread(this);
        auto *context = new QObject;
        context->moveToThread(thread);
        connect(thread, &QThread::finished, context, &QObject::deleteLater);
        // Uploads are hashed on these threads.
        connect(thread, &QThread::finished, thread, &tavrel::releaseThreadCrypto,
                Qt::DirectConnection);
        thread->setObjectName(QStringLiteral("catalogd-io-%1").arg(i));
        thread->start();
        m_threads.append(thread);
        m_contexts.append(context);
    }
}

HttpServer::~HttpServer()
{
    dropPending();
    // Connections end on their own threads, before those stop.
    for (QObject *context : std::as_const(m_contexts)) {
        QMetaObject::invokeMethod(
            context, [context] { qDeleteAll(context->children()); }, Qt::BlockingQueuedConnection);
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
    return m_listener->port();
}

QString HttpServer::errorString() const
{
    return m_listener->errorString();
}

void HttpServer::dispatch(qintptr descriptor)
{
    m_acceptFailing = false;
    const QHostAddress peer = peerOf(descriptor);
    const QByteArray key = FailureLimiter::peerKey(peer);
    // A trusted proxy carries many clients over its connections: its own limits apply there.
    const bool counted = !isTrustedProxy(peer, m_limits.trustedProxies);
    if (m_stopping || (counted && !m_shared->take(m_shared->connectionsPerPeer, key,
                                                  m_limits.maxConnectionsPerPeer))) {
        if (!m_stopping)
            Metrics::instance().countRefusal(Metrics::Refusal::ConnectionsPerPeer);
        refuse(descriptor);
        return;
    }
    // At the cap, the connection that has waited longest for a request head makes room: a
    // crowd of slow or silent clients cannot keep a new one out. Whoever is being answered or
    // sends a body is never closed for this; with nobody to close, this one waits here until
    // a connection ends or starts waiting, and the rest in the system's queue.
    if (m_shared->connections >= m_limits.maxConnections && !closeLongestWaiting()) {
        m_pending = Pending{descriptor, key, counted};
        waitForRoom();
        return;
    }
    start(Pending{descriptor, key, counted});
}

void HttpServer::start(const Pending &accepted)
{
    ++m_shared->connections;
    // Those closed to make room are on their way out: accepting waits for them past a point.
    if (m_shared->connections >= m_limits.maxConnections + capSlack(m_limits.maxConnections))
        pauseAtCap();
    QObject *context = m_contexts.at(m_next++ % m_contexts.size());
    QMetaObject::invokeMethod(context, [accepted, this, context] {
        auto *connection =
            new HttpConnection(accepted.descriptor, this, accepted.peerKey, accepted.counted);
        connection->setParent(context);
    });
}

void HttpServer::pauseAtCap()
{
    m_listener->pause();
    m_shared->pausedAtCap = true;
}

// A connection that started waiting just before the pause would not have called for us.
void HttpServer::waitForRoom()
{
    pauseAtCap();
    QMutexLocker lock(&m_shared->mutex);
    if (!m_shared->waiting.empty() && m_shared->pausedAtCap.exchange(false))
        QMetaObject::invokeMethod(
            this, [this] { resumeAccepting(); }, Qt::QueuedConnection);
}

void HttpServer::dropPending()
{
    if (!m_pending)
        return;
    if (m_pending->counted)
        m_shared->give(m_shared->connectionsPerPeer, m_pending->peerKey);
    ::close(int(m_pending->descriptor));
    m_pending.reset();
}

bool HttpServer::closeLongestWaiting()
{
    {
        QMutexLocker lock(&m_shared->mutex);
        if (m_shared->waiting.empty())
            return false;
        const auto first = m_shared->waiting.begin();
        HttpConnection *connection = first->second;
        m_shared->waiting.erase(first);
        // Posted under the lock: a connection leaves the table under it before it is
        // destroyed, so it is alive here.
        QMetaObject::invokeMethod(connection, [connection] { connection->closeIfWaiting(); });
    }
    if (!m_lastMadeRoom.isValid() || m_lastMadeRoom.elapsed() > 10000) // once per burst
        qCWarning(lcServer,
                  "connections at the cap (%d): closing those that wait longest for a request",
                  m_limits.maxConnections);
    m_lastMadeRoom.start();
    return true;
}

void HttpServer::connectionWaiting()
{
    if (m_shared->pausedAtCap.exchange(false))
        QMetaObject::invokeMethod(this, [this] { resumeAccepting(); });
}

void HttpServer::stayedOpen()
{
    QMetaObject::invokeMethod(this, [this] { resumeAccepting(); });
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
    m_listener->pause();
    if (m_resumeScheduled)
        return;
    if (!m_acceptFailing) // once until an accept works again
        qCWarning(lcServer, "cannot accept a connection (%s): paused for a moment",
                  qPrintable(m_listener->errorString()));
    m_acceptFailing = true;
    if (closeLongestWaiting())
        return; // accepting resumes when it has closed
    m_resumeScheduled = true;
    QTimer::singleShot(250, this, [this] {
        m_resumeScheduled = false;
        resumeAccepting();
    });
}

void HttpServer::resumeAccepting()
{
    if (m_stopping || m_resumeScheduled)
        return;
    if (m_pending) {
        if (m_shared->connections >= m_limits.maxConnections && !closeLongestWaiting()) {
            waitForRoom();
            return;
        }
        start(*std::exchange(m_pending, std::nullopt));
    }
    if (m_shared->connections < m_limits.maxConnections + capSlack(m_limits.maxConnections))
        m_listener->resume();
    else
        pauseAtCap();
}

void HttpServer::stop(int graceMs)
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_listener->close();
    dropPending();
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
