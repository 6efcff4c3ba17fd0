#include "FaultServer.h"

#include "core/HttpStatus.h"

#include <QDateTime>
#include <QHostAddress>
#include <QFile>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <utility>

#ifdef Q_OS_UNIX
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/sockios.h>
#endif

namespace {

constexpr qint64 kChunk = 64 * 1024;      // bytes handed to the socket at a time
constexpr qint64 kHighWater = 256 * 1024; // stop writing while this much is still queued
constexpr qsizetype kMaxHead = 64 * 1024; // a request head larger than this is dropped

QString pathOf(const QString &target)
{
    QString path = target.section(QLatin1Char('?'), 0, 0);
    if (!path.startsWith(QLatin1Char('/')))
        path.prepend(QLatin1Char('/'));
    return path;
}

} // namespace

// One accepted connection: reads one request head, answers it as scripted and closes.
// It is a child of its socket, so it goes away with it.
class FaultServer::Connection : public QObject
{
public:
    Connection(FaultServer *server, QTcpSocket *socket)
        : QObject(socket), m_server(server), m_socket(socket)
    {
        ++m_server->m_open;
        connect(socket, &QTcpSocket::readyRead, this, [this] { onReadyRead(); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this] { pump(); });
        connect(socket, &QTcpSocket::disconnected, this, [this] {
            useCut(); // a stalled answer is over when the client gives up on it
            m_socket->deleteLater();
        });
        onReadyRead();
    }
    ~Connection() override { --m_server->m_open; }

private:
    enum class Ending { Close, Reset, Stay };

    void onReadyRead()
    {
        const QByteArray data = m_socket->readAll();
        if (m_answered)
            return; // one request per connection; anything after it is ignored
        m_inbox += data;
        qsizetype end = m_inbox.indexOf("\r\n\r\n");
        if (end < 0)
            end = m_inbox.indexOf("\n\n");
        if (end < 0) {
            if (m_inbox.size() > kMaxHead)
                m_socket->abort();
            return;
        }
        m_answered = true;
        const QByteArray head = m_inbox.left(end);
        const qsizetype lineEnd = m_inbox.indexOf('\n');
        const QList<QByteArray> parts = m_inbox.left(lineEnd).trimmed().split(' ');
        const QString target = parts.size() >= 2 ? QString::fromLatin1(parts.at(1)) : QString();
        m_server->m_requests.append(target);
        m_server->m_heads.append(
            head + "\r\nX-Peer: " + QByteArray::number(m_socket->peerPort()) +
            " t=" + QByteArray::number(QDateTime::currentMSecsSinceEpoch() % 100000));
        m_reply = m_server->replyFor(target);
        m_path = pathOf(target);
        place(head);
        // A test may react to the signal by dropping the server and with it this connection.
        QPointer<Connection> alive(this);
        Q_EMIT m_server->requestReceived(target);
        if (!alive)
            return;
        if (m_reply.fault == Fault::Hold && !m_server->m_released) {
            connect(m_server, &FaultServer::released, this, [this] { start(); });
            return;
        }
        if (m_reply.delayMs > 0)
            QTimer::singleShot(m_reply.delayMs, this, [this] { start(); });
        else
            start();
    }

    // The value of a header line of the request head, or empty.
    static QByteArray headerValue(const QByteArray &head, const QByteArray &name)
    {
        for (const QByteArray &line : head.split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().toLower() == name)
                return line.mid(colon + 1).trimmed();
        }
        return {};
    }

    // Turns the scripted reply into this connection's answer: the part of the file a range asks
    // for, and the cut it stops at.
    void place(const QByteArray &head)
    {
        const qint64 size = m_reply.body.size();
        qint64 from = 0;
        const QByteArray range = headerValue(head, "range");
        const QByteArray ifRange = headerValue(head, "if-range");
        QByteArray validator = m_reply.etag;
        for (const auto &[name, value] : std::as_const(m_reply.headers)) {
            if (validator.isEmpty() && name.toLower() == "last-modified")
                validator = value;
        }
        if (m_reply.ranges && m_reply.status == 200 && range.startsWith("bytes=") &&
            range.endsWith('-') && (ifRange.isEmpty() || ifRange == validator)) {
            bool ok = false;
            const qint64 first = range.mid(6, range.size() - 7).toLongLong(&ok);
            if (ok && first >= 0 && first < size) {
                from = first;
                m_reply.status = 206;
                m_reply.headers.append(
                    {"Content-Range", "bytes " + QByteArray::number(first + m_reply.rangeShift) +
                                          '-' + QByteArray::number(size - 1) + '/' +
                                          QByteArray::number(size)});
                // The rest, without a copy (a benchmark serves hundreds of MiB).
                m_whole = m_reply.body;
                m_reply.body = QByteArray::fromRawData(m_whole.constData() + first, size - first);
            }
        }
        if (!m_reply.etag.isEmpty())
            m_reply.headers.append({"ETag", m_reply.etag});
        if (m_reply.cuts.isEmpty())
            return;
        QList<bool> &used = m_server->m_usedCuts[m_path];
        used.resize(m_reply.cuts.size());
        for (qsizetype k = 0; k < m_reply.cuts.size(); ++k) {
            if (!used.at(k) && m_reply.cuts.at(k) >= from &&
                !(m_reply.rangeRequestsUncut && !range.isEmpty())) {
                m_cut = k;
                m_reply.cutAt = m_reply.cuts.at(k) - from;
                return;
            }
        }
        m_reply.fault = Fault::None;
    }

    // This connection ends at its cut: the cut is used up.
    void useCut()
    {
        if (m_cut < 0)
            return;
        QList<bool> &used = m_server->m_usedCuts[m_path];
        if (m_cut < used.size())
            used[m_cut] = true;
        m_cut = -1;
    }

    void start()
    {
        if (m_reply.fault == Fault::Silence)
            return; // keep the connection open and never answer

        QByteArray head = "HTTP/1.1 " + QByteArray::number(m_reply.status) + ' ' +
                          tavrel::httpReasonPhrase(m_reply.status) + "\r\n";
        if (!m_reply.contentType.isEmpty())
            head += "Content-Type: " + m_reply.contentType + "\r\n";
        for (const auto &[name, value] : m_reply.headers)
            head += name + ": " + value + "\r\n";
        const qint64 announced = announcedLength(m_reply);
        if (m_reply.fault == Fault::Endless)
            head += "Transfer-Encoding: chunked\r\n";
        else if (announced >= 0)
            head += "Content-Length: " + QByteArray::number(announced) + "\r\n";
        head += "Connection: close\r\n\r\n";

        qint64 bodyBytes = m_reply.body.size();
        if (m_reply.fault == Fault::CloseMidBody || m_reply.fault == Fault::Reset ||
            m_reply.fault == Fault::Stall) {
            bodyBytes = m_reply.cutAt < 0 ? m_reply.body.size() / 2
                                          : std::min<qint64>(m_reply.cutAt, m_reply.body.size());
        }
        m_ending = m_reply.fault == Fault::Reset   ? Ending::Reset
                   : m_reply.fault == Fault::Stall ? Ending::Stay
                                                   : Ending::Close;
        m_headSize = head.size();
        if (m_reply.fault == Fault::Endless) {
            const QByteArray piece =
                m_reply.body.isEmpty() ? QByteArray(16 * kChunk, 'x') : m_reply.body;
            m_chunk = QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
            bodyBytes = 0;
        }
        m_head = head;
        m_body = QByteArray::fromRawData(m_reply.body.constData(), bodyBytes);
        const qint64 total = m_headSize + bodyBytes;
        m_waitForCue = m_reply.cutOnCue && bodyBytes < m_reply.body.size() &&
                       (m_reply.fault == Fault::CloseMidBody || m_reply.fault == Fault::Reset);

        if (m_reply.fault == Fault::Drip) {
            m_limit = head.size();
            auto *timer = new QTimer(this);
            timer->setInterval(std::max(0, m_reply.dripIntervalMs));
            connect(timer, &QTimer::timeout, this, [this, timer, total] {
                m_limit = std::min<qint64>(m_limit + std::max(1, m_reply.dripBytes), total);
                if (m_limit == total)
                    timer->stop();
                pump();
            });
            timer->start();
        } else {
            m_limit = total;
        }
        m_started = true;
        pump();
    }

    void pump()
    {
        if (!m_started || m_finished || m_socket->state() != QAbstractSocket::ConnectedState)
            return;
        while (m_sent < m_limit && m_socket->bytesToWrite() < kHighWater) {
            const bool inHead = m_sent < m_headSize;
            const char *from = inHead ? m_head.constData() + m_sent
                                      : m_body.constData() + (m_sent - m_headSize);
            const qint64 n = std::min({kChunk, m_limit - m_sent,
                                       inHead ? m_headSize - m_sent : m_limit - m_sent});
            const qint64 written = m_socket->write(from, n);
            if (written <= 0)
                return;
            m_server->m_bodyBytes +=
                std::max<qint64>(0, m_sent + written - std::max(m_sent, m_headSize));
            m_sent += written;
        }
        if (!m_chunk.isEmpty()) {
            // Endless: the next chunk whenever the queue runs low, until the client gives up;
            // a deeper queue than for other replies, to send as fast as loopback takes it.
            while (m_sent == m_headSize + m_body.size() &&
                   m_socket->bytesToWrite() < 16 * kHighWater) {
                if (m_socket->write(m_chunk) != m_chunk.size())
                    return;
                m_server->m_bodyBytes += m_chunk.size();
            }
            return;
        }
        if (m_sent < m_headSize + m_body.size() || m_ending == Ending::Stay)
            return;
        if (m_waitForCue) {
            m_waitForCue = false;
            m_server->m_atCut.append(this);
            return;
        }
        // Close as soon as the last byte is queued, so the end of the stream travels right
        // behind the reply; a client must never find the connection still open and reuse it.
        if (m_ending == Ending::Close || m_socket->bytesToWrite() == 0)
            finish();
    }

public:
    void finish()
    {
        useCut();
        m_finished = true;
        if (m_ending == Ending::Close) {
            m_socket->disconnectFromHost(); // a plain FIN once everything queued has gone out
            return;
        }
        resetWhenSent(0);
    }

private:
    // A reset throws away whatever the kernel still holds unsent, so wait until the bytes
    // before the cut have left, then close with a zero linger: the peer sees an RST.
    void resetWhenSent(int attempts)
    {
#ifdef Q_OS_LINUX
        const qintptr fd = m_socket->socketDescriptor();
        int unsent = 0;
        if (fd >= 0 && attempts < 1000 && ::ioctl(int(fd), SIOCOUTQ, &unsent) == 0 && unsent > 0) {
            QTimer::singleShot(2, this, [this, attempts] { resetWhenSent(attempts + 1); });
            return;
        }
#else
        if (attempts == 0) {
            QTimer::singleShot(50, this, [this] { resetWhenSent(1); });
            return;
        }
#endif
#ifdef Q_OS_UNIX
        const qintptr sd = m_socket->socketDescriptor();
        if (sd >= 0) {
            linger hard{1, 0};
            ::setsockopt(int(sd), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
#endif
        m_socket->abort();
        m_socket->deleteLater();
    }

    FaultServer *m_server;
    QTcpSocket *m_socket;
    QByteArray m_inbox;
    Reply m_reply;
    QByteArray m_whole; // the reply's body when a range of it is sent
    QByteArray m_head;  // what this reply sends: its head, then these body bytes
    QByteArray m_body;
    QByteArray m_chunk; // Endless: the chunk sent over and over after them
    qint64 m_limit = 0; // how much of the two may be sent so far (grows while dripping)
    qint64 m_sent = 0;
    qint64 m_headSize = 0;
    Ending m_ending = Ending::Close;
    QString m_path;
    qsizetype m_cut = -1; // the cut this answer stops at
    bool m_answered = false;
    bool m_waitForCue = false;
    bool m_started = false;
    bool m_finished = false;
};

FaultServer::Reply FaultServer::ok(QByteArray body)
{
    Reply r;
    r.body = std::move(body);
    return r;
}

FaultServer::Reply FaultServer::silent()
{
    Reply r;
    r.fault = Fault::Silence;
    return r;
}

FaultServer::Reply FaultServer::status(int code, QByteArray body)
{
    Reply r;
    r.status = code;
    r.body = std::move(body);
    return r;
}

FaultServer::Reply FaultServer::redirect(const QString &location, int code)
{
    Reply r;
    r.status = code;
    r.headers.append({"Location", location.toUtf8()});
    return r;
}

FaultServer::Reply FaultServer::endless()
{
    Reply r;
    r.fault = Fault::Endless;
    return r;
}

namespace {

QByteArray tlsFixture(const QString &name)
{
    QFile file(QStringLiteral(TAVREL_TLS_FIXTURES "/") + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("FaultServer: cannot read %s", qPrintable(file.fileName()));
    return file.readAll();
}

} // namespace

// Encrypts every connection it accepts before the connection sees a byte.
class FaultServer::TlsListener : public QTcpServer
{
public:
    TlsListener(const QString &certificate, QObject *parent) : QTcpServer(parent)
    {
        m_config = QSslConfiguration::defaultConfiguration();
        m_config.setLocalCertificate(QSslCertificate(tlsFixture(certificate + ".pem")));
        m_config.setPrivateKey(QSslKey(tlsFixture(QStringLiteral("server.key")), QSsl::Ec));
        m_config.setPeerVerifyMode(QSslSocket::VerifyNone); // clients bring no certificate
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        // A client that refuses the certificate closes the connection, and it goes away as
        // any other that closes.
        socket->setSslConfiguration(m_config);
        socket->startServerEncryption();
        addPendingConnection(socket);
    }

private:
    QSslConfiguration m_config;
};

FaultServer::FaultServer(QObject *parent)
    : QObject(parent), m_server(new QTcpServer(this)), m_defaultReply(status(404, "not found"))
{
    listen();
}

FaultServer::FaultServer(const QString &certificate, QObject *parent)
    : QObject(parent), m_server(new TlsListener(certificate, this)), m_tls(true),
      m_defaultReply(status(404, "not found"))
{
    listen();
}

void FaultServer::listen()
{
    connect(m_server, &QTcpServer::newConnection, this, &FaultServer::accept);
    if (!m_server->listen(QHostAddress::LocalHost, 0))
        qWarning("FaultServer: cannot listen on loopback: %s", qPrintable(m_server->errorString()));
}

void FaultServer::trustTestAuthority()
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setCaCertificates({QSslCertificate(tlsFixture(QStringLiteral("authority.pem")))});
    QSslConfiguration::setDefaultConfiguration(config);
}

FaultServer::~FaultServer()
{
    // Sockets and their connections go first, while the counters they touch still exist.
    delete m_server;
}

quint16 FaultServer::port() const
{
    return m_server->serverPort();
}

QString FaultServer::baseUrl() const
{
    return QStringLiteral("%1://127.0.0.1:%2/")
        .arg(m_tls ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(port());
}

QString FaultServer::url(const QString &target) const
{
    return baseUrl() + (target.startsWith(QLatin1Char('/')) ? target.mid(1) : target);
}

void FaultServer::setReply(const QString &path, const Reply &reply)
{
    m_replies.insert(pathOf(path), {reply});
}

void FaultServer::setReplies(const QString &path, const QList<Reply> &replies)
{
    m_replies.insert(pathOf(path), replies);
}

void FaultServer::setDefaultReply(const Reply &reply)
{
    m_defaultReply = reply;
}

QStringList FaultServer::requests() const
{
    return m_requests;
}

QList<QByteArray> FaultServer::requestHeads() const
{
    return m_heads;
}

qint64 FaultServer::bytesSent() const
{
    return m_bodyBytes;
}

void FaultServer::endCuts()
{
    const QList<QPointer<Connection>> waiting = std::exchange(m_atCut, {});
    for (const QPointer<Connection> &connection : waiting) {
        if (connection)
            connection->finish();
    }
}

void FaultServer::release()
{
    m_released = true;
    Q_EMIT released();
}

int FaultServer::requestCount() const
{
    return int(m_requests.size());
}

void FaultServer::clearRequests()
{
    m_requests.clear();
    m_heads.clear();
    m_usedCuts.clear();
}

int FaultServer::openConnections() const
{
    return m_open;
}

qint64 FaultServer::announcedLength(const Reply &reply)
{
    const qint64 size = reply.body.size();
    switch (reply.length) {
    case Length::Exact:
        return size;
    case Length::Missing:
        return -1;
    case Length::Longer:
        return size + std::max<qint64>(1, size / 2);
    case Length::Shorter:
        return size / 2;
    }
    return size;
}

quint16 FaultServer::deadPort()
{
#ifdef Q_OS_UNIX
    // A socket bound but never listening: the kernel refuses connections to it, and as long as
    // it stays open nobody else can take the port.
    static const quint16 port = [] {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        socklen_t len = sizeof addr;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
            qFatal("FaultServer: cannot reserve a loopback port");
        }
        return quint16(ntohs(addr.sin_port));
    }();
    return port;
#else
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
#endif
}

void FaultServer::accept()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection())
        new Connection(this, socket);
}

FaultServer::Reply FaultServer::replyFor(const QString &target)
{
    const auto it = m_replies.find(pathOf(target));
    if (it == m_replies.end() || it->isEmpty())
        return m_defaultReply;
    return it->size() > 1 ? it->takeFirst() : it->first();
}
