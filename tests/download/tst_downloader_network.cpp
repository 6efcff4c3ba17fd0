// The control with the real fetch service against the loopback fault server: what is raised,
// what ends up on disk, and that nothing is left beside the target.

#include "FaultServer.h"
#include "FileTree.h"
#include "core/Digest.h"
#include "core/NetworkFailure.h"
#include "core/Sha256.h"
#include "download/Downloader.h"
#include "download/NetworkFetchService.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

using namespace std::chrono_literals;
using Reply = FaultServer::Reply;

namespace {

constexpr auto IdleTimeout = 500ms;

QByteArray sampleBody(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (char &c : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x);
    }
    return bytes;
}

Reply with(Reply r, FaultServer::Fault fault,
           FaultServer::Length length = FaultServer::Length::Exact)
{
    r.fault = fault;
    r.length = length;
    return r;
}

Reply drip(QByteArray body, int bytes, int intervalMs)
{
    Reply r = FaultServer::ok(std::move(body));
    r.fault = FaultServer::Fault::Drip;
    r.dripBytes = bytes;
    r.dripIntervalMs = intervalMs;
    return r;
}

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                               QDir::NoDotAndDotDot);
}

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<absent>");
}

// Caps the size of any file this process writes, so a write fails part-way as on a full disk.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_saved);
        rlimit capped = m_saved;
        capped.rlim_cur = bytes;
        m_ok = setrlimit(RLIMIT_FSIZE, &capped) == 0;
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &m_saved); }
    bool ok() const { return m_ok; }

private:
    rlimit m_saved{};
    bool m_ok = false;
};

} // namespace

class TestDownloaderNetwork : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { FaultServer::trustTestAuthority(); }
    void init();
    void cleanup();

    void fetch_data();
    void fetch();
    void resumes_data();
    void resumes();
    void lyingServers_data();
    void lyingServers();
    void trickleCountsAsStalled();
    void cancelWhileWaitingToResume();
    void diskNearlyFull_data();
    void diskNearlyFull();
    void threeSideBySideTwoFailing();
    void sameKeyWhileRunningIsRefused();
    void cancelAll();
    void destroyWhileRunning();
    void refusedStarts_data();
    void refusedStarts();
    void serviceReportsTheStages();

private:
    std::unique_ptr<Downloader> makeControl(std::chrono::milliseconds idle = IdleTimeout);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<FaultServer> m_server;
    QStringList m_boxes;
};

void TestDownloaderNetwork::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_server = std::make_unique<FaultServer>();
    QVERIFY(m_server->port() != 0);
    m_boxes.clear();
}

void TestDownloaderNetwork::cleanup()
{
    m_server.reset();
    m_dir.reset();
}

std::unique_ptr<Downloader> TestDownloaderNetwork::makeControl(std::chrono::milliseconds idle)
{
    auto service = std::make_unique<NetworkFetchService>();
    service->setIdleTimeout(idle);
    auto control = std::make_unique<Downloader>(std::move(service),
                                                [this](const QString &text) { m_boxes << text; });
    control->setRetryWaits(QList<std::chrono::milliseconds>(5, 0ms));
    return control;
}

void TestDownloaderNetwork::fetch_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QByteArray>("existing");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QByteArray>("expected"); // the file after a success

    using F = FaultServer::Fault;
    using L = FaultServer::Length;
    const QByteArray body = sampleBody(300 * 1024);
    const QByteArray none;

    QTest::newRow("whole file with length") << FaultServer::ok(body) << "" << none << true << body;
    QTest::newRow("whole file without length")
        << with(FaultServer::ok(body), F::None, L::Missing) << "" << none << true << body;
    QTest::newRow("empty file") << FaultServer::ok({}) << "" << none << true << QByteArray();
    QTest::newRow("length shorter than body: announced length kept")
        << with(FaultServer::ok(body), F::None, L::Shorter) << "" << none << true
        << body.left(body.size() / 2);
    QTest::newRow("404") << FaultServer::status(404, "no such file") << "" << none << false << none;
    QTest::newRow("500") << FaultServer::status(500, "broken") << "" << none << false << none;
    QTest::newRow("close mid-body")
        << with(FaultServer::ok(body), F::CloseMidBody) << "" << none << false << none;
    QTest::newRow("length longer than body")
        << with(FaultServer::ok(body), F::None, L::Longer) << "" << none << false << none;
    QTest::newRow("reset") << with(FaultServer::ok(body), F::Reset) << "" << none << false << none;
    QTest::newRow("silent server")
        << with(FaultServer::ok(body), F::Silence) << "" << none << false << none;
    // Takes longer in all than the idle time-out, but never goes quiet that long.
    QTest::newRow("slow drip") << drip(body.left(120), 5, 50) << "" << none << true
                               << body.left(120);
    QTest::newRow("redirect") << FaultServer::ok(body) << "redirect" << none << true << body;
    QTest::newRow("endless redirects")
        << FaultServer::ok(body) << "redirect loop" << none << false << none;
    QTest::newRow("redirect to another scheme")
        << FaultServer::ok(body) << "redirect to ftp" << none << false << none;
    QTest::newRow("redirect from https to http")
        << FaultServer::ok(body) << "https to http" << none << false << none;
    QTest::newRow("target folder missing")
        << FaultServer::ok(body) << "no folder" << none << false << none;
    QTest::newRow("write fails part-way")
        << FaultServer::ok(body) << "file size limit" << none << false << none;
    const QByteArray old = sampleBody(500 * 1024).toBase64();
    QTest::newRow("existing file kept after 404")
        << FaultServer::status(404) << "" << old << false << none;
    QTest::newRow("existing file kept after a cut")
        << with(FaultServer::ok(body), F::CloseMidBody) << "" << old << false << none;
    QTest::newRow("existing file kept when the write fails")
        << FaultServer::ok(body) << "file size limit" << old.left(10) << false << none;
    QTest::newRow("existing longer file replaced whole")
        << FaultServer::ok(body) << "" << old << true << body;
}

void TestDownloaderNetwork::fetch()
{
    QFETCH(Reply, reply);
    QFETCH(QString, setup);
    QFETCH(QByteArray, existing);
    QFETCH(bool, succeeds);
    QFETCH(QByteArray, expected);

    m_server->setReply("/file", reply);
    QString url = m_server->url("file");
    if (setup == "redirect") {
        m_server->setReply("/moved", FaultServer::redirect("/file"));
        url = m_server->url("moved");
    } else if (setup == "redirect loop") {
        for (int i = 0; i < 10; ++i) {
            m_server->setReply(QStringLiteral("/hop%1").arg(i),
                               FaultServer::redirect(QStringLiteral("/hop%1").arg(i + 1)));
        }
        url = m_server->url("hop0");
    } else if (setup == "redirect to ftp") {
        m_server->setReply("/away", FaultServer::redirect("ftp://127.0.0.1/file"));
        url = m_server->url("away");
    }
    FaultServer secure(QStringLiteral("valid"));
    if (setup == "https to http") {
        secure.setReply("/file", FaultServer::redirect(url));
        url = secure.url("file");
    }
    const QString folder = setup == "no folder" ? m_dir->filePath("missing") : m_dir->path();
    const QString target = folder + "/item.bin";
    if (!existing.isNull()) {
        QFile f(target);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(existing), existing.size());
    }

    auto control = makeControl();
    QSignalSpy progress(control.get(), &Downloader::DownloadProgress);
    QSignalSpy error(control.get(), &Downloader::DownloadError);
    QSignalSpy complete(control.get(), &Downloader::DownloadComplete);
    QSignalSpy all(control.get(), &Downloader::DownloadAllComplete);
    {
        std::optional<FileSizeLimit> limit;
        if (setup == "file size limit") {
            limit.emplace(64 * 1024);
            QVERIFY(limit->ok());
        }
        control->BeginDownload(url, target);
        QVERIFY(all.wait(10000));
    }

    QVERIFY(m_boxes.isEmpty());
    QCOMPARE(all.count(), 1);
    const QStringList failed = all.at(0).at(0).toStringList();
    QCOMPARE(failed, succeeds ? QStringList{QString()} : (QStringList{QString(), target}));
    QVERIFY(control->fileList().isEmpty());

    const qint64 announced =
        reply.length == FaultServer::Length::Missing ? 0 : FaultServer::announcedLength(reply);
    if (succeeds) {
        QCOMPARE(error.count(), 0);
        QCOMPARE(complete.count(), 1);
        QCOMPARE(complete.at(0).at(0).toLongLong(), announced);
        QCOMPARE(complete.at(0).at(1).toString(), target);
        QCOMPARE(contents(target), expected);
    } else {
        QCOMPARE(complete.count(), 0);
        QCOMPARE(error.count(), 1);
        QCOMPARE(error.at(0).at(0).toString(), target);
        QVERIFY(!error.at(0).at(1).toString().isEmpty());
        QCOMPARE(contents(target), existing.isNull() ? QByteArray("<absent>") : existing);
    }

    // Progress only with a known length, never past it, and, for a file that arrives, never
    // going back (a cut one is fetched again from its start: this server ignores ranges).
    if (announced == 0 || !succeeds)
        QVERIFY(progress.isEmpty() || announced != 0);
    if (announced == 0 && succeeds)
        QCOMPARE(progress.count(), 0);
    qint64 last = 0;
    for (const QList<QVariant> &p : std::as_const(progress)) {
        QCOMPARE(p.at(1).toLongLong(), announced);
        QVERIFY(!succeeds || p.at(0).toLongLong() >= last);
        QVERIFY(p.at(0).toLongLong() <= announced);
        QCOMPARE(p.at(2).toString(), target);
        last = p.at(0).toLongLong();
    }
    if (succeeds && announced > 0)
        QCOMPARE(last, announced);

    const bool kept = succeeds || !existing.isNull();
    QCOMPARE(entries(folder), kept ? QStringList{"item.bin"} : QStringList{});
    if (setup == "no folder")
        QVERIFY(!QFileInfo::exists(folder));
    if (setup == "redirect loop") {
        // Five redirects followed, not a sixth (Qt may send a request twice when a connection
        // closes early, so only the distinct paths count).
        QStringList paths = m_server->requests();
        paths.removeDuplicates();
        QCOMPARE(paths, (QStringList{"/hop0", "/hop1", "/hop2", "/hop3", "/hop4", "/hop5"}));
    }
    if (setup == "redirect")
        QCOMPARE(m_server->requests(), (QStringList{"/moved", "/file"}));
    if (setup == "https to http") {
        QCOMPARE(m_server->requestCount(), 0);
        QCOMPARE(error.at(0).at(1).toString(),
                 tavrel::failureText(tavrel::NetworkFailure::InsecureRedirect));
    }
}

// The value of a header in a request head, or "-" when it is absent.
QByteArray headerOf(const QByteArray &head, const QByteArray &name)
{
    for (const QByteArray &line : head.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name)
            return line.mid(colon + 1).trimmed();
    }
    return "-";
}

void TestDownloaderNetwork::resumes_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QList<qint64>>("resumedAt"); // where range requests may start: the cuts
    QTest::addColumn<bool>("lossy"); // a reset may lose bytes in flight: resumed at or before
    QTest::addColumn<QByteArray>("ifRange"); // of every range request

    using F = FaultServer::Fault;
    const QByteArray body = sampleBody(300 * 1024);
    const QByteArray etag = "\"v1\"";
    auto ranged = [&](F fault, const QList<qint64> &cuts) {
        Reply r = with(FaultServer::ok(body), fault);
        r.ranges = true;
        r.etag = etag;
        r.cuts = cuts;
        r.cutOnCue = true;
        return r;
    };
    using Offsets = QList<qint64>;

    QTest::newRow("cut once") << ranged(F::CloseMidBody, {100000}) << true << Offsets{100000}
                              << false << etag;
    QTest::newRow("cut twice") << ranged(F::CloseMidBody, {60000, 200000}) << true
                               << Offsets{60000, 200000} << false << etag;
    const Offsets six{40000, 80000, 120000, 160000, 200000, 240000};
    QTest::newRow("cut six times") << ranged(F::CloseMidBody, six) << true << six << false << etag;
    QTest::newRow("reset part-way")
        << ranged(F::Reset, {150000}) << true << Offsets{150000} << true << etag;
    QTest::newRow("stall part-way")
        << ranged(F::Stall, {100000}) << true << Offsets{100000} << false << etag;
    Reply dated = ranged(F::CloseMidBody, {100000});
    dated.etag.clear();
    dated.headers.append(
        std::pair<QByteArray, QByteArray>("Last-Modified", "Tue, 01 Dec 2026 10:00:00 GMT"));
    QTest::newRow("Last-Modified names the file")
        << dated << true << Offsets{100000} << false << QByteArray("Tue, 01 Dec 2026 10:00:00 GMT");
    Reply ignores = ranged(F::CloseMidBody, {100000});
    ignores.ranges = false;
    ignores.rangeRequestsUncut = true;
    QTest::newRow("server ignores ranges: the file again from its start")
        << ignores << true << Offsets{100000} << false << etag;
    Reply shifted = ranged(F::CloseMidBody, {100000});
    shifted.rangeShift = 10;
    QTest::newRow("a range that starts elsewhere: the file again from its start")
        << shifted << true << Offsets{100000} << false << etag;
    QTest::newRow("five tries without progress")
        << ranged(F::Stall, Offsets(6, 100000)) << false << Offsets{100000} << false << etag;
    QTest::newRow("404 is not tried again")
        << FaultServer::status(404, "gone") << false << Offsets{} << false << QByteArray();
}

void TestDownloaderNetwork::resumes()
{
    QFETCH(Reply, reply);
    QFETCH(bool, succeeds);
    QFETCH(QList<qint64>, resumedAt);
    QFETCH(bool, lossy);
    QFETCH(QByteArray, ifRange);

    m_server->setReply("/file", reply);
    const QString target = m_dir->filePath("item.bin");
    auto control = makeControl();
    QSignalSpy progress(control.get(), &Downloader::DownloadProgress);
    QSignalSpy error(control.get(), &Downloader::DownloadError);
    QSignalSpy complete(control.get(), &Downloader::DownloadComplete);
    QSignalSpy all(control.get(), &Downloader::DownloadAllComplete);
    // A cut comes once the control has seen the bytes before it.
    connect(control.get(), &Downloader::DownloadProgress, m_server.get(), &FaultServer::endCuts);
    control->BeginDownload(m_server->url("file"), target);
    QVERIFY(all.wait(20000));

    QCOMPARE(complete.count(), succeeds ? 1 : 0);
    QCOMPARE(error.count(), succeeds ? 0 : 1);
    QCOMPARE(contents(target), succeeds ? reply.body : QByteArray("<absent>"));
    QCOMPARE(entries(m_dir->path()), succeeds ? QStringList{"item.bin"} : QStringList{});
    for (const QList<QVariant> &p : std::as_const(progress))
        QVERIFY(p.at(0).toLongLong() <= p.at(1).toLongLong());

    // Every request after the first asks for the rest of the same file, from where a cut left
    // it, further each time. (Qt may send a request twice over, and a second copy may meet a
    // later cut: not every cut needs a request of its own.)
    QList<qint64> offsets;
    for (const QByteArray &head : m_server->requestHeads()) {
        const QByteArray range = headerOf(head, "range");
        if (range == "-")
            continue;
        QVERIFY2(range.startsWith("bytes=") && range.endsWith('-'), range.constData());
        QCOMPARE(headerOf(head, "if-range"), ifRange);
        const qint64 offset = range.mid(6, range.size() - 7).toLongLong();
        if (offsets.isEmpty() || offsets.last() != offset)
            offsets << offset;
    }
    QCOMPARE(offsets.isEmpty(), resumedAt.isEmpty());
    for (qsizetype i = 0; i < offsets.size(); ++i) {
        QVERIFY(i == 0 || offsets.at(i) > offsets.at(i - 1));
        if (lossy)
            QVERIFY(offsets.at(i) > 0 && offsets.at(i) <= resumedAt.last());
        else
            QVERIFY2(resumedAt.contains(offsets.at(i)), qPrintable(QString::number(offsets.at(i))));
    }
}

using Header = std::pair<QByteArray, QByteArray>;

// The replies of a server that cuts the published file at 200,000 bytes (where a reply's read
// buffer still holds it all, so the client asks for the rest from there) and then answers the
// range request its own way. Each row: nothing but the published file (or the older copy) ever
// at the target; the published file saved whenever it can be had.
void TestDownloaderNetwork::lyingServers_data()
{
    QTest::addColumn<QList<Reply>>("replies"); // one per request, in order
    QTest::addColumn<bool>("saved");
    QTest::addColumn<int>("requests");
    QTest::addColumn<QByteArray>("secondRange"); // Range of the second request, "-" for none
    QTest::addColumn<QString>("reason");         // of the failure, when it fails

    const QByteArray published = sampleBody(1000000);
    QByteArray other = published;
    for (qsizetype i = 200000; i < other.size(); i += 1000)
        other[i] = char(~other.at(i));
    const Header digest{"Repr-Digest", tavrel::reprDigestField(tavrel::Sha256::of(published))};
    const Header otherDigest{"Repr-Digest", tavrel::reprDigestField(tavrel::Sha256::of(other))};
    const Header lastModified{"Last-Modified", "Tue, 01 Dec 2026 10:00:00 GMT"};
    const Header etag{"ETag", "\"v1\""};
    const QByteArray rest = "bytes=200000-";
    const QString mismatch = Downloader::verificationFailedText();

    // The published file, honouring ranges, with these headers.
    const auto honest = [&](QList<Header> headers) {
        Reply r = FaultServer::ok(published);
        r.ranges = true;
        for (const Header &h : headers) {
            if (h.first == "ETag")
                r.etag = h.second;
            else
                r.headers.append(h);
        }
        return r;
    };
    // The same, stalled after 200,000 bytes until the client gives up on it (a connection the
    // server closes may make Qt send its request again by itself, out of order here).
    const auto cut = [&](QList<Header> headers) {
        Reply r = honest(std::move(headers));
        r.fault = FaultServer::Fault::Stall;
        r.cutAt = 200000;
        return r;
    };
    // A 206 for the rest, of the given bytes and Content-Range, whatever was asked.
    const auto partial = [&](const QByteArray &body, const QByteArray &range,
                             QList<Header> headers) {
        Reply r = FaultServer::status(206, body);
        r.headers = headers;
        r.headers.append({"Content-Range", range});
        return r;
    };
    const QByteArray ours = "bytes 200000-999999/1000000";
    // Cut, the rest answered by `lie`, then (when the client starts over) the truth: saved.
    const auto liesAfterCut = [&](const char *name, const QList<Header> &headers,
                                  const Reply &lie) {
        QTest::newRow(name) << QList<Reply>{cut(headers), lie, honest(headers)} << true << 3 << rest
                            << QString();
    };

    liesAfterCut("another ETag: If-Range ignored", {etag},
                 partial(other.mid(200000), ours, {{"ETag", "\"v2\""}}));
    liesAfterCut(
        "another Last-Modified", {lastModified},
        partial(other.mid(200000), ours, {{"Last-Modified", "Wed, 02 Dec 2026 10:00:00 GMT"}}));
    liesAfterCut("the same ETag, other bytes, a digest published", {etag, digest},
                 partial(other.mid(200000), ours, {etag, digest}));
    liesAfterCut("another total", {etag},
                 partial(sampleBody(1300000), "bytes 200000-1499999/1500000", {etag}));
    liesAfterCut("a total of *", {etag},
                 partial(other.mid(200000, 300000), "bytes 200000-499999/*", {etag}));
    liesAfterCut("a range that stops short of the end", {etag},
                 partial(other.mid(200000, 300000), "bytes 200000-499999/1000000", {etag}));
    Reply openEnded = partial(other.mid(200000, 300000), "bytes 200000-499999/*", {etag});
    openEnded.length = FaultServer::Length::Missing;
    liesAfterCut("a total of * and no length", {etag}, openEnded);
    liesAfterCut("no validator, a digest, other bytes", {digest},
                 partial(other.mid(200000), ours, {digest}));
    liesAfterCut("the digest changes between answers", {etag, digest},
                 partial(other.mid(200000), ours, {etag, otherDigest}));
    QTest::newRow("nothing names the file: again from byte 0")
        << QList<Reply>{cut({}), honest({})} << true << 2 << QByteArray("-") << "";
    QTest::newRow("no validator, a digest: resumed by a bare Range")
        << QList<Reply>{cut({digest}), honest({digest})} << true << 2 << rest << "";
    Reply flipped = honest({etag, digest});
    flipped.body = other;
    QTest::newRow("bytes flipped on the way: fetched again")
        << QList<Reply>{flipped, honest({etag, digest})} << true << 2 << QByteArray("-") << "";
    QTest::newRow("the right digest") << QList<Reply>{honest({etag, digest})} << true << 1
                                      << QByteArray("-") << "";
    QTest::newRow("a digest published late covers the whole")
        << QList<Reply>{cut({etag}), honest({etag, digest})} << true << 2 << rest << "";
    QTest::newRow("a wrong digest: fetched again once, then refused")
        << QList<Reply>{honest({etag, otherDigest})} << false << 2 << QByteArray("-") << mismatch;
    QTest::newRow("lies again after starting over")
        << QList<Reply>{cut({etag}), partial(other.mid(200000), ours, {{"ETag", "\"v2\""}}),
                        cut({etag}), partial(other.mid(200000), ours, {{"ETag", "\"v2\""}})}
        << false << 4 << rest << tavrel::failureText(tavrel::NetworkFailure::RangeMismatch);
}

void TestDownloaderNetwork::lyingServers()
{
    QFETCH(QList<Reply>, replies);
    QFETCH(bool, saved);
    QFETCH(int, requests);
    QFETCH(QByteArray, secondRange);
    QFETCH(QString, reason);

    m_server->setReplies("/file", replies);
    const QString target = m_dir->filePath("item.bin");
    const QByteArray older = "the copy from last week";
    FileTree::write(target, older);
    auto control = makeControl(150ms);
    QSignalSpy progress(control.get(), &Downloader::DownloadProgress);
    QSignalSpy error(control.get(), &Downloader::DownloadError);
    QSignalSpy complete(control.get(), &Downloader::DownloadComplete);
    QSignalSpy all(control.get(), &Downloader::DownloadAllComplete);
    control->BeginDownload(m_server->url("file"), target);
    QVERIFY(all.wait(20000));

    const QByteArray published = sampleBody(1000000);
    QCOMPARE(complete.count(), saved ? 1 : 0);
    QCOMPARE(error.count(), saved ? 0 : 1);
    if (!saved)
        QCOMPARE(error.at(0).at(1).toString(), reason);
    QVERIFY(contents(target) == (saved ? published : older));
    QCOMPARE(entries(m_dir->path()), QStringList{"item.bin"});
    // The first answer's length holds for the whole download.
    for (const QList<QVariant> &p : std::as_const(progress))
        QCOMPARE(p.at(1).toLongLong(), published.size());
    // (Qt may send a request a second time by itself, after a server closed on it.)
    const QList<QByteArray> heads = m_server->requestHeads();
    QVERIFY2(heads.size() == requests || heads.size() == requests + 1,
             qPrintable(QString::number(heads.size())));
    if (requests > 1)
        QCOMPARE(headerOf(heads.at(1), "range"), secondRange);
    // Starting over asks for the whole file.
    if (requests > 2) {
        const auto whole = std::find_if(heads.begin() + 2, heads.end(), [](const QByteArray &h) {
            return headerOf(h, "range") == "-";
        });
        QVERIFY(whole != heads.end());
    }
    const bool published256 = saved && replies.last().headers.contains(
        Header{"Repr-Digest", tavrel::reprDigestField(tavrel::Sha256::of(published))});
    QCOMPARE(control->verifiedDigest(target),
             published256 ? tavrel::Sha256::of(published) : QByteArray());
}

void TestDownloaderNetwork::trickleCountsAsStalled()
{
    // Never quiet for the idle time-out, but far under the minimum rate: each window of time
    // ends the try, and the next one resumes where it stopped.
    Reply trickle = drip(sampleBody(300), 10, 40);
    trickle.ranges = true;
    trickle.etag = "\"v1\"";
    m_server->setReply("/file", trickle);
    auto service = std::make_unique<NetworkFetchService>();
    service->setIdleTimeout(IdleTimeout);
    service->setMinimumRate(1024, 200ms);
    Downloader control(std::move(service), [this](const QString &text) { m_boxes << text; });
    control.setRetryWaits(QList<std::chrono::milliseconds>(5, 0ms));
    QSignalSpy complete(&control, &Downloader::DownloadComplete);
    QSignalSpy all(&control, &Downloader::DownloadAllComplete);
    const QString target = m_dir->filePath("item.bin");
    control.BeginDownload(m_server->url("file"), target);
    QVERIFY(all.wait(20000));
    QCOMPARE(complete.count(), 1);
    QCOMPARE(contents(target), trickle.body);
    QVERIFY(m_server->requestCount() >= 2);
    QVERIFY(headerOf(m_server->requestHeads().last(), "range").startsWith("bytes="));
}

void TestDownloaderNetwork::cancelWhileWaitingToResume()
{
    Reply cut = with(FaultServer::ok(sampleBody(100000)), FaultServer::Fault::CloseMidBody);
    cut.ranges = true;
    cut.cuts = {50000};
    cut.cutOnCue = true;
    m_server->setReply("/file", cut);
    auto control = makeControl();
    control->setRetryWaits({10s});
    connect(control.get(), &Downloader::DownloadProgress, m_server.get(), &FaultServer::endCuts);
    QSignalSpy progress(control.get(), &Downloader::DownloadProgress);
    QSignalSpy error(control.get(), &Downloader::DownloadError);
    QSignalSpy all(control.get(), &Downloader::DownloadAllComplete);
    control->BeginDownload(m_server->url("file"), m_dir->filePath("item.bin"));
    // Waiting to resume: the bar is told what is already there.
    QTRY_VERIFY(!progress.isEmpty() && progress.last().at(0).toLongLong() == 50000 &&
                m_server->openConnections() == 0);
    QVERIFY(control->CancelAllDownload());
    QTest::qWait(100);
    QCOMPARE(error.count() + all.count(), 0);
    QCOMPARE(m_server->requestCount(), 1);
    QCOMPARE(entries(m_dir->path()), QStringList{});
}

void TestDownloaderNetwork::diskNearlyFull_data()
{
    QTest::addColumn<qint64>("free"); // as the disk says, -1: as it really is
    QTest::addColumn<bool>("tmpfs");  // on a disk of 1 MiB, where one can be mounted
    QTest::newRow("the file would not fit") << Downloader::DiskMargin + 100 * 1024 << false;
    QTest::newRow("room for the file, not for the margin") << qint64(400 * 1024) << false;
    QTest::newRow("a real disk of 1 MiB") << qint64(-1) << true;
}

void TestDownloaderNetwork::diskNearlyFull()
{
    QFETCH(qint64, free);
    QFETCH(bool, tmpfs);
    const QString folder = m_dir->filePath("disk");
    QVERIFY(QDir().mkpath(folder));
    if (tmpfs && QProcess::execute(QStringLiteral("mount"),
                                   {"-t", "tmpfs", "-o", "size=1m", "tmpfs", folder}) != 0)
        QSKIP("no tmpfs can be mounted here (not root, or not allowed)");
    const auto unmount = qScopeGuard([&] {
        if (tmpfs)
            QProcess::execute(QStringLiteral("umount"), {folder});
    });
    m_server->setReply("/file", FaultServer::ok(sampleBody(300 * 1024)));
    const QString target = folder + "/item.bin";
    auto control = makeControl();
    if (free >= 0)
        control->setFreeSpace([free](const QString &) { return free; });
    QSignalSpy error(control.get(), &Downloader::DownloadError);
    QSignalSpy all(control.get(), &Downloader::DownloadAllComplete);
    control->BeginDownload(m_server->url("file"), target);
    QVERIFY(all.wait(10000));
    QCOMPARE(error.count(), 1);
    QCOMPARE(error.at(0).at(1).toString(), QStringLiteral("磁盘空间不足，无法保存文件"));
    QCOMPARE(entries(folder), QStringList{});
}

void TestDownloaderNetwork::threeSideBySideTwoFailing()
{
    // Started silent, good, late 404; they end as 404, silent (time-out), good.
    Reply late404 = FaultServer::status(404);
    late404.delayMs = 50;
    m_server->setReply("/silent", FaultServer::silent());
    m_server->setReply("/good", drip(sampleBody(40), 2, 60));
    m_server->setReply("/late404", late404);
    const QString silent = m_dir->filePath("silent"), good = m_dir->filePath("good"),
                  missing = m_dir->filePath("late404");

    auto control = makeControl();
    QStringList order;
    connect(control.get(), &Downloader::DownloadError, this,
            [&](const QString &file) { order << "error " + QFileInfo(file).fileName(); });
    connect(control.get(), &Downloader::DownloadComplete, this, [&](qint64, const QString &file) {
        order << "complete " + QFileInfo(file).fileName();
    });
    QSignalSpy all(control.get(), &Downloader::DownloadAllComplete);
    control->BeginDownload(m_server->url("silent"), silent);
    control->BeginDownload(m_server->url("good"), good);
    control->BeginDownload(m_server->url("late404"), missing);
    QCOMPARE(control->fileList(), (QStringList{silent, good, missing}));

    // All three are on the wire at once.
    QTRY_COMPARE(m_server->openConnections(), 3);
    QVERIFY(all.wait(10000));
    QCOMPARE(all.count(), 1);
    QCOMPARE(all.at(0).at(0).toStringList(), (QStringList{QString(), silent, missing}));
    QCOMPARE(order, (QStringList{"error late404", "error silent", "complete good"}));
    QCOMPARE(contents(good), sampleBody(40));
    QCOMPARE(entries(m_dir->path()), QStringList{"good"});
}

void TestDownloaderNetwork::sameKeyWhileRunningIsRefused()
{
    m_server->setReply("/a", drip("abcdefgh", 1, 30));
    m_server->setReply("/b", FaultServer::ok("other"));
    const QString target = m_dir->filePath("t");
    auto control = makeControl();
    QSignalSpy complete(control.get(), &Downloader::DownloadComplete);
    QSignalSpy all(control.get(), &Downloader::DownloadAllComplete);
    control->BeginDownload(m_server->url("a"), target);
    control->BeginDownload(m_server->url("b"), target);
    QCOMPARE(m_boxes.size(), 1);
    QVERIFY(m_boxes.at(0).startsWith(QString::number(NetworkFetchService::KeyInUse) +
                                     ":错误在调用 BeginDownload().\r\n\r\n错误描述: "));
    QCOMPARE(control->fileList(), QStringList{target});
    QVERIFY(all.wait(10000));
    QCOMPARE(complete.count(), 1);
    QCOMPARE(all.at(0).at(0).toStringList(), QStringList{QString()});
    QCOMPARE(contents(target), QByteArray("abcdefgh"));
    QCOMPARE(m_server->requests(), QStringList{"/a"});
}

void TestDownloaderNetwork::cancelAll()
{
    m_server->setReply("/slow", drip(sampleBody(4000), 1, 20));
    auto control = makeControl();
    QSignalSpy error(control.get(), &Downloader::DownloadError);
    QSignalSpy complete(control.get(), &Downloader::DownloadComplete);
    QSignalSpy all(control.get(), &Downloader::DownloadAllComplete);
    QSignalSpy progress(control.get(), &Downloader::DownloadProgress);

    QVERIFY(control->CancelAllDownload()); // nothing listed yet

    control->BeginDownload(m_server->url("slow"), m_dir->filePath("one"));
    control->BeginDownload(m_server->url("slow"), m_dir->filePath("two"));
    QTRY_VERIFY(progress.count() >= 4); // both are writing by now
    QVERIFY(control->CancelAllDownload());
    QVERIFY(control->fileList().isEmpty());
    QTRY_COMPARE(m_server->openConnections(), 0);
    QCoreApplication::processEvents();
    QCOMPARE(error.count() + complete.count() + all.count(), 0);
    QCOMPARE(entries(m_dir->path()), QStringList{});
}

void TestDownloaderNetwork::destroyWhileRunning()
{
    m_server->setReply("/slow", drip(sampleBody(4000), 1, 20));
    auto control = makeControl();
    QSignalSpy error(control.get(), &Downloader::DownloadError);
    QSignalSpy complete(control.get(), &Downloader::DownloadComplete);
    QSignalSpy all(control.get(), &Downloader::DownloadAllComplete);
    QSignalSpy progress(control.get(), &Downloader::DownloadProgress);
    control->BeginDownload(m_server->url("slow"), m_dir->filePath("one"));
    control->BeginDownload(m_server->url("slow"), m_dir->filePath("two"));
    QTRY_VERIFY(progress.count() >= 4);
    control.reset();
    QTRY_COMPARE(m_server->openConnections(), 0);
    QCoreApplication::processEvents();
    QCOMPARE(error.count() + complete.count() + all.count(), 0);
    QCOMPARE(entries(m_dir->path()), QStringList{});
}

void TestDownloaderNetwork::refusedStarts_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("number");

    QTest::newRow("ftp") << "ftp://127.0.0.1/x"
                         << "f" << int(NetworkFetchService::InvalidUrl);
    QTest::newRow("local file") << "file:///etc/passwd"
                                << "f" << int(NetworkFetchService::InvalidUrl);
    QTest::newRow("no host") << "http:///x"
                             << "f" << int(NetworkFetchService::InvalidUrl);
    QTest::newRow("not a URL") << "::"
                               << "f" << int(NetworkFetchService::InvalidUrl);
    QTest::newRow("empty key") << "SERVER"
                               << "" << int(NetworkFetchService::InvalidKey);
}

void TestDownloaderNetwork::refusedStarts()
{
    QFETCH(QString, url);
    QFETCH(QString, file);
    QFETCH(int, number);
    if (url == "SERVER")
        url = m_server->url("x");
    auto control = makeControl();
    QSignalSpy all(control.get(), &Downloader::DownloadAllComplete);
    control->BeginDownload(url, file.isEmpty() ? file : m_dir->filePath(file));
    QCOMPARE(m_boxes.size(), 1);
    QVERIFY(m_boxes.at(0).startsWith(QString::number(number) + ":错误在调用 BeginDownload()."));
    QVERIFY(control->fileList().isEmpty());
    QTest::qWait(50);
    QCOMPARE(all.count(), 0);
    QCOMPARE(m_server->requestCount(), 0);
}

void TestDownloaderNetwork::serviceReportsTheStages()
{
    const QByteArray body = sampleBody(200 * 1024);
    m_server->setReply("/file", FaultServer::ok(body));
    m_server->setReply("/moved", FaultServer::redirect("/file"));
    NetworkFetchService service;
    QList<FetchRecord> records;
    QByteArray received;
    connect(&service, &FetchService::progress, this, [&](const FetchRecord &r) { records << r; });
    connect(&service, &FetchService::dataArrived, this,
            [&](const QString &key, const QByteArray &chunk) {
                QCOMPARE(key, QStringLiteral("k"));
                received += chunk;
            });
    QSignalSpy completed(&service, &FetchService::completed);
    QVERIFY(!service.start(m_server->url("moved?pass=secret"), "k", std::nullopt));
    QVERIFY(records.isEmpty()); // nothing from inside start()
    QVERIFY(completed.wait(10000));

    QList<int> codes;
    for (const FetchRecord &r : std::as_const(records))
        codes << r.statusCode;
    QVERIFY(codes.size() >= 4);
    QCOMPARE(codes.first(), int(FetchRecord::Sending));
    QVERIFY(codes.contains(FetchRecord::Connecting));
    QCOMPARE(codes.count(FetchRecord::FirstData), 1);
    QVERIFY(codes.indexOf(FetchRecord::Redirecting) < codes.indexOf(FetchRecord::FirstData));
    QCOMPARE(codes.last(), int(FetchRecord::AllData));
    const qsizetype redirect = codes.indexOf(FetchRecord::Redirecting);
    QVERIFY(!records.at(redirect).statusText.contains("secret"));
    QCOMPARE(records.last().statusText, m_server->url("file")); // where it came from in the end
    QCOMPARE(records.last().bytesRead, body.size());
    QCOMPARE(received, body);

    QCOMPARE(completed.count(), 1);
    const auto done = completed.at(0).at(0).value<FetchRecord>();
    QCOMPARE(done.statusCode, int(FetchRecord::AllData));
    QCOMPARE(done.key, QStringLiteral("k"));
    QCOMPARE(done.bytesRead, body.size());
    QCOMPARE(done.bytesMax, body.size());
}

QTEST_GUILESS_MAIN(TestDownloaderNetwork)
#include "tst_downloader_network.moc"
