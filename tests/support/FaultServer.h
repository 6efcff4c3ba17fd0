#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <utility>

class QTcpServer;
class QTcpSocket;

// A scripted HTTP/1.1 server on loopback for tests and benchmarks. Each path gets a canned
// reply (or one per request, in order), optionally broken on purpose: cut short, reset, never
// answered, stalled, dripped slowly or held until the test lets it go; it may honour range
// requests, and break one connection after another at given bytes.
// It lives on the thread that made it, so a blocking fetch that waits in a local event loop
// on that thread is still served. Every reply ends with the server closing the connection.
class FaultServer : public QObject
{
    Q_OBJECT
public:
    // Stall: the body up to the cut, then nothing more on an open connection. Hold: nothing until
    // release() is called, then the reply as if it had no fault. Endless: a chunked body of the
    // reply's bytes over and over, as fast as the client takes them, never ending.
    enum class Fault { None, CloseMidBody, Reset, Silence, Drip, Stall, Hold, Endless };
    enum class Length { Exact, Missing, Longer, Shorter }; // the Content-Length header

    struct Reply
    {
        int status = 200;
        QByteArray body;
        QByteArray contentType = "text/plain; charset=utf-8";
        QList<std::pair<QByteArray, QByteArray>> headers; // extra headers, e.g. Location
        Length length = Length::Exact; // Missing: no Content-Length, body ends at close
        Fault fault = Fault::None;
        qint64 cutAt = -1;       // CloseMidBody/Reset: body bytes sent before the cut (-1: half)
        int dripBytes = 1;       // Drip: bytes per tick
        int dripIntervalMs = 20; // Drip: time between ticks
        int delayMs = 0;         // wait before answering at all
        // Ranges: "Range: bytes=N-" gets a 206 with the rest, unless If-Range names another
        // validator than etag (then the whole file, 200).
        bool ranges = false;
        QByteArray etag;       // sent as ETag when set
        qint64 rangeShift = 0; // a 206 says it starts this many bytes off what was asked
        // Cuts at these bytes of the file, in order, each used up by the connection it ends, the
        // way the fault says (CloseMidBody, Reset, Stall): an answer stops at the first cut not
        // used up at or after its first byte. Connections past the last cut send the rest whole.
        // Qt may send a request twice over; both copies stop at the same cut.
        QList<qint64> cuts;
        // A connection that reached its cut ends only on endCuts(). Qt sends a request again by
        // itself when a connection closes before it has read anything of the answer; a test
        // that wants its client to resume ends the cut once the client has seen bytes.
        bool cutOnCue = false;
        // Requests that ask for a range are never cut (with ranges off: they get the whole
        // file, which shows a server that starts over).
        bool rangeRequestsUncut = false;
    };

    static Reply ok(QByteArray body);
    // Accepts the request and never answers.
    static Reply silent();
    static Reply status(int code, QByteArray body = {});
    static Reply redirect(const QString &location, int code = 302);
    static Reply endless();

    explicit FaultServer(QObject *parent = nullptr); // listens at once on 127.0.0.1, port 0
    // Over TLS, with one of the certificates in tests/support/tls ("valid", "expired",
    // "wrong-name", "unknown-issuer"); baseUrl() is then "https://127.0.0.1:PORT/".
    explicit FaultServer(const QString &certificate, QObject *parent = nullptr);
    ~FaultServer() override;

    // Makes the authority of the test certificates (all but "unknown-issuer") the only one
    // this process trusts, through the default TLS configuration every request starts from.
    static void trustTestAuthority();

    quint16 port() const;
    QString baseUrl() const;                  // "http://127.0.0.1:PORT/"
    QString url(const QString &target) const; // baseUrl() + target without its leading '/'
    // The catalogue's address the window is given: the server answers below it.
    QString adminphp() const { return url(QStringLiteral("adminphp/")); }

    // Exact path, query ignored for matching; a path without a leading '/' gets one.
    void setReply(const QString &path, const Reply &reply);
    // One reply per request to path, in order; the last one answers every request after it.
    void setReplies(const QString &path, const QList<Reply> &replies);
    void setDefaultReply(const Reply &reply); // 404 until set

    QStringList requests() const;           // request targets in arrival order, raw as received
    QList<QByteArray> requestHeads() const; // the whole head of each request, in arrival order
    qint64 bytesSent() const;               // body bytes of every reply so far
    void release();                         // lets every held reply go
    void endCuts();                         // ends every connection waiting at its cut (cutOnCue)
    int requestCount() const;
    void clearRequests();
    int openConnections() const; // connections accepted and not yet closed

    // What Content-Length the server announces for a reply.
    static qint64 announcedLength(const Reply &reply);

    // A loopback port with nothing listening; the port stays reserved for the process.
    static quint16 deadPort();

Q_SIGNALS:
    void requestReceived(const QString &target);
    void released();

private:
    class Connection;
    friend class Connection;

    void accept();
    Reply replyFor(const QString &target);

    class TlsListener;
    void listen();

    QTcpServer *m_server = nullptr;
    bool m_tls = false;
    QHash<QString, QList<Reply>> m_replies; // by path: the replies still to come, the last stays
    QHash<QString, QList<bool>> m_usedCuts; // by path
    QList<QPointer<Connection>> m_atCut;
    Reply m_defaultReply;
    QStringList m_requests;
    QList<QByteArray> m_heads;
    qint64 m_bodyBytes = 0;
    bool m_released = false;
    int m_open = 0;
};

Q_DECLARE_METATYPE(FaultServer::Reply)
