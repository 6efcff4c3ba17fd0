// Prints the time from process start to the window's first paint and to the first list on show
// for the client against the demo catalogue, next to a bare Qt window that paints 20 rows of
// Chinese text in a QTreeView (so setting up the fonts counts on both sides), in one run.
#include "CatalogdProcess.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QProcess>
#include <QStandardItemModel>
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

// Times from the start of one child process to each line it prints ("painted", "shown").
struct Marks
{
    double painted = -1;
    double shown = -1;
};

Marks timeChild(const QString &program, const QStringList &args, const QProcessEnvironment &env)
{
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    Marks marks;
    QElapsedTimer t;
    t.start();
    child.start(program, args);
    while (child.state() != QProcess::NotRunning || child.canReadLine()) {
        if (!child.canReadLine() && !child.waitForReadyRead(60000) && !child.canReadLine())
            break;
        while (child.canReadLine()) {
            const QByteArray line = child.readLine().trimmed();
            const double now = t.nsecsElapsed() / 1e6;
            if (line == "painted")
                marks.painted = now;
            else if (line == "shown")
                marks.shown = now;
        }
    }
    child.waitForFinished(60000);
    if (child.exitCode() != 0)
        return {};
    return marks;
}

// A window that paints 20 rows of Chinese text, and says so.
int bareWindow(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QStandardItemModel model(20, 4);
    for (int r = 0; r < 20; ++r)
        for (int c = 0; c < 4; ++c)
            model.setItem(r, c, new QStandardItem(QStringLiteral("外挂助手第%1版").arg(r * 4 + c)));
    QTreeView view;
    view.setModel(&model);
    view.resize(547, 468);
    struct FirstPaint : QObject
    {
        bool eventFilter(QObject *watched, QEvent *event) override
        {
            if (event->type() == QEvent::Paint) {
                watched->removeEventFilter(this);
                QTimer::singleShot(0, [] {
                    std::puts("painted");
                    std::fflush(stdout);
                    QCoreApplication::quit();
                });
            }
            return false;
        }
    } firstPaint;
    view.viewport()->installEventFilter(&firstPaint);
    view.show();
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
    std::vector<double> painted, shown, bare;
    for (int i = 0; i < rounds; ++i) {
        const Marks c = timeChild(QStringLiteral(TAVREL_CLIENT_PATH),
                                  {QStringLiteral("--quit-when-shown")}, env);
        const Marks b = timeChild(QCoreApplication::applicationFilePath(),
                                  {QStringLiteral("--bare")}, env);
        if (c.painted < 0 || c.shown < 0 || b.painted < 0) {
            std::fprintf(stderr, "a child failed\n");
            return 1;
        }
        painted.push_back(c.painted);
        shown.push_back(c.shown);
        bare.push_back(b.painted);
    }
    const double p = median(painted);
    const double s = median(shown);
    const double b = median(bare);
    std::printf("start-up benchmark (offscreen, catalogd demo catalogue on loopback), %d rounds\n",
                rounds);
    std::printf("  client, process start to the window's first paint: median %.1f ms\n", p);
    std::printf("  client, process start to the first list on show:   median %.1f ms\n", s);
    std::printf("  bare window painting 20 rows of Chinese text:     median %.1f ms\n", b);
    std::printf("  ratio first paint / bare window: %.2f (target at most 1.3)\n", p / b);
    return 0;
}
