// Every URL the window sends, built by the session from its page state.

#include "CatalogPages.h"
#include "Fakes.h"

#include "client/CatalogSession.h"

#include <QTest>

using tavrel::AdminOperation;

namespace {

const QString base = QStringLiteral("http://catalog.test/adminphp/");

// Runs one step of a script: "latest", "recommended", "all PW", "pending PW", "next",
// "previous", "search TEXT", "reload", "login PW", "password OLD NEW", "read-code PW",
// "set-code PW CODE", "approve PW ID", "delete PW ID". A step written with a leading "!" finds
// the server away.
void run(CatalogSession &session, FakeTransfer &transfer, QString step)
{
    if (step.startsWith(QLatin1Char('!'))) {
        transfer.fail();
        step.remove(0, 1);
    } else {
        transfer.reply(CatalogPages::page(CatalogPages::items(2), QStringLiteral("60"), 3));
    }
    const QStringList w = step.split(QLatin1Char(' '));
    const QString verb = w.at(0);
    const auto arg = [&w](int i) { return w.value(i); };
    if (verb == u"latest")
        session.openLatest();
    else if (verb == u"recommended")
        session.openRecommended();
    else if (verb == u"all")
        session.openAdminList(AdminOperation::ListAll, arg(1));
    else if (verb == u"pending")
        session.openAdminList(AdminOperation::ListPending, arg(1));
    else if (verb == u"next")
        session.nextPage();
    else if (verb == u"previous")
        session.previousPage();
    else if (verb == u"search")
        session.search(step.mid(7));
    else if (verb == u"reload")
        session.reload();
    else if (verb == u"login")
        session.login(arg(1));
    else if (verb == u"password")
        session.changePassword(arg(1), arg(2));
    else if (verb == u"read-code")
        session.readSecurityCode(arg(1));
    else if (verb == u"set-code")
        session.setSecurityCode(arg(1), arg(2));
    else if (verb == u"approve")
        session.moderate(AdminOperation::Approve, arg(1), arg(2));
    else if (verb == u"delete")
        session.moderate(AdminOperation::Delete, arg(1), arg(2));
    else
        QFAIL(qPrintable(QStringLiteral("unknown step ") + step));
}

} // namespace

class TestCatalogSession : public QObject
{
    Q_OBJECT

private slots:
    void urls_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("urls"); // after the base URL

        QTest::newRow("latest") << QStringList{"latest"} << QStringList{"admin_upload.php?page=1"};
        QTest::newRow("recommended, forward and back")
            << QStringList{"recommended", "next", "next", "previous"}
            << QStringList{"users_upload.php?page=1", "users_upload.php?page=2",
                           "users_upload.php?page=3", "users_upload.php?page=2"};
        QTest::newRow("search escapes what would end the value")
            << QStringList{"latest", "search 中 a&b=c#d+e%"}
            << QStringList{"admin_upload.php?page=1",
                           "admin_upload.php?page=1&q=%E4%B8%AD%20a%26b%3Dc%23d%2Be%25"};
        QTest::newRow("paging after a search leaves the search")
            << QStringList{"latest", "search x", "next"}
            << QStringList{"admin_upload.php?page=1", "admin_upload.php?page=1&q=x",
                           "admin_upload.php?page=2"};
        QTest::newRow("administration lists keep the password they were opened with")
            << QStringList{"all p&w", "next", "pending pw", "search 补丁", "reload"}
            << QStringList{"to_examine.php?cz=2&pass=p%26w&page=1",
                           "to_examine.php?cz=2&pass=p%26w&page=2",
                           "to_examine.php?cz=3&pass=pw&page=1",
                           "to_examine.php?cz=3&pass=pw&page=1&q=%E8%A1%A5%E4%B8%81",
                           "to_examine.php?cz=3&pass=pw&page=1"};
        QTest::newRow("credentials")
            << QStringList{"login pw", "password old n#w", "read-code pw", "set-code pw 0042"}
            << QStringList{
                   "to_examine.php?cz=0&pass=pw", "to_examine.php?cz=1&pass=old&topass=n%23w",
                   "to_examine.php?cz=6&pass=pw", "to_examine.php?cz=7&pass=pw&topass=0042"};
        QTest::newRow("moderation, then page 1 of the list on show")
            << QStringList{"recommended", "next", "approve pw 17", "reload", "delete pw 18"}
            << QStringList{"users_upload.php?page=1", "users_upload.php?page=2",
                           "to_examine.php?cz=4&pass=pw&id=17", "users_upload.php?page=1",
                           "to_examine.php?cz=5&pass=pw&id=18"};
        QTest::newRow("a failed request moves nothing")
            << QStringList{"latest", "!next", "next", "!recommended", "next"}
            << QStringList{"admin_upload.php?page=1", "admin_upload.php?page=2",
                           "admin_upload.php?page=2", "users_upload.php?page=1",
                           "admin_upload.php?page=3"};
    }
    void urls()
    {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, urls);
        FakeTransfer transfer;
        CatalogSession session(&transfer);
        session.begin(base);
        for (const QString &step : steps)
            run(session, transfer, step);
        for (QString &url : urls)
            url.prepend(base);
        QCOMPARE(transfer.urls, urls);
    }

    void itemAndUploadAddresses()
    {
        FakeTransfer transfer;
        CatalogSession session(&transfer);
        session.begin(base);
        QCOMPARE(session.itemUrl(QStringLiteral("2024/my tool#1.zip")),
                 base + QStringLiteral("up/2024/my%20tool%231.zip"));
        QCOMPARE(session.uploadPageUrl(), base + QStringLiteral("index.php"));
        QCOMPARE(transfer.urls, QStringList());
    }
};

QTEST_APPLESS_MAIN(TestCatalogSession)
#include "tst_catalogsession.moc"
