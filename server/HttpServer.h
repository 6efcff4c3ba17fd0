#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QUrlQuery>

#include <functional>
#include <memory>
#include <optional>

class QTemporaryFile;
class QThread;
struct HttpShared;
class Listener;

// A multipart/form-data body as it was read: the small parts in memory, the file on disk.
struct UploadForm
{
    bool ok = false;
    QString error;                  // why the body is malformed
    QHash<QString, QString> fields; // first part of each name, up to 4096 bytes, without files
    bool hasFile = false;           // a part named "file" with a file name
    QString fileName;
    qint64 fileSize = 0;
    QByteArray sha256; // of the file, hashed as it arrived
    std::shared_ptr<QTemporaryFile> file; // its content, in the spool folder
};

struct HttpRequest
{
    QByteArray method;
    QByteArray target; // as sent, still percent-encoded
    QString path;      // decoded
    QByteArray rawQuery;
    QUrlQuery query;
    QHash<QByteArray, QByteArray> headers;  // names in lower case
    QByteArray body;                        // a small body that is no form
    std::shared_ptr<const UploadForm> form; // a multipart/form-data body
    qint64 bodySize = 0;
    bool bodyTooLarge = false; // the body was announced over the limit and was not read
    QHostAddress peer;         // the client: behind a trusted proxy, the address it forwards

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
    // A refusal that ends the connection: the status and a one-line reason.
    static HttpResponse refusal(int status, const QByteArray &why);

    // The status line and header block, for a body of `length` bytes. Every answer's head is
    // written here.
    QByteArray head(qint64 length, bool keepAlive) const;
};

// Hands the answer to a request back to its connection, once, from any thread. Further
// requests of that connection wait for it, so answers keep their order.
using HttpReply = std::function<void(HttpResponse)>;

struct HttpLimits
{
    int maxHeaderBytes = 16 * 1024;
    int maxRequestLine = 8 * 1024;
    qint64 maxBodyBytes = 64 * 1024 * 1024;
    qint64 memoryBodyBytes = 256 * 1024; // bodies that are no form, kept up to this size
    qint64 rateLimit = 0;                // bytes per second for file bodies, 0 for none
    int idleTimeoutMs = 60 * 1000;
    int headTimeoutMs = 10 * 1000; // for a whole request head, from its first byte
    qint64 minBodyRate = 1024;     // bytes per second, averaged over the body so far
    int bodyGraceMs = 10 * 1000;   // before the body rate counts
    int maxConnections = 1024;
    int maxConnectionsPerPeer = 32;
    qint64 connectionBacklog = 1024 * 1024;    // unsent answer bytes of one connection
    qint64 maxUnsentBytes = 64 * 1024 * 1024;  // across all connections
    qint64 maxSpoolBytes = 1024 * 1024 * 1024; // form files being received, all together
    int threads = 2;                           // threads that serve connections
    QList<QHostAddress> trustedProxies;        // whose X-Forwarded-For names the client
    QString spoolDir; // where uploaded files wait; the system temp folder when empty
};

// A small HTTP/1.1 server: keep-alive, pipelining, form files received straight to disk, files
// streamed with bounded memory, a defined answer for every malformed request, and limits on
// what one client can hold. Connections are shared out over a few threads; the handler runs
// on the thread of the request's connection.
class HttpServer : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<void(const HttpRequest &, const HttpReply &)>;

    HttpServer(Handler handler, HttpLimits limits, QObject *parent = nullptr);
    ~HttpServer() override;

    bool listen(const QHostAddress &address, quint16 port);
    quint16 serverPort() const;
    QString errorString() const;

    // Stops accepting, lets every connection finish the answer in flight, then emits stopped()
    // (at the latest after `graceMs`).
    void stop(int graceMs);

    // Before the event loop runs.
    void setSpoolDir(const QString &dir) { m_limits.spoolDir = dir; }

    const HttpLimits &limits() const { return m_limits; }
    const Handler &handler() const { return m_handler; }
    HttpShared &shared() const { return *m_shared; }

    // Called by connections when they end, and when they start waiting for a request head
    // (from their own threads).
    void connectionClosed(const QByteArray &peerKey, bool counted);
    void connectionWaiting();
    void stayedOpen(); // asked to make room, but its request head had come meanwhile

signals:
    void stopped();

private:
    struct Pending
    {
        qintptr descriptor;
        QByteArray peerKey;
        bool counted;
    };

    void dispatch(qintptr descriptor);
    void start(const Pending &accepted);
    bool closeLongestWaiting();
    void pauseAtCap();
    void waitForRoom();
    void dropPending();
    void onAcceptError();
    void resumeAccepting();
    void checkStopped();

    Handler m_handler;
    HttpLimits m_limits;
    std::unique_ptr<HttpShared> m_shared;
    Listener *m_listener = nullptr;
    QList<QThread *> m_threads;
    QList<QObject *> m_contexts; // one per thread, to reach it
    int m_next = 0;
    bool m_stopping = false;
    bool m_resumeScheduled = false;
    bool m_acceptFailing = false;
    std::optional<Pending> m_pending; // accepted at the cap, waiting for room
    QElapsedTimer m_lastMadeRoom;     // when a waiting connection was last closed for a new one
    friend class Listener;
};
