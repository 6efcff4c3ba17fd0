// Where items land on disk and where they are fetched from.

#include "core/ItemPaths.h"
#include "tests/support/NameRows.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using tavrel::itemTarget;

class TestItemPaths : public QObject
{
    Q_OBJECT

private slots:
    void acceptedNames_data();
    void acceptedNames();
    void refusedNames_data();
    void refusedNames();
    void refusalNamesTheCulprit();
    void ruleForNames_data();
    void ruleForNames();
    void linksInsideTheLibrary_data();
    void linksInsideTheLibrary();
    void itemUrl_data();
    void itemUrl();
    void libraryRoot_data();
    void libraryRoot();
};

void TestItemPaths::acceptedNames_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("fileFolder");
    QTest::addColumn<QString>("saveFile");

    const QString r = QStringLiteral("/lib/Res/");
    QTest::newRow("plain") << "Tool"
                           << "tool.zip" << r + "Tool/" << r + "Tool/" << r + "Tool/tool.zip";
    QTest::newRow("backslash nests")
        << "Games\\Cards"
        << "c.zip" << r + "Games/Cards/" << r + "Games/Cards/" << r + "Games/Cards/c.zip";
    QTest::newRow("slash nests") << "Games/Cards"
                                 << "c.zip" << r + "Games/Cards/" << r + "Games/Cards/"
                                 << r + "Games/Cards/c.zip";
    QTest::newRow("file name nests")
        << "T"
        << "sub\\dir/f.bin" << r + "T/" << r + "T/sub/dir/" << r + "T/sub/dir/f.bin";
    QTest::newRow("empty parts dropped") << "a//b\\\\"
                                         << "f" << r + "a/b/" << r + "a/b/" << r + "a/b/f";
    QTest::newRow("empty title: straight into the root") << ""
                                                         << "f.zip" << r << r << r + "f.zip";
    QTest::newRow("chinese") << "外挂 工具"
                             << "下载 1.rar" << r + "外挂 工具/" << r + "外挂 工具/"
                             << r + "外挂 工具/下载 1.rar";
    QTest::newRow("characters Linux accepts stay")
        << "a:b*c?<d>|\"e\""
        << "x%20y#z.zip" << r + "a:b*c?<d>|\"e\"/" << r + "a:b*c?<d>|\"e\"/"
        << r + "a:b*c?<d>|\"e\"/x%20y#z.zip";
    QTest::newRow("dots that are names")
        << "...\\..a\\.b"
        << "..." << r + ".../..a/.b/" << r + ".../..a/.b/" << r + ".../..a/.b/...";
    QTest::newRow("blanks around a part stay")
        << " a \\ b"
        << " f " << r + " a / b/" << r + " a / b/" << r + " a / b/ f ";
    QTest::newRow("drive-like name is a name") << "C:\\x"
                                               << "f" << r + "C:/x/" << r + "C:/x/" << r + "C:/x/f";
}

void TestItemPaths::acceptedNames()
{
    QFETCH(QString, title);
    QFETCH(QString, fileName);
    QString reason;
    const auto target = itemTarget(QStringLiteral("/lib/Res/"), title, fileName, &reason);
    QVERIFY2(target, qPrintable(reason));
    QTEST(target->folder, "folder");
    QTEST(target->fileFolder, "fileFolder");
    QTEST(target->saveFile, "saveFile");
}

void TestItemPaths::refusedNames_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("fileName");

    const QString ok = QStringLiteral("ok");
    for (const bool inTitle : {true, false}) {
        const char *where = inTitle ? "title " : "file ";
        auto row = [&](const char *name, const QString &text) {
            QTest::addRow("%s%s", where, name) << (inTitle ? text : ok) << (inTitle ? ok : text);
        };
        row("..", QStringLiteral(".."));
        row(".", QStringLiteral("."));
        row("../x", QStringLiteral("../x"));
        row("..\\x", QStringLiteral("..\\x"));
        row("a/../../b", QStringLiteral("a/../../b"));
        row("a\\..\\..\\b", QStringLiteral("a\\..\\..\\b"));
        row("x/..", QStringLiteral("x/.."));
        row("/etc/x", QStringLiteral("/etc/x"));
        row("\\etc\\x", QStringLiteral("\\etc\\x"));
    }
    QTest::newRow("file name that names a folder") << ok << "dir/";
    QTest::newRow("file name of separators only") << ok << "\\\\";
}

void TestItemPaths::refusedNames()
{
    QFETCH(QString, title);
    QFETCH(QString, fileName);
    QString reason;
    const auto target = itemTarget(QStringLiteral("/lib/Res/"), title, fileName, &reason);
    QVERIFY2(!target, target ? qPrintable(target->saveFile) : "");
    QVERIFY(!reason.isEmpty());
}

void TestItemPaths::refusalNamesTheCulprit()
{
    // The box must show which name was refused, with its control characters made visible so
    // the text itself stays readable.
    QString reason;
    QVERIFY(!itemTarget(QStringLiteral("/r/"), QStringLiteral("ok"),
                        QStringLiteral("ev") + QChar(0) + QStringLiteral("il\n"), &reason));
    QVERIFY2(reason.contains(QStringLiteral("ev\\x00il\\x0a")), qPrintable(reason));
    QVERIFY(!reason.contains(QChar(0)));
    QVERIFY(reason.contains(QStringLiteral("下载地址")));

    QVERIFY(
        !itemTarget(QStringLiteral("/r/"), QStringLiteral("../up"), QStringLiteral("f"), &reason));
    QVERIFY2(reason.contains(QStringLiteral("软件标题“../up”")), qPrintable(reason));

    QVERIFY(!itemTarget(QStringLiteral("/r/"), QStringLiteral("evil") + QChar(0x202E) + "gpj.exe",
                        QStringLiteral("f"), &reason));
    QVERIFY2(reason.contains(QStringLiteral("evil\\u202egpj.exe")), qPrintable(reason));
}

void TestItemPaths::ruleForNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("accepted");
    for (const NameRow &row : nameRows())
        QTest::newRow(row.tag) << row.name << row.accepted;
}

// The same rows as the server's: a name the server stores is one the client can write.
void TestItemPaths::ruleForNames()
{
    QFETCH(QString, name);
    QFETCH(bool, accepted);
    const QString root = QStringLiteral("/lib/Res/");
    QCOMPARE(itemTarget(root, name, QStringLiteral("f.zip")).has_value(), accepted);
    QCOMPARE(itemTarget(root, QStringLiteral("T"), name).has_value(), accepted);
}

void TestItemPaths::linksInsideTheLibrary_data()
{
    QTest::addColumn<QString>("linkAt"); // below the temporary folder; empty: none
    QTest::addColumn<QString>("found");  // below the library root; empty: nothing found

    QTest::newRow("no link") << ""
                             << "";
    QTest::newRow("the root itself may be a link") << "Res"
                                                   << "";
    QTest::newRow("link for the item's folder") << "lib/Tool"
                                                << "Tool";
    QTest::newRow("link for a nested folder") << "lib/Games/Cards"
                                              << "Games/Cards";
    QTest::newRow("link for the file") << "lib/Tool/tool.zip"
                                       << "Tool/tool.zip";
    QTest::newRow("dangling link for the file") << "lib/Games/Cards/x"
                                                << "Games/Cards/x";
}

void TestItemPaths::linksInsideTheLibrary()
{
    QFETCH(QString, linkAt);
    QFETCH(QString, found);
    QTemporaryDir tmp;
    QVERIFY(QDir(tmp.path()).mkpath(QStringLiteral("lib/Games")));
    QVERIFY(QDir(tmp.path()).mkpath(QStringLiteral("outside")));
    // The library is reached through Res, a link to lib.
    QVERIFY(QFile::link(tmp.filePath(QStringLiteral("lib")), tmp.filePath(QStringLiteral("Res"))));
    if (!linkAt.isEmpty() && linkAt != QLatin1String("Res")) {
        QDir().mkpath(QFileInfo(tmp.filePath(linkAt)).path());
        QVERIFY(QFile::link(tmp.filePath(QStringLiteral("outside/") + QFileInfo(linkAt).fileName()),
                            tmp.filePath(linkAt)));
    }
    if (linkAt.endsWith(QLatin1String("tool.zip")))
        QVERIFY(QFile(tmp.filePath(QStringLiteral("outside/tool.zip"))).open(QIODevice::WriteOnly));
    const QString root = tmp.filePath(QStringLiteral("Res/"));
    const QString file = linkAt.startsWith(QLatin1String("lib/Games"))
                             ? root + QStringLiteral("Games/Cards/x")
                             : root + QStringLiteral("Tool/tool.zip");
    const std::optional<QString> link = tavrel::linkInside(root, file);
    QCOMPARE(link.value_or(QString()), found.isEmpty() ? QString() : root + found);
}

void TestItemPaths::itemUrl_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("url");

    const QString base = QStringLiteral("http://127.0.0.1:8/adminphp/");
    QTest::newRow("plain") << "tool-1.0_b~.zip" << base + "up/tool-1.0_b~.zip";
    QTest::newRow("blank") << "my tool.zip" << base + "up/my%20tool.zip";
    QTest::newRow("hash, question mark, percent")
        << "a#b?c%20d.zip" << base + "up/a%23b%3Fc%2520d.zip";
    QTest::newRow("ampersand, plus, equals") << "a&b+c=d" << base + "up/a%26b%2Bc%3Dd";
    QTest::newRow("slash stays a separator") << "2024/a b.zip" << base + "up/2024/a%20b.zip";
    QTest::newRow("backslash is part of the name") << "a\\b" << base + "up/a%5Cb";
    QTest::newRow("chinese as UTF-8") << "工具.rar" << base + "up/%E5%B7%A5%E5%85%B7.rar";
    QTest::newRow("outside the BMP as one UTF-8 sequence")
        << QString::fromUtf8("\xF0\x9F\x8E\xAE.zip") << base + "up/%F0%9F%8E%AE.zip";
}

void TestItemPaths::itemUrl()
{
    QFETCH(QString, fileName);
    QTEST(tavrel::itemUrl(QStringLiteral("http://127.0.0.1:8/adminphp/"), fileName), "url");
}

void TestItemPaths::libraryRoot_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("fallback");

    QTest::newRow("writable program folder, no Res yet") << "none" << false;
    QTest::newRow("writable Res already there") << "res" << false;
    QTest::newRow("Res is a file") << "res-file" << true;
    QTest::newRow("program folder read-only") << "read-only" << true;
    QTest::newRow("program folder missing") << "missing" << true;
}

void TestItemPaths::libraryRoot()
{
    QFETCH(QString, setup);
    QFETCH(bool, fallback);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QString program = tmp.path() + QStringLiteral("/prog");
    const QString data = tmp.path() + QStringLiteral("/data");
    QVERIFY(QDir().mkpath(program));
    if (setup == QLatin1String("res")) {
        QVERIFY(QDir().mkpath(program + QStringLiteral("/Res")));
    } else if (setup == QLatin1String("res-file")) {
        QFile file(program + QStringLiteral("/Res"));
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else if (setup == QLatin1String("read-only")) {
        if (::geteuid() == 0)
            QSKIP("permissions do not stop the superuser");
        QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner));
    } else if (setup == QLatin1String("missing")) {
        program += QStringLiteral("/gone");
    }

    const QString root = tavrel::chooseLibraryRoot(program + QLatin1Char('/'), data);
    QFile::setPermissions(tmp.path() + QStringLiteral("/prog"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(root, (fallback ? data : program) + QStringLiteral("/Res/"));
}

QTEST_GUILESS_MAIN(TestItemPaths)
#include "tst_itempaths.moc"
