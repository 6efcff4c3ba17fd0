#include <QCryptographicHash>
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

// An export's lines with the last one's SHA-256 made right again, as after an edit by hand.
QByteArray sealed(QByteArrayList lines)
{
    QJsonObject end = QJsonDocument::fromJson(lines.takeLast()).object();
    const QByteArray body = lines.join('\n') + '\n';
    end[QStringLiteral("sha256")] =
        QString::fromLatin1(QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex());
    return body + QJsonDocument(end).toJson(QJsonDocument::Compact) + '\n';
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

// A one-shot run of catalogd (--export, --import, --backup, --audit).
struct Run
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

Run catalogd(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral(TAVREL_CATALOGD_PATH), args);
    Run r;
    if (!p.waitForFinished(120000))
        return r;
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

// The store of a data folder as the one-shot commands take it: PostgreSQL when the tests run
// there and `postgresql` is true, else the SQLite file in the folder.
QStringList storeArgs(const QString &dataDir, bool postgresql)
{
    QStringList args{QStringLiteral("--data"), dataDir};
    QString error;
    const QString database = postgresql ? CatalogdProcess::databaseFor(dataDir, &error) : QString();
    if (!database.isEmpty())
        args << QStringLiteral("--database") << database;
    return args;
}

// Starts a server on SQLite even when the tests run on PostgreSQL.
bool startOnSqlite(CatalogdProcess &server, const CatalogdProcess::Options &options)
{
    const QByteArray database = qgetenv("TAVREL_CATALOGD_DATABASE");
    qunsetenv("TAVREL_CATALOGD_DATABASE");
    const bool started = server.start(options);
    if (!database.isEmpty())
        qputenv("TAVREL_CATALOGD_DATABASE", database);
    return started;
}

RawHttp::Response upload(quint16 port, const QString &category, const QString &title, const QString &licence,
                         const QString &fileName, const QByteArray &code = "4321")
{
    QByteArray body;
    const QList<QPair<QByteArray, QByteArray>> fields{{"category", category.toUtf8()}, {"title", title.toUtf8()},
                                                      {"licence", licence.toUtf8()}, {"code", code}};
    for (const auto &[name, value] : fields)
        body += "--B\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
    body += "--B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + fileName.toUtf8()
            + "\"\r\nContent-Type: application/octet-stream\r\n\r\npayload\r\n--B--\r\n";
    return RawHttp::send(port, "POST /adminphp/index.php HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                               "Content-Type: multipart/form-data; boundary=B\r\nContent-Length: "
                                       + QByteArray::number(body.size()) + "\r\n\r\n" + body);
}

QByteArray admin(quint16 port, const QByteArray &query, const QByteArray &client = {})
{
    QList<QByteArray> headers;
    if (!client.isEmpty())
        headers << "X-Forwarded-For: " + client;
    return RawHttp::send(port, getWith("/adminphp/to_examine.php?pass=" + Password + '&' + query, headers)).body;
}

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
    void exportImportRoundTrip();
    void damagedExportIsRefused_data();
    void damagedExportIsRefused();
    void backupUnderWrites();
    void auditRecordsEachAction();
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

// SQLite -> file -> the test's store (PostgreSQL in tst_operations_postgresql) -> file gives
// the same bytes; the imported catalogue serves the same pages, credentials and searches.
void TestOperations::exportImportRoundTrip()
{
    CatalogdProcess source;
    CatalogdProcess::Options options;
    options.pageSize = 100;
    QVERIFY2(startOnSqlite(source, options), qPrintable(source.errorString()));
    const quint16 port = source.port();
    // Every field at its limit, Chinese, and what JSON has to escape.
    const QString longChinese = QStringLiteral("标题").repeated(42) + QStringLiteral("x");   // 85 characters, 255 bytes
    const QString quotes = QStringLiteral("quote \" back\\slash 😀 ");
    const QString quoted = quotes + QString(u'a').repeated(200 - quotes.size());
    QCOMPARE(quoted.size(), 200);
    const QString category = QStringLiteral("分").repeated(64);
    const QString licence = QString(u'L').repeated(64);
    const QString fileName = QStringLiteral("文件").repeated(40) + QStringLiteral(".zip");    // 84 characters, 244 bytes
    QCOMPARE(upload(port, category, longChinese, licence, fileName).status, 200);
    QCOMPARE(upload(port, QStringLiteral("工具"), quoted, QStringLiteral("免费"), QStringLiteral("q.bin")).status, 200);
    const RawHttp::CatalogPage pending = RawHttp::parseCatalogPage(admin(port, "cz=3&page=1"));
    QCOMPARE(pending.records.size(), 6);
    for (const QStringList &record : pending.records.mid(1, 2))
        QCOMPARE(admin(port, "cz=4&id=" + record.at(5).toUtf8()), QByteArray("0"));
    const QByteArray lastId = pending.records.first().at(5).toUtf8(); // the newest upload
    QCOMPARE(admin(port, "cz=5&id=" + lastId), QByteArray("0")); // the highest id, deleted
    QCOMPARE(admin(port, "cz=7&topass=00123"), QByteArray("0"));

    QTemporaryDir files;
    const QString first = files.filePath(QStringLiteral("first.jsonl"));
    const QString second = files.filePath(QStringLiteral("second.jsonl"));
    const Run exported = catalogd(storeArgs(source.dataDir(), false) << QStringLiteral("--export") << first);
    QVERIFY2(exported.status == 0, exported.err.constData());
    QCOMPARE(QFile::permissions(first) & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QVERIFY(fileBytes(first).contains(longChinese.toUtf8()));
    QVERIFY(!fileBytes(first).contains("store_format"));
    static const QRegularExpression digest(QStringLiteral("\"sha256\":\"[0-9a-f]{64}\""));
    QVERIFY(digest.match(QString::fromUtf8(fileBytes(first))).hasMatch()); // the files' digests travel too
    // What a bulk load has to escape, in the title of an audit record (no page shows those).
    QByteArrayList lines = fileBytes(first).split('\n');
    lines.removeLast();
    const auto audit = std::find_if(lines.begin(), lines.end(), [](const QByteArray &l) { return l.contains("\"kind\":\"audit\",\"result\""); });
    QVERIFY(audit != lines.end());
    QJsonObject record = QJsonDocument::fromJson(*audit).object();
    record[QStringLiteral("title")] = QStringLiteral("tab\t line\n return\r back\\slash \\N");
    *audit = QJsonDocument(record).toJson(QJsonDocument::Compact);
    const QByteArray bytes = sealed(lines);
    QFile edited(first);
    QVERIFY(edited.open(QIODevice::WriteOnly | QIODevice::Truncate) && edited.write(bytes) == bytes.size());
    edited.close();

    QTemporaryDir target;
    const QStringList targetStore = storeArgs(target.path(), true);
    const Run imported = catalogd(QStringList(targetStore) << QStringLiteral("--import") << first);
    QVERIFY2(imported.status == 0, imported.err.constData());
    QVERIFY2(imported.out.contains("imported 61 items, 1 deleted ids"), imported.out.constData());
    const Run again = catalogd(QStringList(targetStore) << QStringLiteral("--export") << second);
    QVERIFY2(again.status == 0, again.err.constData());
    QVERIFY(fileBytes(second) == bytes);
    const Run twice = catalogd(QStringList(targetStore) << QStringLiteral("--import") << first);
    QCOMPARE(twice.status, 1);
    QVERIFY(twice.err.contains("not empty"));

    // Served alike: lists, a Chinese search (indexes filled), the carried credentials.
    CatalogdProcess moved;
    options.dataDir = target.path();
    options.demo = false;
    options.adminPassword = QStringLiteral("not-used");
    QVERIFY2(moved.start(options), qPrintable(moved.errorString()));
    for (const QByteArray &query : {QByteArrayLiteral("cz=2&page=1"), QByteArrayLiteral("cz=3&page=1"),
                                    "cz=2&page=1&q=" + RawHttp::encode(QStringLiteral("标题标")),
                                    QByteArrayLiteral("cz=2&page=1&q=%E5%88%86"), QByteArrayLiteral("cz=6")})
        QCOMPARE(admin(moved.port(), query), admin(port, query));
    QCOMPARE(upload(moved.port(), QStringLiteral("c"), QStringLiteral("after"), QStringLiteral("l"), QStringLiteral("n.bin"), "00123").status, 200);
    QCOMPARE(RawHttp::parseCatalogPage(admin(moved.port(), "cz=3&page=1")).records.first().at(5).toLongLong(),
             lastId.toLongLong() + 1); // a deleted id is never given again

    // The search indexes built at the import's end are kept by the store's own upkeep after it.
    const QByteArray search = "cz=2&page=1&q=%E5%88%86"; // 分, in one item's category only
    const RawHttp::CatalogPage found = RawHttp::parseCatalogPage(admin(moved.port(), search));
    QCOMPARE(found.records.size(), 1);
    QCOMPARE(admin(moved.port(), "cz=5&id=" + found.records.first().at(5).toUtf8()), QByteArray("0"));
    QCOMPARE(RawHttp::parseCatalogPage(admin(moved.port(), search)).recordCount, QStringLiteral("0"));
}

void TestOperations::damagedExportIsRefused_data()
{
    QTest::addColumn<int>("line");           // the line to replace (1 is the first, -1 the last)
    QTest::addColumn<QByteArray>("replaced"); // with this; null: the line goes
    QTest::addColumn<int>("cut");            // bytes cut off the end of the file
    QTest::addColumn<QString>("expected");   // "line N: ..." with -1 for the last line
    QTest::addColumn<bool>("seal");          // the last line made to match again
    QTest::newRow("cut inside the last line") << 0 << QByteArray() << 20 << QStringLiteral("line -1: the line is cut short") << false;
    QTest::newRow("last line lost") << -1 << QByteArray() << 0 << QStringLiteral("line 0: the file ends before its last line") << false;
    QTest::newRow("not JSON") << 4 << QByteArrayLiteral("{\"kind\":\"setting\",") << 0 << QStringLiteral("line 4: not JSON") << false;
    QTest::newRow("text for an id") << 8 << QByteArrayLiteral("{\"id\":\"7\",\"kind\":\"item\"}") << 0 << QStringLiteral("line 8: \"id\" is not an integer") << false;
    QTest::newRow("a field missing") << 8 << QByteArrayLiteral("{\"id\":7,\"kind\":\"item\"}") << 0 << QStringLiteral("line 8: \"category\" is not a text") << false;
    QTest::newRow("a digest that is none") << 8 << QByteArrayLiteral("{\"approved\":1,\"category\":\"x\",\"file_name\":\"x.bin\",\"from_admin\":1,\"id\":7,\"kind\":\"item\",\"licence\":\"x\",\"sha256\":\"abc\",\"title\":\"x\",\"updated\":\"2026-01-01 00:00:00\"}")
                                          << 0 << QStringLiteral("line 8: \"sha256\" is not a SHA-256 in hex") << false;
    QTest::newRow("unknown kind") << 9 << QByteArrayLiteral("{\"kind\":\"surprise\"}") << 0 << QStringLiteral("line 9: unknown kind") << false;
    QTest::newRow("a line lost") << 9 << QByteArray() << 0 << QStringLiteral("line -1: the file holds other records") << false;
    QTest::newRow("a value changed") << 9 << QByteArrayLiteral("{\"approved\":1,\"category\":\"x\",\"file_name\":\"x.bin\",\"from_admin\":1,\"id\":100000,\"kind\":\"item\",\"licence\":\"x\",\"sha256\":null,\"title\":\"x\",\"updated\":\"2026-01-01 00:00:00\"}")
                                     << 0 << QStringLiteral("line -1: the file was changed or damaged") << false;
    QTest::newRow("not an export") << 1 << QByteArrayLiteral("{\"kind\":\"something-else\"}") << 0 << QStringLiteral("line 1: not a catalogd export") << false;
    QTest::newRow("newer format") << 1 << QByteArrayLiteral("{\"id_sequence\":60,\"kind\":\"catalogd-export\",\"version\":99}") << 0 << QStringLiteral("line 1: written by a newer catalogd") << false;
    QTest::newRow("an id twice, sealed") << 9 << QByteArrayLiteral("{\"approved\":1,\"category\":\"x\",\"file_name\":\"x.bin\",\"from_admin\":1,\"id\":1,\"kind\":\"item\",\"licence\":\"x\",\"sha256\":null,\"title\":\"x\",\"updated\":\"2026-01-01 00:00:00\"}")
                                         << 0 << QStringLiteral("cannot store the records") << true;
}

// Refused with the line, and nothing of it stored: the whole file goes in afterwards.
void TestOperations::damagedExportIsRefused()
{
    QFETCH(int, line);
    QFETCH(QByteArray, replaced);
    QFETCH(int, cut);
    QFETCH(QString, expected);
    QFETCH(bool, seal);
    static QByteArray whole;
    static QTemporaryDir files;
    const QString good = files.filePath(QStringLiteral("good.jsonl"));
    if (whole.isEmpty()) {
        CatalogdProcess source;
        QVERIFY2(startOnSqlite(source, {}), qPrintable(source.errorString()));
        QCOMPARE(catalogd(storeArgs(source.dataDir(), false) << QStringLiteral("--export") << good).status, 0);
        whole = fileBytes(good);
    }
    QByteArrayList lines = whole.split('\n');
    lines.removeLast(); // after the last line break
    if (line != 0) {
        const qsizetype at = line > 0 ? line - 1 : lines.size() - 1;
        if (replaced.isNull())
            lines.removeAt(at);
        else
            lines[at] = replaced;
    }
    QByteArray damaged = seal ? sealed(lines) : lines.join('\n') + '\n';
    damaged.chop(cut);
    const QString path = files.filePath(QStringLiteral("damaged.jsonl"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(damaged) == damaged.size());
    file.close();
    expected.replace(QStringLiteral("line -1"), QStringLiteral("line %1").arg(lines.size()));
    expected.replace(QStringLiteral("line 0"), QStringLiteral("line %1").arg(lines.size() + 1));

    QTemporaryDir target;
    const QStringList store = storeArgs(target.path(), true);
    const Run refused = catalogd(QStringList(store) << QStringLiteral("--import") << path);
    QCOMPARE(refused.status, 1);
    QVERIFY2(refused.err.contains(expected.toUtf8()), refused.err.constData());
    const Run whole_ = catalogd(QStringList(store) << QStringLiteral("--import") << good);
    QVERIFY2(whole_.status == 0, whole_.err.constData());
}

// A copy taken while uploads go on holds every item committed before it began, and serves.
void TestOperations::backupUnderWrites()
{
    CatalogdProcess server;
    CatalogdProcess::Options options;
    options.demo = false;
    options.pageSize = 1000;
    QVERIFY2(startOnSqlite(server, options), qPrintable(server.errorString()));
    QStringList committed;
    auto add = [&] {
        const QString title = QStringLiteral("item %1").arg(committed.size());
        if (upload(server.port(), QStringLiteral("c"), title, QStringLiteral("l"), title + QStringLiteral(".bin")).status == 200)
            committed << title;
    };
    for (int i = 0; i < 20; ++i)
        add();
    QCOMPARE(committed.size(), 20);

    QTemporaryDir restored;
    const QString copy = restored.filePath(QStringLiteral("catalog.db"));
    QProcess backup;
    backup.start(QStringLiteral(TAVREL_CATALOGD_PATH), {QStringLiteral("--data"), server.dataDir(), QStringLiteral("--backup"), copy});
    const qsizetype before = committed.size();
    for (int i = 0; i < 200 && backup.state() != QProcess::NotRunning; ++i)
        add(); // meanwhile
    QVERIFY(backup.waitForFinished(30000));
    QVERIFY2(backup.exitCode() == 0, backup.readAllStandardError().constData());
    QCOMPARE(QFile::permissions(copy) & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QVERIFY(QDir(restored.path()).entryList({QStringLiteral("*.partial-*")}, QDir::Files).isEmpty());

    CatalogdProcess fromCopy;
    options.dataDir = restored.path();
    QVERIFY2(startOnSqlite(fromCopy, options), qPrintable(fromCopy.errorString()));
    const RawHttp::CatalogPage all = RawHttp::parseCatalogPage(admin(fromCopy.port(), "cz=2&page=1"));
    QStringList titles;
    for (const QStringList &record : all.records)
        titles << record.at(1);
    for (qsizetype i = 0; i < before; ++i)
        QVERIFY2(titles.contains(committed[i]), qPrintable(committed[i]));
    QVERIFY(titles.size() <= committed.size());
    QCOMPARE(all.recordCount.toLongLong(), titles.size());

    if (!qEnvironmentVariableIsEmpty("TAVREL_CATALOGD_DATABASE")) {
        const Run refused = catalogd(storeArgs(server.dataDir() + QStringLiteral("-pg"), true) << QStringLiteral("--backup") << copy);
        QCOMPARE(refused.status, 2);
        QVERIFY(refused.err.contains("pg_dump"));
    }
}

// Every approve, delete, password and code change, with its client and result; wrong
// passwords and refused values are not actions; no secret is written.
void TestOperations::auditRecordsEachAction()
{
    CatalogdProcess server;
    CatalogdProcess::Options options;
    options.extraArgs = {QStringLiteral("--trusted-proxy"), QStringLiteral("127.0.0.1")};
    QVERIFY2(server.start(options), qPrintable(server.errorString()));
    const quint16 port = server.port();
    const RawHttp::CatalogPage pending = RawHttp::parseCatalogPage(admin(port, "cz=3&page=1"));
    const QByteArray id = pending.records.first().at(5).toUtf8();
    const QString title = pending.records.first().at(1);
    QByteArray password = Password;
    const struct
    {
        QByteArray query;
        QString recorded; // the line's end after its time; empty: nothing recorded
    } actions[] = {
            {"cz=4&id=" + id, QStringLiteral("203.0.113.9 approve %1 done %2").arg(QString::fromLatin1(id), title)},
            {"cz=4&id=" + id, QStringLiteral("203.0.113.9 approve %1 already-done %2").arg(QString::fromLatin1(id), title)},
            {"cz=4&id=999999", QStringLiteral("203.0.113.9 approve 999999 no-such-item -")},
            {"cz=5&id=" + id, QStringLiteral("203.0.113.9 delete %1 done %2").arg(QString::fromLatin1(id), title)},
            {"cz=5&id=" + id, QStringLiteral("203.0.113.9 delete %1 already-done -").arg(QString::fromLatin1(id))},
            {"cz=5&id=abc", QString()},
            {"cz=7&topass=24680", QStringLiteral("203.0.113.9 security-code - done -")},
            {"cz=7&topass=1", QString()},
            {"cz=1&topass=N3w-Secret", QStringLiteral("203.0.113.9 password - done -")},
            {"cz=4&id=" + id, QString()}, // the old password no longer works
    };
    QStringList expected;
    for (const auto &action : actions) {
        admin(port, action.query, "203.0.113.9");
        if (!action.recorded.isEmpty())
            expected << action.recorded;
        const Run audit = catalogd(storeArgs(server.dataDir(), true) << QStringLiteral("--audit"));
        QVERIFY2(audit.status == 0, audit.err.constData());
        const QStringList lines = QString::fromUtf8(audit.out).split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), expected.size());
        if (!expected.isEmpty()) {
            static const QRegularExpression time(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ "));
            QVERIFY2(time.match(lines.last()).hasMatch(), qPrintable(lines.last()));
            QCOMPARE(lines.last().mid(21), expected.last());
        }
        QVERIFY(!audit.out.contains("24680") && !audit.out.contains("N3w-Secret") && !audit.out.contains(password));
    }
    const QString today = QDateTime::currentDateTimeUtc().date().toString(Qt::ISODate);
    const QString tomorrow = QDateTime::currentDateTimeUtc().date().addDays(1).toString(Qt::ISODate);
    QCOMPARE(catalogd(storeArgs(server.dataDir(), true) << QStringLiteral("--audit") << QStringLiteral("--since") << today).out.count('\n'),
             expected.size());
    QCOMPARE(catalogd(storeArgs(server.dataDir(), true) << QStringLiteral("--audit") << QStringLiteral("--since") << tomorrow).out,
             QByteArray());
}

QTEST_GUILESS_MAIN(TestOperations)
#include "tst_operations.moc"
