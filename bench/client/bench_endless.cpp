// Runs the real client against a loopback server whose statistics page, or whose catalogue
// page, is an endless chunked body, and prints the client's peak memory (VmHWM) in each run.
// A run ends when the client has been up for the watch time, or at once past a safety ceiling
// (so a client without bounds cannot take the machine down with it).
// Usage: bench_endless [client program]; the client of this build by default.
#include "FaultServer.h"

#include "ProcessStatus.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

constexpr double MiB = 1024.0 * 1024.0;
constexpr int WatchMs = 12000;
constexpr qint64 Ceiling = qint64(3) * 1024 * 1024 * 1024;
constexpr int Rounds = 3;

struct Run
{
    qint64 peak = -1;     // VmHWM, bytes
    qint64 served = 0;    // body bytes the server sent
    double seconds = 0;   // how long the client was watched
    bool ceiling = false; // stopped at the safety ceiling
    bool exited = false;  // the client left by itself
};

Run runClient(const QString &program, FaultServer &server, const QTemporaryDir &home)
{
    server.clearRequests();
    const qint64 servedBefore = server.bytesSent();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home.path() + QStringLiteral("/data"));
    env.insert(QStringLiteral("TAVREL_BASE_URL"), server.url(QStringLiteral("adminphp/")));

    QProcess client;
    client.setProcessEnvironment(env);
    client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    client.setStandardOutputFile(QProcess::nullDevice());

    Run run;
    QElapsedTimer clock;
    QEventLoop loop;
    QTimer sample;
    sample.setInterval(50);
    QObject::connect(&sample, &QTimer::timeout, &loop, [&] {
        const qint64 hwm = processStatusBytes("VmHWM", client.processId());
        run.peak = std::max(run.peak, hwm);
        if (hwm > Ceiling)
            run.ceiling = true;
        if (run.ceiling || clock.elapsed() >= WatchMs)
            loop.quit();
    });
    QObject::connect(&client, &QProcess::finished, &loop, [&] {
        run.exited = true;
        loop.quit();
    });
    client.start(program, QStringList());
    if (!client.waitForStarted(10000))
        return run;
    clock.start();
    sample.start();
    loop.exec();
    sample.stop();
    run.seconds = clock.elapsed() / 1000.0;
    QObject::disconnect(&client, nullptr, &loop, nullptr);
    if (client.state() != QProcess::NotRunning) {
        run.peak = std::max(run.peak, processStatusBytes("VmHWM", client.processId()));
        client.kill();
        client.waitForFinished(10000);
    }
    run.served = server.bytesSent() - servedBefore;
    return run;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // Another build of the client may be named, to compare before and after.
    const QString program =
        argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(TAVREL_CLIENT_PATH);
    QTemporaryDir home;
    if (!home.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    const QByteArray emptyPage = "?TtbBa?0?0";

    struct Case
    {
        const char *name;
        bool endlessStatistics;
    };
    std::printf("endless bodies against the real client (offscreen), %d runs each, watched for "
                "%.0f s (stopped past %.0f MiB)\n",
                Rounds, WatchMs / 1000.0, Ceiling / MiB);
    int failures = 0;
    for (const Case c : {Case{"statistics visit", true}, Case{"catalogue page", false}}) {
        FaultServer server;
        server.setReply(QStringLiteral("/kovitongji.asp"),
                        c.endlessStatistics ? FaultServer::endless() : FaultServer::ok("visited"));
        server.setDefaultReply(c.endlessStatistics ? FaultServer::ok(emptyPage)
                                                   : FaultServer::endless());
        double worst = 0;
        for (int i = 0; i < Rounds; ++i) {
            const Run run = runClient(program, server, home);
            if (run.peak < 0) {
                std::fprintf(stderr, "the client did not run\n");
                return 1;
            }
            worst = std::max(worst, run.peak / MiB);
            std::printf("  %-17s run %d: peak %7.1f MiB, server sent %8.1f MiB in %4.1f s%s\n",
                        c.name, i + 1, run.peak / MiB, run.served / MiB, run.seconds,
                        run.ceiling  ? " (stopped at the ceiling)"
                        : run.exited ? " (client left)"
                                     : "");
        }
        std::printf("  %-17s worst peak %.1f MiB (target under 300 MiB)\n", c.name, worst);
        if (worst >= 300)
            ++failures;
    }
    return failures == 0 ? 0 : 2;
}
