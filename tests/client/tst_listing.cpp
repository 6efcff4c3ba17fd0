#include "CatalogPages.h"
#include "MainHarness.h"

#include "core/Encoding.h"

#include "FaultServer.h"
#include "client/platform/HttpTransfer.h"

#ifdef TAVREL_HAVE_CATALOGD
#include "CatalogdProcess.h"
#endif

#include <QHeaderView>
#include <QTest>

namespace {

const QString base = QStringLiteral("http://catalog.test/adminphp/");

struct Snapshot
{
    QStringList titles;
    QString label;
    QString endpoint;
    int page;
    bool previous;
    bool next;
    bool search;

    static Snapshot of(const MainHarness &h)
    {
        Snapshot s;
        for (int r = 0; r < h.list().rowCount(); ++r)
            s.titles.append(h.list().cell(r, 1));
        s.label = h.ui().JiLu_Text->text();
        s.endpoint = h.window->listEndpoint();
        s.page = h.window->currentPage();
        s.previous = h.ui().Qian->isEnabled();
        s.next = h.ui().Hou->isEnabled();
        s.search = h.ui().SoSo->isEnabled();
        return s;
    }
    bool operator==(const Snapshot &) const = default;
};

char *toString(const Snapshot &s)
{
    return qstrdup(QStringLiteral("%1 rows, label %2, %3 page %4, prev %5 next %6")
                       .arg(s.titles.size())
                       .arg(s.label, s.endpoint)
                       .arg(s.page)
                       .arg(s.previous)
                       .arg(s.next)
                       .toUtf8()
                       .constData());
}

void click(QPushButton *button)
{
    QVERIFY2(button->isEnabled(), qPrintable(button->objectName() + QStringLiteral(" disabled")));
    QTest::mouseClick(button, Qt::LeftButton);
}

} // namespace

class TestListing : public QObject
{
    Q_OBJECT

#ifdef TAVREL_HAVE_CATALOGD
    // One demo server for every test that needs it.
    std::unique_ptr<CatalogdProcess> m_catalogd;
    CatalogdProcess &catalogd()
    {
        if (!m_catalogd) {
            m_catalogd = std::make_unique<CatalogdProcess>();
            m_catalogd->start();
        }
        return *m_catalogd;
    }
#endif

private Q_SLOTS:
    void cleanupTestCase()
    {
#ifdef TAVREL_HAVE_CATALOGD
        m_catalogd.reset();
#endif
    }

    void startUpShowsTheLatestList()
    {
        MainHarness h;
        h.fakeTransfer.reply(CatalogPages::page(CatalogPages::items(2), QStringLiteral("25"), 3));
        h.window->Form_Load();

        QCOMPARE(h.window->windowTitle(), QStringLiteral("Tavrel1.3"));
        QCOMPARE(h.fakeTransfer.urls,
                 QStringList{base + QStringLiteral("admin_upload.php?page=1")});
        QCOMPARE(h.effects.pings,
                 QStringList{QStringLiteral("http://catalog.test/kovitongji.asp")});
        QCOMPARE(h.effects.sounds, QStringList{h.folder.path() + QStringLiteral("/mp3/mp3.mp3")});
        QCOMPARE(h.effects.volumes, QList<int>{50});

        const QStringList captions = {QStringLiteral("软件分类"), QStringLiteral("软件标题"),
                                      QStringLiteral("授权方式"), QStringLiteral("更新时间"),
                                      QStringLiteral("下载地址"), QStringLiteral("id")};
        const int widths[] = {86, 200, 87, 140};
        QCOMPARE(h.list().model()->columnCount(), 6);
        for (int c = 0; c < 6; ++c) {
            QCOMPARE(h.list().model()->headerData(c, Qt::Horizontal).toString(), captions.at(c));
            QCOMPARE(h.list().isColumnHidden(c), c >= 4);
            if (c < 4)
                QCOMPARE(h.list().columnWidth(c), widths[c]);
        }
        QCOMPARE(h.list().rowCount(), 2);
        QCOMPARE(h.list().cell(1, 4), QStringLiteral("file1.zip"));
        QCOMPARE(h.list().cell(1, 5), QStringLiteral("101"));
        QCOMPARE(h.ui().JiLu_Text->text(), QStringLiteral("共有 25 记录"));
        QVERIFY(h.ui().SoSo->isEnabled());
        QVERIFY(!h.ui().Qian->isEnabled());
        QVERIFY(h.ui().Hou->isEnabled());
        QCOMPARE(h.window->selectedRow(), -1);
        QVERIFY(!h.window->adminLoggedIn());
        QVERIFY(h.prompter.boxes.isEmpty());
    }

    void startUpWithTheServerAwayOpensEmptyAndQuiet()
    {
        MainHarness h;
        h.fakeTransfer.fail();
        h.window->Form_Load();
        QCOMPARE(h.window->windowTitle(), QStringLiteral("Tavrel1.3"));
        QCOMPARE(h.list().rowCount(), 0);
        QCOMPARE(h.ui().JiLu_Text->text(), QStringLiteral("0"));
        QVERIFY(h.ui().SoSo->isEnabled());
        QVERIFY(!h.ui().Qian->isEnabled());
        QVERIFY(!h.ui().Hou->isEnabled());
        QVERIFY(h.prompter.boxes.isEmpty());
    }

    // The endpoint is the latest list's even when start-up's request failed: a search and the
    // reload after an approve name their script. Enter in the search box searches; the count
    // label shows a reply as text, never as markup.
    void afterAFailedStartUpEveryRequestNamesAScript()
    {
        MainHarness h;
        h.fakeTransfer.fail();
        h.window->Form_Load();
        QCOMPARE(h.window->listEndpoint(), QStringLiteral("admin_upload.php?"));
        QCOMPARE(h.window->currentPage(), 1);

        h.ui().Text1->setText(QStringLiteral(" 补丁 "));
        h.fakeTransfer.reply(CatalogPages::page(CatalogPages::items(2), 1));
        QTest::keyClick(h.ui().Text1, Qt::Key_Return);
        h.fakeTransfer.reply("0"); // the login
        h.window->Command7_Click();
        h.window->ListView_RowSelected(1);
        h.fakeTransfer.reply("0"); // the approve
        h.fakeTransfer.reply("<b>服务器错误</b>?");
        h.window->Command9_Click();

        QCOMPARE(h.fakeTransfer.urls,
                 (QStringList{
                     base + "admin_upload.php?page=1",
                     base + "admin_upload.php?page=1&q=%E8%A1%A5%E4%B8%81",
                     base + "to_examine.php?cz=0&pass=", base + "to_examine.php?cz=4&pass=&id=101",
                     base + "admin_upload.php?page=1"}));
        QCOMPARE(h.ui().JiLu_Text->textFormat(), Qt::PlainText);
        QCOMPARE(h.ui().JiLu_Text->text(), QStringLiteral("共有 <b>服务器错误</b> 记录"));
    }

    // A request the closing window cuts short ends without a box: nobody would read it.
    void closingDuringARequestShowsNothing()
    {
        MainHarness h;
        h.fakeTransfer.fail();
        h.window->Form_Load();
        h.fakeTransfer.onFetch = [&h](const QString &) { h.window->close(); };
        h.fakeTransfer.script.push_back(FetchResult::cancel());
        h.window->Command2_Click();
        QCOMPARE(h.fakeTransfer.urls.size(), 2);
        QVERIFY(h.prompter.boxes.isEmpty());
    }

    void startUpAgainstADeadPort()
    {
        HttpTransfer transfer;
        const QString deadBase =
            QStringLiteral("http://127.0.0.1:%1/adminphp/").arg(FaultServer::deadPort());
        MainHarness h(deadBase, &transfer);
        h.window->Form_Load();
        QCOMPARE(h.window->windowTitle(), QStringLiteral("Tavrel1.3"));
        QCOMPARE(h.list().rowCount(), 0);
        QCOMPARE(h.ui().JiLu_Text->text(), QStringLiteral("0"));
        QVERIFY(h.ui().SoSo->isEnabled());
        QVERIFY(!h.ui().Qian->isEnabled() && !h.ui().Hou->isEnabled());
        QVERIFY(h.prompter.boxes.isEmpty());
    }

    void publicListButtons_data()
    {
        QTest::addColumn<bool>("recommended");
        QTest::addColumn<int>("pages");
        QTest::addColumn<bool>("nextEnabled");
        QTest::newRow("latest, one page") << false << 1 << false;
        QTest::newRow("latest, three pages") << false << 3 << true;
        QTest::newRow("recommended, no pages") << true << 0 << false;
        QTest::newRow("recommended, three pages") << true << 3 << true;
    }
    void publicListButtons()
    {
        QFETCH(bool, recommended);
        QFETCH(int, pages);
        QFETCH(bool, nextEnabled);
        MainHarness h;
        h.fakeTransfer.fail();
        h.window->Form_Load();
        h.fakeTransfer.urls.clear();
        h.fakeTransfer.reply(
            CatalogPages::page(CatalogPages::items(1), QStringLiteral("1"), pages));
        click(recommended ? h.ui().Command2 : h.ui().Command1);
        const QString endpoint =
            recommended ? QStringLiteral("users_upload.php?") : QStringLiteral("admin_upload.php?");
        QCOMPARE(h.fakeTransfer.urls, QStringList{base + endpoint + QStringLiteral("page=1")});
        QCOMPARE(h.window->listEndpoint(), endpoint);
        QCOMPARE(h.window->currentPage(), 1);
        QCOMPARE(h.list().rowCount(), 1);
        QCOMPARE(h.ui().JiLu_Text->text(), QStringLiteral("共有 1 记录"));
        QVERIFY(!h.ui().Qian->isEnabled());
        QCOMPARE(h.ui().Hou->isEnabled(), nextEnabled);
    }

    void pagingRules_data()
    {
        QTest::addColumn<int>("startPage");
        QTest::addColumn<int>("pages");
        QTest::addColumn<bool>("forward");
        QTest::addColumn<int>("replyPages");
        QTest::addColumn<int>("requestedPage");
        QTest::addColumn<bool>("previousEnabled");
        QTest::addColumn<bool>("nextEnabled");

        QTest::newRow("page 2 of 5, back") << 2 << 5 << false << 5 << 1 << false << true;
        QTest::newRow("page 3 of 5, back") << 3 << 5 << false << 5 << 2 << true << true;
        QTest::newRow("page 4 of 5, forward") << 4 << 5 << true << 5 << 5 << true << false;
        QTest::newRow("page 1 of 2, forward") << 1 << 2 << true << 2 << 2 << true << false;
        QTest::newRow("page 2 of 3, forward") << 2 << 3 << true << 3 << 3 << true << false;
        QTest::newRow("page 2 of 4, forward") << 2 << 4 << true << 4 << 3 << true << true;
        QTest::newRow("list shrank under us") << 2 << 4 << true << 2 << 3 << true << true;
        QTest::newRow("one page in reply to back") << 2 << 3 << false << 1 << 1 << false << false;
        QTest::newRow("no pages in reply to forward") << 1 << 3 << true << 0 << 2 << false << false;
    }
    void pagingRules()
    {
        QFETCH(int, startPage);
        QFETCH(int, pages);
        QFETCH(bool, forward);
        QFETCH(int, replyPages);
        QFETCH(int, requestedPage);
        QFETCH(bool, previousEnabled);
        QFETCH(bool, nextEnabled);

        MainHarness h;
        h.fakeTransfer.reply(
            CatalogPages::page(CatalogPages::items(3), QStringLiteral("50"), pages));
        h.window->Form_Load();
        for (int p = 2; p <= startPage; ++p) {
            h.fakeTransfer.reply(
                CatalogPages::page(CatalogPages::items(3), QStringLiteral("50"), pages));
            click(h.ui().Hou);
        }
        QCOMPARE(h.window->currentPage(), startPage);

        h.fakeTransfer.urls.clear();
        h.fakeTransfer.reply(
            CatalogPages::page(CatalogPages::items(3), QStringLiteral("50"), replyPages));
        click(forward ? h.ui().Hou : h.ui().Qian);
        QCOMPARE(h.fakeTransfer.urls,
                 QStringList{base + QStringLiteral("admin_upload.php?page=%1").arg(requestedPage)});
        QCOMPARE(h.window->currentPage(), requestedPage);
        QCOMPARE(h.ui().Qian->isEnabled(), previousEnabled);
        QCOMPARE(h.ui().Hou->isEnabled(), nextEnabled);
    }

    void search_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("query");
        QTest::newRow("Chinese with blanks around")
            << QString::fromUtf16(u"  \u4E2D  ") << QStringLiteral("q=%E4%B8%AD");
        QTest::newRow("ampersand stays in the search")
            << QStringLiteral("a&b=c") << QStringLiteral("q=a%26b%3Dc");
        QTest::newRow("percent and plus")
            << QStringLiteral("50%+off") << QStringLiteral("q=50%25%2Boff");
        QTest::newRow("blank inside kept, tab kept")
            << QStringLiteral(" a b\t") << QStringLiteral("q=a%20b%09");
        QTest::newRow("empty") << QString() << QStringLiteral("q=");
        QTest::newRow("only blanks") << QStringLiteral("   ") << QStringLiteral("q=");
    }
    void search()
    {
        QFETCH(QString, text);
        QFETCH(QString, query);
        MainHarness h;
        h.fakeTransfer.reply(CatalogPages::page(CatalogPages::items(3), QStringLiteral("50"), 3));
        h.window->Form_Load();
        h.fakeTransfer.reply(CatalogPages::page(CatalogPages::items(3), QStringLiteral("50"), 3));
        click(h.ui().Hou); // page 2: the search starts again at page 1

        h.fakeTransfer.urls.clear();
        h.ui().Text1->setText(text);
        h.fakeTransfer.reply(CatalogPages::page(CatalogPages::items(2, QStringLiteral("found")),
                                                QStringLiteral("45"), 3));
        click(h.ui().SoSo);
        QCOMPARE(h.fakeTransfer.urls,
                 QStringList{base + QStringLiteral("admin_upload.php?page=1&") + query});
        QCOMPARE(h.window->currentPage(), 1);
        QCOMPARE(h.list().rowCount(), 2);
        QCOMPARE(h.list().cell(0, 1), QStringLiteral("found0"));
        QCOMPARE(h.list().cell(0, 5), QStringLiteral("100"));
        QVERIFY(!h.ui().Qian->isEnabled());
        QVERIFY(h.ui().Hou->isEnabled());

        // Paging after a search pages the whole list: the search text is not remembered.
        h.fakeTransfer.urls.clear();
        h.fakeTransfer.reply(CatalogPages::page(CatalogPages::items(3), QStringLiteral("50"), 3));
        click(h.ui().Hou);
        QCOMPARE(h.fakeTransfer.urls,
                 QStringList{base + QStringLiteral("admin_upload.php?page=2")});
    }

    void failedRequestChangesNothing_data()
    {
        QTest::addColumn<QString>("button");
        QTest::newRow("latest") << QStringLiteral("Command1");
        QTest::newRow("recommended") << QStringLiteral("Command2");
        QTest::newRow("previous page") << QStringLiteral("Qian");
        QTest::newRow("next page") << QStringLiteral("Hou");
        QTest::newRow("search") << QStringLiteral("SoSo");
    }
    void failedRequestChangesNothing()
    {
        QFETCH(QString, button);
        MainHarness h;
        h.fakeTransfer.reply(CatalogPages::page(CatalogPages::items(3), QStringLiteral("50"), 3));
        h.window->Form_Load();
        h.fakeTransfer.reply(CatalogPages::page(CatalogPages::items(2, QStringLiteral("second")),
                                                QStringLiteral("50"), 3));
        click(h.ui().Hou);
        const Snapshot before = Snapshot::of(h);
        QCOMPARE(before.page, 2);
        QVERIFY(before.previous && before.next);

        h.fakeTransfer.fail(QStringLiteral("Connection refused"));
        click(h.window->findChild<QPushButton *>(button));
        QCOMPARE(Snapshot::of(h), before);
        QCOMPARE(h.prompter.boxes.size(), 1);
        QCOMPARE(h.prompter.boxes.first().title, QStringLiteral("提示"));
        QVERIFY(h.prompter.boxes.first().text.contains(QStringLiteral("无法连接到服务器")));
        QVERIFY(h.prompter.boxes.first().text.contains(QStringLiteral("Connection refused")));
    }

    void errorPageIsStillAReply()
    {
        MainHarness h;
        h.fakeTransfer.reply(CatalogPages::page(CatalogPages::items(3), QStringLiteral("50"), 3));
        h.window->Form_Load();
        h.fakeTransfer.reply("<html>Server Error</html>");
        click(h.ui().Command2);
        QCOMPARE(h.list().rowCount(), 0);
        QCOMPARE(h.ui().JiLu_Text->text(), QStringLiteral("共有 <html>Server Error</html> 记录"));
        QCOMPARE(h.window->listEndpoint(), QStringLiteral("users_upload.php?"));
        QVERIFY(!h.ui().Qian->isEnabled() && !h.ui().Hou->isEnabled());
        QVERIFY(h.prompter.boxes.isEmpty());
    }

    void longReplyShowsEveryRow()
    {
        MainHarness h;
        h.fakeTransfer.reply(
            CatalogPages::page(CatalogPages::items(40000), QStringLiteral("40000"), 1));
        h.window->Form_Load();
        QCOMPARE(h.list().rowCount(), 40000);
        QCOMPARE(h.list().cell(39999, 5), QString::number(100 + 39999));
    }

    // Start-up against the reference server: one list request, the latest list on show.
    void startUpAgainstCatalogd()
    {
#ifndef TAVREL_HAVE_CATALOGD
        QSKIP("catalogd is not part of this build");
#else
        CatalogdProcess &server = catalogd();
        QVERIFY2(server.port() != 0, qPrintable(server.errorString()));
        struct Recording : Transfer
        {
            FetchResult fetch(const QString &url) override
            {
                urls.append(url);
                return real.fetch(url);
            }
            HttpTransfer real;
            QStringList urls;
        } transfer;
        MainHarness h(server.baseUrl(), &transfer);
        h.window->Form_Load();
        QCOMPARE(transfer.urls,
                 QStringList{server.baseUrl() + QStringLiteral("admin_upload.php?page=1")});
        QCOMPARE(h.window->windowTitle(), QStringLiteral("Tavrel1.3"));
        QCOMPARE(h.list().model()->columnCount(), 6);
        QVERIFY(h.list().isColumnHidden(4) && h.list().isColumnHidden(5));
        QCOMPARE(h.list().rowCount(), 20);
        QCOMPARE(h.ui().JiLu_Text->text(), QStringLiteral("共有 30 记录"));
        QVERIFY(h.ui().SoSo->isEnabled());
        QVERIFY(!h.ui().Qian->isEnabled());
        QVERIFY(h.ui().Hou->isEnabled()); // two pages
        QVERIFY(h.prompter.boxes.isEmpty());
#endif
    }

    // The window's own page loading against the reference server and its demo catalogue.
    void loadCatalogPageAgainstCatalogd_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<int>("rows");
        QTest::addColumn<QString>("label");
        QTest::addColumn<int>("pages");
        QTest::newRow("latest, first page") << QStringLiteral("admin_upload.php?page=1") << 20
                                            << QStringLiteral("共有 30 记录") << 2;
        QTest::newRow("latest, last page") << QStringLiteral("admin_upload.php?page=2") << 10
                                           << QStringLiteral("共有 30 记录") << 2;
        QTest::newRow("recommended, last page") << QStringLiteral("users_upload.php?page=2") << 6
                                                << QStringLiteral("共有 26 记录") << 2;
        QTest::newRow("search for a backslash title")
            << QStringLiteral("admin_upload.php?page=1&q=") +
                   tavrel::encodeQueryValue(QStringLiteral("工具\\补丁"))
            << 1 << QStringLiteral("共有 1 记录") << 1;
    }
    void loadCatalogPageAgainstCatalogd()
    {
#ifndef TAVREL_HAVE_CATALOGD
        QSKIP("catalogd is not part of this build");
#else
        QFETCH(QString, query);
        QFETCH(int, rows);
        QFETCH(QString, label);
        QFETCH(int, pages);
        CatalogdProcess &server = catalogd();
        QVERIFY2(server.port() != 0, qPrintable(server.errorString()));
        HttpTransfer transfer;
        MainHarness h(server.baseUrl(), &transfer);
        h.window->Form_Load();
        const std::optional<int> pageCount = h.window->LoadCatalogPage(server.baseUrl() + query);
        QCOMPARE(pageCount, std::optional<int>(pages));
        QCOMPARE(h.list().rowCount(), rows);
        QCOMPARE(h.ui().JiLu_Text->text(), label);
        for (int r = 0; r < rows; ++r) {
            QVERIFY(!h.list().cell(r, 1).isEmpty());
            QVERIFY(!h.list().cell(r, 4).isEmpty()); // the file name rides along hidden
            bool numeric = false;
            h.list().cell(r, 5).toInt(&numeric);
            QVERIFY(numeric);
        }
#endif
    }

    // The real transfer against the loopback server: the exact request target, and a server
    // that goes silent.
    void endToEndOverLoopback()
    {
        FaultServer server;
        server.setReply(
            QStringLiteral("/adminphp/admin_upload.php"),
            FaultServer::ok(CatalogPages::page(CatalogPages::items(2), QStringLiteral("2"), 1)));
        server.setReply(
            QStringLiteral("/adminphp/users_upload.php"),
            FaultServer::ok(CatalogPages::page(CatalogPages::items(1), QStringLiteral("1"), 1)));
        HttpTransfer transfer;
        transfer.setIdleTimeout(std::chrono::milliseconds(300));
        MainHarness h(server.baseUrl() + QStringLiteral("adminphp/"), &transfer);
        h.window->Form_Load();
        QCOMPARE(server.requests(),
                 QStringList{QStringLiteral("/adminphp/admin_upload.php?page=1")});
        QCOMPARE(h.list().rowCount(), 2);
        QCOMPARE(h.list().cell(0, 1), QStringLiteral("标题0"));

        click(h.ui().Command2);
        QCOMPARE(server.requests().last(), QStringLiteral("/adminphp/users_upload.php?page=1"));
        QCOMPARE(h.list().rowCount(), 1);
        const Snapshot before = Snapshot::of(h);

        server.setReply(QStringLiteral("/adminphp/admin_upload.php"), FaultServer::silent());
        click(h.ui().Command1);
        QCOMPARE(Snapshot::of(h), before);
        QCOMPARE(h.prompter.boxes.size(), 1);
        QCOMPARE(h.prompter.boxes.first().title, QStringLiteral("提示"));
    }
};

QTEST_MAIN(TestListing)
#include "tst_listing.moc"
