#pragma once

#include "HttpServer.h"
#include "HttpShared.h"
#include "RequestHead.h"

#include <QElapsedTimer>
#include <QTimer>

#include <memory>
#include <optional>

class QFile;
class QTcpSocket;
class FormReceiver;

// One client connection, on one of the server's threads: reads requests in order, hands each to
// the handler, writes the answers, and enforces the limits on what the client may hold.
class HttpConnection : public QObject
{
public:
    HttpConnection(qintptr descriptor, HttpServer *server, const QByteArray &peerKey, bool counted);
    ~HttpConnection() override;

    // Ends the connection once the answer in flight is written.
    void finishAndClose();
    // Closes it to make room for a new one, unless a request head has come meanwhile.
    void closeIfWaiting();

private:
    enum class State { Head, Body, Waiting, Streaming, Closing };

    void onReadyRead();
    void pull();
    void process();
    bool mayStartRequest() const;
    bool readHead();
    bool startRequest(const RequestHead &head);
    bool acceptBody();
    bool acceptForm(const QByteArray &boundary);
    bool readBody();
    bool finishBody();
    void handle();
    void deliver(HttpResponse response);
    void respond(HttpResponse response);
    void startStreaming(qint64 length);
    void pump();
    void finishResponse();
    void closeGracefully();
    void fail(int status, const QByteArray &why);
    void startWaiting();
    void stopWaiting();
    void write(const QByteArray &bytes);
    void onBytesWritten(qint64 n);
    void checkDeadlines();
    void log(const HttpResponse &response, qint64 length);
    void releaseUpload();

    QTcpSocket *m_socket;
    HttpServer *m_server;
    const HttpLimits &m_limits;
    HttpShared &m_shared;
    const HeadLimits m_headLimits;
    const QByteArray m_peerKey; // for the per-peer connection count
    const bool m_counted;
    QTimer m_idle;
    QTimer m_watch; // head deadline and body rate, while either runs
    QTimer m_rateTimer;
    QElapsedTimer m_headClock;
    QElapsedTimer m_bodyClock;
    QElapsedTimer m_answerClock; // from the whole head, for the log and the metrics
    QByteArray m_version;        // of the request being answered
    State m_state = State::Head;
    QByteArray m_buffer;
    HttpRequest m_request;
    std::unique_ptr<FormReceiver> m_form;
    QByteArray m_uploadPeer; // holds one of the peer's upload places while set
    qint64 m_spoolReserved = 0;
    qint64 m_bodyLeft = 0;
    qint64 m_bodyRead = 0;
    qint64 m_unsent = 0;  // this connection's share of the shared count
    quint64 m_serial = 0; // of the request being answered
    bool m_keepAlive = true;
    bool m_shutDown = false;
    bool m_inHandler = false;
    bool m_draining = false;
    bool m_resumeQueued = false;
    std::optional<HttpShared::WaitKey> m_waitKey; // while waiting for a request head
    std::unique_ptr<QFile> m_file;
    qint64 m_fileLeft = 0;
    qint64 m_tokens = 0;
    QByteArray m_chunk;
};
