#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>

#include <utility>

class QTcpServer;
class QTcpSocket;

// A scripted HTTP/1.1 server on loopback for tests and benchmarks. Each path gets a canned
// reply, optionally broken on purpose: cut short, reset, never answered or dripped slowly.
// It lives on the thread that made it, so a blocking fetch that waits in a local event loop
// on that thread is still served. Every reply ends with the server closing the connection.
class FaultServer : public QObject
{
    Q_OBJECT
public:
    enum class Fault { None, CloseMidBody, Reset, Silence, Drip };
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
    };

    static Reply ok(QByteArray body);
    static Reply status(int code, QByteArray body = {});
    static Reply redirect(const QString &location, int code = 302);

    explicit FaultServer(QObject *parent = nullptr); // listens at once on 127.0.0.1, port 0
    ~FaultServer() override;

    quint16 port() const;
    QString baseUrl() const;                  // "http://127.0.0.1:PORT/"
    QString url(const QString &target) const; // baseUrl() + target without its leading '/'

    // Exact path, query ignored for matching; a path without a leading '/' gets one.
    void setReply(const QString &path, const Reply &reply);
    void setDefaultReply(const Reply &reply); // 404 until set

    QStringList requests() const; // request targets in arrival order, raw as received
    int requestCount() const;
    void clearRequests();
    int openConnections() const; // connections accepted and not yet closed

    // What Content-Length the server announces for a reply.
    static qint64 announcedLength(const Reply &reply);

    // A loopback port with nothing listening; the port stays reserved for the process.
    static quint16 deadPort();

Q_SIGNALS:
    void requestReceived(const QString &target);

private:
    class Connection;
    friend class Connection;

    void accept();
    Reply replyFor(const QString &target) const;

    QTcpServer *m_server = nullptr;
    QHash<QString, Reply> m_replies;
    Reply m_defaultReply;
    QStringList m_requests;
    int m_open = 0;
};

Q_DECLARE_METATYPE(FaultServer::Reply)
