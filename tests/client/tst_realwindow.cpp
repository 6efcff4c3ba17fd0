// The program's window on a real X server (a private Xvfb the test starts): the window shows
// up under its caption with the demo catalogue loaded, and a picture of it is kept beside the
// test as an artifact (realwindow.png, realwindow-wide.png).
#include "CatalogPages.h"
#include "FaultServer.h"
#include "MainHarness.h"

#include "client/Main.h"
#include "client/platform/CatalogList.h"
#include "client/platform/HttpTransfer.h"
#include "progress/ProgressBar.h"
#include "ui_Main.h"

#ifdef TAVREL_HAVE_CATALOGD
#include "CatalogdProcess.h"
#endif

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QScopeGuard>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Starts Xvfb on a display it picks itself; empty when there is no Xvfb.
QString startXvfb(QProcess &xvfb)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (program.isEmpty())
        return {};
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    xvfb.setProgram(program);
    xvfb.setArguments({QStringLiteral("-displayfd"), QString::number(fds[1]),
                       QStringLiteral("-screen"), QStringLiteral("0"),
                       QStringLiteral("1280x800x24"), QStringLiteral("-nolisten"),
                       QStringLiteral("tcp")});
    xvfb.setChildProcessModifier([fd = fds[1]] { fcntl(fd, F_SETFD, 0); });
    xvfb.start();
    ::close(fds[1]);
    QByteArray display;
    char c;
    while (::read(fds[0], &c, 1) == 1 && c != '\n')
        display.append(c);
    ::close(fds[0]);
    return display.isEmpty() ? QString() : QStringLiteral(":") + QString::fromLatin1(display);
}

QString windowNamed(const QString &title)
{
    QProcess xdotool;
    xdotool.start(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--name"),
                                              QStringLiteral("^") + title + QStringLiteral("$")});
    xdotool.waitForFinished(10000);
    return QString::fromLatin1(xdotool.readAllStandardOutput()).trimmed();
}

} // namespace

// Runs xdotool with the arguments; its output, trimmed.
QString xdotool(const QStringList &args)
{
    QProcess tool;
    tool.start(QStringLiteral("xdotool"), args);
    tool.waitForFinished(10000);
    return QString::fromLatin1(tool.readAllStandardOutput()).trimmed();
}

// The window's point for a position given in the form's twips (15 to a pixel).
QStringList at(int twipsX, int twipsY)
{
    return {QString::number(twipsX / 15), QString::number(twipsY / 15)};
}

class TestRealWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The real program against a server that holds its first reply: the window is mapped while
    // that request waits, clicks made during a slow reply are not replayed, Enter searches.
    void programOnAnXServer()
    {
        const QString program = QStringLiteral(TAVREL_CLIENT_PATH);
        FaultServer server;
        FaultServer::Reply held = FaultServer::ok(CatalogPages::page(CatalogPages::items(3), 60));
        held.fault = FaultServer::Fault::Hold;
        server.setReply(QStringLiteral("/adminphp/admin_upload.php"), held);
        QProcess tavrel;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TAVREL_BASE_URL"), server.url(QStringLiteral("adminphp/")));
        tavrel.setProcessEnvironment(env);
        tavrel.start(program, {});
        QVERIFY(tavrel.waitForStarted());
        const auto stop = qScopeGuard([&tavrel] {
            tavrel.kill();
            tavrel.waitForFinished(5000);
        });

        // Mapped and shown while its first list request is still unanswered.
        QString id;
        QTRY_VERIFY_WITH_TIMEOUT(
            !(id = xdotool({"search", "--onlyvisible", "--name", "^Tavrel1.3$"})).isEmpty(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(
            server.requests().contains(QStringLiteral("/adminphp/admin_upload.php?page=1")), 30000);
        server.release();

        // Three quick clicks on 下一页 during a slow reply: one request, none replayed after it.
        FaultServer::Reply slow = FaultServer::ok(CatalogPages::page(CatalogPages::items(3), 60));
        slow.delayMs = 1500;
        server.setReply(QStringLiteral("/adminphp/admin_upload.php"), slow);
        const QStringList hou = at(135 + 2835 + 500, 675 + 5625 + 230);
        QTest::qWait(500); // the first list on show, 下一页 enabled
        for (int i = 0; i < 3; ++i)
            xdotool(QStringList{"mousemove", "--window", id} + hou + QStringList{"click", "1"});
        // Enter in the search box once the slow reply is in (typing made while a request waits
        // is dropped, so it is typed again until it takes): whatever was replayed comes first.
        const QStringList searchBox = at(5085 + 135 + 800, 45 + 225 + 140);
        const auto searched = [&server] {
            return server.requests().last().contains(QStringLiteral("q="));
        };
        for (int attempt = 0; attempt < 60 && !searched(); ++attempt) {
            xdotool(QStringList{"mousemove", "--window", id} + searchBox +
                    QStringList{"click", "1"});
            xdotool({"key", "ctrl+a"});
            xdotool({"type", "abc"});
            xdotool({"key", "Return"});
            QTest::qWait(500);
        }
        QStringList lists = server.requests();
        lists.removeAll(QStringLiteral("/kovitongji.asp")); // the statistics visit, beside
        QCOMPARE(lists, (QStringList{"/adminphp/admin_upload.php?page=1",
                                     "/adminphp/admin_upload.php?page=2",
                                     "/adminphp/admin_upload.php?page=1&q=abc"}));
    }

    void loadedWindowOnAnXServer()
    {
#ifndef TAVREL_HAVE_CATALOGD
        QSKIP("catalogd is not part of this build");
#else
        // Downloads are slowed down so one can be seen part-way.
        CatalogdProcess server;
        CatalogdProcess::Options options;
        options.demoMaxFileSize = 3000000;
        options.extraArgs = {QStringLiteral("--rate-limit"), QStringLiteral("1000000")};
        QVERIFY2(server.start(options), qPrintable(server.errorString()));

        HttpTransfer transfer;
        // The program folder is the tests' own, where the build put the skin.
        MainHarness h(server.baseUrl(), &transfer, QCoreApplication::applicationDirPath());
        h.desktop.realMakePath = [](const QString &path) { return QDir().mkpath(path); };
        FakePrompter &prompter = h.prompter;
        Main &window = *h.window;
        window.Form_Load();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::qWait(300);

        QCOMPARE(window.form()->JiLu_Text->text(), QStringLiteral("共有 30 记录"));
        QCOMPARE(window.listView()->rowCount(), 20);
        QVERIFY(prompter.boxes.isEmpty());

        // The X server knows the window by its caption.
        const QString id = windowNamed(QStringLiteral("Tavrel1.3"));
        QVERIFY2(!id.isEmpty(), "no window called Tavrel1.3 on the X server");
        QCOMPARE(id.toULongLong(), quint64(window.winId()));

        const QImage shot = window.screen()->grabWindow(window.winId()).toImage();
        QCOMPARE(shot.size(), QSize(547, 468));
        QVERIFY(shot.save(QStringLiteral("realwindow.png")));
        // The red count label is on the picture where the widget is.
        const QRect label(window.form()->JiLu_Text->mapTo(&window, QPoint(0, 0)),
                          window.form()->JiLu_Text->size());
        int red = 0;
        for (int y = label.top(); y <= label.bottom(); ++y)
            for (int x = label.left(); x <= label.right(); ++x) {
                const QColor c = shot.pixelColor(x, y);
                red += c.red() > 180 && c.green() < 90 && c.blue() < 90;
            }
        QVERIFY2(red > 10, "the count label is not drawn in red");

        // Widened, the window shows the administrator's controls.
        window.resize(1300, 560);
        QTest::qWait(300);
        QVERIFY(window.form()->Command7->isVisible());
        QVERIFY(window.form()->Command7->mapTo(&window, QPoint(0, 0)).x() < window.width());
        window.screen()->grabWindow(window.winId()).save(QStringLiteral("realwindow-wide.png"));
        window.resize(547, 468);

        // A download of the largest file on show: the bar appears and moves on the screen.
        const QFileInfoList files =
            QDir(server.dataDir() + QStringLiteral("/up")).entryInfoList(QDir::Files, QDir::Size);
        QVERIFY(!files.isEmpty());
        int row = -1;
        for (const QFileInfo &file : files) {
            for (int r = 0; r < window.listView()->rowCount() && row < 0; ++r)
                if (window.listView()->cell(r, 4) == file.fileName())
                    row = r;
            if (row >= 0)
                break;
        }
        QVERIFY(row >= 0);
        window.ListView_RowSelected(row);
        window.ListView_RowActivated();
        ProgressBar *bar = window.progressBar();
        QTRY_VERIFY2_WITH_TIMEOUT(bar->isVisible() && bar->Value() >= 20,
                                  qPrintable(QStringLiteral("bar %1 at %2 of %3, boxes: %4")
                                                 .arg(bar->isVisible())
                                                 .arg(bar->Value())
                                                 .arg(bar->Max())
                                                 .arg(prompter.texts().join(u'|'))),
                                  20000);
        QVERIFY(bar->Value() < 100);
        window.screen()->grabWindow(window.winId()).save(QStringLiteral("realwindow-download.png"));
#endif
    }
};

int main(int argc, char *argv[])
{
    QProcess xvfb;
    const QString display = startXvfb(xvfb);
    if (display.isEmpty()) {
        // Without an X server there is nothing to look at; say so instead of failing.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QApplication app(argc, argv);
        std::printf("SKIP: Xvfb is not installed\n");
        return 0;
    }
    qputenv("DISPLAY", display.toLatin1());
    qputenv("QT_QPA_PLATFORM", "xcb");
    int status = 0;
    {
        QApplication app(argc, argv);
        TestRealWindow test;
        status = QTest::qExec(&test, argc, argv);
    }
    xvfb.terminate();
    xvfb.waitForFinished(5000);
    return status;
}

#include "tst_realwindow.moc"
