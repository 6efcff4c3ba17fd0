#include <QMutex>
#include <QSemaphore>
#include <QTest>

#include "Catalog.h"
#include "CatalogText.h"
#include "FailureLimiter.h"
#include "PasswordChecks.h"
#include "Multipart.h"
#include "RequestHead.h"
#include "core/CatalogPage.h"

using namespace CatalogText;

class TestCatalogText : public QObject
{
    Q_OBJECT
private slots:
    void countsPages_data();
    void countsPages();
    void resolvesPage_data();
    void resolvesPage();
    void readsRanges_data();
    void readsRanges();
    void checksFileNames_data();
    void checksFileNames();
    void checksFields_data();
    void checksFields();
    void checksSecurityCodes_data();
    void checksSecurityCodes();
    void comparesSecrets();
    void findsBoundary_data();
    void findsBoundary();
    void splitsForms_data();
    void splitsForms();
    void readsRequestHeads_data();
    void readsRequestHeads();
    void backsOff_data();
    void backsOff();
    void backsOffPerNetwork_data();
    void backsOffPerNetwork();
    void sharesChecksFairly_data();
    void sharesChecksFairly();
    void derivesAsStored_data();
    void derivesAsStored();
};

void TestCatalogText::countsPages_data()
{
    QTest::addColumn<qint64>("records");
    QTest::addColumn<int>("pageSize");
    QTest::addColumn<qint64>("pages");
    QTest::newRow("empty") << qint64(0) << 20 << qint64(0);
    QTest::newRow("one") << qint64(1) << 20 << qint64(1);
    QTest::newRow("exactly full") << qint64(40) << 20 << qint64(2);
    QTest::newRow("one over") << qint64(41) << 20 << qint64(3);
    QTest::newRow("page size one") << qint64(5) << 1 << qint64(5);
}

void TestCatalogText::countsPages()
{
    QFETCH(qint64, records);
    QFETCH(int, pageSize);
    QFETCH(qint64, pages);
    QCOMPARE(pageCount(records, pageSize), pages);
}

void TestCatalogText::resolvesPage_data()
{
    QTest::addColumn<QString>("raw");
    QTest::addColumn<qint64>("pages");
    QTest::addColumn<qint64>("page");
    QTest::newRow("missing") << QString() << qint64(3) << qint64(1);
    QTest::newRow("second") << QStringLiteral("2") << qint64(3) << qint64(2);
    QTest::newRow("last") << QStringLiteral("3") << qint64(3) << qint64(3);
    QTest::newRow("past the end") << QStringLiteral("4") << qint64(3) << qint64(3);
    QTest::newRow("huge") << QStringLiteral("99999999999999999999999") << qint64(3) << qint64(3);
    QTest::newRow("zero") << QStringLiteral("0") << qint64(3) << qint64(1);
    QTest::newRow("negative") << QStringLiteral("-2") << qint64(3) << qint64(1);
    QTest::newRow("plus sign") << QStringLiteral("+2") << qint64(3) << qint64(1);
    QTest::newRow("letters") << QStringLiteral("abc") << qint64(3) << qint64(1);
    QTest::newRow("trailing letters") << QStringLiteral("2abc") << qint64(3) << qint64(1);
    QTest::newRow("fraction") << QStringLiteral("1.5") << qint64(3) << qint64(1);
    QTest::newRow("blank") << QStringLiteral(" 2") << qint64(3) << qint64(1);
    QTest::newRow("arabic-indic digit") << QStringLiteral("\u0662") << qint64(3) << qint64(1);
    QTest::newRow("empty list") << QStringLiteral("5") << qint64(0) << qint64(1);
    QTest::newRow("leading zeros") << QStringLiteral("002") << qint64(3) << qint64(2);
}

void TestCatalogText::resolvesPage()
{
    QFETCH(QString, raw);
    QFETCH(qint64, pages);
    QFETCH(qint64, page);
    QCOMPARE(resolvePage(raw, pages), page);
}

void TestCatalogText::readsRanges_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("kind");
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("last");
    const int whole = ByteRange::Whole, part = ByteRange::Partial, none = ByteRange::Unsatisfiable;
    QTest::newRow("absent") << QByteArray() << qint64(100) << whole << qint64(0) << qint64(-1);
    QTest::newRow("first bytes") << QByteArray("bytes=0-9") << qint64(100) << part << qint64(0) << qint64(9);
    QTest::newRow("open end") << QByteArray("bytes=90-") << qint64(100) << part << qint64(90) << qint64(99);
    QTest::newRow("last bytes") << QByteArray("bytes=-10") << qint64(100) << part << qint64(90) << qint64(99);
    QTest::newRow("suffix longer than file") << QByteArray("bytes=-500") << qint64(100) << part << qint64(0) << qint64(99);
    QTest::newRow("end past the file") << QByteArray("bytes=50-1000") << qint64(100) << part << qint64(50) << qint64(99);
    QTest::newRow("single byte") << QByteArray("bytes=0-0") << qint64(100) << part << qint64(0) << qint64(0);
    QTest::newRow("start at the end") << QByteArray("bytes=100-") << qint64(100) << none << qint64(0) << qint64(-1);
    QTest::newRow("start past the end") << QByteArray("bytes=5000-6000") << qint64(100) << none << qint64(0) << qint64(-1);
    QTest::newRow("empty suffix") << QByteArray("bytes=-0") << qint64(100) << none << qint64(0) << qint64(-1);
    QTest::newRow("empty file") << QByteArray("bytes=0-") << qint64(0) << none << qint64(0) << qint64(-1);
    QTest::newRow("reversed") << QByteArray("bytes=9-3") << qint64(100) << whole << qint64(0) << qint64(-1);
    QTest::newRow("several ranges") << QByteArray("bytes=0-1,5-6") << qint64(100) << whole << qint64(0) << qint64(-1);
    QTest::newRow("other unit") << QByteArray("items=0-1") << qint64(100) << whole << qint64(0) << qint64(-1);
    QTest::newRow("letters") << QByteArray("bytes=a-b") << qint64(100) << whole << qint64(0) << qint64(-1);
    QTest::newRow("no dash") << QByteArray("bytes=5") << qint64(100) << whole << qint64(0) << qint64(-1);
    QTest::newRow("negative start") << QByteArray("bytes=--5") << qint64(100) << whole << qint64(0) << qint64(-1);
    QTest::newRow("overflowing number") << QByteArray("bytes=99999999999999999999999-") << qint64(100) << whole
                                        << qint64(0) << qint64(-1);
    QTest::newRow("beyond 4 GiB") << QByteArray("bytes=5000000000-") << qint64(6000000000) << part
                                  << qint64(5000000000) << qint64(5999999999);
}

void TestCatalogText::readsRanges()
{
    QFETCH(QByteArray, header);
    QFETCH(qint64, size);
    QFETCH(int, kind);
    QFETCH(qint64, first);
    QFETCH(qint64, last);
    const ByteRange r = parseRange(header, size);
    QCOMPARE(int(r.kind), kind);
    if (r.kind == ByteRange::Partial) {
        QCOMPARE(r.first, first);
        QCOMPARE(r.last, last);
    }
}

void TestCatalogText::checksFileNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("plain");
    QTest::newRow("ascii") << QStringLiteral("tool-1.2.zip") << true;
    QTest::newRow("chinese") << QStringLiteral("系统补丁.zip") << true;
    QTest::newRow("blank inside") << QStringLiteral("read me.txt") << true;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("dot") << QStringLiteral(".") << false;
    QTest::newRow("dot dot") << QStringLiteral("..") << false;
    QTest::newRow("hidden") << QStringLiteral(".htaccess") << false;
    QTest::newRow("climbing") << QStringLiteral("../catalog.db") << false;
    QTest::newRow("absolute") << QStringLiteral("/etc/passwd") << false;
    QTest::newRow("subfolder") << QStringLiteral("a/b.zip") << false;
    QTest::newRow("backslash") << QStringLiteral("..\\catalog.db") << false;
    QTest::newRow("drive") << QStringLiteral("C:evil.exe") << false;
    QTest::newRow("nul") << QString::fromUtf16(u"a\0b", 3) << false;
    QTest::newRow("newline") << QStringLiteral("a\nb") << false;
    QTest::newRow("too long") << QString(201, u'a') << false;
}

void TestCatalogText::checksFileNames()
{
    QFETCH(QString, name);
    QFETCH(bool, plain);
    QCOMPARE(isPlainFileName(name), plain);
}

void TestCatalogText::checksFields_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("clean");
    QTest::newRow("chinese") << QStringLiteral("工具\\补丁") << true;
    QTest::newRow("question marks") << QStringLiteral("Why? Because?") << true;
    QTest::newRow("record separator") << QStringLiteral("a\x01" "b") << false;
    QTest::newRow("field separator") << QStringLiteral("a\x02" "b") << false;
    QTest::newRow("tab") << QStringLiteral("a\tb") << false;
    QTest::newRow("trailer marker") << QStringLiteral("x?TtbBa?1?1") << false;
    QTest::newRow("marker in other case") << QStringLiteral("x?ttbba?") << true;
}

void TestCatalogText::checksFields()
{
    QFETCH(QString, text);
    QFETCH(bool, clean);
    QCOMPARE(tavrel::isCleanField(text), clean);
}

void TestCatalogText::checksSecurityCodes_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<bool>("acceptable");
    QTest::newRow("leading zeros") << QStringLiteral("007") << true;
    QTest::newRow("zero") << QStringLiteral("0") << true;
    QTest::newRow("ten") << QStringLiteral("10") << true;
    QTest::newRow("one reads as rejection") << QStringLiteral("1") << false;
    QTest::newRow("zero one reads as rejection") << QStringLiteral("01") << false;
    QTest::newRow("many zeros then one") << QStringLiteral("00001") << false;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("letters") << QStringLiteral("12a") << false;
    QTest::newRow("fraction") << QStringLiteral("1.0") << false;
    QTest::newRow("blank") << QStringLiteral(" 12") << false;
    QTest::newRow("full-width digits") << QStringLiteral("\uFF11\uFF12") << false;
    QTest::newRow("too long") << QString(33, u'9') << false;
}

void TestCatalogText::checksSecurityCodes()
{
    QFETCH(QString, code);
    QFETCH(bool, acceptable);
    QCOMPARE(isAcceptableSecurityCode(code), acceptable);
}

void TestCatalogText::comparesSecrets()
{
    QVERIFY(constantTimeEquals("abc", "abc"));
    QVERIFY(!constantTimeEquals("abc", "abd"));
    QVERIFY(!constantTimeEquals("abc", "ab"));
    QVERIFY(!constantTimeEquals("", "a"));
    QVERIFY(constantTimeEquals("", ""));
}

void TestCatalogText::findsBoundary_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("boundary");
    QTest::newRow("browser") << QByteArray("multipart/form-data; boundary=----WebKitFormBoundaryX") << QByteArray("----WebKitFormBoundaryX");
    QTest::newRow("quoted") << QByteArray("multipart/form-data; boundary=\"a b\"") << QByteArray("a b");
    QTest::newRow("upper case") << QByteArray("Multipart/Form-Data; BOUNDARY=xyz") << QByteArray("xyz");
    QTest::newRow("urlencoded form") << QByteArray("application/x-www-form-urlencoded") << QByteArray();
    QTest::newRow("no boundary") << QByteArray("multipart/form-data") << QByteArray();
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void TestCatalogText::findsBoundary()
{
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, boundary);
    QCOMPARE(Multipart::boundaryOf(contentType), boundary);
}

void TestCatalogText::splitsForms_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("contents");
    QTest::addColumn<QString>("fileName");

    const QByteArray good = "--B\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\n标题\r\n"
                            "--B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.bin\"\r\n"
                            "Content-Type: application/octet-stream\r\n\r\nx\r\n-B\r\n--Cy\r\n"
                            "--B--\r\n";
    QTest::newRow("two parts, file holds a near-delimiter")
            << good << true << QStringList{QStringLiteral("title"), QStringLiteral("file")}
            << QStringList{QStringLiteral("标题"), QStringLiteral("x\r\n-B\r\n--Cy")}
            << QStringLiteral("a.bin");
    QTest::newRow("filename before name")
            << QByteArray("--B\r\nContent-Disposition: form-data; filename=\"f.txt\"; name=\"file\"\r\n\r\nabc\r\n--B--")
            << true << QStringList{QStringLiteral("file")} << QStringList{QStringLiteral("abc")} << QStringLiteral("f.txt");
    QTest::newRow("preamble")
            << QByteArray("ignored\r\n--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--B--\r\n")
            << true << QStringList{QStringLiteral("a")} << QStringList{QStringLiteral("1")} << QString();
    QTest::newRow("empty content")
            << QByteArray("--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n\r\n--B--\r\n")
            << true << QStringList{QStringLiteral("a")} << QStringList{QString()} << QString();
    QTest::newRow("cut short")
            << QByteArray("--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nabc")
            << false << QStringList() << QStringList() << QString();
    QTest::newRow("no closing delimiter")
            << QByteArray("--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nabc\r\n--B")
            << false << QStringList() << QStringList() << QString();
    QTest::newRow("part without name")
            << QByteArray("--B\r\nContent-Disposition: form-data\r\n\r\nabc\r\n--B--")
            << false << QStringList() << QStringList() << QString();
    QTest::newRow("no parts at all") << QByteArray("hello") << false << QStringList() << QStringList() << QString();
    QTest::newRow("empty body") << QByteArray() << false << QStringList() << QStringList() << QString();
}

void TestCatalogText::splitsForms()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, ok);
    QFETCH(QStringList, names);
    QFETCH(QStringList, contents);
    QFETCH(QString, fileName);

    QList<Multipart::Part> parts;
    QString error;
    QCOMPARE(Multipart::parse(body, "B", &parts, &error), ok);
    if (!ok) {
        QVERIFY(!error.isEmpty());
        return;
    }
    QCOMPARE(parts.size(), names.size());
    for (qsizetype i = 0; i < parts.size(); ++i) {
        QCOMPARE(parts[i].name, names[i]);
        if (parts[i].isFile)
            QCOMPARE(parts[i].fileName, fileName);
        QCOMPARE(QString::fromUtf8(body.mid(parts[i].offset, parts[i].length)), contents[i]);
    }
}

void TestCatalogText::readsRequestHeads_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("status");  // when failed
    QTest::addColumn<QString>("path"); // when complete
    QTest::addColumn<qint64>("length");
    QTest::addColumn<bool>("keepAlive");
    const int more = HeadParse::NeedMore, done = HeadParse::Complete, failed = HeadParse::Failed;
    QTest::newRow("simple get") << QByteArray("GET /a?b=c HTTP/1.1\r\nHost: x\r\n\r\n") << done
                                << 0 << QStringLiteral("/a") << qint64(0) << true;
    QTest::newRow("blank lines first") << QByteArray("\r\n\r\nGET / HTTP/1.1\r\n\r\n") << done << 0
                                       << QStringLiteral("/") << qint64(0) << true;
    QTest::newRow("not yet ended") << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n") << more << 0
                                   << QString() << qint64(0) << true;
    QTest::newRow("http/1.0 closes") << QByteArray("GET / HTTP/1.0\r\n\r\n") << done << 0
                                     << QStringLiteral("/") << qint64(0) << false;
    QTest::newRow("http/1.0 keep-alive") << QByteArray("GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n")
                                         << done << 0 << QStringLiteral("/") << qint64(0) << true;
    QTest::newRow("body length") << QByteArray("POST /p HTTP/1.1\r\nContent-Length: 12\r\n\r\n") << done
                                 << 0 << QStringLiteral("/p") << qint64(12) << true;
    QTest::newRow("decoded path") << QByteArray("GET /up/%E8%A1%A5 HTTP/1.1\r\n\r\n") << done << 0
                                  << QStringLiteral("/up/补") << qint64(0) << true;
    QTest::newRow("long line unended") << QByteArray("GET /" + QByteArray(9000, 'a')) << failed << 414
                                       << QString() << qint64(0) << true;
    QTest::newRow("large head unended") << QByteArray("GET / HTTP/1.1\r\nX: " + QByteArray(17000, 'b'))
                                        << failed << 431 << QString() << qint64(0) << true;
    QTest::newRow("no version") << QByteArray("GET /\r\n\r\n") << failed << 400 << QString() << qint64(0)
                                << true;
    QTest::newRow("version 2") << QByteArray("GET / HTTP/2\r\n\r\n") << failed << 505 << QString()
                               << qint64(0) << true;
    QTest::newRow("nul in path") << QByteArray("GET /a%00b HTTP/1.1\r\n\r\n") << failed << 400 << QString()
                                 << qint64(0) << true;
    QTest::newRow("chunked") << QByteArray("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n")
                             << failed << 411 << QString() << qint64(0) << true;
    QTest::newRow("length with sign") << QByteArray("POST / HTTP/1.1\r\nContent-Length: +5\r\n\r\n")
                                      << failed << 400 << QString() << qint64(0) << true;
    QTest::newRow("same length twice") << QByteArray("POST / HTTP/1.1\r\nContent-Length: 5\r\n"
                                                     "Content-Length: 5\r\n\r\n")
                                       << done << 0 << QStringLiteral("/") << qint64(5) << true;
}

void TestCatalogText::readsRequestHeads()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, state);
    QFETCH(int, status);
    QFETCH(QString, path);
    QFETCH(qint64, length);
    QFETCH(bool, keepAlive);
    const HeadParse p = parseRequestHead(bytes, HeadLimits());
    QCOMPARE(int(p.state), state);
    if (state == HeadParse::Failed)
        QCOMPARE(p.status, status);
    if (state != HeadParse::Complete)
        return;
    QCOMPARE(p.consumed, bytes.size());
    QCOMPARE(p.head.path, path);
    QCOMPARE(p.head.contentLength, length);
    QCOMPARE(p.head.keepAlive, keepAlive);
}

// Failures at the given times (ms) with 2 free ones, a first delay of 1000 ms, a ceiling of
// 4000 ms and 10000 ms to forget; then whether the peer is blocked at `at`, and how many
// failures started a back-off that is to be logged.
void TestCatalogText::backsOff_data()
{
    QTest::addColumn<QList<qint64>>("failures");
    QTest::addColumn<qint64>("at");
    QTest::addColumn<bool>("blocked");
    QTest::addColumn<int>("logged");
    QTest::newRow("free failures") << QList<qint64>{0, 10} << qint64(20) << false << 0;
    QTest::newRow("third starts a delay") << QList<qint64>{0, 10, 20} << qint64(1019) << true << 1;
    QTest::newRow("first delay ends") << QList<qint64>{0, 10, 20} << qint64(1020) << false << 1;
    QTest::newRow("fourth doubles it") << QList<qint64>{0, 10, 20, 1100} << qint64(3099) << true
                                       << 1;
    QTest::newRow("ceiling") << QList<qint64>{0, 1, 2, 3, 4, 5, 6, 7} << qint64(4006) << true << 1;
    QTest::newRow("past the ceiling") << QList<qint64>{0, 1, 2, 3, 4, 5, 6, 7} << qint64(4008)
                                      << false << 1;
    QTest::newRow("forgotten after a quiet while")
            << QList<qint64>{0, 10, 20, 30000, 30010} << qint64(30020) << false << 1;
    QTest::newRow("then a delay again, logged again")
            << QList<qint64>{0, 10, 20, 30000, 30010, 30020} << qint64(30030) << true << 2;
}

void TestCatalogText::backsOff()
{
    QFETCH(QList<qint64>, failures);
    QFETCH(qint64, at);
    QFETCH(bool, blocked);
    QFETCH(int, logged);
    FailureLimiter limiter(FailureLimiter::Policy{2, 1000, 4000, 10000});
    const QHostAddress peer(QStringLiteral("192.0.2.1"));
    int starts = 0;
    for (const qint64 t : failures)
        starts += !limiter.failed(peer, t).isEmpty();
    QCOMPARE(limiter.isBlocked(peer, at), blocked);
    QCOMPARE(starts, logged);
    QVERIFY(!limiter.isBlocked(QHostAddress(QStringLiteral("192.0.2.2")), at));
    limiter.succeeded(peer);
    QVERIFY(!limiter.isBlocked(peer, at));
}

// Failures from many addresses at once, with 2 free ones per peer and 8 per IPv6 /48: then
// whether `probe`, which has not failed itself, is blocked, and what the log names.
void TestCatalogText::backsOffPerNetwork_data()
{
    QTest::addColumn<QStringList>("failing");
    QTest::addColumn<QString>("probe");
    QTest::addColumn<bool>("blocked");
    QTest::addColumn<QString>("logged");
    QStringList site;
    for (int i = 1; i <= 9; ++i)
        site << QStringLiteral("2001:db8:1:%1::1").arg(i);
    QStringList ipv4;
    for (int i = 1; i <= 9; ++i)
        ipv4 << QStringLiteral("192.0.2.%1").arg(i);
    QTest::newRow("seven /64s of a site: free") << site.mid(0, 7) << "2001:db8:1:ff::1" << false << "";
    QTest::newRow("nine: the whole site waits")
            << site << "2001:db8:1:ff::1" << true << "2001:db8:1::/48";
    QTest::newRow("another site is served") << site << "2001:db8:2:1::1" << false << "2001:db8:1::/48";
    QTest::newRow("one /64: its own budget")
            << QStringList{"2001:db8:1:1::1", "2001:db8:1:1::2", "2001:db8:1:1::3"} << "2001:db8:1:1::9"
            << true << "2001:db8:1:1::3";
    QTest::newRow("IPv4 neighbours count one by one") << ipv4 << "192.0.2.10" << false << "";
}

void TestCatalogText::backsOffPerNetwork()
{
    QFETCH(QStringList, failing);
    QFETCH(QString, probe);
    QFETCH(bool, blocked);
    QFETCH(QString, logged);
    FailureLimiter limiter(FailureLimiter::Policy{2, 1000, 4000, 10000, 4});
    QString held;
    for (const QString &address : failing) {
        const QString now = limiter.failed(QHostAddress(address), 100);
        if (!now.isEmpty())
            held = now;
    }
    QCOMPARE(limiter.isBlocked(QHostAddress(probe), 200), blocked);
    QCOMPARE(held, logged);
    QVERIFY(limiter.failedSince(QHostAddress(failing.first()), 100));
    QVERIFY(!limiter.failedSince(QHostAddress(failing.first()), 101));
}

// Checks queued while the one worker is busy, each named by its peer's letter and a number
// (upper case: a peer without recent failures): the order they run in, and those refused or
// dropped for a quiet peer's check when the queue is full.
void TestCatalogText::sharesChecksFairly_data()
{
    QTest::addColumn<int>("capacity");
    QTest::addColumn<QStringList>("submitted");
    QTest::addColumn<QStringList>("ran");
    QTest::addColumn<QStringList>("turnedAway");
    using L = QStringList;
    QTest::newRow("turns between peers")
            << 10 << L{"a1", "a2", "a3", "b1", "b2", "c1"} << L{"a1", "b1", "c1", "a2", "b2", "a3"} << L{};
    QTest::newRow("a quiet peer first") << 10 << L{"a1", "a2", "b1", "Q1"} << L{"Q1", "a1", "b1", "a2"} << L{};
    QTest::newRow("quiet peers take turns too")
            << 10 << L{"Q1", "Q2", "R1", "a1"} << L{"Q1", "R1", "Q2", "a1"} << L{};
    QTest::newRow("full: a guess is refused") << 3 << L{"a1", "b1", "c1", "d1"} << L{"a1", "b1", "c1"} << L{"d1"};
    QTest::newRow("full: a quiet peer takes the newest guess's place")
            << 3 << L{"a1", "a2", "b1", "Q1"} << L{"Q1", "a1", "a2"} << L{"b1"};
    QTest::newRow("full of quiet peers: refused") << 3 << L{"Q1", "R1", "S1", "T1"} << L{"Q1", "R1", "S1"} << L{"T1"};
}

void TestCatalogText::sharesChecksFairly()
{
    QFETCH(int, capacity);
    QFETCH(QStringList, submitted);
    QFETCH(QStringList, ran);
    QFETCH(QStringList, turnedAway);
    QMutex mutex;
    QStringList order;
    QStringList away;
    QSemaphore started;
    QSemaphore gate;
    QSemaphore done;
    {
        PasswordChecks checks(1, capacity);
        QVERIFY(checks.submit("gate", true, [&] { started.release(); gate.acquire(); }, [] {}));
        started.acquire(); // the worker is busy from here
        for (const QString &name : submitted) {
            auto record = [&, name](QStringList *list) {
                QMutexLocker lock(&mutex);
                list->append(name);
                done.release();
            };
            const QByteArray peer = name.left(1).toLatin1();
            if (!checks.submit(peer, name.at(0).isUpper(), [record, &order] { record(&order); },
                               [record, &away] { record(&away); }))
                record(&away);
        }
        gate.release();
        QVERIFY(done.tryAcquire(int(submitted.size()), 5000));
    }
    QCOMPARE(order, ran);
    QCOMPARE(away, turnedAway);
}

// Passwords are checked with libcrypto against digests that Qt made: the same bytes.
void TestCatalogText::derivesAsStored_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QByteArray>("salt");
    QTest::addColumn<int>("iterations");
    QTest::addColumn<QByteArray>("expectedHex"); // a published vector, when given
    const QByteArray salt = QByteArray::fromHex("8f1e22c05a7d3b4e9c0f11aa27e5d6b3");
    QTest::newRow("ascii") << QStringLiteral("admin-pass") << salt << 20000 << QByteArray();
    QTest::newRow("chinese") << QStringLiteral("管理员密码") << salt << 20000 << QByteArray();
    QTest::newRow("reserved characters") << QStringLiteral("a&b=c%d+e#f g") << salt << 1000 << QByteArray();
    QTest::newRow("empty") << QString() << salt << 1000 << QByteArray();
    QTest::newRow("longer than a hash block") << QString(300, u'p') << salt << 1000 << QByteArray();
    QTest::newRow("published vector") << QStringLiteral("passwd") << QByteArray("salt") << 1
                                      << QByteArray("55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc");
}

void TestCatalogText::derivesAsStored()
{
    QFETCH(QString, password);
    QFETCH(QByteArray, salt);
    QFETCH(int, iterations);
    QFETCH(QByteArray, expectedHex);
    const QByteArray byQt = Catalog::derive(password, Catalog::PasswordHash{salt, {}, iterations});
    QCOMPARE(byQt.size(), 32);
    const QByteArray byLibcrypto = PasswordChecks::pbkdf2Sha256(password.toUtf8(), salt, iterations, 32);
    QCOMPARE(byLibcrypto.toHex(), byQt.toHex());
    if (!expectedHex.isEmpty())
        QCOMPARE(byLibcrypto.toHex(), expectedHex);
}

QTEST_APPLESS_MAIN(TestCatalogText)
#include "tst_catalogtext.moc"
