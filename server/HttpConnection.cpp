#include "HttpConnection.h"

#include "AccessLog.h"
#include "FailureLimiter.h"
#include "HttpShared.h"
#include "Log.h"
#include "Metrics.h"
#include "Multipart.h"

#include "core/Sha256.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QThread>

#include <sys/socket.h>

namespace {

constexpr qint64 ReadBufferBytes = 64 * 1024; // what a socket holds of what we have not read
constexpr qint64 StreamChunk = 256 * 1024;
constexpr qsizetype FieldLimit = 4096;
constexpr int RequestsPerPass = 16;

} // namespace

// Receives a form as it arrives: small parts into memory, the file part into the spool folder.
class FormReceiver : public Multipart::Sink
{
public:
    FormReceiver(const QByteArray &boundary, const QString &spoolDir)
        : m_reader(boundary), m_spoolDir(spoolDir), m_form(std::make_shared<UploadForm>())
    {}

    bool feed(QByteArrayView piece) { return m_reader.feed(piece, *this) && m_writeOk; }

    std::shared_ptr<UploadForm> finish()
    {
        m_form->ok = m_reader.finish() && m_writeOk;
        m_form->error = m_writeOk ? m_reader.error() : QStringLiteral("cannot store the file");
        if (m_form->ok && m_form->file && !m_form->file->flush()) {
            m_form->ok = false;
            m_form->error = QStringLiteral("cannot store the file");
        }
        if (m_form->hasFile)
            m_form->sha256 = m_fileHash.result();
        return m_form;
    }

    void partBegins(const QString &name, const std::optional<QString> &fileName) override
    {
        m_target = Target::None;
        m_value.clear();
        m_name = name;
        if (fileName && name == u"file" && !m_form->hasFile) {
            m_form->hasFile = true;
            m_form->fileName = *fileName;
            m_form->file = std::make_shared<QTemporaryFile>(
                QDir(m_spoolDir).filePath(QStringLiteral("upload-XXXXXX")));
            m_writeOk = m_form->file->open();
            m_target = Target::File;
        } else if (!fileName && !m_form->fields.contains(name)) {
            m_target = Target::Field;
        }
    }

    void partData(qint64, QByteArrayView data) override
    {
        if (m_target == Target::File && m_writeOk) {
            m_writeOk = m_form->file->write(data.data(), data.size()) == data.size();
            m_form->fileSize += data.size();
            m_fileHash.add(data); // the digest clients check comes with the file, no second pass
        } else if (m_target == Target::Field && m_value.size() <= FieldLimit) {
            m_value.append(data.first(qMin(data.size(), FieldLimit + 1 - m_value.size())));
        }
    }

    void partEnds() override
    {
        // A field over its limit is left out, as if it had not been sent.
        if (m_target == Target::Field && m_value.size() <= FieldLimit)
            m_form->fields.insert(m_name, QString::fromUtf8(m_value).trimmed());
        m_target = Target::None;
    }

private:
    enum class Target { None, Field, File };

    Multipart::Reader m_reader;
    QString m_spoolDir;
    std::shared_ptr<UploadForm> m_form;
    Target m_target = Target::None;
    QString m_name;
    QByteArray m_value;
    tavrel::Sha256 m_fileHash;
    bool m_writeOk = true;
};

HttpConnection::HttpConnection(qintptr descriptor, HttpServer *server, const QByteArray &peerKey,
                               bool counted)
    : m_socket(new QTcpSocket(this)), m_server(server), m_limits(server->limits()),
      m_shared(server->shared()), m_headLimits{m_limits.maxRequestLine, m_limits.maxHeaderBytes},
      m_peerKey(peerKey), m_counted(counted)
{
    m_socket->setSocketDescriptor(descriptor);
    m_socket->setReadBufferSize(ReadBufferBytes);
    m_idle.setSingleShot(true);
    m_idle.setInterval(m_limits.idleTimeoutMs);
    connect(&m_idle, &QTimer::timeout, this, [this] { m_socket->abort(); });
    m_watch.setInterval(250);
    connect(&m_watch, &QTimer::timeout, this, &HttpConnection::checkDeadlines);
    connect(m_socket, &QTcpSocket::readyRead, this, &HttpConnection::onReadyRead);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &HttpConnection::onBytesWritten);
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
    // A new connection has its head deadline from the start: one that stays silent is no
    // cheaper to hold than one that trickles.
    m_headClock.start();
    m_watch.start();
    startWaiting();
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        deleteLater();
    else if (m_socket->bytesAvailable() > 0)
        onReadyRead();
}

HttpConnection::~HttpConnection()
{
    stopWaiting(); // first: the server may post to a waiting connection until it is out
    releaseUpload();
    m_shared.unsentBytes -= m_unsent;
    m_server->connectionClosed(m_peerKey, m_counted);
}

void HttpConnection::releaseUpload()
{
    if (!m_uploadPeer.isEmpty())
        m_shared.give(m_shared.uploadsPerPeer, m_uploadPeer);
    m_uploadPeer.clear();
    m_shared.spooledBytes -= m_spoolReserved;
    m_spoolReserved = 0;
}

void HttpConnection::finishAndClose()
{
    m_draining = true;
    m_keepAlive = false;
    if (m_state == State::Head && m_buffer.isEmpty() && m_socket->bytesAvailable() == 0) {
        m_state = State::Closing;
        if (m_unsent == 0)
            closeGracefully();
    }
}

void HttpConnection::startWaiting()
{
    if (!m_waitKey) {
        m_waitKey = m_shared.startWaiting(this);
        m_server->connectionWaiting();
    }
}

void HttpConnection::stopWaiting()
{
    if (m_waitKey)
        m_shared.stopWaiting(*m_waitKey);
    m_waitKey.reset();
}

void HttpConnection::closeIfWaiting()
{
    m_waitKey.reset(); // the server took it out of the table
    const quint64 serial = m_serial;
    if (m_state == State::Head)
        process(); // a head that has come is read first
    if (m_state != State::Head || m_serial != serial || m_unsent > 0 ||
        m_buffer.contains("\r\n\r\n")) {
        m_server->stayedOpen();
        return;
    }
    Metrics::instance().countRefusal(Metrics::Refusal::ClosedForRoom);
    m_state = State::Closing;
    m_socket->abort();
}

void HttpConnection::write(const QByteArray &bytes)
{
    m_unsent += bytes.size();
    m_shared.unsentBytes += bytes.size();
    m_socket->write(bytes);
}

void HttpConnection::onBytesWritten(qint64 n)
{
    m_unsent -= n;
    m_shared.unsentBytes -= n;
    if (m_unsent == 0 && m_state == State::Head)
        startWaiting(); // its last answer is out: idle from here
    pump();
}

void HttpConnection::onReadyRead()
{
    if (m_state == State::Closing) {
        m_socket->readAll(); // drained so that closing does not reset the answer away
        return;
    }
    process();
}

// Takes what has arrived, but only while a request is being read: the rest waits in the
// socket, whose buffer is bounded, so a client that sends without reading holds back itself.
void HttpConnection::pull()
{
    if (m_state != State::Head && m_state != State::Body)
        return;
    if (m_state == State::Head && m_buffer.size() >= m_limits.maxHeaderBytes + 4)
        return;
    const QByteArray more = m_socket->readAll();
    if (more.isEmpty())
        return;
    m_idle.start();
    m_buffer += more;
}

// A new request starts only while this connection's answers are being taken: an answer of its
// own still unsent, with too much unsent everywhere, makes it wait.
bool HttpConnection::mayStartRequest() const
{
    if (m_unsent == 0)
        return true;
    return m_unsent < m_limits.connectionBacklog &&
           m_shared.unsentBytes.load() < m_limits.maxUnsentBytes;
}

// Reads and answers the requests that have arrived. A pass answers a few pipelined requests
// and then lets the thread's other connections have their turn.
void HttpConnection::process()
{
    int answered = 0;
    while (m_state == State::Head || m_state == State::Body) {
        if (m_state == State::Head) {
            if (!mayStartRequest())
                return;
            if (++answered > RequestsPerPass) {
                if (!m_resumeQueued) {
                    m_resumeQueued = true;
                    QMetaObject::invokeMethod(
                        this,
                        [this] {
                            m_resumeQueued = false;
                            process();
                        },
                        Qt::QueuedConnection);
                }
                return;
            }
            pull();
            if (!readHead())
                return;
        }
        if (m_state == State::Body) {
            pull();
            if (!readBody())
                return;
        }
    }
}

bool HttpConnection::readHead()
{
    const HeadParse parsed = parseRequestHead(m_buffer, m_headLimits);
    if (parsed.state == HeadParse::Failed) {
        fail(parsed.status, parsed.reason);
        return false;
    }
    m_buffer.remove(0, parsed.consumed);
    if (parsed.state == HeadParse::NeedMore) {
        // The deadline runs from the first byte of the head; blank lines begin nothing.
        if (!m_buffer.isEmpty() && !m_headClock.isValid()) {
            m_headClock.start();
            m_watch.start();
        }
        return false;
    }
    m_headClock.invalidate();
    m_watch.stop();
    stopWaiting();
    if (!startRequest(parsed.head))
        return false;
    return acceptBody();
}

bool HttpConnection::startRequest(const RequestHead &head)
{
    m_request = HttpRequest();
    const auto forwarded = head.headers.constFind("x-forwarded-for");
    const std::optional<QHostAddress> client =
        clientAddress(m_socket->peerAddress(),
                      forwarded == head.headers.cend() ? std::nullopt : std::optional(*forwarded),
                      m_limits.trustedProxies);
    if (!client) {
        // Charged to no one: neither the proxy nor a made-up client.
        fail(400, "malformed X-Forwarded-For from the proxy");
        return false;
    }
    m_request.peer = *client;
    m_request.method = head.method;
    m_request.target = head.target;
    m_request.path = head.path;
    m_request.rawQuery = head.rawQuery;
    m_request.query.setQuery(QString::fromUtf8(head.rawQuery));
    m_request.headers = head.headers;
    m_request.bodySize = head.contentLength;
    m_version = head.version;
    m_answerClock.start();
    m_keepAlive = head.keepAlive && !m_draining;
    m_bodyLeft = head.contentLength;
    m_bodyRead = 0;
    return true;
}

// Decides where the announced body goes: refused unread, read as a form, kept or dropped.
bool HttpConnection::acceptBody()
{
    if (m_bodyLeft > m_limits.maxBodyBytes) {
        // Answer at once without reading the body; the connection cannot be reused.
        m_request.bodyTooLarge = true;
        m_keepAlive = false;
        m_bodyLeft = 0;
        handle();
        return false;
    }
    const QByteArray boundary = Multipart::boundaryOf(m_request.header("content-type"));
    if (m_bodyLeft > 0 && m_request.method == "POST" && !boundary.isEmpty() &&
        !acceptForm(boundary))
        return false;
    if (m_bodyLeft > 0 && m_request.header("expect").toLower() == "100-continue")
        write("HTTP/1.1 100 Continue\r\n\r\n");
    m_state = State::Body;
    m_bodyClock.start();
    m_watch.start();
    return true;
}

// A form body takes room in the spool and one of the peer's upload places before it is read.
bool HttpConnection::acceptForm(const QByteArray &boundary)
{
    const QByteArray peer = FailureLimiter::peerKey(m_request.peer);
    if (!m_shared.take(m_shared.uploadsPerPeer, peer, 1)) {
        Metrics::instance().countRefusal(Metrics::Refusal::UploadsPerPeer);
        fail(429, "one upload at a time from one address");
        return false;
    }
    m_uploadPeer = peer;
    if (!m_shared.reserveSpool(m_bodyLeft, m_limits.maxSpoolBytes)) {
        releaseUpload();
        Metrics::instance().countRefusal(Metrics::Refusal::Spool);
        qCWarning(lcServer, "spool full: an upload of %lld bytes was refused",
                  static_cast<long long>(m_bodyLeft));
        fail(503, "too many uploads at once; try again later");
        return false;
    }
    m_spoolReserved = m_bodyLeft;
    const QString dir = m_limits.spoolDir.isEmpty() ? QDir::tempPath() : m_limits.spoolDir;
    m_form = std::make_unique<FormReceiver>(boundary, dir);
    return true;
}

bool HttpConnection::readBody()
{
    const qint64 take = qMin<qint64>(m_bodyLeft, m_buffer.size());
    if (take > 0) {
        const QByteArrayView piece(m_buffer.constData(), take);
        if (m_form)
            m_form->feed(piece);
        else if (m_request.body.size() + take <= m_limits.memoryBodyBytes)
            m_request.body.append(piece.data(), piece.size());
        m_buffer.remove(0, take);
        m_bodyLeft -= take;
        m_bodyRead += take;
    }
    if (m_bodyLeft > 0)
        return false;
    return finishBody();
}

bool HttpConnection::finishBody()
{
    m_watch.stop();
    m_bodyClock.invalidate();
    if (m_form) {
        m_request.form = m_form->finish();
        m_form.reset();
    }
    handle();
    return m_state == State::Head;
}

void HttpConnection::handle()
{
    m_state = State::Waiting;
    const quint64 serial = ++m_serial;
    // The thread's context object outlives every connection on it, so an answer from another
    // thread can always be posted there; the connection may be gone by the time it arrives.
    QPointer<HttpConnection> self(this);
    QObject *home = parent();
    const HttpReply reply = [self, serial, home](HttpResponse response) {
        auto deliver = [self, serial](HttpResponse r) {
            if (self && self->m_serial == serial)
                self->deliver(std::move(r));
        };
        if (QThread::currentThread() == home->thread())
            deliver(std::move(response));
        else
            QMetaObject::invokeMethod(
                home, [deliver, r = std::move(response)]() mutable { deliver(std::move(r)); },
                Qt::QueuedConnection);
    };
    m_inHandler = true;
    m_server->handler()(m_request, reply);
    m_inHandler = false;
}

void HttpConnection::deliver(HttpResponse response)
{
    if (m_state != State::Waiting)
        return;
    ++m_serial; // a second answer to the same request is dropped
    releaseUpload();
    respond(std::move(response));
    if (!m_inHandler && m_state == State::Head)
        process();
}

void HttpConnection::respond(HttpResponse response)
{
    const bool head = m_request.method == "HEAD";
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

    QByteArray out = response.head(length, m_keepAlive);
    if (!head && response.filePath.isEmpty())
        out += response.body;
    write(out);
    m_request.form.reset(); // an upload's spooled file, if the handler did not keep it

    if (m_file && !head && length > 0) {
        startStreaming(length);
        return;
    }
    m_file.reset();
    finishResponse();
}

void HttpConnection::startStreaming(qint64 length)
{
    m_fileLeft = length;
    m_state = State::Streaming;
    if (m_limits.rateLimit > 0) {
        m_tokens = qMax<qint64>(1, m_limits.rateLimit / 10);
        m_rateTimer.start();
    }
    pump();
}

void HttpConnection::pump()
{
    m_idle.start();
    if (m_state == State::Closing) {
        if (m_unsent == 0)
            closeGracefully();
        return;
    }
    if (m_state == State::Head) {
        process();
        return;
    }
    if (m_state != State::Streaming)
        return;
    while (m_fileLeft > 0 && m_socket->bytesToWrite() < 2 * StreamChunk) {
        qint64 want = qMin(StreamChunk, m_fileLeft);
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
        write(QByteArray(m_chunk.constData(), got));
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

void HttpConnection::finishResponse()
{
    if (m_keepAlive) {
        m_state = State::Head;
        if (m_unsent == 0)
            startWaiting(); // idle from here; else once its answer is out
        return;
    }
    m_state = State::Closing;
    if (m_unsent == 0)
        closeGracefully();
}

// Ends our side and keeps reading for a moment: closing with unread request bytes would reset
// the connection and the client could lose the answer (an upload refused early).
void HttpConnection::closeGracefully()
{
    if (m_shutDown)
        return;
    m_shutDown = true;
    ::shutdown(int(m_socket->socketDescriptor()), SHUT_WR);
    m_socket->readAll();
    QTimer::singleShot(2000, this, [this] { m_socket->abort(); });
}

void HttpConnection::fail(int status, const QByteArray &why)
{
    m_watch.stop();
    m_form.reset();
    releaseUpload();
    stopWaiting();
    m_keepAlive = false;
    m_buffer.clear();
    const HttpResponse r = HttpResponse::refusal(status, why);
    AccessLog::Entry entry;
    entry.client = m_socket->peerAddress();
    entry.status = status;
    entry.bytes = r.body.size();
    entry.reason = why;
    AccessLog::instance().write(entry);
    Metrics::instance().countRequest(Metrics::Route::Other, status, 0);
    write(r.head(r.body.size(), false) + r.body);
    m_state = State::Closing;
    pump();
}

// A request head must arrive whole in time, and a body at a minimum rate.
void HttpConnection::checkDeadlines()
{
    if (m_state == State::Head && m_headClock.isValid() &&
        m_headClock.elapsed() > m_limits.headTimeoutMs) {
        if (m_serial == 0 && m_buffer.isEmpty() && m_socket->bytesAvailable() == 0) {
            m_socket->abort(); // it never said a word: no answer either
            return;
        }
        fail(408, "request head not received in time");
        return;
    }
    if (m_state != State::Body || !m_bodyClock.isValid() || m_limits.minBodyRate <= 0)
        return;
    const qint64 elapsed = m_bodyClock.elapsed();
    if (elapsed > m_limits.bodyGraceMs && m_bodyRead * 1000 < m_limits.minBodyRate * elapsed)
        fail(408, "request body arrives too slowly");
}

void HttpConnection::log(const HttpResponse &response, qint64 length)
{
    AccessLog::Entry entry;
    entry.client = m_request.peer;
    entry.method = m_request.method;
    entry.target = response.logTarget.isEmpty() ? m_request.target : response.logTarget;
    entry.version = m_version;
    entry.status = response.status;
    entry.bytes = m_request.method == "HEAD" ? 0 : length;
    entry.referer = m_request.header("referer");
    entry.userAgent = m_request.header("user-agent");
    entry.micros = m_answerClock.isValid() ? m_answerClock.nsecsElapsed() / 1000 : 0;
    AccessLog::instance().write(entry);
    Metrics::instance().countRequest(Metrics::routeOf(m_request.path), entry.status, entry.micros);
}
