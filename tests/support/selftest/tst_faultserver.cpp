#include "FaultServer.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>

using namespace std::chrono_literals;

namespace {

// What a plain blocking socket saw: every byte, and how the stream ended.
struct RawResult
{
    QByteArray bytes;
    bool connected = false;
    bool endedCleanly = false; // orderly close (FIN)
    bool timedOut = false;     // nothing more within the receive time-out
    int error = 0;             // errno of a failed connect or read, e.g. ECONNRESET
};

RawResult rawGetBlocking(quint16 port, QByteArray target, int timeoutMs)
{
    RawResult r;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        r.error = errno;
        return r;
    }
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        r.error = errno;
        ::close(fd);
        return r;
    }
    r.connected = true;
    const QByteArray request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) < 0)
        r.error = errno;
    char buf[65536];
    while (r.error == 0) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n > 0) {
            r.bytes.append(buf, n);
        } else if (n == 0) {
            r.endedCleanly = true;
            break;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            r.timedOut = true;
            break;
        } else if (errno != EINTR) {
            r.error = errno;
        }
    }
    ::close(fd);
    return r;
}

// The client blocks on another thread while this one keeps serving.
RawResult rawGet(quint16 port, const QByteArray &target, int timeoutMs = 5000)
{
    auto pending = std::async(std::launch::async, rawGetBlocking, port, target, timeoutMs);
    while (pending.wait_for(0ms) != std::future_status::ready)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return pending.get();
}

QByteArray headOf(const QByteArray &response)
{
    return response.left(response.indexOf("\r\n\r\n") + 2);
}

QByteArray bodyOf(const QByteArray &response)
{
    const qsizetype at = response.indexOf("\r\n\r\n");
    return at < 0 ? QByteArray() : response.mid(at + 4);
}

// The value of a header in a response head, or a null array when it is absent.
QByteArray header(const QByteArray &response, const QByteArray &name)
{
    const QList<QByteArray> lines = headOf(response).split('\n');
    for (const QByteArray &line : lines) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

QByteArray pattern(qsizetype size)
{
    QByteArray b(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        b[i] = char((i * 7 + i / 251) & 0xff);
    return b;
}

} // namespace

class TestFaultServer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void replyShapes_data();
    void replyShapes();
    void silenceNeverAnswers();
    void requestsAreRecordedRaw();
    void defaultReplyIsNotFound();
    void redirectCarriesLocation();
    void delayedReplyStillArrives();
    void deadPortRefuses();
    void serverGoesAwayWithOpenConnections();
};

void TestFaultServer::replyShapes_data()
{
    QTest::addColumn<FaultServer::Reply>("reply");
    QTest::addColumn<QByteArray>("contentLength"); // null: no header
    QTest::addColumn<QByteArray>("body");          // body bytes the client must see
    QTest::addColumn<bool>("reset");

    const QByteArray text = "0123456789abcdefghij";
    FaultServer::Reply r = FaultServer::ok(text);
    QTest::newRow("exact length") << r << QByteArray("20") << text << false;

    r = FaultServer::ok({});
    QTest::newRow("empty body") << r << QByteArray("0") << QByteArray() << false;

    const QByteArray binary("\0\x01\xff\r\n\0tail", 10);
    QTest::newRow("binary with NULs")
        << FaultServer::ok(binary) << QByteArray("10") << binary << false;

    const QByteArray big = pattern(3 * 1024 * 1024 + 17);
    QTest::newRow("3 MB body") << FaultServer::ok(big) << QByteArray::number(big.size()) << big
                               << false;

    r = FaultServer::ok(text);
    r.length = FaultServer::Length::Missing;
    QTest::newRow("no length, ends at close") << r << QByteArray() << text << false;

    r.length = FaultServer::Length::Longer;
    QTest::newRow("length longer than body") << r << QByteArray("30") << text << false;

    r.length = FaultServer::Length::Shorter;
    QTest::newRow("length shorter than body") << r << QByteArray("10") << text << false;

    r = FaultServer::ok(text);
    r.fault = FaultServer::Fault::CloseMidBody;
    QTest::newRow("close at half") << r << QByteArray("20") << text.left(10) << false;

    r.cutAt = 3;
    QTest::newRow("close after 3 bytes") << r << QByteArray("20") << text.left(3) << false;

    r.cutAt = 0;
    QTest::newRow("close right after head") << r << QByteArray("20") << QByteArray() << false;

    r = FaultServer::ok(text);
    r.fault = FaultServer::Fault::Reset;
    r.cutAt = 7;
    QTest::newRow("reset after 7 bytes") << r << QByteArray("20") << text.left(7) << true;

    r = FaultServer::ok(big);
    r.fault = FaultServer::Fault::Reset;
    QTest::newRow("reset halfway through 3 MB")
        << r << QByteArray::number(big.size()) << big.left(big.size() / 2) << true;

    r = FaultServer::ok(text);
    r.fault = FaultServer::Fault::Drip;
    r.dripBytes = 3;
    r.dripIntervalMs = 2;
    QTest::newRow("drip") << r << QByteArray("20") << text << false;
}

void TestFaultServer::replyShapes()
{
    QFETCH(FaultServer::Reply, reply);
    QFETCH(QByteArray, contentLength);
    QFETCH(QByteArray, body);
    QFETCH(bool, reset);

    FaultServer server;
    server.setReply("/x", reply);
    const RawResult r = rawGet(server.port(), "/x");

    QVERIFY(r.connected);
    QVERIFY(r.bytes.startsWith("HTTP/1.1 200 OK\r\n"));
    QCOMPARE(header(r.bytes, "Content-Length"), contentLength);
    QCOMPARE(header(r.bytes, "Connection"), QByteArray("close"));
    QCOMPARE(header(r.bytes, "Content-Type"), QByteArray("text/plain; charset=utf-8"));
    QCOMPARE(bodyOf(r.bytes).size(), body.size());
    QVERIFY(bodyOf(r.bytes) == body);
    QVERIFY(!r.timedOut);
    if (reset) {
        QCOMPARE(r.error, ECONNRESET);
        QVERIFY(!r.endedCleanly);
    } else {
        QCOMPARE(r.error, 0);
        QVERIFY(r.endedCleanly);
    }
    QTRY_COMPARE(server.openConnections(), 0);
}

void TestFaultServer::silenceNeverAnswers()
{
    FaultServer server;
    server.setReply("/quiet", FaultServer::silent());

    const RawResult r = rawGet(server.port(), "/quiet", 300);
    QVERIFY(r.connected);
    QVERIFY(r.timedOut);
    QVERIFY(r.bytes.isEmpty());
    QCOMPARE(server.requests(), QStringList{"/quiet"});
}

void TestFaultServer::requestsAreRecordedRaw()
{
    FaultServer server;
    server.setReply("a/b.php", FaultServer::ok("matched"));
    QSignalSpy spy(&server, &FaultServer::requestReceived);

    const RawResult first = rawGet(server.port(), "/a/b.php?page=1&q=%26%23%2B");
    const RawResult second = rawGet(server.port(), "/a/b.php");
    const RawResult third = rawGet(server.port(), "/a/b.phpx?page=1");

    QCOMPARE(bodyOf(first.bytes), QByteArray("matched"));
    QCOMPARE(bodyOf(second.bytes), QByteArray("matched"));
    QVERIFY(third.bytes.startsWith("HTTP/1.1 404 "));
    const QStringList expected{"/a/b.php?page=1&q=%26%23%2B", "/a/b.php", "/a/b.phpx?page=1"};
    QCOMPARE(server.requests(), expected);
    QCOMPARE(server.requestCount(), 3);
    QCOMPARE(spy.count(), 3);
    QCOMPARE(spy.at(0).at(0).toString(), expected.at(0));

    server.clearRequests();
    QCOMPARE(server.requestCount(), 0);
    QVERIFY(server.requests().isEmpty());
}

void TestFaultServer::defaultReplyIsNotFound()
{
    FaultServer server;
    RawResult r = rawGet(server.port(), "/nothing/here");
    QVERIFY(r.bytes.startsWith("HTTP/1.1 404 Not Found\r\n"));

    server.setDefaultReply(FaultServer::status(500, "boom"));
    r = rawGet(server.port(), "/nothing/here");
    QVERIFY(r.bytes.startsWith("HTTP/1.1 500 Internal Server Error\r\n"));
    QCOMPARE(bodyOf(r.bytes), QByteArray("boom"));
}

void TestFaultServer::redirectCarriesLocation()
{
    FaultServer server;
    server.setReply("/from", FaultServer::redirect(server.url("to"), 301));
    const RawResult r = rawGet(server.port(), "/from");
    QVERIFY(r.bytes.startsWith("HTTP/1.1 301 Moved Permanently\r\n"));
    QCOMPARE(header(r.bytes, "Location"), server.url("to").toUtf8());
    QCOMPARE(header(r.bytes, "Content-Length"), QByteArray("0"));
    QVERIFY(server.baseUrl().startsWith("http://127.0.0.1:"));
    QVERIFY(server.baseUrl().endsWith(QString::number(server.port()) + "/"));
}

void TestFaultServer::delayedReplyStillArrives()
{
    FaultServer server;
    FaultServer::Reply reply = FaultServer::ok("late");
    reply.delayMs = 50;
    reply.headers.emplaceBack("X-Extra", "1");
    server.setReply("/late", reply);
    const RawResult r = rawGet(server.port(), "/late");
    QCOMPARE(bodyOf(r.bytes), QByteArray("late"));
    QCOMPARE(header(r.bytes, "X-Extra"), QByteArray("1"));
    QVERIFY(r.endedCleanly);
}

void TestFaultServer::deadPortRefuses()
{
    const quint16 port = FaultServer::deadPort();
    QVERIFY(port != 0);
    QCOMPARE(FaultServer::deadPort(), port);
    const RawResult r = rawGet(port, "/");
    QVERIFY(!r.connected);
    QCOMPARE(r.error, ECONNREFUSED);
}

void TestFaultServer::serverGoesAwayWithOpenConnections()
{
    auto *server = new FaultServer;
    server->setReply("/hold", FaultServer::silent());
    const quint16 port = server->port();
    auto pending = std::async(std::launch::async, rawGetBlocking, port, QByteArray("/hold"), 5000);
    QTRY_COMPARE(server->requestCount(), 1);
    delete server; // must close the held connection, not crash
    const RawResult r = pending.get();
    QVERIFY(r.connected);
    QVERIFY(!r.timedOut);
    QVERIFY(r.bytes.isEmpty());
}

QTEST_GUILESS_MAIN(TestFaultServer)
#include "tst_faultserver.moc"
