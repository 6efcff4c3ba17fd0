// Prints the time from process start to the first list on show for the client against the
// demo catalogue, next to a bare Qt window showing one empty QTreeView, measured in one run.
#include "CatalogdProcess.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <cstdio>

namespace {

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Wall time of one child process that shows its window once and exits.
double timeChild(const QString &program, const QStringList &args,
                 const QProcessEnvironment &env)
{
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer t;
    t.start();
    child.start(program, args);
    if (!child.waitForFinished(60000) || child.exitCode() != 0)
        return -1;
    return t.nsecsElapsed() / 1e6;
}

int bareWindow(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QTreeView view;
    view.resize(547, 468);
    view.show();
    QTimer::singleShot(0, &app, [&] {
        view.repaint();
        app.quit();
    });
    return app.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 1 && qstrcmp(argv[1], "--bare") == 0)
        return bareWindow(argc, argv);

    QCoreApplication app(argc, argv);
    CatalogdProcess server;
    CatalogdProcess::Options options;
    if (!server.start(options)) {
        std::fprintf(stderr, "catalogd did not start: %s\n", qPrintable(server.errorString()));
        return 1;
    }

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("TAVREL_BASE_URL"), server.baseUrl());

    const int rounds = 9;
    std::vector<double> client, bare;
    for (int i = 0; i < rounds; ++i) {
        const double c = timeChild(QStringLiteral(TAVREL_CLIENT_PATH),
                                   {QStringLiteral("--quit-when-shown")}, env);
        const double b = timeChild(QCoreApplication::applicationFilePath(),
                                   {QStringLiteral("--bare")}, env);
        if (c < 0 || b < 0) {
            std::fprintf(stderr, "a child failed\n");
            return 1;
        }
        client.push_back(c);
        bare.push_back(b);
    }
    const double c = median(client);
    const double b = median(bare);
    std::printf("start-up benchmark (offscreen, catalogd demo catalogue on loopback), %d rounds\n",
                rounds);
    std::printf("  client, process start to first list on show: median %.1f ms\n", c);
    std::printf("  bare window with an empty QTreeView:          median %.1f ms\n", b);
    std::printf("  ratio: %.2f\n", c / b);
    return 0;
}
