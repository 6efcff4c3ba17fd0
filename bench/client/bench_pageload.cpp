// Prints the median time of the window's LoadCatalogPage (fetch, decode, parse, show with the
// library's marks on the rows painted) for a reply of 32,767 records, and of the bare fetch of
// the same URL, measured in one run; and the same load with the marks switched off.
#include "FaultServer.h"

#include "MainHarness.h"

#include "client/Main.h"
#include "client/platform/CatalogList.h"
#include "client/platform/HttpTransfer.h"
#include "core/Library.h"

#include "ProcessStatus.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QEvent>
#include <QElapsedTimer>
#include <QTextStream>

#include <algorithm>
#include <cstdio>

namespace {

QByteArray bigPage(int records)
{
    const QStringList categories = {QStringLiteral("游戏辅助"), QStringLiteral("系统工具"),
                                    QStringLiteral("网络工具"), QStringLiteral("Utilities")};
    QString text;
    text.reserve(records * 60);
    for (int i = 0; i < records; ++i) {
        const QStringList fields = {
            categories.at(i % categories.size()),
            QStringLiteral("超级外挂助手第%1版 多开增强型").arg(i),
            i % 3 ? QStringLiteral("免费") : QStringLiteral("共享"),
            QStringLiteral("2026-11-%1 12:%2:00").arg(1 + i % 28, 2, 10, QLatin1Char('0'))
                .arg(i % 60, 2, 10, QLatin1Char('0')),
            QStringLiteral("addon_%1_setup.zip").arg(i),
            QString::number(100000 + i)};
        text += fields.join(QChar(u'\x02')) + QChar(u'\x01');
    }
    text += QStringLiteral("?TtbBa?%1?1").arg(records);
    return text.toUtf8();
}

// Counts the paints of the list, to time a load up to the moment it is on screen.
class PaintCounter : public QObject
{
public:
    int count = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++count;
        return false;
    }
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int records = 32767;
    // --rounds N and --no-hostile make a short run for a profiler.
    const QStringList args = QCoreApplication::arguments();
    const qsizetype roundsAt = args.indexOf(QStringLiteral("--rounds"));
    const int rounds = roundsAt > 0 ? std::max(1, args.value(roundsAt + 1).toInt()) : 15;
    const bool hostilePage = !args.contains(QStringLiteral("--no-hostile"));

    FaultServer server;
    const QByteArray body = bigPage(records);
    server.setReply(QStringLiteral("/adminphp/admin_upload.php"), FaultServer::ok(body));

    // A library that holds every other row of the first screens, a third of them in an older
    // version, so the painted rows cost their disk checks and record look-ups.
    QTemporaryDir library;
    const QString baseUrl = server.baseUrl() + QStringLiteral("adminphp/");
    const QString root = library.filePath(QStringLiteral("Res/"));
    tavrel::LibraryRecord record;
    for (int i = 0; i < 200; i += 2) {
        const QString title = QStringLiteral("超级外挂助手第%1版 多开增强型").arg(i);
        const QString file = QStringLiteral("addon_%1_setup.zip").arg(i);
        QDir().mkpath(root + title);
        QFile f(root + title + QLatin1Char('/') + file);
        if (!f.open(QIODevice::WriteOnly) || f.write("1234") != 4)
            return 1;
        record.put({baseUrl, QString::number(100000 + i), title, file,
                    i % 3 ? QStringLiteral("2026-11-01 00:00:00") : QStringLiteral("2020-01-01 00:00:00"),
                    4, {}, {}});
    }
    if (!record.save(tavrel::LibraryRecord::fileFor(root)))
        return 1;

    HttpTransfer transfer;
    MainHarness::Setup setup;
    setup.baseUrl = baseUrl;
    setup.transfer = &transfer;
    setup.libraryRoot = root;
    MainHarness harness(setup);
    Main &window = *harness.window;
    window.Form_Load();
    window.show();
    QCoreApplication::processEvents();

    PaintCounter paints;
    window.listView()->viewport()->installEventFilter(&paints);
    auto showAndWait = [&](const QString &url) {
        const auto pages = window.LoadCatalogPage(url);
        // Showing includes the list laying itself out and painting once.
        const int paintsBefore = paints.count;
        while (paints.count == paintsBefore)
            QCoreApplication::processEvents();
        return pages;
    };

    // A hostile page first, while the peak memory still belongs to start-up: 60 MiB of
    // one-letter records, the most records a reply of that size can hold.
    if (hostilePage) {
        QByteArray hostile;
        hostile.reserve(60 * 1024 * 1024 + 16);
        while (hostile.size() < 60 * 1024 * 1024)
            hostile.append("a\x01", 2);
        const qint64 hostileRecords = hostile.size() / 2;
        hostile.append("?TtbBa?1?1");
        server.setReply(QStringLiteral("/adminphp/users_upload.php"), FaultServer::ok(hostile));
        hostile = QByteArray();
        const qint64 before = processStatusBytes("VmRSS");
        QElapsedTimer t;
        t.start();
        const auto pages = showAndWait(harness.services.baseUrl
                                       + QStringLiteral("users_upload.php?page=1"));
        const double ms = t.nsecsElapsed() / 1e6;
        const qint64 peak = processStatusBytes("VmHWM");
        std::printf("hostile page: 60 MiB of one-letter records (%lld records)\n",
                    static_cast<long long>(hostileRecords));
        std::printf("  LoadCatalogPage: %s, %.0f ms, peak memory %.0f MiB above the %.0f MiB "
                    "before it\n",
                    pages ? "shown" : "failed", ms, (peak - before) / 1048576.0,
                    before / 1048576.0);
        window.listView()->clearRows();
        server.setReply(QStringLiteral("/adminphp/users_upload.php"), FaultServer::ok({}));
    }

    const QString url = harness.services.baseUrl + QStringLiteral("admin_upload.php?page=1");
    std::vector<double> loads, fetches, bareLoads;
    CatalogModel *model = window.listView()->catalogModel();
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer t;
        t.start();
        const FetchResult r = transfer.fetch(url);
        fetches.push_back(t.nsecsElapsed() / 1e6);
        if (!r.ok || r.body.size() != body.size()) {
            std::fprintf(stderr, "fetch failed\n");
            return 1;
        }

        t.restart();
        const auto pages = showAndWait(url);
        loads.push_back(t.nsecsElapsed() / 1e6);
        if (!pages || window.listView()->rowCount() != records) {
            std::fprintf(stderr, "load failed\n");
            return 1;
        }
        if (model->data(model->index(0, 1), Qt::DecorationRole).isNull()) {
            std::fprintf(stderr, "the first row has no mark\n");
            return 1;
        }
    }
    int marked = 0;
    const int painted = window.listView()->rowAt(window.listView()->viewport()->height() - 1) + 1;
    for (int r = 0; r < painted; ++r)
        marked += model->data(model->index(r, 1), Qt::DecorationRole).isNull() ? 0 : 1;

    // The same without marks, to show what they cost.
    window.listView()->setRowMarker(-1, {});
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer t;
        t.start();
        if (!showAndWait(url))
            return 1;
        bareLoads.push_back(t.nsecsElapsed() / 1e6);
    }

    const double load = median(loads);
    const double fetch = median(fetches);
    std::printf("page load benchmark: %d records, %.2f MB reply, %d rounds\n", records,
                body.size() / 1e6, rounds);
    std::printf("  LoadCatalogPage (fetch, decode, parse, show, marks): median %.1f ms\n", load);
    std::printf("  bare fetch of the same URL:                          median %.1f ms\n", fetch);
    std::printf("  ratio: %.2f\n", load / fetch);
    std::printf("  rows painted: %d, of them marked: %d; the load without marks: median %.1f ms\n",
                painted, marked, median(bareLoads));
    return 0;
}
