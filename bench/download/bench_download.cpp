// Downloads one large file from a loopback static server with the download control and with
// curl, in the same run, and prints the throughput of each and this process's peak memory.
// The server (python3 -m http.server on a port the system picks) and the file live in a
// temporary folder that is removed at the end.
//
// Then a 256 MiB file from catalogd, once whole and once with the connection cut four times
// on its way (catalogd's --drop-after, waits before resuming set to 0): the throughput of the
// cut run against the whole one, and how many bytes were fetched twice.

#include "download/Downloader.h"
#include "download/NetworkFetchService.h"

#ifdef TAVREL_HAVE_CATALOGD
#include "CatalogdProcess.h"
#endif

#include "ProcessStatus.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstring>

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

double runCurl(const QString &url, const QString &out)
{
    QProcess curl;
    QElapsedTimer timer;
    timer.start();
    curl.start(QStringLiteral("curl"), {"-s", "-f", "-o", out, url});
    if (!curl.waitForFinished(-1) || curl.exitCode() != 0)
        return -1;
    return timer.nsecsElapsed() / 1e9;
}

// Seconds until the file is in place (-1 on failure); *received: until all data was in;
// *fetched, when given: body bytes that came over the network, tries that were cut included.
double runDownloader(const QString &url, const QString &out, qint64 size, double *received,
                     qint64 *fetched = nullptr)
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
    timer.start();
    control.BeginDownload(url, out);
    loop.exec();
    const double seconds = timer.nsecsElapsed() / 1e9;
    return complete ? seconds : -1;
}

#ifdef TAVREL_HAVE_CATALOGD
// catalogd serving `file` from a data folder of its own, with the given extra options.
bool startCatalogd(CatalogdProcess &server, const QString &dataDir, const QString &file,
                   const QStringList &args)
{
    QDir().mkpath(dataDir + QStringLiteral("/up"));
    if (!QFile::link(file, dataDir + QStringLiteral("/up/big.bin")))
        return false;
    CatalogdProcess::Options options;
    options.demo = false;
    options.dataDir = dataDir;
    options.extraArgs = args;
    if (!server.start(options)) {
        std::fprintf(stderr, "catalogd did not start: %s\n", qPrintable(server.errorString()));
        return false;
    }
    return true;
}

bool benchmarkCuts(const QTemporaryDir &dir)
{
    constexpr qint64 size = 256 * MiB;
    constexpr qint64 cutEvery = 60 * MiB; // 60, 120, 180 and 240 MiB: four cuts
    const QString file = dir.filePath(QStringLiteral("cut.bin"));
    CatalogdProcess whole, cut;
    if (!makeFile(file, size)
        || !startCatalogd(whole, dir.filePath(QStringLiteral("whole")), file, {})
        || !startCatalogd(cut, dir.filePath(QStringLiteral("cut")), file,
                          {QStringLiteral("--drop-after"), QString::number(cutEvery)}))
        return false;
    double bestWhole = 1e99, bestCut = 1e99;
    qint64 fetched = 0;
    for (int round = 0; round < 3; ++round) {
        const QString out = dir.filePath(QStringLiteral("out.bin"));
        double received = -1;
        ::sync();
        const double w = runDownloader(whole.baseUrl() + QStringLiteral("up/big.bin"), out, size,
                                       &received);
        QFile::remove(out);
        ::sync();
        const double c = runDownloader(cut.baseUrl() + QStringLiteral("up/big.bin"), out, size,
                                       &received, &fetched);
        const bool same = sameFile(file, out);
        QFile::remove(out);
        if (w < 0 || c < 0 || !same) {
            std::fprintf(stderr, "a download from catalogd failed or differs\n");
            return false;
        }
        std::printf("catalogd round %d: whole %.0f MiB/s, cut four times %.0f MiB/s\n",
                    round + 1, size / double(MiB) / w, size / double(MiB) / c);
        bestWhole = std::min(bestWhole, w);
        bestCut = std::min(bestCut, c);
    }
    std::printf("catalogd, 256 MiB: whole %.0f MiB/s, cut four times %.0f MiB/s "
                "(%.2f of whole; target at least 0.80)\n",
                size / double(MiB) / bestWhole, size / double(MiB) / bestCut, bestWhole / bestCut);
    std::printf("  fetched twice: %.2f %% of the file (target under 2)\n",
                100.0 * double(fetched - size) / double(size));
    return true;
}
#else
bool benchmarkCuts(const QTemporaryDir &)
{
    std::printf("catalogd is not part of this build: no run with cuts\n");
    return true;
}
#endif

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 sizeMiB = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;
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
    const QString served = dir.filePath(QStringLiteral("www"));
    QDir().mkpath(served);
    const QString source = served + QStringLiteral("/big.bin");
    if (!makeFile(source, sizeMiB * MiB)) {
        std::fprintf(stderr, "cannot write the %lld MiB file\n", sizeMiB);
        return 1;
    }

    QProcess server;
    server.setProcessChannelMode(QProcess::SeparateChannels);
    server.start(QStringLiteral("python3"),
                 {"-u", "-m", "http.server", "--bind", "127.0.0.1", "--directory", served, "0"});
    QByteArray banner;
    const QRegularExpression portPattern(QStringLiteral("port (\\d+)"));
    QRegularExpressionMatch match;
    while (!(match = portPattern.match(QString::fromUtf8(banner))).hasMatch()) {
        if (!server.waitForReadyRead(10000)) {
            std::fprintf(stderr, "the static server did not start\n");
            return 1;
        }
        banner += server.readAllStandardOutput();
    }
    const QString url = QStringLiteral("http://127.0.0.1:%1/big.bin").arg(match.captured(1));
    const qint64 rssBefore = processStatusBytes("VmRSS");

    std::printf("file: %lld MiB from %s, %d rounds each, best round counts\n", sizeMiB,
                qPrintable(url), rounds);
    double bestCurl = 1e99, bestOurs = 1e99;
    bool ok = true;
    for (int round = 0; round < rounds && ok; ++round) {
        const QString out = dir.filePath(QStringLiteral("out.bin"));
        // Each run starts with no dirty pages left over from the one before.
        ::sync();
        const double c = runCurl(url, out);
        ok = c > 0 && sameFile(source, out);
        QFile::remove(out);
        ::sync();
        double received = -1;
        const double d = ok ? runDownloader(url, out, sizeMiB * MiB, &received) : -1;
        ok = ok && d > 0 && sameFile(source, out);
        QFile::remove(out);
        if (!ok)
            break;
        std::printf("round %d: curl %.0f MiB/s, Downloader %.0f MiB/s (all data in after %.1f s, "
                    "file in place after %.1f s)\n",
                    round + 1, sizeMiB / c, sizeMiB / d, received, d);
        bestCurl = std::min(bestCurl, c);
        bestOurs = std::min(bestOurs, d);
    }
    server.kill();
    server.waitForFinished();
    if (!ok) {
        std::fprintf(stderr, "a download failed or the copy differs from the source\n");
        return 1;
    }

    const double curlRate = sizeMiB / bestCurl, ourRate = sizeMiB / bestOurs;
    std::printf("curl:       %.0f MiB/s\n", curlRate);
    std::printf("Downloader: %.0f MiB/s (%.2f of curl; target at least 0.90)\n", ourRate,
                ourRate / curlRate);
    std::printf("resident memory: %.1f MiB before the downloads, peak %.1f MiB (target under 64)\n",
                rssBefore / double(MiB), processStatusBytes("VmHWM") / double(MiB));
    return benchmarkCuts(dir) ? 0 : 1;
}
