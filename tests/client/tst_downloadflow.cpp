// The window's download flow end to end: a real download control and fetch service against the
// loopback fault server (and the catalog server when it is built), real folders in a temporary
// program folder, fakes only for boxes and the desktop.

#include "FakeFetchService.h"
#include "FileTree.h"
#include "MainHarness.h"

#include "client/Main.h"
#include "core/Digest.h"
#include "core/Sha256.h"
#include "client/platform/CatalogList.h"
#include "download/Downloader.h"
#include "download/NetworkFetchService.h"
#include "progress/ProgressBar.h"

#include "FaultServer.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

#include <memory>

#ifdef TAVREL_HAVE_CATALOGD
#include "CatalogdProcess.h"
#include "client/platform/HttpTransfer.h"
#endif

using namespace std::chrono_literals;

namespace {

using FileTree::readAll;
using FileTree::snapshot;

constexpr int timeoutMs = 15000;

QByteArray randomBytes(int size)
{
    QRandomGenerator gen(size);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &b : bytes)
        b = char(gen.bounded(256));
    return bytes;
}

QStringList row(const QString &title, const QString &fileName)
{
    return {QStringLiteral("工具"),
            title,
            QStringLiteral("免费"),
            QStringLiteral("2024-05-01 10:00:00"),
            fileName,
            QStringLiteral("7")};
}

// The window after start-up over a temporary program folder whose folders are really made,
// downloading from baseUrl.
struct Rig : MainHarness
{
    QList<int> barValues; // every value the bar was given

    explicit Rig(const QString &baseUrl, Transfer *realTransfer = nullptr,
                 std::chrono::milliseconds downloadIdle = 10s)
        : MainHarness(Setup{baseUrl, realTransfer, {}, {}, true, downloadIdle})
    {
        window->Form_Load();
        QObject::connect(bar(), &ProgressBar::PropertyChanged, bar(), [this](const QString &name) {
            if (name == QLatin1String("Value"))
                barValues.append(bar()->Value());
        });
    }

    QString program() const { return services.programFolder; }
    QString root() const { return services.libraryRoot; }
    ProgressBar *bar() const { return window->progressBar(); }
    bool busy() const { return !bar()->isHidden(); }
    QString buffer() const
    {
        return window->findChild<QLineEdit *>(QStringLiteral("HaunCun_Text"))->text();
    }
    void show(const QList<QStringList> &rows) { window->listView()->replaceRows(rows); }
    void activate(int index)
    {
        window->ListView_RowSelected(index);
        window->ListView_RowActivated();
    }
    QStringList boxTitles() const
    {
        QStringList titles;
        for (const auto &box : prompter.boxes)
            titles.append(box.title);
        return titles;
    }
    // A progress report of the fetch service, as if it came from the network.
    void reportProgress(const QString &key, qint64 read, qint64 max)
    {
        emit fetchService->progress(FakeFetchService::record(key, QString(), read, max,
                                                             FetchRecord::Downloading, QString()));
    }
};

} // namespace

class TestDownloadFlow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void wholeDownloadLands_data();
    void wholeDownloadLands();
    void secondActivationWhileBusy();
    void blankFileNameDoesNothing_data();
    void blankFileNameDoesNothing();
    void failedDownloadEndsBusyState_data();
    void failedDownloadEndsBusyState();
    void refusedStartEndsBusyState();
    void folderThatCannotBeMade();
    void hostileNamesWriteAndFetchNothing_data();
    void hostileNamesWriteAndFetchNothing();
    void progressMovesBarByRoundedPercent_data();
    void progressMovesBarByRoundedPercent();
    void earlierFetchDoesNotMoveNewBar();
    void cancel_data();
    void cancel();
    void oneHandlerAtATime();
    void linksInTheLibrary_data();
    void linksInTheLibrary();
    void libraryButtonOpensLibraryRoot_data();
    void libraryButtonOpensLibraryRoot();
    void uploadButtonOpensUploadPage();
    void catalogItemDownload_data();
    void catalogItemDownload();
};

void TestDownloadFlow::initTestCase()
{
    // The bar's stored settings (Max 100, Min 0) are a resource of the static client library;
    // a static link keeps a resource only when someone asks for it by name.
    Q_INIT_RESOURCE(window);
}

void TestDownloadFlow::wholeDownloadLands_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<FaultServer::Reply>("reply");
    QTest::addColumn<QString>("requestPath"); // as the server receives it
    QTest::addColumn<QString>("folder");      // below the library root
    QTest::addColumn<QString>("saveFile");    // below the library root
    QTest::addColumn<bool>("lengthKnown");

    const QByteArray body = randomBytes(200 * 1024);
    FaultServer::Reply whole = FaultServer::ok(body);
    FaultServer::Reply noLength = whole;
    noLength.length = FaultServer::Length::Missing;
    FaultServer::Reply dripped = FaultServer::ok(randomBytes(64 * 1024));
    dripped.fault = FaultServer::Fault::Drip;
    dripped.dripBytes = 8 * 1024;
    dripped.dripIntervalMs = 5;
    // Resumed from where each cut or stall left it, and checked against the published digest.
    FaultServer::Reply cut = whole;
    cut.ranges = true;
    cut.etag = "\"v1\"";
    cut.headers.append({"Repr-Digest", tavrel::reprDigestField(tavrel::Sha256::of(body))});
    cut.fault = FaultServer::Fault::CloseMidBody;
    cut.cuts = {60000, 120000, 180000};
    FaultServer::Reply stalled = cut;
    stalled.fault = FaultServer::Fault::Stall;
    stalled.cuts = {70000, 140000};

    // Rows for Tool's tool.zip, served this way.
    const auto tool = [](const char *name, const FaultServer::Reply &reply, bool lengthKnown) {
        QTest::newRow(name) << "Tool"
                            << "tool.zip" << reply << "/adminphp/up/tool.zip"
                            << "Tool/"
                            << "Tool/tool.zip" << lengthKnown;
    };
    tool("plain", whole, true);
    tool("server without a length", noLength, false);
    tool("arriving in pieces", dripped, true);
    tool("resumed after each cut", cut, true);
    tool("resumed after each stall", stalled, true);
    QTest::newRow("backslash in title nests") << "Games\\Cards\\Solitaire"
                                              << "s.zip" << whole << "/adminphp/up/s.zip"
                                              << "Games/Cards/Solitaire/"
                                              << "Games/Cards/Solitaire/s.zip" << true;
    QTest::newRow("name with blank, #, ? and %")
        << "外挂 工具"
        << "my tool#2?v=1%.zip" << whole << "/adminphp/up/my%20tool%232%3Fv%3D1%25.zip"
        << "外挂 工具/"
        << "外挂 工具/my tool#2?v=1%.zip" << true;
    QTest::newRow("slash in file name nests on both sides")
        << "Tool"
        << "2024/tool.zip" << whole << "/adminphp/up/2024/tool.zip"
        << "Tool/"
        << "Tool/2024/tool.zip" << true;
    QTest::newRow("blanks around the cells are trimmed")
        << "  Tool  "
        << "  tool.zip " << whole << "/adminphp/up/tool.zip"
        << "Tool/"
        << "Tool/tool.zip" << true;
}

void TestDownloadFlow::wholeDownloadLands()
{
    QFETCH(QString, title);
    QFETCH(QString, fileName);
    QFETCH(FaultServer::Reply, reply);
    QFETCH(QString, requestPath);
    QFETCH(QString, folder);
    QFETCH(QString, saveFile);
    QFETCH(bool, lengthKnown);

    FaultServer server;
    server.setReply(requestPath, reply);
    Rig rig(server.adminphp(), nullptr, 500ms);
    QVERIFY(rig.folder.isValid());

    // The folder must show the finished file when it opens.
    QList<QByteArray> contentsWhenOpened;
    rig.desktop.onOpenFolder = [&](const QString &) {
        contentsWhenOpened.append(readAll(rig.root() + saveFile));
    };

    rig.show({row(QStringLiteral("other"), QStringLiteral("other.zip")), row(title, fileName)});
    rig.activate(1);
    QVERIFY(rig.busy());
    QCOMPARE(rig.bar()->Value(), 0);
    QCOMPARE(rig.buffer(), title.trimmed());

    QTRY_VERIFY_WITH_TIMEOUT(!rig.busy(), timeoutMs);
    QCOMPARE(rig.prompter.texts(), QStringList());
    // One request, or one more for each cut.
    const QStringList requests = server.requests();
    QCOMPARE(requests.size() > 1, !reply.cuts.isEmpty());
    QCOMPARE(requests.count(requestPath), requests.size());
    QCOMPARE(rig.window->downloadUrl(), server.baseUrl() + requestPath.mid(1));
    QCOMPARE(rig.window->downloadFolder(), rig.root() + folder);
    QCOMPARE(rig.desktop.openedFolders, QStringList{rig.root() + folder});
    QCOMPARE(contentsWhenOpened, QList<QByteArray>{reply.body});
    QVERIFY(readAll(rig.root() + saveFile) == reply.body);
    // Nothing but the file: no staging leftovers beside it.
    QCOMPARE(QDir(QFileInfo(rig.root() + saveFile).path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{QFileInfo(saveFile).fileName()});

    // The bar only ever grows, in whole per cent; without a length it stays at 0 to the end.
    QVERIFY(!rig.barValues.isEmpty());
    QCOMPARE(rig.barValues.front(), 0);
    for (qsizetype i = 1; i < rig.barValues.size(); ++i)
        QVERIFY2(rig.barValues[i] >= rig.barValues[i - 1], qPrintable(QString::number(i)));
    QCOMPARE(rig.barValues.back(), lengthKnown ? 100 : 0);
}

void TestDownloadFlow::secondActivationWhileBusy()
{
    FaultServer server;
    server.setReply(QStringLiteral("/adminphp/up/slow.zip"), FaultServer::silent());
    server.setDefaultReply(FaultServer::ok("fast"));
    Rig rig(server.adminphp());
    rig.show({row(QStringLiteral("Slow"), QStringLiteral("slow.zip")),
              row(QStringLiteral("Fast"), QStringLiteral("fast.zip"))});

    rig.activate(0);
    QVERIFY(rig.busy());
    const QString folder = rig.window->downloadFolder();
    const QString url = rig.window->downloadUrl();
    rig.bar()->setValue(40);

    rig.activate(1);
    QCOMPARE(rig.prompter.boxes.size(), 1);
    QCOMPARE(rig.prompter.boxes[0].text, QStringLiteral("无法多任务下载!"));
    QCOMPARE(rig.prompter.boxes[0].title, QStringLiteral("提示"));
    QCOMPARE(rig.prompter.boxes[0].buttons, Prompter::Buttons::Ok);
    QCOMPARE(rig.prompter.boxes[0].icon, Prompter::Icon::None);
    // Only the buffer moved on to the second row; the running download is untouched.
    QCOMPARE(rig.buffer(), QStringLiteral("Fast"));
    QCOMPARE(rig.window->downloadFolder(), folder);
    QCOMPARE(rig.window->downloadUrl(), url);
    QVERIFY(rig.busy());
    QCOMPARE(rig.bar()->Value(), 40);
    QCOMPARE(rig.window->downloader()->fileList(), QStringList{rig.root() + "Slow/slow.zip"});
    QCOMPARE(rig.desktop.madePaths, QStringList{rig.root() + "Slow/"});
    QVERIFY(!QFileInfo::exists(rig.root() + QStringLiteral("Fast")));
}

void TestDownloadFlow::blankFileNameDoesNothing_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("select");
    QTest::addColumn<bool>("whileBusy");

    QTest::newRow("empty") << "" << true << false;
    QTest::newRow("blanks only") << "    " << true << false;
    QTest::newRow("no row selected yet") << "tool.zip" << false << false;
    QTest::newRow("blank while busy: no busy box either") << "  " << true << true;
}

void TestDownloadFlow::blankFileNameDoesNothing()
{
    QFETCH(QString, fileName);
    QFETCH(bool, select);
    QFETCH(bool, whileBusy);

    FaultServer server;
    server.setDefaultReply(FaultServer::silent());
    Rig rig(server.adminphp());
    rig.show({row(QStringLiteral("Busy"), QStringLiteral("busy.zip")),
              row(QStringLiteral("Blank"), fileName)});
    if (whileBusy)
        rig.activate(0);
    const QStringList listed = rig.window->downloader()->fileList();
    const QStringList made = rig.desktop.madePaths;
    const bool busy = rig.busy();

    if (select)
        rig.window->ListView_RowSelected(1);
    rig.window->ListView_RowActivated();

    QCOMPARE(rig.prompter.texts(), QStringList());
    QCOMPARE(rig.window->downloader()->fileList(), listed);
    QCOMPARE(rig.desktop.madePaths, made);
    QCOMPARE(rig.busy(), busy);
    QVERIFY(!QFileInfo::exists(rig.root() + QStringLiteral("Blank")));
}

void TestDownloadFlow::failedDownloadEndsBusyState_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<FaultServer::Reply>("reply");
    QTest::addColumn<bool>("targetIsFolder");
    QTest::addColumn<QString>("box"); // empty: any text that names the item

    FaultServer::Reply cut = FaultServer::ok(randomBytes(100 * 1024));
    cut.fault = FaultServer::Fault::CloseMidBody;
    cut.cutAt = 1000;
    FaultServer::Reply reset = FaultServer::ok(randomBytes(100 * 1024));
    reset.fault = FaultServer::Fault::Reset;
    reset.cutAt = 1000;

    FaultServer::Reply unlike = FaultServer::ok("data");
    unlike.headers.append({"Repr-Digest", tavrel::reprDigestField(tavrel::Sha256::of("date"))});

    QTest::newRow("404") << "gone.zip" << FaultServer::status(404, "Not Found") << false << "";
    QTest::newRow("closed mid-body") << "cut.zip" << cut << false << "";
    QTest::newRow("reset") << "reset.zip" << reset << false << "";
    // No file system takes a name this long: the file cannot be made.
    QTest::newRow("file name too long for the disk")
        << QString(300, QLatin1Char('n')) << FaultServer::ok("data") << false << "";
    QTest::newRow("a folder stands where the file goes")
        << "taken.zip" << FaultServer::ok("data") << true << "";
    QTest::newRow("unlike the published digest, twice")
        << "unlike.zip" << unlike << false
        << QStringLiteral("文件校验失败，下载的文件与服务器发布的不一致，未保存。");
}

void TestDownloadFlow::failedDownloadEndsBusyState()
{
    QFETCH(QString, fileName);
    QFETCH(FaultServer::Reply, reply);
    QFETCH(bool, targetIsFolder);
    QFETCH(QString, box);

    FaultServer server;
    server.setReply(QStringLiteral("/adminphp/up/") + fileName, reply);
    server.setReply(QStringLiteral("/adminphp/up/next.zip"), FaultServer::ok("next"));
    Rig rig(server.adminphp());
    const QString saveFile = rig.root() + QStringLiteral("Broken/") + fileName;
    if (targetIsFolder)
        QVERIFY(QDir().mkpath(saveFile));
    rig.show({row(QStringLiteral("Broken"), fileName), row(QStringLiteral("Next"), "next.zip")});

    rig.activate(0);
    QVERIFY(rig.busy());
    QTRY_VERIFY_WITH_TIMEOUT(!rig.busy(), timeoutMs);
    QCOMPARE(rig.prompter.boxes.size(), 1);
    QCOMPARE(rig.prompter.boxes[0].title, QStringLiteral("提示"));
    if (box.isEmpty())
        QVERIFY2(rig.prompter.boxes[0].text.contains(QStringLiteral("Broken")),
                 qPrintable(rig.prompter.boxes[0].text));
    else
        QCOMPARE(rig.prompter.boxes[0].text, box);
    QCOMPARE(rig.desktop.openedFolders, QStringList());
    QVERIFY(!QFileInfo(saveFile).isFile());
    const QStringList left = QDir(rig.root() + QStringLiteral("Broken"))
                                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QCOMPARE(left, targetIsFolder ? QStringList{fileName} : QStringList());

    // Idle again: the next item downloads.
    rig.activate(1);
    QTRY_COMPARE_WITH_TIMEOUT(rig.desktop.openedFolders.size(), 1, timeoutMs);
    QCOMPARE(readAll(rig.root() + QStringLiteral("Next/next.zip")), QByteArray("next"));
    QCOMPARE(rig.prompter.boxes.size(), 1);
}

void TestDownloadFlow::refusedStartEndsBusyState()
{
    // The fetch service takes http and https only: it refuses the start, and the control shows
    // its own box. Nothing will ever end that download, so the window must not stay busy.
    Rig rig(QStringLiteral("file:///srv/adminphp/"));
    rig.show({row(QStringLiteral("Tool"), QStringLiteral("tool.zip"))});

    rig.activate(0);
    QCOMPARE(rig.boxTitles(), QStringList{QStringLiteral("错误")});
    QVERIFY(rig.prompter.boxes[0].text.contains(QStringLiteral(":错误在调用 BeginDownload().")));
    QVERIFY(!rig.busy());

    rig.activate(0);
    QCOMPARE(rig.boxTitles(), (QStringList{QStringLiteral("错误"), QStringLiteral("错误")}));
    QVERIFY(!rig.busy());
}

void TestDownloadFlow::folderThatCannotBeMade()
{
    FaultServer server;
    server.setDefaultReply(FaultServer::ok("data"));
    Rig rig(server.adminphp());
    QVERIFY(QDir().mkpath(rig.root()));
    QFile blocker(rig.root() + QStringLiteral("Tool"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    rig.show({row(QStringLiteral("Tool"), QStringLiteral("tool.zip"))});

    rig.activate(0);
    QCOMPARE(rig.boxTitles(), QStringList{QStringLiteral("提示")});
    QVERIFY2(rig.prompter.boxes[0].text.contains(QStringLiteral("无法创建文件夹")),
             qPrintable(rig.prompter.boxes[0].text));
    QVERIFY(!rig.busy());
    QCOMPARE(rig.window->downloader()->fileList(), QStringList());
    QCOMPARE(rig.window->downloadUrl(), QString());
    QVERIFY(QFileInfo(rig.root() + QStringLiteral("Tool")).isFile());
}

void TestDownloadFlow::hostileNamesWriteAndFetchNothing_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("fileName");

    const QString ok = QStringLiteral("ok");
    const QString okFile = QStringLiteral("ok.zip");
    const QList<std::pair<const char *, QString>> hostile = {
        {"..", QStringLiteral("..")},
        {"../x", QStringLiteral("../x")},
        {"..\\x", QStringLiteral("..\\x")},
        {"/etc/x", QStringLiteral("/etc/x")},
        {"a/../../b", QStringLiteral("a/../../b")},
        {"NUL", QStringLiteral("x") + QChar(0) + QStringLiteral("y")},
        {"line feed", QStringLiteral("x\ny")},
        {"tab", QStringLiteral("x\ty")},
        {"escape", QStringLiteral("x\x1b]0;y")},
    };
    for (const auto &[name, text] : hostile) {
        QTest::addRow("title %s", name) << text << okFile;
        QTest::addRow("file name %s", name) << ok << text;
    }
    QTest::newRow("file name that names a folder") << ok << "sub/";
}

void TestDownloadFlow::hostileNamesWriteAndFetchNothing()
{
    QFETCH(QString, title);
    QFETCH(QString, fileName);

    FaultServer server;
    server.setDefaultReply(FaultServer::ok("payload"));
    Rig rig(server.adminphp());
    // Something in the library already, to see that nothing around it changes.
    QVERIFY(QDir().mkpath(rig.root() + QStringLiteral("a")));
    const QStringList before = snapshot(rig.folder.path());

    rig.show({row(title, fileName)});
    rig.activate(0);

    QCOMPARE(rig.boxTitles(), QStringList{QStringLiteral("提示")});
    QVERIFY(!rig.prompter.boxes[0].text.contains(QChar(0)));
    QVERIFY(!rig.busy());
    QCOMPARE(rig.desktop.madePaths, QStringList());
    QCOMPARE(rig.window->downloader()->fileList(), QStringList());
    QCOMPARE(rig.window->downloadUrl(), QString());
    QCOMPARE(rig.window->downloadFolder(), QString());
    QCOMPARE(snapshot(rig.folder.path()), before);
    QTest::qWait(50); // a fetch started by mistake would reach the server by now
    QCOMPARE(server.requests(), QStringList());
}

void TestDownloadFlow::progressMovesBarByRoundedPercent_data()
{
    QTest::addColumn<qint64>("read");
    QTest::addColumn<qint64>("max");
    QTest::addColumn<int>("value");

    // The bar is at 50 before each row.
    QTest::newRow("1 of 8: 12.5 to even") << qint64(1) << qint64(8) << 12;
    QTest::newRow("3 of 8: 37.5 to even") << qint64(3) << qint64(8) << 38;
    QTest::newRow("1019 of 1024 rounds to 100") << qint64(1019) << qint64(1024) << 100;
    QTest::newRow("nothing yet") << qint64(0) << qint64(1024) << 0;
    QTest::newRow("beyond 2 GiB") << qint64(3000000000LL) << qint64(6000000000LL) << 50;
    QTest::newRow("more than announced stops at 100") << qint64(9) << qint64(4) << 100;
    QTest::newRow("no length: no move") << qint64(700) << qint64(0) << 50;
}

void TestDownloadFlow::progressMovesBarByRoundedPercent()
{
    QFETCH(qint64, read);
    QFETCH(qint64, max);
    QFETCH(int, value);

    FaultServer server;
    server.setDefaultReply(FaultServer::silent());
    Rig rig(server.adminphp());
    rig.show({row(QStringLiteral("Tool"), QStringLiteral("tool.zip"))});
    rig.activate(0);
    const QString key = rig.root() + QStringLiteral("Tool/tool.zip");

    rig.reportProgress(key, 1, 2);
    QCOMPARE(rig.bar()->Value(), 50);
    rig.reportProgress(key, read, max);
    QCOMPARE(rig.bar()->Value(), value);
    // Only the end of the download ends the busy state, not a full bar.
    QVERIFY(rig.busy());
    QCOMPARE(rig.desktop.openedFolders, QStringList());
}

void TestDownloadFlow::earlierFetchDoesNotMoveNewBar()
{
    FaultServer server;
    server.setReply(QStringLiteral("/adminphp/up/first.zip"), FaultServer::ok("first"));
    server.setReply(QStringLiteral("/adminphp/up/second.zip"), FaultServer::silent());
    Rig rig(server.adminphp());
    rig.show({row(QStringLiteral("First"), QStringLiteral("first.zip")),
              row(QStringLiteral("Second"), QStringLiteral("second.zip"))});
    const QString first = rig.root() + QStringLiteral("First/first.zip");
    const QString second = rig.root() + QStringLiteral("Second/second.zip");

    rig.activate(0);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.busy(), timeoutMs);
    rig.activate(1);
    QVERIFY(rig.busy());

    // Late reports about the first fetch, after the second one started.
    rig.reportProgress(first, 99, 100);
    QCOMPARE(rig.bar()->Value(), 0);
    emit rig.fetchService->completed(
        FakeFetchService::record(first, QString(), 5, 5, FetchRecord::AllData, QString()));
    emit rig.fetchService->completed(FakeFetchService::record(
        first, QString(), 0, 0, FetchRecord::Failure, QStringLiteral("reset")));
    // The control only completes what it staged, so a late completion is raised here directly.
    emit rig.window->downloader()->DownloadComplete(5, first);
    QVERIFY(rig.busy());
    QCOMPARE(rig.bar()->Value(), 0);
    QCOMPARE(rig.prompter.texts(), QStringList());
    QCOMPARE(rig.desktop.openedFolders, QStringList{rig.root() + QStringLiteral("First/")});
    QCOMPARE(readAll(first), QByteArray("first"));

    // The bar still follows its own fetch.
    rig.reportProgress(second, 1, 4);
    QCOMPARE(rig.bar()->Value(), 25);
}

void TestDownloadFlow::cancel_data()
{
    QTest::addColumn<bool>("escape"); // Esc on the window, else a click on the bar
    QTest::addColumn<bool>("yes");
    QTest::newRow("Esc, Yes") << true << true;
    QTest::newRow("click on the bar, Yes") << false << true;
    QTest::newRow("Esc, No: the download goes on") << true << false;
}

void TestDownloadFlow::cancel()
{
    QFETCH(bool, escape);
    QFETCH(bool, yes);
    const QByteArray body = randomBytes(64 * 1024);
    FaultServer server;
    FaultServer::Reply slow = FaultServer::ok(body);
    slow.fault = FaultServer::Fault::Drip;
    slow.dripBytes = 1024;
    slow.dripIntervalMs = 20;
    server.setReply(QStringLiteral("/adminphp/up/tool.zip"), slow);
    Rig rig(server.adminphp());
    const QString folder = rig.root() + QStringLiteral("Tool/");
    QVERIFY(QDir().mkpath(folder));
    QFile older(folder + QStringLiteral("tool.zip"));
    QVERIFY(older.open(QIODevice::WriteOnly) && older.write("older copy") == 10);
    older.close();
    rig.window->show();
    rig.window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));

    rig.show({row(QStringLiteral("Tool"), QStringLiteral("tool.zip"))});
    rig.activate(0);
    QTRY_VERIFY_WITH_TIMEOUT(rig.bar()->Value() > 0, timeoutMs);
    // The tooltip says how far it is.
    QVERIFY2(rig.bar()->toolTip().startsWith(QStringLiteral("已下载 ")),
             qPrintable(rig.bar()->toolTip()));
    if (!yes)
        rig.prompter.answers.push_back(Prompter::Answer::No);
    if (escape)
        QTest::keyClick(rig.window.get(), Qt::Key_Escape);
    else
        QTest::mouseClick(rig.bar(), Qt::LeftButton, {}, QPoint(5, 5));

    QCOMPARE(rig.prompter.texts(), QStringList{QStringLiteral("是否取消下载?")});
    QCOMPARE(rig.prompter.boxes[0].title, QStringLiteral("确认操作"));
    QCOMPARE(rig.prompter.boxes[0].buttons, Prompter::Buttons::YesNo);
    if (yes) {
        QVERIFY(!rig.busy());
        QTRY_COMPARE(server.openConnections(), 0);
        QTest::qWait(100);
        QCOMPARE(rig.prompter.boxes.size(), 1); // no error box follows
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"tool.zip"});
        QCOMPARE(readAll(folder + QStringLiteral("tool.zip")), QByteArray("older copy"));
        QVERIFY(rig.desktop.openedFolders.isEmpty());
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(!rig.busy(), timeoutMs);
        QCOMPARE(readAll(folder + QStringLiteral("tool.zip")), body);
        QCOMPARE(rig.prompter.boxes.size(), 1);
    }
}

// What reaches the window while a handler waits for the server (an assistive technology's
// click, a download's end) never runs inside it: the click is dropped, the event waits.
void TestDownloadFlow::oneHandlerAtATime()
{
    FaultServer server;
    server.setDefaultReply(FaultServer::silent());
    Rig rig(server.adminphp());
    rig.show({row(QStringLiteral("Tool"), QStringLiteral("tool.zip"))});
    rig.activate(0);
    QVERIFY(rig.busy());
    const QString saveFile = rig.root() + QStringLiteral("Tool/tool.zip");

    rig.fakeTransfer.onFetch = [&](const QString &) {
        rig.ui().Command2->click(); // as an assistive technology presses a button
        emit rig.window->downloader()->DownloadError(saveFile, QStringLiteral("reset"));
        QCOMPARE(rig.prompter.boxes.size(), 0);
    };
    rig.fakeTransfer.fail();
    rig.ui().Command1->click();

    QCOMPARE(rig.fakeTransfer.urls.size(), 2); // start-up's list and the click's, not Command2's
    QVERIFY(rig.fakeTransfer.urls.last().endsWith(QStringLiteral("admin_upload.php?page=1")));
    QCOMPARE(rig.prompter.texts().size(), 2);
    QVERIFY(rig.prompter.texts().at(0).startsWith(QStringLiteral("无法连接到服务器")));
    QVERIFY(rig.prompter.texts().at(1).contains(QStringLiteral("下载失败")));
    QVERIFY(!rig.busy());
}

void TestDownloadFlow::linksInTheLibrary_data()
{
    QTest::addColumn<QString>("link"); // below the library root
    QTest::addColumn<QString>("when"); // "before" the activation, "during" the download
    QTest::addColumn<bool>("refused");

    QTest::newRow("the item's folder") << "Tool"
                                       << "before" << true;
    QTest::newRow("the file") << "Tool/tool.zip"
                              << "before" << true;
    QTest::newRow("the file, planted while it downloads") << "Tool/tool.zip"
                                                          << "during" << true;
    QTest::newRow("the library folder itself") << ""
                                               << "before" << false;
}

void TestDownloadFlow::linksInTheLibrary()
{
    QFETCH(QString, link);
    QFETCH(QString, when);
    QFETCH(bool, refused);
    const QByteArray body = randomBytes(16 * 1024);
    FaultServer server;
    FaultServer::Reply reply = FaultServer::ok(body);
    reply.fault = FaultServer::Fault::Hold;
    server.setReply(QStringLiteral("/adminphp/up/tool.zip"), reply);
    QTemporaryDir elsewhere;
    QFile victim(elsewhere.filePath(QStringLiteral("tool.zip")));
    QVERIFY(victim.open(QIODevice::WriteOnly) && victim.write("not yours") == 9);
    victim.close();

    // The library may itself be a link, to another disk.
    QTemporaryDir disk;
    MainHarness::Setup setup{server.adminphp(), nullptr, {}, {}, true};
    QTemporaryDir program;
    const QString root = program.filePath(QStringLiteral("Res"));
    QVERIFY(QFile::link(disk.path(), root));
    setup.libraryRoot = root + QStringLiteral("/");
    MainHarness h(setup);
    h.window->Form_Load();
    auto plant = [&] {
        QVERIFY(QDir(disk.path()).mkpath(QStringLiteral(".")));
        if (link == QLatin1String("Tool"))
            QVERIFY(QFile::link(elsewhere.path(), root + QStringLiteral("/Tool")));
        else if (!link.isEmpty())
            QVERIFY(QDir(root).mkpath(QStringLiteral("Tool")) &&
                    QFile::link(victim.fileName(), root + QStringLiteral("/") + link));
    };
    if (when == QLatin1String("before"))
        plant();
    h.window->listView()->replaceRows({row(QStringLiteral("Tool"), QStringLiteral("tool.zip"))});
    h.window->ListView_RowSelected(0);
    h.window->ListView_RowActivated();
    if (when == QLatin1String("during")) {
        QTRY_COMPARE(server.requestCount(), 1);
        plant();
    }
    server.release();
    QTRY_VERIFY_WITH_TIMEOUT(h.window->progressBar()->isHidden(), timeoutMs);

    QCOMPARE(readAll(victim.fileName()), QByteArray("not yours"));
    if (refused) {
        QCOMPARE(h.prompter.boxes.size(), 1);
        QCOMPARE(h.prompter.boxes[0].title, QStringLiteral("提示"));
        QVERIFY2(h.prompter.boxes[0].text.contains(QStringLiteral("符号链接")),
                 qPrintable(h.prompter.boxes[0].text));
        QCOMPARE(server.requestCount(), when == QLatin1String("during") ? 1 : 0);
    } else {
        QCOMPARE(h.prompter.texts(), QStringList());
        QCOMPARE(readAll(disk.filePath(QStringLiteral("Tool/tool.zip"))), body);
    }
}

void TestDownloadFlow::libraryButtonOpensLibraryRoot_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("opens");

    QTest::newRow("missing library is made, then opened") << "missing" << true;
    QTest::newRow("existing library") << "exists" << true;
    QTest::newRow("library that cannot be made") << "blocked" << false;
}

void TestDownloadFlow::libraryButtonOpensLibraryRoot()
{
    QFETCH(QString, setup);
    QFETCH(bool, opens);

    Rig rig(QStringLiteral("http://127.0.0.1:9/adminphp/"));
    QVERIFY(QDir().mkpath(rig.program()));
    if (setup == QLatin1String("exists")) {
        QVERIFY(QDir().mkpath(rig.root() + QStringLiteral("Tool")));
    } else if (setup == QLatin1String("blocked")) {
        QFile blocker(rig.program() + QStringLiteral("/Res"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }

    rig.window->findChild<QPushButton *>(QStringLiteral("Command3"))->click();

    QCOMPARE(rig.desktop.openedUrls, QStringList());
    if (opens) {
        QCOMPARE(rig.desktop.openedFolders, QStringList{rig.root()});
        QVERIFY(QFileInfo(rig.root()).isDir());
        QCOMPARE(rig.prompter.texts(), QStringList());
    } else {
        QCOMPARE(rig.desktop.openedFolders, QStringList());
        QCOMPARE(rig.boxTitles(), QStringList{QStringLiteral("提示")});
    }
}

void TestDownloadFlow::uploadButtonOpensUploadPage()
{
    Rig rig(QStringLiteral("http://127.0.0.1:9/adminphp/"));
    rig.window->findChild<QPushButton *>(QStringLiteral("Command4"))->click();
    QCOMPARE(rig.desktop.openedUrls,
             QStringList{QStringLiteral("http://127.0.0.1:9/adminphp/index.php")});
    QCOMPARE(rig.desktop.openedFolders, QStringList());
    QCOMPARE(rig.desktop.madePaths, QStringList());
}

void TestDownloadFlow::catalogItemDownload_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("folder"); // below the library root

    QTest::newRow("title with a backslash") << "tool-patch.zip"
                                            << "工具/补丁/";
    QTest::newRow("file name with a blank") << "read me.txt"
                                            << "Read Me First/";
    QTest::newRow("chinese file name") << "系统补丁合集.zip"
                                       << "系统补丁合集 2024/";
    QTest::newRow("the largest demo file") << "text-editor.zip"
                                           << "文本编辑器 增强版/";
}

void TestDownloadFlow::catalogItemDownload()
{
#ifndef TAVREL_HAVE_CATALOGD
    QSKIP("the catalog server is not part of this build");
#else
    QFETCH(QString, fileName);
    QFETCH(QString, folder);

    CatalogdProcess catalogd;
    CatalogdProcess::Options options;
    options.pageSize = 40;
    QVERIFY2(catalogd.start(options), qPrintable(catalogd.errorString()));
    HttpTransfer http;
    Rig rig(catalogd.baseUrl(), &http, 500ms);
    int openedWithFile = 0;
    const QString saveFile = rig.root() + folder + fileName;
    rig.desktop.onOpenFolder = [&](const QString &) { openedWithFile += QFile::exists(saveFile); };

    // The latest list as start-up loaded it; the row is picked and activated from the keyboard.
    CatalogList *list = rig.window->listView();
    int index = -1;
    for (int i = 0; i < list->rowCount() && index < 0; ++i)
        if (list->cell(i, 4) == fileName)
            index = i;
    QVERIFY2(index >= 0, "the item is not in the latest list");
    list->setCurrentIndex(list->catalogModel()->index(index, 0));
    QCOMPARE(rig.window->selectedRow(), index);
    QTest::keyClick(list, Qt::Key_Return);
    QVERIFY(rig.busy());

    QTRY_VERIFY_WITH_TIMEOUT(!rig.busy(), timeoutMs);
    QCOMPARE(rig.prompter.texts(), QStringList());
    QCOMPARE(rig.desktop.openedFolders, QStringList{rig.root() + folder});
    QCOMPARE(openedWithFile, 1);
    const QByteArray served = readAll(catalogd.dataDir() + QStringLiteral("/up/") + fileName);
    QVERIFY(!served.isEmpty());
    QVERIFY(readAll(saveFile) == served);
    // Checked against the digest catalogd published (through nginx too, when it runs behind).
    const Downloader *control = rig.window->findChild<Downloader *>();
    QVERIFY(control);
    QCOMPARE(control->verifiedDigest(saveFile), tavrel::Sha256::of(served));
#endif
}

QTEST_MAIN(TestDownloadFlow)
#include "tst_downloadflow.moc"
