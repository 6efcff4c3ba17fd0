// Start-up decisions of the client: where its files and its downloads are, what the command
// line and the server address sources say, and Qt's standard buttons in Chinese; then the real
// program asked for help, its version and a bad address, with no display.
#include "app/CommandLine.h"
#include "app/Installation.h"
#include "app/Language.h"
#include "client/platform/MessageBoxPrompter.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <optional>

using tavrel::CommandLine;
using OptionalText = std::optional<QString>;
Q_DECLARE_METATYPE(OptionalText)

class TestStartup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void installation_data();
    void installation();
    void commandLine_data();
    void commandLine();
    void serverPrecedence_data();
    void serverPrecedence();
    void program_data();
    void program();
    void standardButtonsInChinese_data();
    void standardButtonsInChinese();
};

void TestStartup::initTestCase()
{
    QCoreApplication::setApplicationName(QStringLiteral("tavrel"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.3"));
}

void TestStartup::installation_data()
{
    QTest::addColumn<QStringList>("folders"); // made below the temporary root
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QString>("dataFolder");  // relative to the root
    QTest::addColumn<QString>("libraryRoot"); // relative to the root

    QTest::newRow("build tree") << QStringList{"build/bin"} << false << "build/bin"
                                << "build/bin/Res/";
    QTest::newRow("installed in a prefix, bin writable")
        << QStringList{"usr/bin", "usr/share/tavrel"} << true << "usr/share/tavrel"
        << "home/.local/share/tavrel/Res/";
    QTest::newRow("share without tavrel") << QStringList{"opt/bin", "opt/share/other"} << false
                                          << "opt/bin" << "opt/bin/Res/";
    QTest::newRow("portable copy keeps its Res")
        << QStringList{"portable/bin", "portable/bin/Res"} << false << "portable/bin"
        << "portable/bin/Res/";
}

void TestStartup::installation()
{
    QFETCH(QStringList, folders);
    QFETCH(bool, installed);
    QFETCH(QString, dataFolder);
    QFETCH(QString, libraryRoot);

    QTemporaryDir root;
    for (const QString &folder : folders)
        QVERIFY(QDir(root.path()).mkpath(folder));
    const QString program = root.filePath(folders.first());
    const tavrel::Installation where =
        tavrel::locateInstallation(program, root.filePath(QStringLiteral("home/.local/share/tavrel")));
    QCOMPARE(where.installed, installed);
    QCOMPARE(where.dataFolder, root.filePath(dataFolder));
    QCOMPARE(where.libraryRoot, root.filePath(libraryRoot));
}

void TestStartup::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode"); // -1: the program runs
    QTest::addColumn<QString>("printed");
    QTest::addColumn<OptionalText>("server");

    const OptionalText none;
    QTest::newRow("no options") << QStringList{} << -1 << QString() << none;
    QTest::newRow("-h") << QStringList{"-h"} << 0 << "--server <url>" << none;
    QTest::newRow("--server") << QStringList{"--server", "http://h:81/adminphp/"} << -1
                              << QString() << OptionalText("http://h:81/adminphp/");
    QTest::newRow("--server=") << QStringList{"--server=http://h/"} << -1 << QString()
                               << OptionalText("http://h/");
    QTest::newRow("--server without address")
        << QStringList{"--server"} << 2 << "Missing value after '--server'" << none;
    QTest::newRow("unknown option") << QStringList{"--frobnicate"} << 2
                                    << "Unknown option 'frobnicate'" << none;
    QTest::newRow("stray argument") << QStringList{"file.txt"} << 2
                                    << "unexpected argument 'file.txt'" << none;
    QTest::newRow("Qt's own options pass") << QStringList{"-platform", "offscreen", "-style", "fusion"}
                                           << -1 << QString() << none;
#ifdef TAVREL_TEST_HOOKS
    QTest::newRow("start-up measurement") << QStringList{"--quit-when-shown"} << -1 << QString()
                                          << none;
    QTest::newRow("download row not a number") << QStringList{"--download-row", "x"} << 2
                                               << "needs a row number" << none;
#else
    // What ships knows nothing of the options tests drive the program with.
    QTest::newRow("no start-up measurement") << QStringList{"--quit-when-shown"} << 2
                                             << "Unknown option 'quit-when-shown'" << none;
    QTest::newRow("no download row") << QStringList{"--download-row", "0"} << 2
                                     << "Unknown option 'download-row'" << none;
#endif
}

void TestStartup::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, printed);
    QFETCH(OptionalText, server);

    const CommandLine line = tavrel::parseCommandLine(QStringList{"tavrel"} + arguments);
    QCOMPARE(line.exitNow ? line.exitCode : -1, exitCode);
    const QString shown = exitCode == 0 ? line.output : line.error;
    QVERIFY2(shown.contains(printed), qPrintable(shown));
    QCOMPARE(line.server, server);
    // The options kept for checks of the program stay out of its help.
    QVERIFY(!line.output.contains(QLatin1String("quit-when-shown")));
    QVERIFY(!line.output.contains(QLatin1String("download-row")));
    QVERIFY(!line.output.contains(QLatin1String("platform")));
}

void TestStartup::serverPrecedence_data()
{
    QTest::addColumn<OptionalText>("flag");
    QTest::addColumn<QString>("environment");
    QTest::addColumn<QString>("configured");
    QTest::addColumn<QString>("url");   // empty when refused
    QTest::addColumn<QString>("error"); // part of the refusal

    const QString builtIn = QStringLiteral("http://127.0.0.1:8080/adminphp/");
    const OptionalText none;
    QTest::newRow("flag first") << OptionalText("http://f/adminphp/") << "http://e/adminphp/"
                                << "http://c/adminphp/" << "http://f/adminphp/" << QString();
    QTest::newRow("then the environment") << none << "http://e/adminphp/" << "http://c/adminphp/"
                                          << "http://e/adminphp/" << QString();
    QTest::newRow("then the file") << none << QString() << "http://c/adminphp/"
                                   << "http://c/adminphp/" << QString();
    QTest::newRow("then built in") << none << QString() << QString() << builtIn << QString();
    QTest::newRow("slash added") << OptionalText("https://f:8443/adminphp") << QString()
                                 << QString() << "https://f:8443/adminphp/" << QString();
    QTest::newRow("bad flag is refused, not passed over")
        << OptionalText("ftp://f/") << "http://e/adminphp/" << QString() << QString()
        << "'ftp://f/' (from --server)";
    QTest::newRow("empty flag is refused") << OptionalText(QString()) << "http://e/" << QString()
                                           << QString() << "(from --server)";
    QTest::newRow("no host") << OptionalText("http:///adminphp/") << QString() << QString()
                             << QString() << "invalid server address";
    QTest::newRow("a query is no folder") << OptionalText("http://f/a.php?x=1") << QString()
                                          << QString() << QString() << "invalid server address";
}

void TestStartup::serverPrecedence()
{
    QFETCH(OptionalText, flag);
    QFETCH(QString, environment);
    QFETCH(QString, configured);
    QFETCH(QString, url);
    QFETCH(QString, error);

    const tavrel::ServerChoice choice = tavrel::chooseServerUrl(
        flag, environment, configured, QStringLiteral("http://127.0.0.1:8080/adminphp/"));
    QCOMPARE(choice.url, url);
    QVERIFY2(error.isEmpty() ? choice.error.isEmpty() : choice.error.contains(error),
             qPrintable(choice.error));
}

void TestStartup::program_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("environment"); // TAVREL_BASE_URL
    QTest::addColumn<QString>("configured");  // server/url in the user's tavrel.conf
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("printed");     // on stdout for 0, else stderr
    QTest::addColumn<QString>("logged");      // on stderr, without any logging rules

    // A port nobody listens on: the window opens empty and the program leaves when shown.
    const QString nobody = QStringLiteral("http://127.0.0.1:9/adminphp/");
    QTest::newRow("help") << QStringList{"--help"} << QString() << QString() << 0
                          << "Usage: tavrel [options]" << QString();
    QTest::newRow("version") << QStringList{"--version"} << QString() << QString() << 0
                             << "tavrel 1.3" << QString();
    QTest::newRow("bad flag") << QStringList{"--server", "nonsense"} << QString() << QString()
                              << 2 << "invalid server address 'nonsense' (from --server)"
                              << QString();
    QTest::newRow("bad environment") << QStringList{} << "ftp://x/" << QString() << 2
                                     << "(from TAVREL_BASE_URL)" << QString();
    QTest::newRow("bad file") << QStringList{} << QString() << "nonsense" << 2
                              << "/tavrel/tavrel.conf)" << QString();
#ifdef TAVREL_TEST_HOOKS
    QTest::newRow("good flag over a bad file")
        << QStringList{"--server", nobody, "--quit-when-shown"} << QString() << "nonsense" << 0
        << QString() << QString();
    // Why the list is empty, in a release build too.
    QTest::newRow("unreachable server is logged")
        << QStringList{"--server", nobody, "--quit-when-shown"} << QString() << QString() << 0
        << QString() << "tavrel.main: start-up list not loaded: ";
#endif
}

void TestStartup::program()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, environment);
    QFETCH(QString, configured);
    QFETCH(int, exitCode);
    QFETCH(QString, printed);
    QFETCH(QString, logged);

    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.remove(QStringLiteral("XDG_CONFIG_HOME"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("TAVREL_BASE_URL"));
    env.remove(QStringLiteral("QT_LOGGING_RULES"));
    if (!environment.isEmpty())
        env.insert(QStringLiteral("TAVREL_BASE_URL"), environment);
    if (!configured.isEmpty()) {
        QVERIFY(QDir(home.path()).mkpath(QStringLiteral(".config/tavrel")));
        QFile conf(home.filePath(QStringLiteral(".config/tavrel/tavrel.conf")));
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write("[server]\nurl=" + configured.toUtf8() + '\n');
    }
    // Help, version and refusals need no display: no platform at all may be asked for.
    if (exitCode != 0 || !printed.isEmpty())
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("none-such"));

    QProcess program;
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(TAVREL_PROGRAM), arguments);
    QVERIFY(program.waitForFinished(60000));
    const QString out = QString::fromLocal8Bit(program.readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(program.readAllStandardError());
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QVERIFY2(program.exitCode() == exitCode, qPrintable(err));
    QVERIFY2((exitCode == 0 ? out : err).contains(printed), qPrintable(out + err));
    QVERIFY2(err.contains(logged), qPrintable(err));
}

void TestStartup::standardButtonsInChinese_data()
{
    QTest::addColumn<Prompter::Buttons>("buttons");
    QTest::addColumn<QStringList>("texts");

    QTest::newRow("notice") << Prompter::Buttons::Ok << QStringList{"确定"};
    QTest::newRow("question") << Prompter::Buttons::YesNoCancel
                              << QStringList{"是(&Y)", "否(&N)", "取消"};
}

void TestStartup::standardButtonsInChinese()
{
    QFETCH(Prompter::Buttons, buttons);
    QFETCH(QStringList, texts);

    QCOMPARE(qgetenv("LANG"), QByteArray("C"));
    // Loaded once, as the program does, and last: the parser's own words would turn Chinese.
    static const bool loaded = tavrel::loadQtTranslation(*qApp);
    QVERIFY2(loaded, "qtbase_zh_CN.qm not found");
    QStringList seen;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        poll.stop();
        for (QMessageBox::StandardButton b :
             {QMessageBox::Ok, QMessageBox::Yes, QMessageBox::No, QMessageBox::Cancel})
            if (QAbstractButton *button = box->button(b))
                seen.append(button->text());
        box->reject();
    });
    poll.start(10);
    MessageBoxPrompter prompter(nullptr);
    prompter.ask(QStringLiteral("是否确定修改安全码?"), QStringLiteral("确认操作"), buttons);
    QCOMPARE(seen, texts);
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
