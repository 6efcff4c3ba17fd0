// The administrator's handlers end to end: the window with its real blocking transfer against
// the catalog server (and the loopback fault server for replies the catalog server never
// gives), boxes answered by a script.

#include "AdminForm.h"
#include "Fakes.h"
#include "LogCapture.h"
#include "MainHarness.h"

#include "client/Main.h"
#include "client/platform/CatalogList.h"
#include "client/platform/HttpTransfer.h"

#include "FaultServer.h"

#ifdef TAVREL_HAVE_CATALOGD
#include "CatalogdProcess.h"
#endif

#include <QLabel>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// Blanks, "&", "#", "+", "%" and "=" inside: only an escaped query brings it to the server whole.
const QString adminPass = QStringLiteral("Zq 9&pass=x#frag+%41 ok");
const QString securityCode = QStringLiteral("007");
const QString tip = QStringLiteral("提示");
const QString wrongPassword = QStringLiteral("管理员密码错误!");
const QString unreachable = QStringLiteral("无法连接到服务器，请稍后再试。");
const QString selectFirst = QStringLiteral("请先在列表中选择一个软件。");

// The real transfer, with the URLs the window asked for kept in memory for the checks.
class RecordingTransfer : public Transfer
{
public:
    FetchResult fetch(const QString &url) override
    {
        urls.append(url);
        return real.fetch(url);
    }
    HttpTransfer real;
    QStringList urls;
};

struct Rig
{
    RecordingTransfer transfer;
    MainHarness h;
    FakePrompter &prompter = h.prompter;
    FakeDesktop &desktop = h.desktop;
    FakeEffects &effects = h.effects;
    std::unique_ptr<Main> &main = h.window;
    std::unique_ptr<AdminForm> ui;

    explicit Rig(const QString &baseUrl) : h(baseUrl, &transfer)
    {
        ui = std::make_unique<AdminForm>(main.get());
        main->Form_Load();
        forget();
    }
    void forget()
    {
        transfer.urls.clear();
        prompter.boxes.clear();
    }
    CatalogList *list() const { return main->listView(); }
    int rowOf(const QString &title) const
    {
        for (int row = 0; row < list()->rowCount(); ++row) {
            if (list()->cell(row, 1) == title)
                return row;
        }
        return -1;
    }
    QStringList lastBoxes() const { return prompter.texts(); }
};

QString firstLine(const FakePrompter::Box &box)
{
    return box.text.section(QLatin1Char('\n'), 0, 0);
}

#ifdef TAVREL_HAVE_CATALOGD
// A catalog server of its own for a test that changes the catalogue or stops the server.
std::unique_ptr<CatalogdProcess> startCatalogd(const QString &password = adminPass,
                                               const QString &code = securityCode)
{
    auto server = std::make_unique<CatalogdProcess>();
    CatalogdProcess::Options options;
    options.adminPassword = password;
    options.securityCode = code;
    options.demoMaxFileSize = 16;
    if (!server->start(options))
        return nullptr;
    return server;
}
#endif

} // namespace

class TestAdminEndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void login_data();
    void login();
    void loginZeroFromFaultServer_data();
    void loginZeroFromFaultServer();
    void repeatLogin();
    void passwordChangeWithoutLogin();
    void readSecurityCode();
    void changeSecurityCode_data();
    void changeSecurityCode();
    void gatedWithoutLogin_data();
    void gatedWithoutLogin();
    void adminListsPagingAndSearch();
    void adminListWithWrongPassword();
    void moderate_data();
    void moderate();
    void rejectedActionClearsFlag();
    void actionWithoutRow();
    void deadServer_data();
    void deadServer();
    void noSecretInLog();

private:
#ifdef TAVREL_HAVE_CATALOGD
    // Shared by the tests that leave the catalogue as it was.
    std::unique_ptr<CatalogdProcess> m_catalogd;
#endif
    QString sharedBase() const;
    bool logIn(Rig &rig, const QString &password = adminPass);
};

void TestAdminEndToEnd::initTestCase()
{
#ifdef TAVREL_HAVE_CATALOGD
    m_catalogd = startCatalogd();
    QVERIFY(m_catalogd);
#endif
}

void TestAdminEndToEnd::cleanupTestCase()
{
#ifdef TAVREL_HAVE_CATALOGD
    m_catalogd.reset();
#endif
}

QString TestAdminEndToEnd::sharedBase() const
{
#ifdef TAVREL_HAVE_CATALOGD
    return m_catalogd->baseUrl();
#else
    return {};
#endif
}

bool TestAdminEndToEnd::logIn(Rig &rig, const QString &password)
{
    rig.ui->Text4->setText(password);
    rig.ui->Command7->click();
    const bool in = rig.main->adminLoggedIn();
    rig.forget();
    return in;
}

#ifdef TAVREL_HAVE_CATALOGD
#define NEEDS_CATALOGD
#else
#define NEEDS_CATALOGD QSKIP("the catalog server is not part of this build")
#endif

void TestAdminEndToEnd::login_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("right") << adminPass << true;
    QTest::newRow("right, blanks around") << QStringLiteral("  ") + adminPass + "  " << true;
    // What an unescaped query would have delivered as the password.
    QTest::newRow("cut at the ampersand") << QStringLiteral("Zq 9") << false;
    QTest::newRow("wrong") << QStringLiteral("admin-pass") << false;
    QTest::newRow("empty") << QString() << false;
}

void TestAdminEndToEnd::login()
{
    NEEDS_CATALOGD;
    QFETCH(QString, typed);
    QFETCH(bool, accepted);

    Rig rig(sharedBase());
    rig.ui->Text4->setText(typed);
    rig.ui->Command7->click();

    QCOMPARE(rig.main->adminLoggedIn(), accepted);
    QCOMPARE(rig.ui->Text4->isEnabled(), !accepted);
    QCOMPARE(rig.ui->Text4->text(), typed);
    QCOMPARE(rig.prompter.boxes.size(), 1);
    QCOMPARE(rig.prompter.boxes.first().text,
             accepted ? QStringLiteral("恭喜您已登陆成功!") : wrongPassword);
    QCOMPARE(rig.prompter.boxes.first().title, accepted ? QStringLiteral("恭喜") : tip);
}

void TestAdminEndToEnd::loginZeroFromFaultServer_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("00") << QByteArray("00") << true;
    QTest::newRow("0.0") << QByteArray("0.0") << true;
    QTest::newRow("blanks and a line break") << QByteArray(" 0 \n") << true;
    QTest::newRow("2") << QByteArray("2") << false;
}

void TestAdminEndToEnd::loginZeroFromFaultServer()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, accepted);

    FaultServer server;
    server.setReply(QStringLiteral("/adminphp/to_examine.php"), FaultServer::ok(reply));
    Rig rig(server.url(QStringLiteral("adminphp/")));
    rig.ui->Text4->setText(QStringLiteral("a+b"));
    server.clearRequests();

    rig.ui->Command7->click();

    QCOMPARE(server.requests(),
             QStringList{QStringLiteral("/adminphp/to_examine.php?cz=0&pass=a%2Bb")});
    QCOMPARE(rig.main->adminLoggedIn(), accepted);
    QCOMPARE(rig.ui->Text4->isEnabled(), !accepted);
    QCOMPARE(rig.lastBoxes(),
             QStringList{accepted ? QStringLiteral("恭喜您已登陆成功!") : wrongPassword});
}

void TestAdminEndToEnd::repeatLogin()
{
    NEEDS_CATALOGD;
    Rig rig(sharedBase());
    QVERIFY(logIn(rig));
    QVERIFY(!rig.ui->Text4->isEnabled());

    rig.ui->Command7->click();

    // The locked box still holds the accepted password, which is sent again.
    QCOMPARE(rig.transfer.urls.size(), 1);
    QVERIFY(rig.transfer.urls.first().endsWith(
        QStringLiteral("cz=0&pass=Zq%209%26pass%3Dx%23frag%2B%2541%20ok")));
    QVERIFY(rig.main->adminLoggedIn());
    QVERIFY(!rig.ui->Text4->isEnabled());
    QCOMPARE(rig.lastBoxes(), QStringList{QStringLiteral("恭喜您已登陆成功!")});
}

void TestAdminEndToEnd::passwordChangeWithoutLogin()
{
    NEEDS_CATALOGD;
    auto server = startCatalogd();
    QVERIFY(server);
    Rig rig(server->baseUrl());
    const QString next = QStringLiteral("new #1 & more");
    rig.ui->Text4->setText(QStringLiteral("typed before"));
    rig.ui->Text3->setText(adminPass);
    rig.ui->Text2->setText(next);

    rig.ui->Command8->click();

    QVERIFY(rig.main->adminLoggedIn());
    QVERIFY(rig.ui->Text4->isEnabled());
    QCOMPARE(rig.ui->Text4->text(), QStringLiteral("typed before"));
    QCOMPARE(rig.lastBoxes(), QStringList{QStringLiteral("密码已修改成功，请牢记密码!")});

    // Later actions send Text4, not the new password: the server turns them down.
    rig.forget();
    rig.ui->Command11->click();
    QCOMPARE(rig.lastBoxes(), QStringList{wrongPassword});
    QVERIFY(rig.main->adminLoggedIn());

    // The server now knows the new password only.
    Rig check(server->baseUrl());
    QVERIFY(!logIn(check, adminPass));
    QVERIFY(logIn(check, next));

    // The old password is wrong now: the change is refused and the flag cleared.
    rig.forget();
    rig.ui->Text3->setText(adminPass);
    rig.ui->Text2->setText(QStringLiteral("third"));
    rig.ui->Command8->click();
    QVERIFY(!rig.main->adminLoggedIn());
    QCOMPARE(rig.lastBoxes(), QStringList{wrongPassword});
}

void TestAdminEndToEnd::readSecurityCode()
{
    NEEDS_CATALOGD;
    Rig rig(sharedBase());
    QVERIFY(logIn(rig));

    rig.ui->Command11->click();

    QCOMPARE(rig.ui->Text5->text(), QStringLiteral("007"));
    QVERIFY(rig.prompter.boxes.isEmpty());

    // The server answers 1 for a password it does not know; that is never shown as a code.
    rig.ui->Text4->setText(QStringLiteral("not it"));
    rig.ui->Text5->clear();
    rig.ui->Command11->click();
    QCOMPARE(rig.ui->Text5->text(), QString());
    QCOMPARE(rig.lastBoxes(), QStringList{wrongPassword});
    QVERIFY(rig.main->adminLoggedIn());
}

void TestAdminEndToEnd::changeSecurityCode_data()
{
    QTest::addColumn<Prompter::Answer>("answer");
    QTest::addColumn<QString>("codeAfter");

    QTest::newRow("yes") << Prompter::Answer::Yes << QStringLiteral("0042");
    QTest::newRow("no") << Prompter::Answer::No << securityCode;
    QTest::newRow("cancel") << Prompter::Answer::Cancel << securityCode;
}

void TestAdminEndToEnd::changeSecurityCode()
{
    NEEDS_CATALOGD;
    QFETCH(Prompter::Answer, answer);
    QFETCH(QString, codeAfter);

    auto server = startCatalogd();
    QVERIFY(server);
    Rig rig(server->baseUrl());
    QVERIFY(logIn(rig));
    rig.ui->Text5->setText(QStringLiteral(" 0042 "));
    rig.prompter.answers.push_back(answer);

    rig.ui->Command12->click();

    QStringList boxes{QStringLiteral("是否确定修改安全码?")};
    if (answer == Prompter::Answer::Yes)
        boxes << QStringLiteral("安全码已修改，请牢记!");
    QCOMPARE(rig.lastBoxes(), boxes);
    QCOMPARE(rig.transfer.urls.size(), answer == Prompter::Answer::Yes ? 1 : 0);

    rig.forget();
    rig.ui->Command11->click();
    QCOMPARE(rig.ui->Text5->text(), codeAfter);

    // With a password the server does not know, the change is refused and the flag stays.
    rig.forget();
    rig.ui->Text4->setText(QStringLiteral("not it"));
    rig.ui->Text5->setText(QStringLiteral("999"));
    rig.ui->Command12->click();
    QCOMPARE(rig.lastBoxes(), (QStringList{QStringLiteral("是否确定修改安全码?"), wrongPassword}));
    QVERIFY(rig.main->adminLoggedIn());
}

void TestAdminEndToEnd::gatedWithoutLogin_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("box");

    const QString lists = QStringLiteral("管理员登陆失败!");
    QTest::newRow("list all") << "Command5" << lists;
    QTest::newRow("list pending") << "Command6" << lists;
    QTest::newRow("read security code") << "Command11" << lists;
    QTest::newRow("set security code") << "Command12" << lists;
    QTest::newRow("approve") << "Command9" << QStringLiteral("管理员登陆失败");
    QTest::newRow("delete") << "Command10" << QStringLiteral("管理员登陆失败");
}

void TestAdminEndToEnd::gatedWithoutLogin()
{
    NEEDS_CATALOGD;
    QFETCH(QString, button);
    QFETCH(QString, box);

    Rig rig(sharedBase());
    QVERIFY(!logIn(rig, QStringLiteral("wrong")));
    rig.main->ListView_RowSelected(0);
    const int rows = rig.list()->rowCount();
    QVERIFY(rows > 0);

    rig.main->findChild<QPushButton *>(button)->click();

    QVERIFY(rig.transfer.urls.isEmpty());
    QCOMPARE(rig.prompter.boxes.size(), 1);
    QCOMPARE(rig.prompter.boxes.first().text, box);
    QCOMPARE(rig.prompter.boxes.first().title, tip);
    QCOMPARE(rig.prompter.boxes.first().buttons, Prompter::Buttons::Ok);
    QCOMPARE(rig.list()->rowCount(), rows);
    QCOMPARE(rig.main->listEndpoint(), QStringLiteral("admin_upload.php?"));
}

void TestAdminEndToEnd::adminListsPagingAndSearch()
{
    NEEDS_CATALOGD;
    Rig rig(sharedBase());
    QVERIFY(logIn(rig));
    rig.ui->SoSo->setEnabled(false);

    rig.ui->Command5->click();

    const QString frozen =
        QStringLiteral("to_examine.php?cz=2&pass=Zq%209%26pass%3Dx%23frag%2B%2541%20ok&");
    QVERIFY(rig.ui->SoSo->isEnabled());
    QCOMPARE(rig.main->listEndpoint(), frozen);
    QCOMPARE(rig.main->currentPage(), 1);
    QCOMPARE(rig.list()->rowCount(), 20);
    QVERIFY(!rig.ui->Qian->isEnabled());
    QVERIFY(rig.ui->Hou->isEnabled());
    const QString firstTitle = rig.list()->cell(0, 1);

    rig.ui->Hou->click();
    QCOMPARE(rig.main->currentPage(), 2);
    QCOMPARE(rig.list()->rowCount(), 20);
    QVERIFY(rig.list()->cell(0, 1) != firstTitle);
    QVERIFY(rig.ui->Qian->isEnabled());

    // The search runs inside the list of every item, pending ones included.
    rig.ui->Text1->setText(QStringLiteral("Pending Pinball"));
    rig.ui->SoSo->click();
    QCOMPARE(rig.list()->rowCount(), 1);
    QCOMPARE(rig.list()->cell(0, 1), QStringLiteral("Pending Pinball"));
    QVERIFY(rig.transfer.urls.last().startsWith(sharedBase() + frozen + "page=1&q="));
    QVERIFY(rig.prompter.boxes.isEmpty());

    // The pending list: the four items awaiting review, on one page.
    rig.ui->Command6->click();
    QCOMPARE(rig.main->listEndpoint(),
             QStringLiteral("to_examine.php?cz=3&pass=Zq%209%26pass%3Dx%23frag%2B%2541%20ok&"));
    QCOMPARE(rig.list()->rowCount(), 4);
    QVERIFY(rig.rowOf(QStringLiteral("Unchecked Patch")) >= 0);
    QVERIFY(!rig.ui->Qian->isEnabled());
    QVERIFY(!rig.ui->Hou->isEnabled());
}

void TestAdminEndToEnd::adminListWithWrongPassword()
{
    NEEDS_CATALOGD;
    Rig rig(sharedBase());
    // Logged in through a password change, then the password box edited: the list request is
    // not judged, the server's empty page is simply shown.
    rig.ui->Text3->setText(adminPass);
    rig.ui->Text2->setText(adminPass);
    rig.ui->Command8->click();
    QVERIFY(rig.main->adminLoggedIn());
    rig.ui->Text4->setText(QStringLiteral("not it"));
    rig.forget();

    rig.ui->Command6->click();

    QVERIFY(rig.main->adminLoggedIn());
    QVERIFY(rig.prompter.boxes.isEmpty());
    QCOMPARE(rig.list()->rowCount(), 0);
    QCOMPARE(rig.main->findChild<QLabel *>(QStringLiteral("JiLu_Text"))->text(),
             QStringLiteral("共有 0 记录"));
    QCOMPARE(rig.main->listEndpoint(), QStringLiteral("to_examine.php?cz=3&pass=not%20it&"));
    QVERIFY(!rig.ui->Qian->isEnabled());
    QVERIFY(!rig.ui->Hou->isEnabled());
}

void TestAdminEndToEnd::moderate_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<Prompter::Answer>("answer");

    QTest::newRow("approve, yes") << "Command9" << Prompter::Answer::Yes;
    QTest::newRow("approve, no") << "Command9" << Prompter::Answer::No;
    QTest::newRow("delete, yes") << "Command10" << Prompter::Answer::Yes;
    QTest::newRow("delete, cancel") << "Command10" << Prompter::Answer::Cancel;
}

void TestAdminEndToEnd::moderate()
{
    NEEDS_CATALOGD;
    QFETCH(QString, button);
    QFETCH(Prompter::Answer, answer);
    const bool approve = button == QLatin1String("Command9");
    const bool yes = answer == Prompter::Answer::Yes;

    auto server = startCatalogd();
    QVERIFY(server);
    Rig rig(server->baseUrl());
    QVERIFY(logIn(rig));
    // Page 2 of every item, the pending pinball brought there by a search.
    rig.ui->Command5->click();
    rig.ui->Hou->click();
    QCOMPARE(rig.main->currentPage(), 2);
    const QString title = QStringLiteral("Pending Pinball");
    rig.ui->Text1->setText(title);
    rig.ui->SoSo->click();
    const int row = rig.rowOf(title);
    QCOMPARE(row, 0);
    const QString id = rig.list()->cell(row, 5);
    rig.ui->Command6->click(); // now the pending list is on show; row 0 may be another item
    const int pendingRow = rig.rowOf(title);
    QVERIFY(pendingRow >= 0);
    rig.main->ListView_RowSelected(pendingRow);
    QCOMPARE(rig.list()->cell(pendingRow, 5), id);
    rig.forget();
    rig.prompter.answers.push_back(answer);

    rig.main->findChild<QPushButton *>(button)->click();

    QCOMPARE(rig.prompter.boxes.first().text,
             (approve ? QStringLiteral("是否确定通过审核? 软件标题：")
                      : QStringLiteral("是否确定删除? 软件标题：")) +
                 title);
    QCOMPARE(rig.prompter.boxes.first().title, QStringLiteral("确认操作"));
    QCOMPARE(rig.prompter.boxes.size(), 1);
    QVERIFY(rig.main->adminLoggedIn());
    if (!yes) {
        QVERIFY(rig.transfer.urls.isEmpty());
        QCOMPARE(rig.list()->rowCount(), 4);
        QCOMPARE(rig.rowOf(title), pendingRow);
    } else {
        QCOMPARE(rig.transfer.urls.size(), 2);
        QVERIFY(rig.transfer.urls.first().endsWith(QStringLiteral("&id=") + id));
        QCOMPARE(rig.ui->HaunCun_Text->text(), id);
        // Page 1 of the pending list again, without the item.
        QCOMPARE(rig.transfer.urls.last(), server->baseUrl() + rig.main->listEndpoint() + "page=1");
        QCOMPARE(rig.main->currentPage(), 1);
        QCOMPARE(rig.list()->rowCount(), 3);
        QCOMPARE(rig.rowOf(title), -1);
        QVERIFY(!rig.ui->Qian->isEnabled());
        QVERIFY(!rig.ui->Hou->isEnabled());
    }

    // In the list of every item it is still there unless it was deleted.
    rig.ui->Command5->click();
    rig.ui->Text1->setText(title);
    rig.ui->SoSo->click();
    QCOMPARE(rig.rowOf(title) >= 0, !(yes && !approve));
}

void TestAdminEndToEnd::rejectedActionClearsFlag()
{
    NEEDS_CATALOGD;
    Rig rig(sharedBase());
    // Logged in through a password change to the same password, so Text4 stays editable.
    rig.ui->Text3->setText(adminPass);
    rig.ui->Text2->setText(adminPass);
    rig.ui->Command8->click();
    QVERIFY(rig.main->adminLoggedIn());
    rig.ui->Text4->setText(adminPass);
    rig.ui->Command6->click();
    QCOMPARE(rig.list()->rowCount(), 4);
    rig.main->ListView_RowSelected(0);
    const QString endpoint = rig.main->listEndpoint();
    rig.ui->Text4->setText(QStringLiteral("not it"));
    rig.forget();

    rig.ui->Command9->click();

    QVERIFY(!rig.main->adminLoggedIn());
    QCOMPARE(rig.transfer.urls.size(), 1); // no reload after a refusal
    QCOMPARE(rig.prompter.boxes.size(), 2);
    QCOMPARE(rig.prompter.boxes.at(1).text, wrongPassword);
    QCOMPARE(rig.list()->rowCount(), 4);
    QCOMPARE(rig.main->listEndpoint(), endpoint);

    rig.forget();
    rig.ui->Command11->click();
    QCOMPARE(rig.lastBoxes(), QStringList{QStringLiteral("管理员登陆失败!")});
    QVERIFY(rig.transfer.urls.isEmpty());
}

void TestAdminEndToEnd::actionWithoutRow()
{
    NEEDS_CATALOGD;
    Rig rig(sharedBase());
    QVERIFY(logIn(rig));

    // Nothing selected since start-up.
    rig.ui->Command10->click();
    QCOMPARE(rig.lastBoxes(), QStringList{selectFirst});
    QVERIFY(rig.transfer.urls.isEmpty());

    // Row 10 of the list of every item, then the four pending ones: row 10 is no row now.
    rig.ui->Command5->click();
    rig.main->ListView_RowSelected(10);
    rig.ui->Command6->click();
    QCOMPARE(rig.list()->rowCount(), 4);
    rig.forget();
    rig.ui->Command9->click();
    QCOMPARE(rig.lastBoxes(), QStringList{selectFirst});
    QCOMPARE(rig.prompter.boxes.first().title, tip);
    QVERIFY(rig.transfer.urls.isEmpty());
    QVERIFY(rig.main->adminLoggedIn());
}

void TestAdminEndToEnd::deadServer_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("boxes"); // the confirmation, when there is one, and the refusal

    QTest::newRow("login") << "Command7" << 1;
    QTest::newRow("change password") << "Command8" << 1;
    QTest::newRow("list all") << "Command5" << 1;
    QTest::newRow("list pending") << "Command6" << 1;
    QTest::newRow("approve") << "Command9" << 2;
    QTest::newRow("delete") << "Command10" << 2;
    QTest::newRow("read security code") << "Command11" << 1;
    QTest::newRow("set security code") << "Command12" << 2;
}

void TestAdminEndToEnd::deadServer()
{
    NEEDS_CATALOGD;
    QFETCH(QString, button);
    QFETCH(int, boxes);

    auto server = startCatalogd();
    QVERIFY(server);
    Rig rig(server->baseUrl());
    QVERIFY(logIn(rig));
    rig.ui->Command5->click();
    rig.ui->Hou->click();
    rig.main->ListView_RowSelected(3);
    rig.ui->Command11->click();
    QCOMPARE(rig.ui->Text5->text(), securityCode);
    rig.ui->Text3->setText(adminPass);
    rig.ui->Text2->setText(QStringLiteral("next"));
    const QString endpoint = rig.main->listEndpoint();
    const QString title = rig.list()->cell(0, 1);
    const bool qian = rig.ui->Qian->isEnabled();
    const bool hou = rig.ui->Hou->isEnabled();
    rig.forget();
    server->stop();

    rig.main->findChild<QPushButton *>(button)->click();

    QCOMPARE(rig.transfer.urls.size(), 1);
    QCOMPARE(rig.prompter.boxes.size(), boxes);
    QCOMPARE(firstLine(rig.prompter.boxes.last()), unreachable);
    QCOMPARE(rig.prompter.boxes.last().title, tip);
    QVERIFY(rig.main->adminLoggedIn());
    QVERIFY(!rig.ui->Text4->isEnabled());
    QCOMPARE(rig.ui->Text5->text(), securityCode);
    QCOMPARE(rig.main->listEndpoint(), endpoint);
    QCOMPARE(rig.main->currentPage(), 2);
    QCOMPARE(rig.list()->rowCount(), 20);
    QCOMPARE(rig.list()->cell(0, 1), title);
    QCOMPARE(rig.ui->Qian->isEnabled(), qian);
    QCOMPARE(rig.ui->Hou->isEnabled(), hou);
}

void TestAdminEndToEnd::noSecretInLog()
{
    NEEDS_CATALOGD;
    const QString password = QStringLiteral("Sekr1t&Pw #x+%");
    const QString nextPassword = QStringLiteral("N3xtSekr1t");
    const QString code = QStringLiteral("31415926");
    const QString nextCode = QStringLiteral("27182818");
    auto server = startCatalogd(password, code);
    QVERIFY(server);
    FaultServer faults;
    faults.setReply(QStringLiteral("/adminphp/to_examine.php"),
                    FaultServer::ok("<html>not a number</html>"));

    std::unique_ptr<LogCapture> capture = std::make_unique<LogCapture>();
    {
        Rig rig(server->baseUrl());
        rig.ui->Text4->setText(QStringLiteral("Sekr1t"));
        rig.ui->Command7->click();
        QCOMPARE(rig.prompter.texts(), QStringList{wrongPassword});
        QVERIFY(logIn(rig, password));
        rig.ui->Command11->click();
        QCOMPARE(rig.ui->Text5->text(), code);
        rig.ui->Text5->setText(nextCode);
        rig.ui->Command12->click();
        rig.ui->Command6->click();
        rig.main->ListView_RowSelected(0);
        rig.ui->Command9->click();
        rig.ui->Command5->click();
        rig.ui->Hou->click();
        rig.ui->Text1->setText(QStringLiteral("Pinball"));
        rig.ui->SoSo->click();
        rig.main->ListView_RowSelected(0);
        rig.ui->Command10->click();
        rig.ui->Text3->setText(password);
        rig.ui->Text2->setText(nextPassword);
        rig.ui->Command8->click();
        QVERIFY(rig.main->adminLoggedIn());
        QVERIFY(!rig.prompter.texts().contains(wrongPassword));

        // Every request again with the server gone.
        server->stop();
        for (const char *name : {"Command7", "Command8", "Command5", "Command6", "Command9",
                                 "Command10", "Command11", "Command12"})
            rig.main->findChild<QPushButton *>(QLatin1StringView(name))->click();
    }
    {
        // Replies that are no judgement, and a connection cut in the middle of one.
        Rig rig(faults.url(QStringLiteral("adminphp/")));
        rig.ui->Text3->setText(password);
        rig.ui->Text2->setText(nextPassword);
        rig.ui->Text4->setText(password);
        rig.ui->Command8->click();
        rig.ui->Command7->click();
        FaultServer::Reply cut = FaultServer::ok("0000000000");
        cut.fault = FaultServer::Fault::CloseMidBody;
        faults.setReply(QStringLiteral("/adminphp/to_examine.php"), cut);
        rig.ui->Command7->click();
        QCOMPARE(firstLine(rig.prompter.boxes.last()), unreachable);
    }
    const QStringList lines = capture->lines();
    const QStringList adminWarnings =
        capture->messages(QStringLiteral("tavrel.admin"), QtWarningMsg);
    const QStringList adminInfos = capture->messages(QStringLiteral("tavrel.admin"), QtInfoMsg);
    const QStringList listWarnings = capture->messages(QStringLiteral("tavrel.main"), QtWarningMsg);
    capture.reset();

#ifndef QT_NO_DEBUG_OUTPUT
    // The capture did see the window's own diagnostics (compiled out of release builds).
    QVERIFY(!lines.filter(QStringLiteral("tavrel.admin")).isEmpty());
#endif
    // Every build says which request failed or was rejected, and why.
    const auto logged = [](const QStringList &messages, const QString &start) {
        for (const QString &message : messages) {
            if (message.startsWith(start) && message.size() > start.size())
                return true;
        }
        return false;
    };
    for (const char *request : {"login", "password change", "reading the security code",
                                "security code change", "approve", "delete"}) {
        const QString start = QLatin1StringView(request) + QStringLiteral(" failed: ");
        QVERIFY2(logged(adminWarnings, start), qPrintable(start + '\n' + adminWarnings.join('\n')));
    }
    QVERIFY2(logged(adminWarnings, "login failed: the reply is not a number,"),
             qPrintable(adminWarnings.join('\n')));
    QVERIFY2(adminInfos.contains("login rejected, the server answered 1"),
             qPrintable(adminInfos.join('\n')));
    QVERIFY2(logged(listWarnings, "list not loaded: "), qPrintable(listWarnings.join('\n')));
    const QStringList secrets{
        password, QStringLiteral("Sekr1t"), QStringLiteral("Sekr1t%26Pw"), nextPassword, code,
        nextCode};
    for (const QString &line : lines) {
        for (const QString &secret : secrets) {
            // The failure names the category only, not the secret once more.
            QVERIFY2(!line.contains(secret), qPrintable(QStringLiteral("a secret in a line of ") +
                                                        line.section(':', 0, 0)));
        }
    }
}

QTEST_MAIN(TestAdminEndToEnd)
#include "tst_admin_e2e.moc"
