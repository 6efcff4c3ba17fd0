#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "CatalogdProcess.h"
#include "RawHttp.h"

// What an operator relies on around catalogd: metrics, the access log, health, systemd.
namespace {

const QByteArray Password = "admin-pass";

QByteArray getWith(const QByteArray &target, const QList<QByteArray> &headers = {})
{
    QByteArray r = "GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n";
    for (const QByteArray &h : headers)
        r += h + "\r\n";
    return r + "\r\n";
}

// The Prometheus text format as a scraper reads it: every sample belongs to a family with a
// TYPE, names and labels are well formed, values are numbers. Returns "name{labels}" -> value,
// or sets *error.
QMap<QString, double> parseExposition(const QByteArray &text, QString *error)
{
    static const QRegularExpression type(QStringLiteral("^# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram)$"));
    static const QRegularExpression sample(QStringLiteral(
            "^([a-zA-Z_:][a-zA-Z0-9_:]*)(\\{(?:[a-zA-Z_][a-zA-Z0-9_]*=\"[^\"\\\\\\n]*\",?)*\\})? ([-+0-9.eE]+|\\+Inf)$"));
    QMap<QString, QString> types;
    QMap<QString, double> samples;
    for (const QByteArray &raw : text.split('\n')) {
        const QString line = QString::fromUtf8(raw);
        if (line.isEmpty() || line.startsWith(QStringLiteral("# HELP ")))
            continue;
        if (const auto t = type.match(line); t.hasMatch()) {
            types.insert(t.captured(1), t.captured(2));
            continue;
        }
        const auto s = sample.match(line);
        if (!s.hasMatch()) {
            *error = QStringLiteral("not a sample: ") + line;
            return {};
        }
        QString family = s.captured(1);
        for (const QString &suffix : {QStringLiteral("_bucket"), QStringLiteral("_sum"), QStringLiteral("_count")}) {
            if (family.endsWith(suffix) && types.value(family.chopped(suffix.size())) == u"histogram")
                family.chop(suffix.size());
        }
        if (!types.contains(family)) {
            *error = QStringLiteral("no TYPE before ") + line;
            return {};
        }
        bool ok = false;
        samples.insert(s.captured(1) + s.captured(2), s.captured(3).toDouble(&ok));
        if (!ok && s.captured(3) != u"+Inf") {
            *error = QStringLiteral("not a number: ") + line;
            return {};
        }
    }
    return samples;
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QMap<QString, double> scrape(quint16 port)
{
    const RawHttp::Response r = RawHttp::get(port, "/metrics");
    if (r.status != 200 || !r.header("content-type").startsWith("text/plain; version=0.0.4"))
        return {};
    QString error;
    const QMap<QString, double> samples = parseExposition(r.body, &error);
    if (!error.isEmpty())
        qWarning().noquote() << error;
    return samples;
}

// A datagram socket where catalogd sends its notices, as systemd's NOTIFY_SOCKET.
class NotifySocket
{
public:
    explicit NotifySocket(const QString &path) : m_path(path)
    {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof address.sun_path);
        m_bound = ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    ~NotifySocket()
    {
        ::close(m_fd);
        QFile::remove(m_path);
    }
    bool isBound() const { return m_bound; }
    // The messages that arrive within `ms`, each as one string.
    QStringList receive(int ms)
    {
        QStringList out;
        QElapsedTimer clock;
        clock.start();
        pollfd p{m_fd, POLLIN, 0};
        while (clock.elapsed() < ms && ::poll(&p, 1, int(ms - clock.elapsed())) > 0) {
            char buffer[4096];
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n > 0)
                out << QString::fromUtf8(buffer, n);
        }
        return out;
    }

private:
    QString m_path;
    int m_fd = -1;
    bool m_bound = false;
};

} // namespace

class TestOperations : public QObject
{
    Q_OBJECT
private slots:
    void metricsCountAndAreGuarded();
    void accessLog_data();
    void accessLog();
    void healthFollowsTheStore();
    void notifiesSystemd();
};

void TestOperations::metricsCountAndAreGuarded()
{
    CatalogdProcess server;
    CatalogdProcess::Options options;
    options.freeFailures = 1;
    options.extraArgs = {QStringLiteral("--trusted-proxy"), QStringLiteral("127.0.0.1"),
                         QStringLiteral("--metrics-allow"), QStringLiteral("198.51.100.0/24")};
    QVERIFY2(server.start(options), qPrintable(server.errorString()));
    const quint16 port = server.port();
    const QMap<QString, double> before = scrape(port);
    QVERIFY(!before.isEmpty());

    for (int i = 0; i < 3; ++i)
        QCOMPARE(RawHttp::get(port, "/adminphp/users_upload.php?page=2").status, 200);
    QCOMPARE(RawHttp::get(port, "/nowhere").status, 404);
    for (int i = 0; i < 3; ++i) // the third is refused without a check
        RawHttp::get(port, "/adminphp/to_examine.php?cz=0&pass=wrong");

    const QMap<QString, double> after = scrape(port);
    auto moved = [&](const QString &key) { return after.value(key) - before.value(key); };
    QCOMPARE(moved(QStringLiteral("catalogd_http_requests_total{route=\"users_upload\",status=\"200\"}")), 3.0);
    QCOMPARE(moved(QStringLiteral("catalogd_http_requests_total{route=\"other\",status=\"404\"}")), 1.0);
    QCOMPARE(moved(QStringLiteral("catalogd_http_request_duration_seconds_count{route=\"users_upload\"}")), 3.0);
    QCOMPARE(after.value(QStringLiteral("catalogd_http_request_duration_seconds_bucket{route=\"users_upload\",le=\"+Inf\"}")), 3.0);
    QVERIFY(moved(QStringLiteral("catalogd_page_cache_hits_total")) >= 2);
    QVERIFY(moved(QStringLiteral("catalogd_page_cache_misses_total")) >= 1);
    QVERIFY(moved(QStringLiteral("catalogd_refusals_total{kind=\"password\"}")) >= 1);
    QVERIFY(after.value(QStringLiteral("catalogd_open_connections")) >= 1); // the scrape itself
    QCOMPARE(after.value(QStringLiteral("catalogd_store_up")), 1.0);
    for (const QString &gauge : {QStringLiteral("catalogd_spooled_bytes"), QStringLiteral("catalogd_unsent_bytes"),
                                 QStringLiteral("catalogd_store_errors_total"),
                                 QStringLiteral("catalogd_store_reconnects_total")})
        QVERIFY2(after.contains(gauge), qPrintable(gauge));

    // Judged on the client the trusted proxy names: a listed one reads, anyone else gets 404.
    const RawHttp::Response listed = RawHttp::send(port, getWith("/metrics", {"X-Forwarded-For: 198.51.100.7"}));
    QCOMPARE(listed.status, 200);
    const RawHttp::Response other = RawHttp::send(port, getWith("/metrics", {"X-Forwarded-For: 203.0.113.5"}));
    QCOMPARE(other.status, 404);
    QVERIFY(!other.body.contains("catalogd_"));
    QVERIFY(!listed.body.contains(Password));
}

void TestOperations::accessLog_data()
{
    QTest::addColumn<bool>("json");
    QTest::newRow("combined") << false;
    QTest::newRow("json lines") << true;
}

// One line per request in the chosen format, the administration query without its values,
// and a new file after logrotate moved the old one and sent SIGHUP.
void TestOperations::accessLog()
{
    QFETCH(bool, json);
    QTemporaryDir logs;
    const QString file = logs.filePath(QStringLiteral("access.log"));
    CatalogdProcess server;
    CatalogdProcess::Options options;
    options.extraArgs = {QStringLiteral("--access-log"), file};
    if (json)
        options.extraArgs << QStringLiteral("--access-log-format") << QStringLiteral("json");
    QVERIFY2(server.start(options), qPrintable(server.errorString()));
    const quint16 port = server.port();

    struct Expected
    {
        QByteArray target;
        QByteArray logged;
        int status;
    };
    const QList<Expected> requests{
            {"/adminphp/admin_upload.php?page=1&q=%E5%B7%A5", "/adminphp/admin_upload.php?page=1&q=%E5%B7%A5", 200},
            {"/adminphp/to_examine.php?cz=2&pass=" + Password + "&page=1", "/adminphp/to_examine.php?cz&pass&page", 200},
            {"/adminphp/to_examine.php?cz=0&pass=Wrong-Guess&x=1", "/adminphp/to_examine.php?cz&pass&(+1)", 200},
            {"/adminphp/up/read%20me.txt", "/adminphp/up/read%20me.txt", 200},
            {"/kovitongji.asp", "/kovitongji.asp", 200},
            {"/healthz", "/healthz", 200},
            {"/missing", "/missing", 404},
    };
    for (const Expected &e : requests)
        QCOMPARE(RawHttp::send(port, getWith(e.target, {"User-Agent: tavrel \"test\"", "Referer: http://x/adminphp/to_examine.php?pass=" + Password})).status,
                 e.status);

    QByteArray log;
    QTRY_VERIFY((log = fileBytes(file)).count('\n') >= requests.size());
    const QList<QByteArray> lines = log.trimmed().split('\n');
    QCOMPARE(lines.size(), requests.size());
    static const QRegularExpression combined(QStringLiteral(
            "^127\\.0\\.0\\.1 - - \\[\\d\\d/[A-Z][a-z]{2}/\\d{4}:\\d\\d:\\d\\d:\\d\\d \\+0000\\] \"GET (\\S+) HTTP/1\\.1\" (\\d{3}) (\\d+) \"([^\"]*)\" \"([^\"]*)\"$"));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QString target, referer, agent;
        int status = 0;
        if (json) {
            const QJsonObject o = QJsonDocument::fromJson(lines[i]).object();
            QCOMPARE(o.value(QStringLiteral("client")).toString(), QStringLiteral("127.0.0.1"));
            QCOMPARE(o.value(QStringLiteral("method")).toString(), QStringLiteral("GET"));
            QVERIFY(o.value(QStringLiteral("duration_ms")).isDouble());
            QVERIFY(QDateTime::fromString(o.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs).isValid());
            target = o.value(QStringLiteral("target")).toString();
            status = o.value(QStringLiteral("status")).toInt();
            referer = o.value(QStringLiteral("referer")).toString();
            agent = o.value(QStringLiteral("user_agent")).toString();
        } else {
            const auto m = combined.match(QString::fromUtf8(lines[i]));
            QVERIFY2(m.hasMatch(), lines[i].constData());
            target = m.captured(1);
            status = m.captured(2).toInt();
            referer = m.captured(4);
            agent = m.captured(5);
        }
        QCOMPARE(target, QString::fromLatin1(requests[i].logged));
        QCOMPARE(status, requests[i].status);
        QCOMPARE(referer, QStringLiteral("http://x/adminphp/to_examine.php?..."));
        QCOMPARE(agent, json ? QStringLiteral("tavrel \"test\"") : QStringLiteral("tavrel \\x22test\\x22"));
    }
    QVERIFY(!log.contains(Password));
    QVERIFY(!log.contains("Wrong-Guess"));
    QVERIFY(!server.output().contains(QStringLiteral("GET /"))); // not on stderr as well

    // logrotate: the file is renamed, SIGHUP, and the next line goes to a new file.
    QVERIFY(QFile::rename(file, file + QStringLiteral(".1")));
    ::kill(pid_t(server.process()->processId()), SIGHUP);
    QTRY_VERIFY(QFile::exists(file));
    QCOMPARE(RawHttp::get(port, "/adminphp/users_upload.php?page=1").status, 200);
    QTRY_VERIFY(fileBytes(file).contains("/adminphp/users_upload.php?page=1"));
    QVERIFY(server.process()->state() == QProcess::Running);
}

// 200 while the store answers. On PostgreSQL: 503 while it is stopped, then 200 again, lists
// served and other instances' changes heard, all without a restart of catalogd.
void TestOperations::healthFollowsTheStore()
{
    CatalogdProcess server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const quint16 port = server.port();
    const RawHttp::Response healthy = RawHttp::get(port, "/healthz");
    QCOMPARE(healthy.status, 200);
    QCOMPARE(healthy.header("cache-control"), QByteArray("no-store"));
    QCOMPARE(RawHttp::get(port, "/healthz", {}, "HEAD").status, 200);

    const QString ctl = qEnvironmentVariable("TAVREL_POSTGRESQL_CTL");
    if (ctl.isEmpty())
        QSKIP("the outage needs PostgreSQL: runs in tst_operations_postgresql");
    auto users = [&](const QByteArray &q) {
        return RawHttp::parseCatalogPage(RawHttp::get(port, "/adminphp/users_upload.php?page=1&q=" + q).body);
    };
    QCOMPARE(users("").recordCount, QStringLiteral("26")); // cached from here on
    const QByteArrayList searches{"a", "e", "i", "o", "t", "n", "s", "r"};
    QStringList counts;
    for (const QByteArray &q : searches)
        counts << users(q).recordCount;
    QVERIFY(counts.join(QString()) != QStringLiteral("00000000"));
    const qint64 pid = server.process()->processId();

    QCOMPARE(QProcess::execute(ctl, {QStringLiteral("stop")}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(RawHttp::get(port, "/healthz").status, 503, 5000);
    QCOMPARE(QProcess::execute(ctl, {QStringLiteral("start")}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(RawHttp::get(port, "/healthz").status, 200, 10000);

    // The cache was dropped: every page is read again, over every thread's reopened connection.
    for (qsizetype i = 0; i < searches.size(); ++i)
        QCOMPARE(users(searches[i]).recordCount, counts[i]);
    // The subscription is renewed: a change by another instance reaches the cached list.
    QString error;
    const QString database = CatalogdProcess::databaseFor(server.dataDir(), &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(QProcess::execute(QStringLiteral("psql"),
                               {QStringLiteral("-qd"), database, QStringLiteral("-c"),
                                QStringLiteral("BEGIN; UPDATE items SET approved = 0 WHERE id = (SELECT max(id) FROM items"
                                               " WHERE from_admin = 0 AND approved = 1); NOTIFY catalogd_changes; COMMIT;")}),
             0);
    QTRY_COMPARE(users("").recordCount, QStringLiteral("25"));
    QCOMPARE(server.process()->processId(), pid);
    QVERIFY(scrape(port).value(QStringLiteral("catalogd_store_reconnects_total")) >= 1);
}

// READY=1 once it listens, then watchdog beats from the event loop.
void TestOperations::notifiesSystemd()
{
    QTemporaryDir dir;
    NotifySocket socket(dir.filePath(QStringLiteral("notify")));
    QVERIFY(socket.isBound());
    qputenv("NOTIFY_SOCKET", QFile::encodeName(dir.filePath(QStringLiteral("notify"))));
    qputenv("WATCHDOG_USEC", "200000");
    CatalogdProcess server;
    CatalogdProcess::Options options;
    options.demo = false;
    const bool started = server.start(options);
    qunsetenv("NOTIFY_SOCKET");
    qunsetenv("WATCHDOG_USEC");
    QVERIFY2(started, qPrintable(server.errorString()));

    const QStringList messages = socket.receive(1000);
    const QString all = messages.join(u'|');
    QVERIFY2(messages.contains(QStringLiteral("READY=1\nSTATUS=serving on %1").arg(server.rootUrl())), qPrintable(all));
    const qsizetype ready = messages.indexOf(QStringLiteral("READY=1\nSTATUS=serving on %1").arg(server.rootUrl()));
    QVERIFY2(messages.first().startsWith(QStringLiteral("EXTEND_TIMEOUT_USEC=")), qPrintable(all));
    QVERIFY2(messages.mid(ready).count(QStringLiteral("WATCHDOG=1")) >= 3, qPrintable(all));
}

QTEST_GUILESS_MAIN(TestOperations)
#include "tst_operations.moc"
