// Downloads one large file from catalogd (which publishes its SHA-256, so the download is
// verified) with the download control and, in the same round, with
// `curl -s URL | tee FILE | sha256sum` (download and verify: the fair baseline) and with bare
// curl; prints the three throughputs, the rate of SHA-256 here, this process's peak memory and
// the machine's load. The file reaches catalogd through its upload page, the way an item does.
//
// Then a 256 MiB file from the tests' scripted server (on a thread of its own), once whole and
// once with the connection cut four times on its way (waits before resuming set to 0): the
// throughput of the cut run against the whole one, and how many bytes were fetched twice.

#include "core/Digest.h"
#include "core/Sha256.h"
#include "download/Downloader.h"
#include "download/NetworkFetchService.h"

#include "CatalogdProcess.h"
#include "FaultServer.h"

#include "ProcessStatus.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QFileInfo>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr qint64 MiB = 1024 * 1024;

bool makeFile(const QString &path, qint64 size)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(MiB, Qt::Uninitialized);
    quint64 x = 88172645463325252ull;
    for (qint64 written = 0; written < size; written += block.size()) {
        for (qsizetype i = 0; i + 8 <= block.size(); i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            memcpy(block.data() + i, &x, 8);
        }
        const qint64 n = std::min<qint64>(block.size(), size - written);
        if (f.write(block.constData(), n) != n)
            return false;
    }
    return f.flush();
}

// Same size and the same bytes at both ends and in the middle.
bool sameFile(const QString &a, const QString &b)
{
    QFile fa(a), fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size())
        return false;
    for (qint64 at : {qint64(0), fa.size() / 2, std::max<qint64>(0, fa.size() - MiB)}) {
        fa.seek(at);
        fb.seek(at);
        if (fa.read(MiB) != fb.read(MiB))
            return false;
    }
    return true;
}

// Seconds for a shell pipeline (-1 on failure) and what it printed.
double runShell(const QString &command, QByteArray *output = nullptr)
{
    QProcess shell;
    QElapsedTimer timer;
    timer.start();
    shell.start(QStringLiteral("bash"), {QStringLiteral("-o"), QStringLiteral("pipefail"),
                                         QStringLiteral("-c"), command});
    if (!shell.waitForFinished(-1) || shell.exitCode() != 0)
        return -1;
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (output)
        *output = shell.readAllStandardOutput();
    return seconds;
}

// CPU seconds used so far by this process (RUSAGE_SELF, every thread) or this thread.
double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The CPU seconds of the children of a shell that ran `times` last: its second line.
double childrenCpuSeconds(const QByteArray &timesOutput)
{
    const QList<QByteArray> lines = timesOutput.trimmed().split('\n');
    double total = 0;
    for (const QByteArray &field : lines.last().split(' ')) {
        const qsizetype m = field.indexOf('m');
        if (m > 0 && field.endsWith('s'))
            total += field.left(m).toDouble() * 60 + field.mid(m + 1, field.size() - m - 2).toDouble();
    }
    return total;
}

// SHA-256 of 256 MiB in pieces of 64 KiB, as the control hashes a download, in MiB/s.
double hashRate()
{
    const QByteArray piece(64 * 1024, 'x');
    tavrel::Sha256 hash;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 4096; ++i)
        hash.add(piece);
    const QByteArray digest = hash.result();
    return digest.size() == 32 ? 256.0 / (timer.nsecsElapsed() / 1e9) : -1;
}

QString loadAverage()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly)
               ? QString::fromLatin1(f.readAll().split(' ').mid(0, 3).join(' '))
               : QStringLiteral("unknown");
}

// Seconds until the file is in place (-1 on failure); *received: until all data was in;
// *fetched, when given: body bytes that came over the network, tries that were cut included.
double runDownloader(const QString &url, const QString &out, qint64 size, double *received,
                     qint64 *fetched = nullptr, QByteArray *verified = nullptr,
                     double *cpu = nullptr, double *mainCpu = nullptr)
{
    auto service = std::make_unique<NetworkFetchService>();
    if (fetched) {
        *fetched = 0;
        QObject::connect(service.get(), &FetchService::dataArrived, service.get(),
                         [fetched](const QString &, const QByteArray &chunk) {
                             *fetched += chunk.size();
                         });
    }
    Downloader control(std::move(service),
                       [](const QString &text) { std::fprintf(stderr, "%s\n", qPrintable(text)); });
    control.setRetryWaits(QList<std::chrono::milliseconds>(5, std::chrono::milliseconds(0)));
    QEventLoop loop;
    bool complete = false;
    // The announced size must come through whole, past 2 GiB too.
    QObject::connect(&control, &Downloader::DownloadComplete, &loop,
                     [&](qint64 max) { complete = max == size; });
    QObject::connect(&control, &Downloader::DownloadError, &loop,
                     [](const QString &, const QString &reason) {
                         std::fprintf(stderr, "download failed: %s\n", qPrintable(reason));
                     });
    QObject::connect(&control, &Downloader::DownloadAllComplete, &loop, &QEventLoop::quit);
    QElapsedTimer timer;
    QObject::connect(&control, &Downloader::DownloadProgress, &loop, [&](qint64 cur, qint64 max) {
        if (cur == max && *received < 0)
            *received = timer.nsecsElapsed() / 1e9;
    });
    *received = -1;
    const double cpuBefore = cpuSeconds(RUSAGE_SELF), mainBefore = cpuSeconds(RUSAGE_THREAD);
    timer.start();
    control.BeginDownload(url, out);
    loop.exec();
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (cpu)
        *cpu = cpuSeconds(RUSAGE_SELF) - cpuBefore;
    if (mainCpu)
        *mainCpu = cpuSeconds(RUSAGE_THREAD) - mainBefore;
    if (verified)
        *verified = control.verifiedDigest(out);
    return complete ? seconds : -1;
}

// The tests' scripted server on a thread of its own (the control's thread stays the control's),
// serving one file with ranges, a validator and its digest, cut at the given bytes.
class ServerThread
{
public:
    ServerThread(const QByteArray &body, const QList<qint64> &cuts)
        : m_thread(QThread::create([this, body, cuts] { serve(body, cuts); }))
    {
        m_thread->start();
        m_ready.acquire();
    }
    ~ServerThread()
    {
        QMetaObject::invokeMethod(m_loop, &QEventLoop::quit, Qt::QueuedConnection);
        m_thread->wait();
    }
    QString url() const { return m_url; }
    // Every cut is made again, for the next round.
    void renewCuts()
    {
        QMetaObject::invokeMethod(m_server, &FaultServer::clearRequests,
                                  Qt::BlockingQueuedConnection);
    }

private:
    void serve(const QByteArray &body, const QList<qint64> &cuts)
    {
        FaultServer server;
        FaultServer::Reply reply = FaultServer::ok(body);
        reply.contentType = "application/octet-stream";
        reply.ranges = true;
        reply.etag = "\"big\"";
        reply.headers.append({"Repr-Digest", tavrel::reprDigestField(tavrel::Sha256::of(body))});
        reply.fault = cuts.isEmpty() ? FaultServer::Fault::None : FaultServer::Fault::CloseMidBody;
        reply.cuts = cuts;
        server.setReply(QStringLiteral("/big.bin"), reply);
        QEventLoop loop;
        m_loop = &loop;
        m_server = &server;
        m_url = server.url(QStringLiteral("big.bin"));
        m_ready.release();
        loop.exec();
    }

    std::unique_ptr<QThread> m_thread;
    QSemaphore m_ready;
    QEventLoop *m_loop = nullptr;
    FaultServer *m_server = nullptr;
    QString m_url;
};

bool benchmarkCuts(const QTemporaryDir &dir)
{
    constexpr qint64 size = 256 * MiB;
    const QString file = dir.filePath(QStringLiteral("cut.bin"));
    QFile source(file);
    if (!makeFile(file, size) || !source.open(QIODevice::ReadOnly))
        return false;
    const QByteArray body = source.readAll();
    // Four cuts, at 60, 120, 180 and 240 MiB.
    ServerThread whole(body, {}), cut(body, {60 * MiB, 120 * MiB, 180 * MiB, 240 * MiB});
    double bestWhole = 1e99, bestCut = 1e99;
    qint64 fetched = 0;
    for (int round = 0; round < 3; ++round) {
        const QString out = dir.filePath(QStringLiteral("out.bin"));
        double received = -1;
        QByteArray verifiedWhole, verifiedCut;
        ::sync();
        const double w =
            runDownloader(whole.url(), out, size, &received, nullptr, &verifiedWhole);
        QFile::remove(out);
        ::sync();
        cut.renewCuts();
        const double c = runDownloader(cut.url(), out, size, &received, &fetched, &verifiedCut);
        const bool same = sameFile(file, out);
        QFile::remove(out);
        if (w < 0 || c < 0 || !same || verifiedWhole.isEmpty() || verifiedCut.isEmpty()) {
            std::fprintf(stderr, "a download from the scripted server failed or differs\n");
            return false;
        }
        std::printf("cut round %d: whole %.0f MiB/s, cut four times %.0f MiB/s (both verified)\n",
                    round + 1, size / double(MiB) / w, size / double(MiB) / c);
        bestWhole = std::min(bestWhole, w);
        bestCut = std::min(bestCut, c);
    }
    std::printf("scripted server, 256 MiB: whole %.0f MiB/s, cut four times %.0f MiB/s "
                "(%.2f of whole; target at least 0.80)\n",
                size / double(MiB) / bestWhole, size / double(MiB) / bestCut, bestWhole / bestCut);
    std::printf("  fetched twice: %.2f %% of the file (target under 2)\n",
                100.0 * double(fetched - size) / double(size));
    return true;
}

// catalogd with the file uploaded as an item, as a user would; the URL of the file.
QString uploadTo(CatalogdProcess &server, const QString &dataDir, const QString &file)
{
    CatalogdProcess::Options options;
    options.demo = false;
    options.dataDir = dataDir;
    const QString limit = QString::number(QFileInfo(file).size() + MiB);
    options.extraArgs = {QStringLiteral("--max-upload-size"), limit,
                         QStringLiteral("--max-spool-bytes"), limit};
    if (!server.start(options)) {
        std::fprintf(stderr, "catalogd did not start: %s\n", qPrintable(server.errorString()));
        return {};
    }
    QElapsedTimer timer;
    timer.start();
    const double seconds = runShell(
        QStringLiteral("curl -s -f -o /dev/null -F category=bench -F title=big -F licence=free "
                       "-F file=@%1 -F code=%2 %3index.php")
            .arg(file, options.securityCode, server.baseUrl()));
    if (seconds < 0) {
        std::fprintf(stderr, "the upload to catalogd failed\n");
        return {};
    }
    std::printf("upload to catalogd: %.0f MiB/s (hashed as it arrives)\n",
                QFileInfo(file).size() / double(MiB) / seconds);
    return server.baseUrl() + QStringLiteral("up/") + QFileInfo(file).fileName();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 sizeMiB = argc > 1 ? QByteArray(argv[1]).toLongLong() : 512;
    const int rounds = 5;
    if (sizeMiB <= 0) {
        std::fprintf(stderr, "usage: bench_download [size in MiB]\n");
        return 2;
    }

    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot make a temporary folder\n");
        return 1;
    }
    std::printf("load average at the start: %s (2 cores shared: figures under load are noisy)\n",
                qPrintable(loadAverage()));
    const QString source = dir.filePath(QStringLiteral("big.bin"));
    if (!makeFile(source, sizeMiB * MiB)) {
        std::fprintf(stderr, "cannot write the %lld MiB file\n", sizeMiB);
        return 1;
    }
    CatalogdProcess server;
    const QString url = uploadTo(server, dir.filePath(QStringLiteral("served")), source);
    if (url.isEmpty())
        return 1;
    QByteArray published;
    if (runShell(QStringLiteral("sha256sum %1").arg(source), &published) < 0)
        return 1;
    published = published.left(64);
    const qint64 rssBefore = processStatusBytes("VmRSS");

    std::printf("file: %lld MiB from %s, %d rounds each, best round counts\n", sizeMiB,
                qPrintable(url), rounds);
    double bestCurl = 1e99, bestVerify = 1e99, bestOurs = 1e99;
    double curlCpu = 0, ourCpu = 0, ourMainCpu = 0; // all rounds together
    bool ok = true;
    const QString out = dir.filePath(QStringLiteral("out.bin"));
    for (int round = 0; round < rounds && ok; ++round) {
        // Each run starts with no dirty pages left over from the one before.
        ::sync();
        QByteArray times;
        const double c =
            runShell(QStringLiteral("curl -s -f -o %1 %2; times").arg(out, url), &times);
        curlCpu += childrenCpuSeconds(times);
        ok = c > 0 && sameFile(source, out);
        QFile::remove(out);
        ::sync();
        QByteArray printed;
        const double v = runShell(
            QStringLiteral("curl -s -f %1 | tee %2 | sha256sum").arg(url, out), &printed);
        ok = ok && v > 0 && printed.startsWith(published) && sameFile(source, out);
        QFile::remove(out);
        ::sync();
        double received = -1;
        QByteArray verified;
        double cpu = 0, mainCpu = 0;
        const double d = ok ? runDownloader(url, out, sizeMiB * MiB, &received, nullptr,
                                            &verified, &cpu, &mainCpu)
                            : -1;
        ourCpu += cpu;
        ourMainCpu += mainCpu;
        ok = ok && d > 0 && sameFile(source, out);
        QFile::remove(out);
        if (!ok)
            break;
        std::printf("round %d: curl %.0f, curl | tee | sha256sum %.0f, Downloader %.0f MiB/s "
                    "(%s; all data in after %.2f s, file in place after %.2f s)\n",
                    round + 1, sizeMiB / c, sizeMiB / v, sizeMiB / d,
                    verified.toHex() == published ? "verified" : "NOT verified: no digest came",
                    received, d);
        bestCurl = std::min(bestCurl, c);
        bestVerify = std::min(bestVerify, v);
        bestOurs = std::min(bestOurs, d);
    }
    server.stop();
    if (!ok) {
        std::fprintf(stderr, "a download failed or the copy differs from the source\n");
        return 1;
    }

    const double curlRate = sizeMiB / bestCurl, verifyRate = sizeMiB / bestVerify,
                 ourRate = sizeMiB / bestOurs;
    std::printf("curl:                      %.0f MiB/s\n", curlRate);
    std::printf("curl | tee | sha256sum:    %.0f MiB/s\n", verifyRate);
    std::printf("Downloader, verified:      %.0f MiB/s (%.2f of curl and verify, target at least "
                "1.0; %.2f of bare curl, target at least 0.8)\n",
                ourRate, ourRate / verifyRate, ourRate / curlRate);
    // CPU time depends far less on the machine's load than the figures above.
    const double gib = rounds * sizeMiB / 1024.0;
    std::printf("CPU seconds per GiB: curl %.2f; Downloader %.2f, of which its main thread %.2f "
                "(network thread and hash thread the rest)\n",
                curlCpu / gib, ourCpu / gib, ourMainCpu / gib);
    std::printf("SHA-256 (libcrypto) here:  %.0f MiB/s\n", hashRate());
    std::printf("resident memory: %.1f MiB before the downloads, peak %.1f MiB (target under 64)\n",
                rssBefore / double(MiB), processStatusBytes("VmHWM") / double(MiB));
    std::printf("load average at the end: %s\n", qPrintable(loadAverage()));
    return benchmarkCuts(dir) ? 0 : 1;
}
