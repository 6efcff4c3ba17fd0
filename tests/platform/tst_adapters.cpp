#include "client/platform/DesktopServices.h"
#include "client/platform/MessageBoxPrompter.h"
#include "client/platform/StartupEffectsImpl.h"

#include "FaultServer.h"
#include "LogCapture.h"
#include "net/HttpPolicy.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QSslError>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <functional>

// Collects what the desktop would have been asked to open.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public Q_SLOTS:
    void open(const QUrl &url) { urls.append(url); }
};

class tst_Adapters : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { FaultServer::trustTestAuthority(); }
    void prompterAnswers_data();
    void prompterAnswers();
    void prompterShowsTextTitleAndIcon_data();
    void prompterShowsTextTitleAndIcon();

    void makePath();
    void openFolderKeepsOddNames_data();
    void openFolderKeepsOddNames();
    void openUrlPassesAddressWhole();

    void pingDoesNotWait_data();
    void pingDoesNotWait();
    void pingSkipsWhatIsNotAWebPage_data();
    void pingSkipsWhatIsNotAWebPage();
    void pingsInFlightDieWithTheirOwner();
    void pingStaysSafe_data();
    void pingStaysSafe();

    void linearVolume_data();
    void linearVolume();
    void soundNeverHangsOrShowsABox_data();
    void soundNeverHangsOrShowsABox();
};

namespace {

enum class Gesture { Press, Escape, CloseWindow };

// Acts on the next message box that opens, once it is on show.
void actOnNextBox(std::function<void(QMessageBox *)> act)
{
    auto *timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, act] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        timer->stop();
        timer->deleteLater();
        act(box);
    });
    timer->start();
}

} // namespace

void tst_Adapters::prompterAnswers_data()
{
    QTest::addColumn<Prompter::Buttons>("buttons");
    QTest::addColumn<int>("gesture");
    QTest::addColumn<QMessageBox::StandardButton>("press");
    QTest::addColumn<Prompter::Answer>("expected");

    using B = Prompter::Buttons;
    using A = Prompter::Answer;
    const int press = int(Gesture::Press);
    const int esc = int(Gesture::Escape);
    const int close = int(Gesture::CloseWindow);
    QTest::newRow("ok pressed") << B::Ok << press << QMessageBox::Ok << A::Ok;
    QTest::newRow("ok escaped") << B::Ok << esc << QMessageBox::NoButton << A::Ok;
    QTest::newRow("ok closed") << B::Ok << close << QMessageBox::NoButton << A::Ok;
    QTest::newRow("yes pressed") << B::YesNoCancel << press << QMessageBox::Yes << A::Yes;
    QTest::newRow("no pressed") << B::YesNoCancel << press << QMessageBox::No << A::No;
    QTest::newRow("cancel pressed") << B::YesNoCancel << press << QMessageBox::Cancel << A::Cancel;
    QTest::newRow("question escaped")
        << B::YesNoCancel << esc << QMessageBox::NoButton << A::Cancel;
    QTest::newRow("question closed")
        << B::YesNoCancel << close << QMessageBox::NoButton << A::Cancel;
}

void tst_Adapters::prompterAnswers()
{
    QFETCH(Prompter::Buttons, buttons);
    QFETCH(int, gesture);
    QFETCH(QMessageBox::StandardButton, press);
    QFETCH(Prompter::Answer, expected);

    QWidget parent;
    parent.show();
    MessageBoxPrompter prompter(&parent);

    QList<QMessageBox::StandardButton> offered;
    actOnNextBox([&](QMessageBox *box) {
        for (QAbstractButton *b : box->buttons())
            offered.append(box->standardButton(b));
        switch (Gesture(gesture)) {
        case Gesture::Press:
            // A missing button fails below, on the buttons offered.
            if (QAbstractButton *b = box->button(press))
                b->click();
            else
                box->reject();
            break;
        case Gesture::Escape:
            QTest::keyClick(box, Qt::Key_Escape);
            break;
        case Gesture::CloseWindow:
            box->close();
            break;
        }
    });
    const Prompter::Answer answer =
        prompter.ask(QStringLiteral("要继续吗?"), QStringLiteral("确认操作"), buttons);
    QCOMPARE(answer, expected);

    std::sort(offered.begin(), offered.end());
    if (buttons == Prompter::Buttons::Ok)
        QCOMPARE(offered, QList<QMessageBox::StandardButton>{QMessageBox::Ok});
    else
        QCOMPARE(offered, (QList<QMessageBox::StandardButton>{QMessageBox::Yes, QMessageBox::No,
                                                              QMessageBox::Cancel}));
}

void tst_Adapters::prompterShowsTextTitleAndIcon_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("title");
    QTest::addColumn<Prompter::Icon>("icon");
    QTest::addColumn<QMessageBox::Icon>("shown");

    QTest::newRow("plain notice") << QStringLiteral("管理员密码错误!") << QStringLiteral("提示")
                                  << Prompter::Icon::None << QMessageBox::NoIcon;
    QTest::newRow("error has an icon")
        << QStringLiteral("12:错误在调用 BeginDownload\n错误描述: x") << QStringLiteral("错误")
        << Prompter::Icon::Critical << QMessageBox::Critical;
    // A server's reply shown in a box stays text, whatever it looks like.
    QTest::newRow("markup stays text")
        << QStringLiteral("<b>bold</b> &amp; <a href=x>y</a>") << QStringLiteral("提示")
        << Prompter::Icon::None << QMessageBox::NoIcon;
}

void tst_Adapters::prompterShowsTextTitleAndIcon()
{
    QFETCH(QString, text);
    QFETCH(QString, title);
    QFETCH(Prompter::Icon, icon);
    QFETCH(QMessageBox::Icon, shown);

    MessageBoxPrompter prompter(nullptr);
    QString seenText;
    QString seenTitle;
    QMessageBox::Icon seenIcon = QMessageBox::NoIcon;
    Qt::TextFormat seenFormat = Qt::AutoText;
    bool modal = false;
    actOnNextBox([&](QMessageBox *box) {
        seenText = box->text();
        seenTitle = box->windowTitle();
        seenIcon = box->icon();
        seenFormat = box->textFormat();
        modal = box->isModal();
        box->button(QMessageBox::Ok)->click();
    });
    QCOMPARE(prompter.ask(text, title, Prompter::Buttons::Ok, icon), Prompter::Answer::Ok);
    QCOMPARE(seenText, text);
    QCOMPARE(seenTitle, title);
    QCOMPARE(seenIcon, shown);
    QCOMPARE(seenFormat, Qt::PlainText);
    QVERIFY(modal);
}

void tst_Adapters::makePath()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    DesktopServices desktop;

    const QString nested = root.filePath(QStringLiteral("Res/插件 一/深 层"));
    QVERIFY(desktop.makePath(nested));
    QVERIFY(QFileInfo(nested).isDir());
    QVERIFY2(desktop.makePath(nested), "a folder that is there already counts as made");

    // A file where a folder should go: the path cannot be made.
    QFile blocker(root.filePath(QStringLiteral("file")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QVERIFY(!desktop.makePath(root.filePath(QStringLiteral("file/sub"))));
    QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("file/sub"))));
}

void tst_Adapters::openFolderKeepsOddNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("chinese and blanks") << QStringLiteral("工具 箱");
    QTest::newRow("hash") << QStringLiteral("C# 工具");
    QTest::newRow("percent") << QStringLiteral("100%20off");
    QTest::newRow("question mark") << QStringLiteral("what?x=1");
}

void tst_Adapters::openFolderKeepsOddNames()
{
    QFETCH(QString, name);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString folder = root.filePath(name);
    QVERIFY(QDir().mkpath(folder));

    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    DesktopServices().openFolder(folder);
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));

    QCOMPARE(catcher.urls.size(), 1);
    QVERIFY(catcher.urls.first().isLocalFile());
    QCOMPARE(catcher.urls.first().toLocalFile(), folder);
}

void tst_Adapters::openUrlPassesAddressWhole()
{
    const QString address = QStringLiteral("http://127.0.0.1:1/adminphp/index.php?a=1&b=%E4%B8%AD");
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
    DesktopServices().openUrl(address);
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));

    QCOMPARE(catcher.urls.size(), 1);
    QCOMPARE(catcher.urls.first().toString(QUrl::FullyEncoded), address);
}

void tst_Adapters::pingDoesNotWait_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("answered") << 0;
    QTest::newRow("error page") << 1;
    QTest::newRow("never answered, times out") << 2;
    QTest::newRow("nobody listening") << 3;
}

void tst_Adapters::pingDoesNotWait()
{
    QFETCH(int, kind);
    FaultServer server;
    FaultServer::Reply reply = FaultServer::ok("visited");
    if (kind == 1)
        reply = FaultServer::status(500, "broken");
    if (kind == 2)
        reply.fault = FaultServer::Fault::Silence;
    server.setReply(QStringLiteral("/kovitongji.asp"), reply);
    const QString url =
        kind == 3
            ? QStringLiteral("http://127.0.0.1:%1/kovitongji.asp").arg(FaultServer::deadPort())
            : server.url(QStringLiteral("kovitongji.asp"));

    StartupEffectsImpl effects(300);
    QSignalSpy finished(&effects, &StartupEffectsImpl::pingFinished);
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
    effects.pingStatistics(url);
    // Still under way when the call returns: nothing waited for the page.
    QCOMPARE(effects.pendingPings(), 1);
    QCOMPARE(finished.count(), 0);

    QTRY_COMPARE_WITH_TIMEOUT(effects.pendingPings(), 0, 10000);
    QCOMPARE(finished.count(), 1);
    if (kind != 3)
        QCOMPARE(server.requests(), QStringList{QStringLiteral("/kovitongji.asp")});
    // The reply is gone once it has finished, and nothing was shown.
    QTRY_VERIFY(effects.findChildren<QNetworkReply *>().isEmpty());
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

void tst_Adapters::pingSkipsWhatIsNotAWebPage_data()
{
    QTest::addColumn<QString>("url");
    QTest::newRow("empty") << QString();
    QTest::newRow("local file") << QStringLiteral("file:///etc/passwd");
    QTest::newRow("no scheme") << QStringLiteral("kovitongji.asp");
}

void tst_Adapters::pingSkipsWhatIsNotAWebPage()
{
    QFETCH(QString, url);
    StartupEffectsImpl effects;
    effects.pingStatistics(url);
    QCOMPARE(effects.pendingPings(), 0);
    QVERIFY(effects.findChildren<QNetworkReply *>().isEmpty());
}

void tst_Adapters::pingsInFlightDieWithTheirOwner()
{
    FaultServer server;
    server.setDefaultReply(FaultServer::silent());
    {
        StartupEffectsImpl effects;
        effects.pingStatistics(server.url(QStringLiteral("a")));
        effects.pingStatistics(server.url(QStringLiteral("b")));
        QTRY_COMPARE(server.requestCount(), 2);
        QCOMPARE(effects.pendingPings(), 2);
    }
    // The replies went with their owner; the connections close without the program's help.
    QTRY_COMPARE(server.openConnections(), 0);
}

void tst_Adapters::pingStaysSafe_data()
{
    QTest::addColumn<QString>("certificate"); // empty: plain http
    QTest::addColumn<FaultServer::Reply>("reply");
    QTest::addColumn<bool>("toHttp"); // the page redirects to a plain http server
    QTest::addColumn<int>("requests"); // that reach the statistics server
    QTest::addColumn<QString>("logged"); // a part of the visit's log line; empty: none

    const FaultServer::Reply visited = FaultServer::ok("visited");
    QTest::newRow("endless page is cut") << QString() << FaultServer::endless() << false << 1
                                         << "cut: the page goes on past";
    FaultServer::Reply trickle = FaultServer::ok(QByteArray(1000, 'x'));
    trickle.fault = FaultServer::Fault::Drip; // never idle, done after 20 s
    QTest::newRow("trickle is cut at the deadline")
        << QString() << trickle << false << 1 << "cut: not done within 1000 ms";
    QTest::newRow("trusted certificate") << "valid" << visited << false << 1 << QString();
    QTest::newRow("expired certificate: nothing sent")
        << "expired" << visited << false << 0
        << QSslError(QSslError::CertificateExpired).errorString();
    QTest::newRow("redirect from https to http")
        << "valid" << visited << true << 1
        << tavrel::failureText(tavrel::NetworkFailure::InsecureRedirect);
}

void tst_Adapters::pingStaysSafe()
{
    QFETCH(QString, certificate);
    QFETCH(FaultServer::Reply, reply);
    QFETCH(bool, toHttp);
    QFETCH(int, requests);
    QFETCH(QString, logged);

    FaultServer server; // plain http
    FaultServer secure(certificate.isEmpty() ? QStringLiteral("valid") : certificate);
    FaultServer &statistics = certificate.isEmpty() ? server : secure;
    statistics.setDefaultReply(toHttp ? FaultServer::redirect(server.url(QStringLiteral("in-clear")))
                                      : reply);

    StartupEffectsImpl effects(5000);
    effects.setPingDeadline(std::chrono::seconds(1));
    QStringList lines;
    {
        LogCapture log;
        effects.pingStatistics(statistics.url(QStringLiteral("kovitongji.asp")));
        QTRY_COMPARE_WITH_TIMEOUT(effects.pendingPings(), 0, 10000);
        lines = log.messages(QStringLiteral("tavrel.effects"));
    }
    QCOMPARE(statistics.requestCount(), requests);
    if (toHttp)
        QCOMPARE(server.requestCount(), 0);
    QVERIFY2(logged.isEmpty() ? lines.isEmpty() : lines.join(u'\n').contains(logged),
             qPrintable(lines.join(u'\n')));
}

void tst_Adapters::linearVolume_data()
{
    QTest::addColumn<int>("volume");
    QTest::addColumn<float>("low");
    QTest::addColumn<float>("high");
    QTest::newRow("silent") << 0 << 0.0f << 0.0f;
    QTest::newRow("below range is silent") << -20 << 0.0f << 0.0f;
    QTest::newRow("full") << 100 << 1.0f << 1.0f;
    QTest::newRow("above range is full") << 250 << 1.0f << 1.0f;
    // Half as loud to the ear is well under half the amplitude, and still audible.
    QTest::newRow("half") << 50 << 0.01f << 0.45f;
}

void tst_Adapters::linearVolume()
{
    QFETCH(int, volume);
    QFETCH(float, low);
    QFETCH(float, high);
    const float gain = StartupEffectsImpl::linearVolume(volume);
    QVERIFY2(gain >= low && gain <= high, qPrintable(QString::number(gain)));
}

void tst_Adapters::soundNeverHangsOrShowsABox_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("missing file") << QStringLiteral("missing/mp3.mp3");
    QTest::newRow("empty path") << QString();
    QTest::newRow("a folder") << QStringLiteral(".");
    QTest::newRow("not audio") << QStringLiteral("garbage.mp3");
    const QString chime = QFINDTESTDATA("../../data/mp3/mp3.mp3");
    QVERIFY(!chime.isEmpty());
    QTest::newRow("the chime") << chime;
}

void tst_Adapters::soundNeverHangsOrShowsABox()
{
    QFETCH(QString, file);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile garbage(dir.filePath(QStringLiteral("garbage.mp3")));
    QVERIFY(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(4096, '\x5a'));
    garbage.close();
    const QString path = file.isEmpty() || QDir::isAbsolutePath(file) ? file : dir.filePath(file);

    {
        StartupEffectsImpl effects;
        effects.playSound(path, 50);
        if (!QFileInfo(path).isFile())
            QVERIFY(!effects.isPlaying());
        // With a sound card it plays to its end (about a second); without one it never starts.
        QTRY_VERIFY_WITH_TIMEOUT(!effects.isPlaying(), 15000);
        QVERIFY(QApplication::topLevelWidgets().isEmpty());
    }
    // And once more, torn down while it may still be playing.
    StartupEffectsImpl effects;
    effects.playSound(path, 50);
}

QTEST_MAIN(tst_Adapters)
#include "tst_adapters.moc"
