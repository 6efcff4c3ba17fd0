// The administrator's handlers with scripted replies: the URLs they send, how they judge a
// reply, their boxes, and what they refuse to send.

#include "AdminForm.h"
#include "CatalogPages.h"
#include "Fakes.h"
#include "MainHarness.h"

#include "client/Main.h"

#include "client/platform/CatalogList.h"

#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString base = QStringLiteral("http://catalog.test/adminphp/");
const QString wrongPassword = QStringLiteral("管理员密码错误!");
const QString tip = QStringLiteral("提示");
const QString unreachable = QStringLiteral("无法连接到服务器，请稍后再试。");
const QString unreadable = QStringLiteral("服务器的回复无法识别，什么都没有改变。");
const QString selectFirst = QStringLiteral("请先在列表中选择一个软件。");

using CatalogPages::item;
using CatalogPages::page;

const QByteArray threeItems =
    page({item(11, QStringLiteral("甲")), item(12, QStringLiteral(" 乙 ")),
          item(13, QStringLiteral("丙"))},
         3);

// A box's first line: the unreachable box adds the transfer's reason on a line of its own.
QString firstLine(const FakePrompter::Box &box)
{
    return box.text.section(QLatin1Char('\n'), 0, 0);
}

// The window after start-up, the latest list (three items on three pages) on show.
struct Window
{
    MainHarness h{base};
    FakeTransfer &transfer = h.fakeTransfer;
    FakePrompter &prompter = h.prompter;
    FakeDesktop &desktop = h.desktop;
    FakeEffects &effects = h.effects;
    std::unique_ptr<Main> &main = h.window;
    std::unique_ptr<AdminForm> form;

    Window()
    {
        form = std::make_unique<AdminForm>(main.get());
        transfer.reply(threeItems);
        main->Form_Load();
        forget();
    }
    AdminForm *ui() const { return form.get(); }
    void forget()
    {
        transfer.urls.clear();
        prompter.boxes.clear();
    }
    void logIn(const QString &password = QStringLiteral("pw"))
    {
        ui()->Text4->setText(password);
        transfer.reply("0");
        main->Command7_Click();
        QVERIFY(main->adminLoggedIn());
        forget();
    }
};

enum Handler { Login, ChangePassword, ListAll, ListPending, Approve, Delete, ReadCode, SetCode };

QPushButton *buttonOf(AdminForm *ui, Handler h)
{
    switch (h) {
    case Login:
        return ui->Command7;
    case ChangePassword:
        return ui->Command8;
    case ListAll:
        return ui->Command5;
    case ListPending:
        return ui->Command6;
    case Approve:
        return ui->Command9;
    case Delete:
        return ui->Command10;
    case ReadCode:
        return ui->Command11;
    case SetCode:
        return ui->Command12;
    }
    return nullptr;
}

} // namespace

class TestAdmin : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void requestUrls_data();
    void requestUrls();
    void passwordJudgements_data();
    void passwordJudgements();
    void readSecurityCode_data();
    void readSecurityCode();
    void changeSecurityCode_data();
    void changeSecurityCode();
    void refusedWithoutLogin_data();
    void refusedWithoutLogin();
    void actions_data();
    void actions();
    void actionNeedsARow_data();
    void actionNeedsARow();
    void actionReloadsThePublicListOnShow();
    void passwordFrozenIntoAdminList();
    void credentialBoxes();
    void adminControlsReachedByWidening();
};

void TestAdmin::initTestCase()
{
    Window w;
    QVERIFY(w.ui()->complete());
}

void TestAdmin::requestUrls_data()
{
    QTest::addColumn<int>("handler");
    QTest::addColumn<QString>("url");

    // Blanks around the typed values go; "&", "#", "+", "%", "=" and inner blanks stay data.
    const QString pass = QStringLiteral("pass=a%26b%23c%2Bd%25e%20f%3Dg");
    QTest::newRow("login") << int(Login) << QStringLiteral("to_examine.php?cz=0&") + pass;
    QTest::newRow("change password")
        << int(ChangePassword)
        << QStringLiteral("to_examine.php?cz=1&pass=old%26%23&topass=n%2Bw%20%E5%AF%86");
    QTest::newRow("list all") << int(ListAll)
                              << QStringLiteral("to_examine.php?cz=2&") + pass + "&page=1";
    QTest::newRow("list pending") << int(ListPending)
                                  << QStringLiteral("to_examine.php?cz=3&") + pass + "&page=1";
    QTest::newRow("approve") << int(Approve)
                             << QStringLiteral("to_examine.php?cz=4&") + pass + "&id=12";
    QTest::newRow("delete") << int(Delete)
                            << QStringLiteral("to_examine.php?cz=5&") + pass + "&id=12";
    QTest::newRow("read security code")
        << int(ReadCode) << QStringLiteral("to_examine.php?cz=6&") + pass;
    QTest::newRow("set security code")
        << int(SetCode) << QStringLiteral("to_examine.php?cz=7&") + pass + "&topass=007%26x";
}

void TestAdmin::requestUrls()
{
    QFETCH(int, handler);
    QFETCH(QString, url);

    Window w;
    w.logIn(QStringLiteral("  a&b#c+d%e f=g  "));
    w.ui()->Text3->setText(QStringLiteral(" old&# "));
    w.ui()->Text2->setText(QStringLiteral("n+w 密"));
    w.ui()->Text5->setText(QStringLiteral(" 007&x "));
    w.main->ListView_RowSelected(1);

    buttonOf(w.ui(), Handler(handler))->click();

    QVERIFY(!w.transfer.urls.isEmpty());
    QCOMPARE(w.transfer.urls.first(), base + url);
}

void TestAdmin::passwordJudgements_data()
{
    QTest::addColumn<int>("handler");
    QTest::addColumn<int>("before"); // 0 logged out, 1 in by a password change, 2 in by login
    QTest::addColumn<bool>("transportFails");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("loggedInAfter");
    QTest::addColumn<bool>("text4Enabled");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("title");

    const QString welcome = QStringLiteral("恭喜您已登陆成功!");
    const QString changed = QStringLiteral("密码已修改成功，请牢记密码!");
    const QString congrats = QStringLiteral("恭喜");
    const int in = Login;
    const int ch = ChangePassword;
    const QByteArray none;

    // Only an accepted login locks the password box, for good; a password change never does.
    QTest::newRow("login 0") << in << 0 << false << QByteArray("0") << true << false << welcome
                             << congrats;
    QTest::newRow("login 00") << in << 0 << false << QByteArray("00") << true << false << welcome
                              << congrats;
    QTest::newRow("login 0.0") << in << 0 << false << QByteArray("0.0") << true << false << welcome
                               << congrats;
    QTest::newRow("login blanks around 0")
        << in << 0 << false << QByteArray(" 0 ") << true << false << welcome << congrats;
    QTest::newRow("login 0 and a line break")
        << in << 0 << false << QByteArray("0\r\n") << true << false << welcome << congrats;
    QTest::newRow("login 1 logs out")
        << in << 1 << false << QByteArray("1") << false << true << wrongPassword << tip;
    QTest::newRow("login 1 after a login keeps the box locked")
        << in << 2 << false << QByteArray("1") << false << false << wrongPassword << tip;
    QTest::newRow("login 0.5 is not zero")
        << in << 1 << false << QByteArray("0.5") << false << true << wrongPassword << tip;
    QTest::newRow("login -3") << in << 0 << false << QByteArray("-3") << false << true
                              << wrongPassword << tip;
    QTest::newRow("login empty body keeps the flag")
        << in << 1 << false << none << true << true << unreadable << tip;
    QTest::newRow("login error page keeps the flag")
        << in << 1 << false << QByteArray("<html>500</html>") << true << true << unreadable << tip;
    QTest::newRow("login number then text")
        << in << 0 << false << QByteArray("0 ok") << false << true << unreadable << tip;
    QTest::newRow("login nan") << in << 1 << false << QByteArray("nan") << true << true
                               << unreadable << tip;
    QTest::newRow("login transport failure keeps the flag")
        << in << 1 << true << none << true << true << unreachable << tip;

    QTest::newRow("change 0 logs in")
        << ch << 0 << false << QByteArray("0") << true << true << changed << congrats;
    QTest::newRow("change 0.0") << ch << 0 << false << QByteArray("0.0") << true << true << changed
                                << congrats;
    QTest::newRow("change 1 logs out")
        << ch << 1 << false << QByteArray("1") << false << true << wrongPassword << tip;
    QTest::newRow("change 1 after a login")
        << ch << 2 << false << QByteArray("1") << false << false << wrongPassword << tip;
    QTest::newRow("change error page keeps the flag")
        << ch << 1 << false << QByteArray("Bad Gateway") << true << true << unreadable << tip;
    QTest::newRow("change transport failure keeps the flag")
        << ch << 0 << true << none << false << true << unreachable << tip;
}

void TestAdmin::passwordJudgements()
{
    QFETCH(int, handler);
    QFETCH(int, before);
    QFETCH(bool, transportFails);
    QFETCH(QByteArray, reply);
    QFETCH(bool, loggedInAfter);
    QFETCH(bool, text4Enabled);
    QFETCH(QString, box);
    QFETCH(QString, title);

    Window w;
    if (before == 1) {
        w.transfer.reply("0");
        w.main->Command8_Click();
        w.forget();
    } else if (before == 2) {
        w.logIn();
    }
    w.ui()->Text4->setText(QStringLiteral("pw"));
    if (transportFails)
        w.transfer.fail();
    else
        w.transfer.reply(reply);

    buttonOf(w.ui(), Handler(handler))->click();

    QCOMPARE(w.transfer.urls.size(), 1);
    QCOMPARE(w.main->adminLoggedIn(), loggedInAfter);
    QCOMPARE(w.prompter.boxes.size(), 1);
    QCOMPARE(firstLine(w.prompter.boxes.first()), box);
    QCOMPARE(w.prompter.boxes.first().title, title);
    QCOMPARE(w.prompter.boxes.first().buttons, Prompter::Buttons::Ok);
    QCOMPARE(w.prompter.boxes.first().icon, Prompter::Icon::None);
    QCOMPARE(w.ui()->Text4->isEnabled(), text4Enabled);
    QCOMPARE(w.ui()->Text4->text(), QStringLiteral("pw"));
}

void TestAdmin::readSecurityCode_data()
{
    QTest::addColumn<bool>("transportFails");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("box");

    const QString before = QStringLiteral("before");
    QTest::newRow("leading zeros kept") << false << QByteArray("007") << "007" << QString();
    QTest::newRow("zero is a code") << false << QByteArray("0") << "0" << QString();
    QTest::newRow("long code") << false << QByteArray("12345678901234567890")
                               << "12345678901234567890" << QString();
    QTest::newRow("1 is a rejection") << false << QByteArray("1") << before << wrongPassword;
    QTest::newRow("01 is a rejection") << false << QByteArray("01") << before << wrongPassword;
    QTest::newRow("1.0 is a rejection") << false << QByteArray("1.0") << before << wrongPassword;
    QTest::newRow("not a number") << false << QByteArray("abc") << before << unreadable;
    QTest::newRow("empty body") << false << QByteArray() << before << unreadable;
    QTest::newRow("transport failure") << true << QByteArray() << before << unreachable;
}

void TestAdmin::readSecurityCode()
{
    QFETCH(bool, transportFails);
    QFETCH(QByteArray, reply);
    QFETCH(QString, shown);
    QFETCH(QString, box);

    Window w;
    w.logIn();
    w.ui()->Text5->setText(QStringLiteral("before"));
    if (transportFails)
        w.transfer.fail();
    else
        w.transfer.reply(reply);

    w.ui()->Command11->click();

    QCOMPARE(w.transfer.urls.size(), 1);
    QCOMPARE(w.ui()->Text5->text(), shown);
    QCOMPARE(w.prompter.boxes.size(), box.isEmpty() ? 0 : 1);
    if (!box.isEmpty()) {
        QCOMPARE(firstLine(w.prompter.boxes.first()), box);
        QCOMPARE(w.prompter.boxes.first().title, tip);
    }
    QVERIFY(w.main->adminLoggedIn()); // reading the code never logs anyone out
}

void TestAdmin::changeSecurityCode_data()
{
    QTest::addColumn<Prompter::Answer>("answer");
    QTest::addColumn<bool>("transportFails");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("box"); // after the question; empty when none
    QTest::addColumn<QString>("title");

    const QString done = QStringLiteral("安全码已修改，请牢记!");
    QTest::newRow("yes, changed") << Prompter::Answer::Yes << false << QByteArray("0") << done
                                  << QStringLiteral("恭喜");
    QTest::newRow("yes, rejected keeps the flag")
        << Prompter::Answer::Yes << false << QByteArray("1") << wrongPassword << tip;
    QTest::newRow("yes, unreadable reply")
        << Prompter::Answer::Yes << false << QByteArray("<p>") << unreadable << tip;
    QTest::newRow("yes, transport failure")
        << Prompter::Answer::Yes << true << QByteArray() << unreachable << tip;
    QTest::newRow("no") << Prompter::Answer::No << false << QByteArray() << QString() << QString();
    QTest::newRow("cancel") << Prompter::Answer::Cancel << false << QByteArray() << QString()
                            << QString();
}

void TestAdmin::changeSecurityCode()
{
    QFETCH(Prompter::Answer, answer);
    QFETCH(bool, transportFails);
    QFETCH(QByteArray, reply);
    QFETCH(QString, box);
    QFETCH(QString, title);

    Window w;
    w.logIn();
    w.ui()->Text5->setText(QStringLiteral("4321"));
    w.prompter.answers.push_back(answer);
    if (transportFails)
        w.transfer.fail();
    else
        w.transfer.reply(reply);

    w.ui()->Command12->click();

    QVERIFY(!w.prompter.boxes.isEmpty());
    const FakePrompter::Box question = w.prompter.boxes.first();
    QCOMPARE(question.text, QStringLiteral("是否确定修改安全码?"));
    QCOMPARE(question.title, QStringLiteral("确认操作"));
    QCOMPARE(question.buttons, Prompter::Buttons::YesNoCancel);
    QCOMPARE(question.icon, Prompter::Icon::None);
    QCOMPARE(w.transfer.urls.size(), answer == Prompter::Answer::Yes ? 1 : 0);
    QCOMPARE(w.prompter.boxes.size(), box.isEmpty() ? 1 : 2);
    if (!box.isEmpty()) {
        QCOMPARE(firstLine(w.prompter.boxes.at(1)), box);
        QCOMPARE(w.prompter.boxes.at(1).title, title);
    }
    QVERIFY(w.main->adminLoggedIn());
    QCOMPARE(w.ui()->Text5->text(), QStringLiteral("4321"));
}

void TestAdmin::refusedWithoutLogin_data()
{
    QTest::addColumn<int>("handler");
    QTest::addColumn<QString>("box");

    const QString lists = QStringLiteral("管理员登陆失败!");
    const QString actions = QStringLiteral("管理员登陆失败");
    QTest::newRow("list all") << int(ListAll) << lists;
    QTest::newRow("list pending") << int(ListPending) << lists;
    QTest::newRow("read security code") << int(ReadCode) << lists;
    QTest::newRow("set security code") << int(SetCode) << lists;
    QTest::newRow("approve") << int(Approve) << actions;
    QTest::newRow("delete") << int(Delete) << actions;
}

void TestAdmin::refusedWithoutLogin()
{
    QFETCH(int, handler);
    QFETCH(QString, box);

    Window w;
    // Logged in once, then rejected: the flag is what counts, not the history.
    w.logIn();
    w.transfer.reply("1");
    w.main->Command7_Click();
    w.forget();
    w.main->ListView_RowSelected(0);
    const QString endpoint = w.main->listEndpoint();

    buttonOf(w.ui(), Handler(handler))->click();

    QVERIFY(w.transfer.urls.isEmpty());
    QCOMPARE(w.prompter.boxes.size(), 1);
    QCOMPARE(w.prompter.boxes.first().text, box);
    QCOMPARE(w.prompter.boxes.first().title, tip);
    QCOMPARE(w.prompter.boxes.first().buttons, Prompter::Buttons::Ok);
    QCOMPARE(w.main->listEndpoint(), endpoint);
    QCOMPARE(w.main->listView()->rowCount(), 3);
}

void TestAdmin::actions_data()
{
    QTest::addColumn<int>("handler");
    QTest::addColumn<Prompter::Answer>("answer");
    QTest::addColumn<bool>("transportFails");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("reloaded");
    QTest::addColumn<bool>("loggedInAfter");
    QTest::addColumn<QString>("box"); // after the confirmation; empty when none

    const auto yes = Prompter::Answer::Yes;
    const int ap = Approve;
    const int del = Delete;
    QTest::newRow("approve 0") << ap << yes << false << QByteArray("0") << true << true
                               << QString();
    QTest::newRow("approve 00") << ap << yes << false << QByteArray("00") << true << true
                                << QString();
    QTest::newRow("approve 0.0") << ap << yes << false << QByteArray("0.0") << true << true
                                 << QString();
    QTest::newRow("approve answered with a page")
        << ap << yes << false << threeItems << true << true << QString();
    QTest::newRow("approve answered with nothing")
        << ap << yes << false << QByteArray() << true << true << QString();
    QTest::newRow("approve rejected")
        << ap << yes << false << QByteArray("1") << false << false << wrongPassword;
    QTest::newRow("approve no such item")
        << ap << yes << false << QByteArray("3") << false << false << wrongPassword;
    QTest::newRow("approve transport failure")
        << ap << yes << true << QByteArray() << false << true << unreachable;
    QTest::newRow("approve no") << ap << Prompter::Answer::No << false << QByteArray() << false
                                << true << QString();
    QTest::newRow("approve cancel")
        << ap << Prompter::Answer::Cancel << false << QByteArray() << false << true << QString();
    QTest::newRow("delete 0") << del << yes << false << QByteArray("0") << true << true
                              << QString();
    QTest::newRow("delete rejected")
        << del << yes << false << QByteArray("1") << false << false << wrongPassword;
    QTest::newRow("delete transport failure")
        << del << yes << true << QByteArray() << false << true << unreachable;
    QTest::newRow("delete no") << del << Prompter::Answer::No << false << QByteArray() << false
                               << true << QString();
    QTest::newRow("delete cancel")
        << del << Prompter::Answer::Cancel << false << QByteArray() << false << true << QString();
}

void TestAdmin::actions()
{
    QFETCH(int, handler);
    QFETCH(Prompter::Answer, answer);
    QFETCH(bool, transportFails);
    QFETCH(QByteArray, reply);
    QFETCH(bool, reloaded);
    QFETCH(bool, loggedInAfter);
    QFETCH(QString, box);

    // Page 3 of the list of every item, its second row selected.
    Window w;
    w.logIn();
    w.transfer.reply(threeItems);
    w.main->Command5_Click();
    w.transfer.reply(threeItems);
    w.main->Hou_Click();
    w.transfer.reply(page({item(31, QStringLiteral("丁")), item(32, QStringLiteral(" 戊 "))}, 3));
    w.main->Hou_Click();
    QCOMPARE(w.main->currentPage(), 3);
    w.main->ListView_RowSelected(1);
    w.forget();
    w.ui()->HaunCun_Text->setText(QStringLiteral("Text6"));

    w.prompter.answers.push_back(answer);
    if (transportFails)
        w.transfer.fail();
    else
        w.transfer.reply(reply);
    w.transfer.reply(page({item(11, QStringLiteral("甲"))}, 2));

    buttonOf(w.ui(), Handler(handler))->click();

    QVERIFY(!w.prompter.boxes.isEmpty());
    const FakePrompter::Box question = w.prompter.boxes.first();
    const QString prompt = handler == Approve ? QStringLiteral("是否确定通过审核? 软件标题：")
                                              : QStringLiteral("是否确定删除? 软件标题：");
    QCOMPARE(question.text, prompt + QStringLiteral("戊"));
    QCOMPARE(question.title, QStringLiteral("确认操作"));
    QCOMPARE(question.buttons, Prompter::Buttons::YesNoCancel);

    const bool sent = answer == Prompter::Answer::Yes;
    QStringList expected;
    if (sent)
        expected << base + QStringLiteral("to_examine.php?cz=%1&pass=pw&id=32")
                               .arg(handler == Approve ? 4 : 5);
    if (reloaded)
        expected << base + QStringLiteral("to_examine.php?cz=2&pass=pw&page=1");
    QCOMPARE(w.transfer.urls, expected);
    QCOMPARE(w.ui()->HaunCun_Text->text(), sent ? QStringLiteral("32") : QStringLiteral("Text6"));
    QCOMPARE(w.main->adminLoggedIn(), loggedInAfter);
    QCOMPARE(w.prompter.boxes.size(), box.isEmpty() ? 1 : 2);
    if (!box.isEmpty()) {
        QCOMPARE(firstLine(w.prompter.boxes.at(1)), box);
        QCOMPARE(w.prompter.boxes.at(1).title, tip);
    }

    // A reload shows page 1 by the first-page rule; otherwise page 3 stays as it was.
    QCOMPARE(w.main->currentPage(), reloaded ? 1 : 3);
    QCOMPARE(w.main->listView()->rowCount(), reloaded ? 1 : 2);
    QCOMPARE(w.ui()->Qian->isEnabled(), !reloaded);
    QCOMPARE(w.ui()->Hou->isEnabled(), reloaded);
    QCOMPARE(w.main->listEndpoint(), QStringLiteral("to_examine.php?cz=2&pass=pw&"));
}

void TestAdmin::actionNeedsARow_data()
{
    QTest::addColumn<int>("handler");
    QTest::addColumn<int>("row");
    QTest::addColumn<bool>("sent");

    QTest::newRow("approve, nothing selected") << int(Approve) << -1 << false;
    QTest::newRow("delete, nothing selected") << int(Delete) << -1 << false;
    QTest::newRow("approve, past the shorter list") << int(Approve) << 1 << false;
    QTest::newRow("delete, past the shorter list") << int(Delete) << 1 << false;
    QTest::newRow("delete, last row") << int(Delete) << 0 << true;
}

void TestAdmin::actionNeedsARow()
{
    QFETCH(int, handler);
    QFETCH(int, row);
    QFETCH(bool, sent);

    Window w;
    w.logIn();
    if (row >= 0) {
        // Selected on a longer list, which a later load made shorter.
        w.main->ListView_RowSelected(row);
        w.transfer.reply(page({item(11, QStringLiteral("甲"))}, 1));
        w.main->Command1_Click();
        w.forget();
    }
    w.transfer.reply("0");

    buttonOf(w.ui(), Handler(handler))->click();

    QVERIFY(!w.prompter.boxes.isEmpty());
    if (sent) {
        QVERIFY(w.prompter.boxes.first().text.endsWith(QStringLiteral("甲")));
        QVERIFY(!w.transfer.urls.isEmpty());
        QVERIFY(w.transfer.urls.first().endsWith(QStringLiteral("&id=11")));
    } else {
        QCOMPARE(w.prompter.boxes.size(), 1);
        QCOMPARE(w.prompter.boxes.first().text, selectFirst);
        QCOMPARE(w.prompter.boxes.first().title, tip);
        QVERIFY(w.transfer.urls.isEmpty());
    }
    QVERIFY(w.main->adminLoggedIn());
}

void TestAdmin::actionReloadsThePublicListOnShow()
{
    Window w; // the latest list from start-up is on show
    w.logIn();
    w.main->ListView_RowSelected(2);
    w.transfer.reply("0");
    w.transfer.reply(threeItems);

    w.main->Command10_Click();

    QCOMPARE(w.transfer.urls,
             (QStringList{base + QStringLiteral("to_examine.php?cz=5&pass=pw&id=13"),
                          base + QStringLiteral("admin_upload.php?page=1")}));
    QCOMPARE(w.main->currentPage(), 1);
    QVERIFY(!w.ui()->Qian->isEnabled());
    QVERIFY(w.ui()->Hou->isEnabled());
}

void TestAdmin::passwordFrozenIntoAdminList()
{
    Window w;
    // Logged in by a password change, so Text4 can still be edited afterwards.
    w.ui()->Text4->setText(QStringLiteral("first"));
    w.transfer.reply("0");
    w.main->Command8_Click();
    w.transfer.reply(threeItems);
    w.ui()->SoSo->setEnabled(false);
    w.main->Command6_Click();
    QVERIFY(w.ui()->SoSo->isEnabled());
    w.ui()->Text4->setText(QStringLiteral("second"));
    w.forget();

    w.transfer.reply(threeItems);
    w.main->Hou_Click();
    w.ui()->Text1->setText(QStringLiteral("a&b"));
    w.transfer.reply(threeItems);
    w.main->SoSo_Click();
    w.main->ListView_RowSelected(0);
    w.transfer.reply("0");
    w.transfer.reply(threeItems);
    w.main->Command9_Click();

    // The list keeps the password it was loaded with; the action sends what Text4 holds now.
    QCOMPARE(w.transfer.urls,
             (QStringList{base + QStringLiteral("to_examine.php?cz=3&pass=first&page=2"),
                          base + QStringLiteral("to_examine.php?cz=3&pass=first&page=1&q=a%26b"),
                          base + QStringLiteral("to_examine.php?cz=4&pass=second&id=11"),
                          base + QStringLiteral("to_examine.php?cz=3&pass=first&page=1")}));
}

void TestAdmin::credentialBoxes()
{
    Window w;
    QCOMPARE(w.ui()->Text4->echoMode(), QLineEdit::Password);
    QCOMPARE(w.ui()->Text3->echoMode(), QLineEdit::Password);
    QCOMPARE(w.ui()->Text2->echoMode(), QLineEdit::Password);
    QCOMPARE(w.ui()->Text5->echoMode(), QLineEdit::Normal);
    for (QLineEdit *box : {w.ui()->Text2, w.ui()->Text3, w.ui()->Text4, w.ui()->Text5})
        QVERIFY2(box->text().isEmpty(), qPrintable(box->objectName()));
    QVERIFY(w.ui()->Text4->isEnabled());
    QVERIFY(!w.main->adminLoggedIn());
}

void TestAdmin::adminControlsReachedByWidening()
{
    Window w;
    const QList<QWidget *> admin{w.ui()->Command5,    w.ui()->Command6, w.ui()->Command9,
                                 w.ui()->Command10,   w.ui()->Frame2,   w.ui()->Frame3,
                                 w.ui()->HaunCun_Text};
    QRect all;
    for (QWidget *control : admin) {
        QCOMPARE(control->parentWidget(), w.main.get());
        QVERIFY2(!w.main->rect().intersects(control->geometry()),
                 qPrintable(control->objectName()));
        all |= control->geometry();
    }

    w.main->resize(all.right() + 1, all.bottom() + 1);

    for (QWidget *control : admin)
        QVERIFY2(w.main->rect().contains(control->geometry()), qPrintable(control->objectName()));
}

QTEST_MAIN(TestAdmin)
#include "tst_admin.moc"
